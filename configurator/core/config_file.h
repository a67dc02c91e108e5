// The configuration file: the configurator writes the whole mapping and
// reads back, adapter by adapter, the part that belongs to each local
// adapter. Export files (no "Timeout") share the tree.
//
//   <ROOT LastModified Copyright Version="10.4.0" DataFormat>
//     <ADAPTER Name Description Active Timeout>
//       <SWITCH Model Address Alias Type>
//         <Port Number Alias Disabled Exists/>
#ifndef KAVEX_CONFIGURATOR_CORE_CONFIG_FILE_H_
#define KAVEX_CONFIGURATOR_CORE_CONFIG_FILE_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "configurator/core/config_model.h"
#include "platform/base/types.h"
#include "platform/com/filetime.h"
#include "xmldoc/xdomlib.h"

namespace kavex::configurator {

// The status line when there is no configuration to read or write.
inline constexpr char16_t kNoSwitchesMapped[] =
    u"There are no switches currently mapped.";
inline constexpr char16_t kConfigurationVersion[] = u"10.4.0";
inline constexpr char16_t kConfigurationCopyright[] =
    u"Copyright (c) Kavex. All rights reserved.";
// The configurator reads the registry's "Configuration File" into a buffer
// of this many bytes, so a path must be shorter than 255 characters.
inline constexpr size_t kMaxConfigurationPathBytes = 255;

// The registry's "Configuration File"; false, with *path empty, when there
// is none the configurator can use.
bool ReadConfigurationPath(std::u16string* path);

// The document of the whole mapping, adapters in list order.
// `with_timeout` is false for export files.
xmldoc::CXDocument BuildConfigurationDocument(
    const std::vector<ConfigAdapter>& adapters, std::u16string_view data_format,
    std::u16string_view last_modified, bool with_timeout);

// Writes the mapping to `path`, replacing the file only once the new one is
// complete. On failure returns the error and sets `error_text` (the library's
// description, naming the path); the old file is then untouched.
HRESULT SaveConfigurationFile(const std::u16string& path,
                              const std::vector<ConfigAdapter>& adapters,
                              std::u16string_view data_format,
                              const SYSTEMTIME& local_time, bool with_timeout,
                              std::u16string* error_text);

// "Save && Close": writes the mapping to the configured path, stamped with
// the local time of the installed clock. False with `status` set when the
// registry value is missing (kNoSwitchesMapped) or the save failed (what
// went wrong); true with `status` cleared otherwise.
bool SaveConfiguration(const std::vector<ConfigAdapter>& adapters,
                       std::u16string_view data_format, std::u16string* status);

// A SWITCH element as a ConfigSwitch, ports included. A switch stored
// without a model takes one from its alias (ModelFromAlias).
ConfigSwitch ReadConfigSwitch(xmldoc::CXNode& switch_node,
                              const std::vector<std::u16string>& models);

// Fills `adapter`'s time-out and appends its switches from the first ADAPTER
// of the file at `path` whose "Name" matches its NDIS name; sets
// `data_format` from "DataFormat" ("String" when absent or empty). False
// when the file does not load; a file without a matching ADAPTER is not a
// failure.
bool LoadAdapterConfigurationFile(const std::u16string& path,
                                  ConfigAdapter* adapter,
                                  const std::vector<std::u16string>& models,
                                  std::u16string* data_format);

// The same from the configured path; on failure `status` is
// kNoSwitchesMapped, on success it is cleared.
bool LoadAdapterConfiguration(ConfigAdapter* adapter,
                              const std::vector<std::u16string>& models,
                              std::u16string* data_format,
                              std::u16string* status);

}  // namespace kavex::configurator

#endif  // KAVEX_CONFIGURATOR_CORE_CONFIG_FILE_H_
