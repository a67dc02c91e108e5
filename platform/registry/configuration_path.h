// Where the configuration file is: the string value "Configuration File"
// under HKEY_LOCAL_MACHINE\SOFTWARE\Kavex OPC, written by the installation.
// The device and the configurator both read it, each with the buffer size
// it has always used (512 bytes for the device, 255 for the configurator).
#ifndef KAVEX_PLATFORM_REGISTRY_CONFIGURATION_PATH_H_
#define KAVEX_PLATFORM_REGISTRY_CONFIGURATION_PATH_H_

#include <cstddef>
#include <string>

#include "platform/base/types.h"

namespace kavex::registry {

inline constexpr char kConfigurationKey[] = "SOFTWARE\\Kavex OPC";
inline constexpr char kConfigurationValue[] = "Configuration File";

// Reads the path. The value must be REG_SZ or REG_EXPAND_SZ (used as stored,
// without expansion), at most `max_bytes` bytes including its terminating
// NUL, end with that NUL and hold no other one (a NUL inside would silently
// cut the path), and must not be empty.
//
// ERROR_SUCCESS with *path set. Otherwise *path is empty and the result is
// ERROR_FILE_NOT_FOUND (no key or no value), ERROR_MORE_DATA (too long) or
// ERROR_INVALID_DATA (any other rule broken); *reason (may be null) then
// says what is wrong in a few words, for the caller's log line, e.g.
// "holds a NUL at byte 4 of 12".
LONG ReadConfigurationPath(size_t max_bytes, std::string* path,
                           std::string* reason = nullptr);

}  // namespace kavex::registry

#endif  // KAVEX_PLATFORM_REGISTRY_CONFIGURATION_PATH_H_
