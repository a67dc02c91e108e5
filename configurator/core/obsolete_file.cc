#include "configurator/core/obsolete_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include "configurator/core/xml_attributes.h"
#include "platform/text/utf.h"
#include "xmldoc/xdomlib.h"

namespace kavex::configurator {
namespace {

bool HasUntypedSwitch(xmldoc::CXDocument& document) {
  xmldoc::CXNodeList adapters = document.SelectNodes(u"ROOT/ADAPTER");
  for (xmldoc::CXNode a = adapters.FirstNode(); a.Valid();
       a = adapters.NextNode()) {
    xmldoc::CXNodeList switches = a.SelectNodes(u"SWITCH");
    for (xmldoc::CXNode s = switches.FirstNode(); s.Valid();
         s = switches.NextNode()) {
      if (AttributeByte(s, u"Type") == 0) return true;
    }
  }
  return false;
}

}  // namespace

ObsoleteCheck CheckObsoleteMappingFile(const std::u16string& path,
                                       const std::string& caption,
                                       std::u16string* data_format,
                                       Messages* messages) {
  xmldoc::CXDocument document;
  document.Load(path.c_str());
  if (!document.Valid()) return ObsoleteCheck::kNotLoaded;
  xmldoc::CXNode root = document.SelectSingleNode(u"ROOT");
  *data_format = AttributeText(root, u"DataFormat");
  if (!HasUntypedSwitch(document)) return ObsoleteCheck::kCurrent;

  const std::string file = text::Utf16ToUtf8(path);
  const std::string backup = file + "OLD";
  // Like a rename that refuses to replace a file already there.
  if (renameat2(AT_FDCWD, file.c_str(), AT_FDCWD, backup.c_str(),
                RENAME_NOREPLACE) == 0) {
    messages->push_back({kObsoleteRenamed, caption, MB_OK});
    return ObsoleteCheck::kRenamed;
  }
  if (unlink(backup.c_str()) == 0) {
    messages->push_back({kObsoleteDeleted, caption, MB_OK});
    return ObsoleteCheck::kBackupDeleted;
  }
  messages->push_back({kObsoleteNotDeleted, caption, MB_OK});
  return ObsoleteCheck::kBackupNotDeleted;
}

}  // namespace kavex::configurator
