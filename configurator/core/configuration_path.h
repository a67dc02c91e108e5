// Where the configuration file is: the registry value "Configuration File"
// under HKEY_LOCAL_MACHINE\SOFTWARE\Kavex OPC, written by the installation.
#ifndef KAVEX_CONFIGURATOR_CORE_CONFIGURATION_PATH_H_
#define KAVEX_CONFIGURATOR_CORE_CONFIGURATION_PATH_H_

#include <string>

namespace kavex::configurator {

inline constexpr char kConfigurationKey[] = "SOFTWARE\\Kavex OPC";
inline constexpr char kConfigurationValue[] = "Configuration File";

// False when the key or value is missing, is not text, is empty or does not
// fit the 255 bytes the configurator reads it into.
bool ReadConfigurationPath(std::u16string* path);

}  // namespace kavex::configurator

#endif  // KAVEX_CONFIGURATOR_CORE_CONFIGURATION_PATH_H_
