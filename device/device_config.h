// The device's configuration: where the file is (the registry value
// "Configuration File"), what the device reads of it for one adapter, and
// which of the driver's adapters becomes the capture adapter.
//
// Names, "Yes" and the adapter's NDIS name are compared case-sensitively.
// The file is read once for every bound adapter examined, until one matches
// an active ADAPTER element.
#ifndef KAVEX_DEVICE_DEVICE_CONFIG_H_
#define KAVEX_DEVICE_DEVICE_CONFIG_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "device/switch_records.h"

namespace kavex::pkio {
class PacketDriver;
}  // namespace kavex::pkio

namespace kavex::device {

using pkio::PacketDriver;

inline constexpr char kConfigurationKey[] = "SOFTWARE\\Kavex OPC";
inline constexpr char kConfigurationValue[] = "Configuration File";
// The value's largest size in bytes, terminating NUL included.
inline constexpr uint32_t kMaxConfigurationPathBytes = 512;
// "Timeout" 0 or unreadable.
inline constexpr uint32_t kDefaultTimeoutSeconds = 20;

// The path stored in HKEY_LOCAL_MACHINE "SOFTWARE\Kavex OPC" "Configuration
// File". False when the key or value is missing, the type is neither REG_SZ
// nor REG_EXPAND_SZ (an expandable value is used as stored), the value is
// longer than 512 bytes or does not end with a NUL.
bool ReadConfigurationPath(std::string* path);

// Loads the configuration file for `entry`, whose ndis_name is set. False
// when the file cannot be read or is not well-formed. Otherwise *data_format
// is the "DataFormat" of ROOT, and when the first ADAPTER whose "Name" holds
// a backslash and equals entry->ndis_name is "Active" "Yes" and has at least
// one SWITCH, the entry becomes active with its time-out and switches.
bool LoadConfigurationFile(const std::string& path, AdapterEntry* entry,
                           std::string* data_format);

// ReadConfigurationPath, then LoadConfigurationFile.
bool LoadConfiguration(AdapterEntry* entry, std::string* data_format);

// A port "Number": optional leading white space and sign, then decimal
// digits (0 when there are none), kept as its low byte (300 gives 44).
uint8_t ParsePortNumber(std::string_view text);

// Walks the driver's bound adapters in order and loads the configuration
// for each until one becomes active: that one is *entry. False when the
// enumeration cannot be opened, a load fails, or no adapter is active.
bool SelectCaptureAdapter(PacketDriver* driver, AdapterEntry* entry,
                          std::string* data_format);

}  // namespace kavex::device

#endif  // KAVEX_DEVICE_DEVICE_CONFIG_H_
