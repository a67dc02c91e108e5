// The device's configuration: where the file is (the registry value
// "Configuration File"), what the device reads of it for one adapter, and
// which of the driver's adapters becomes the capture adapter.
//
// Names, "Yes" and the adapter's NDIS name are compared case-sensitively.
// The file is read once for every bound adapter examined, until one matches
// an active ADAPTER element.
#ifndef KAVEX_DEVICE_DEVICE_CONFIG_H_
#define KAVEX_DEVICE_DEVICE_CONFIG_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "device/switch_records.h"

namespace kavex::pkio {
class PacketDriver;
}  // namespace kavex::pkio

namespace kavex::device {

using pkio::PacketDriver;

// The largest "Configuration File" value the device reads, in bytes with
// its terminating NUL.
inline constexpr size_t kMaxConfigurationPathBytes = 512;
// "Timeout" 0 or unreadable.
inline constexpr uint32_t kDefaultTimeoutSeconds = 20;
// The longest switch or port alias the device takes, in characters (UTF-16
// code units). The configurator writes at most 35 (switch) and 24 (port);
// a file edited by hand may have longer ones, so the bound is generous, but
// every item identifier repeats its aliases, and a switch alias of a few
// megabytes would make the item list gigabytes long. 255 is the longest
// name most file systems and registries allow: no real alias comes close.
inline constexpr size_t kMaxAliasCharacters = 255;

// Loads the configuration file for `entry`, whose ndis_name is set. False
// when the file cannot be read or is not well-formed, or when a switch or
// port that would be loaded has an alias longer than kMaxAliasCharacters
// (logged, category "device"). Otherwise *data_format
// is the "DataFormat" of ROOT, and when the first ADAPTER whose "Name" holds
// a backslash and equals entry->ndis_name is "Active" "Yes" and has at least
// one SWITCH, the entry becomes active with its time-out and switches.
bool LoadConfigurationFile(const std::string& path, AdapterEntry* entry,
                           std::string* data_format);

// The path from the registry (registry::ReadConfigurationPath with the
// device's 512 bytes; a refused value is logged), then
// LoadConfigurationFile.
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
