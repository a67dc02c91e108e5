// Filters of the file dialogs, from the form the window models hold, with
// malformed ones among them: each gives a usable Qt filter, never a crash.
#include "configurator/qt/file_dialogs.h"

#include <gtest/gtest.h>

#include "configurator/qt/testing/qstring_printer.h"

#include "configurator/core/import_export.h"

namespace kavex::configurator::qt {
namespace {

TEST(FileDialogsTest, QtFilterTable) {
  const std::pair<std::u16string, QString> cases[] = {
      {kExportFilter, "Config Files (*.KavexExp);;All Files (*)"},
      {u"Config Files (*.KavexExp)|*.KavexExp||", "Config Files (*.KavexExp)"},
      {u"Text|*.txt;*.log|", "Text (*.txt *.log)"},
      {u"(*.xml)|*.xml", "*.xml"},
      {u"Only a text", "Only a text"},
      {u"Dangling|", "Dangling"},
      {u"|*.x|", "*.x"},
      {u"||||", ""},
      {u"", ""},
      {u"A|;;;|B|*.b", "A;;B (*.b)"},
  };
  for (const auto& [filter, qt] : cases)
    EXPECT_EQ(QtFilter(filter), qt) << QString::fromStdU16String(filter).toStdString();
}

}  // namespace
}  // namespace kavex::configurator::qt
