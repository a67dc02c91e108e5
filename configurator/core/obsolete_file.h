// A configuration file from before switches had type codes holds a SWITCH
// whose "Type" is 0 or missing. At start-up such a file is set aside under
// its backup name, the path with "OLD" appended, so that the adapters start
// without switches and the next save writes a current file.
#ifndef KAVEX_CONFIGURATOR_CORE_OBSOLETE_FILE_H_
#define KAVEX_CONFIGURATOR_CORE_OBSOLETE_FILE_H_

#include <string>

#include "configurator/core/messages.h"

namespace kavex::configurator {

inline constexpr char16_t kObsoleteRenamed[] =
    u"Mapping File obsoleted and renamed to 'KavexOPC.xmlOLD'.";
inline constexpr char16_t kObsoleteDeleted[] = u"Deleted obsoleted Mapping File.";
inline constexpr char16_t kObsoleteNotDeleted[] =
    u"Could not delete obsoleted Mapping File.";

enum class ObsoleteCheck {
  kNotLoaded,  // no such file, or not XML: nothing done
  kCurrent,    // every switch has a type
  kRenamed,    // set aside under the backup name
  kBackupDeleted,
  kBackupNotDeleted,
};

// Checks the file at `path`: `data_format` gets its "DataFormat" when it
// loads. At the first switch without a type the file is renamed to its
// backup name; when that fails (a backup is there already; it is never
// overwritten) the backup is deleted instead. The outcome's message,
// captioned `caption`, goes to `messages`.
ObsoleteCheck CheckObsoleteMappingFile(const std::u16string& path,
                                       const std::string& caption,
                                       std::u16string* data_format,
                                       Messages* messages);

}  // namespace kavex::configurator

#endif  // KAVEX_CONFIGURATOR_CORE_OBSOLETE_FILE_H_
