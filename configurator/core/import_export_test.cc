// Export, import, the obsolete mapping file and report mode, through the
// main window.
#include "configurator/core/import_export.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "configurator/core/obsolete_file.h"
#include "configurator/core/report_mode.h"
#include "configurator/core/testing/configurator_fixture.h"
#include "configurator/core/window_model.h"

namespace kavex::configurator {
namespace {

using testing::ReadTextFile;
using testing::StatusFrame;
using testing::U16;
using testing::VeltoMac;

std::string Switch(const std::string& address, const std::string& alias,
                   const std::string& type = "1") {
  return "<SWITCH Model=\"KX-108\" Address=\"" + address + "\" Alias=\"" +
         alias + "\" Type=\"" + type +
         "\"><Port Number=\"1\" Alias=\"P1\" Disabled=\"No\" "
         "Exists=\"Yes\"/></SWITCH>";
}

class ImportExportTest : public testing::ConfiguratorTest {
 protected:
  void SetUp() override {
    ConfiguratorTest::SetUp();
    Install(ReadTextFile(KAVEX_SHIPPED_CATALOG));
  }
  std::vector<std::u16string> Aliases() {
    std::vector<std::u16string> aliases;
    // A copy: the model hands out its adapters by value.
    const std::vector<ConfigAdapter> adapters = model_->adapters();
    for (const ConfigSwitch& sw : adapters[0].switches)
      aliases.push_back(sw.alias);
    return aliases;
  }
  // Imports `description` of the file at `path` into the local adapter.
  void Import(const std::string& path, std::u16string_view description,
              int answer = IDYES) {
    std::unique_ptr<ImportWindow> window = model_->OpenImportWindow(U16(path));
    ASSERT_NE(window, nullptr);
    window->SelectImported(window->state().imported.FindExact(description));
    window->SelectCurrent(0);
    boxes_.QueueAnswer(answer);
    window->Import();
    EXPECT_TRUE(window->state().closed);
  }
};

TEST_F(ImportExportTest, ExportThenImportKeepsTheMapping) {
  WriteConfiguration("<ROOT><ADAPTER Name=\"\\Device\\Test\\lan\" "
                     "Timeout=\"99\">" +
                     Switch("02.C4.7D.00.00.01", "One") +
                     Switch("02.C4.7D.00.00.02", "Two") + "</ADAPTER></ROOT>");
  MainWindowModel& model = Start();
  Deliver(StatusFrame(VeltoMac(7), 0, ""));  // fills the mapped list
  const std::string exported = dir_ + "/site.KavexExp";
  ASSERT_TRUE(model.Export(U16(exported)));
  const std::string text = ReadTextFile(exported);
  EXPECT_EQ(text.find("Timeout"), std::string::npos);
  EXPECT_NE(text.find("Description=\"Plant LAN\" Active=\"Yes\""),
            std::string::npos);
  // One switch changed locally; the import brings the file's back.
  model.SelectMapped(0);
  model.SetAliasText(u"Changed");
  model.Rename();
  EXPECT_EQ(Aliases(), (std::vector<std::u16string>{u"Changed", u"Two"}));
  Import(exported, u"Plant LAN");
  EXPECT_EQ(boxes_.boxes().back().text,
            text::Utf16ToUtf8(kImportQuestion));
  EXPECT_EQ(boxes_.boxes().back().caption, "VeltoOPC");
  EXPECT_EQ(boxes_.boxes().back().type, MB_YESNO | MB_ICONEXCLAMATION);
  EXPECT_EQ(Aliases(), (std::vector<std::u16string>{u"One", u"Two"}));
  EXPECT_EQ(model.adapters()[0].timeout, 99u);  // not taken from the file
  EXPECT_EQ(model.state().mapped.size(), 2u);
}

TEST_F(ImportExportTest, ImportReplacesByAddressAndTakesEveryMatchingAdapter) {
  WriteConfiguration("<ROOT><ADAPTER Name=\"\\Device\\Test\\lan\">" +
                     Switch("02.C4.7D.00.00.01", "Local1") +
                     Switch("02.C4.7D.00.00.02", "Local2") +
                     "</ADAPTER></ROOT>");
  const std::string imported = dir_ + "/other.KavexExp";
  std::ofstream(imported)
      << "<ROOT DataFormat=\"Integer\"><ADAPTER Description=\"Far\">" +
             Switch("02.C4.7D.00.00.01", "Far1") +
             "</ADAPTER><ADAPTER Description=\"Near\">" +
             Switch("02.C4.7D.00.00.03", "Near3") +
             "</ADAPTER><ADAPTER Description=\"Far\">" +
             // No model stored: taken from the alias.
             "<SWITCH Address=\"02.C4.7D.00.00.04\" Alias=\"Hall_KX-217_4\" "
             "Type=\"2\"/></ADAPTER></ROOT>";
  MainWindowModel& model = Start();
  // No: nothing imported.
  Import(imported, u"Far", IDNO);
  EXPECT_EQ(Aliases(), (std::vector<std::u16string>{u"Local1", u"Local2"}));
  Import(imported, u"Far");
  EXPECT_EQ(Aliases(), (std::vector<std::u16string>{u"Local2", u"Far1",
                                                    u"Hall_KX-217_4"}));
  EXPECT_EQ(model.adapters()[0].switches[2].model, u"KX-217");
  EXPECT_EQ(model.data_format(), u"String");  // not taken from the file
  EXPECT_EQ(model.state().mapped.size(), 3u);
}

TEST_F(ImportExportTest, ImportWindowRefusals) {
  MainWindowModel& model = Start();
  const std::string imported = dir_ + "/x.KavexExp";
  std::ofstream(imported) << "<ROOT><ADAPTER Description=\"A\"/></ROOT>";
  std::unique_ptr<ImportWindow> window = model.OpenImportWindow(U16(imported));
  EXPECT_EQ(window->state().current.items(),
            std::vector<std::u16string>{u"Plant LAN"});
  window->SelectImported(0);
  window->Import();  // no local adapter chosen
  EXPECT_FALSE(window->state().closed);
  EXPECT_EQ(Boxes(), std::vector<std::string>{
                         "VeltoOPC: You must select both Imported and Current "
                         "adapters for import operation."});
  window->Cancel();
  EXPECT_TRUE(window->state().closed);

  // Not XML: the list stays empty and the status line says why; an import
  // started anyway is terminated. XML that is not an export file lists
  // nothing.
  for (const char* content : {"garbage", "", "<ROOT"}) {
    std::ofstream(imported) << content;
    window = model.OpenImportWindow(U16(imported));
    EXPECT_TRUE(window->state().imported.empty());
    EXPECT_EQ(model.state().status.text, kNotAnImportFile);
  }
  std::ofstream(imported) << "<html><body>not ours</body></html>";
  window = model.OpenImportWindow(U16(imported));
  EXPECT_TRUE(window->state().imported.empty());
  ConfigAdapter target;
  EXPECT_FALSE(ImportAdapterSwitches(U16(dir_ + "/none.KavexExp"), u"A", {},
                                     &target));
}

TEST_F(ImportExportTest, AnExportThatCannotBeWrittenIsSaid) {
  MainWindowModel& model = Start();
  EXPECT_FALSE(model.Export(U16(dir_ + "/no/such/dir/x.KavexExp")));
  EXPECT_NE(model.state().status.text.find(u"Could not save file"),
            std::u16string::npos);
  EXPECT_TRUE(model.Export(U16(dir_ + "/x.KavexExp")));
  EXPECT_EQ(model.state().status.text, u"");
  EXPECT_EQ(model.FileDialogDirectory(), U16(dir_));
}

TEST_F(ImportExportTest, ObsoleteFileIsSetAsideOnce) {
  // The first adapter is current, the second holds a switch without type.
  const std::string obsolete =
      "<ROOT DataFormat=\"Integer\"><ADAPTER Name=\"\\Device\\Test\\lan\">" +
      Switch("02.C4.7D.00.00.01", "Typed") +
      "</ADAPTER><ADAPTER Name=\"\\Device\\other\">" +
      Switch("02.C4.7D.00.00.02", "Old", "0") +
      Switch("02.C4.7D.00.00.03", "Older", "") + "</ADAPTER></ROOT>";
  WriteConfiguration(obsolete);
  MainWindowModel& model = Start();
  EXPECT_EQ(Boxes(), std::vector<std::string>{
                         "veltoopc: Mapping File obsoleted and renamed to "
                         "'KavexOPC.xmlOLD'."});
  EXPECT_FALSE(std::filesystem::exists(config_path_));
  EXPECT_EQ(ReadTextFile(config_path_ + "OLD"), obsolete);
  EXPECT_TRUE(model.adapters()[0].switches.empty());
  EXPECT_EQ(model.data_format(), u"Integer");

  // A backup already there is never overwritten: it is deleted instead.
  boxes_.Clear();
  WriteConfiguration(obsolete);
  Start();
  EXPECT_EQ(Boxes(), std::vector<std::string>{
                         "veltoopc: Deleted obsoleted Mapping File."});
  EXPECT_FALSE(std::filesystem::exists(config_path_ + "OLD"));
  // A current file is left alone.
  Messages messages;
  std::u16string format;
  WriteConfiguration("<ROOT><ADAPTER>" + Switch("02.C4.7D.00.00.01", "A") +
                     "</ADAPTER></ROOT>");
  EXPECT_EQ(CheckObsoleteMappingFile(U16(config_path_), "x", &format, &messages),
            ObsoleteCheck::kCurrent);
  EXPECT_TRUE(messages.empty());
}

TEST_F(ImportExportTest, ReportCommandLines) {
  const struct {
    const char16_t* line;
    bool report;
    const char16_t* adapter;
  } kLines[] = {
      {u"veltoopc 'Local Area Connection' 'report'", true,
       u"Local Area Connection"},
      {u"'Plant LAN' 'REPORT'", true, u"Plant LAN"},
      {u"'Plant LAN''report' trailing", true, u"Plant LAN"},
      {u"'' 'report'", true, u""},
      {u"'Plant LAN' 'reports'", false, u""},
      {u"'Plant LAN' report", false, u""},
      {u"'Plant LAN'", false, u""},
      {u"'unterminated", false, u""},
      {u"report", false, u""},
      {u"", false, u""},
      {u"''''", false, u""},
  };
  for (const auto& c : kLines) {
    const ReportRequest request = ParseCommandLine(c.line);
    EXPECT_EQ(request.report, c.report) << text::Utf16ToUtf8(c.line);
    EXPECT_EQ(request.adapter, c.adapter) << text::Utf16ToUtf8(c.line);
  }
  const char* const argv[] = {"veltoopc", "Local Area Connection", "'report'"};
  EXPECT_EQ(CommandLineFromArguments(3, argv),
            u"'Local Area Connection' 'report'");
}

TEST_F(ImportExportTest, ReportListsTheMappedSwitchesHeard) {
  WriteConfiguration("<ROOT><ADAPTER Name=\"\\Device\\Test\\lan\">" +
                     Switch("02.C4.7D.00.00.02", "Two") +
                     Switch("02.C4.7D.00.00.01", "One") + "</ADAPTER></ROOT>");
  fake_service_.AddUnit(service::kServerUnitName,
                        service::ActiveState::kActive);
  driver_.adapters = std::vector<std::string>{"\\Device\\a", "\\Device\\Test\\lan"};
  driver_.friendly_names = {"Another LAN", "Plant LAN"};
  MainWindowModel& model = Start(u"'plant lan' 'report'");
  MainWindowState state = model.state();
  EXPECT_TRUE(model.report_mode());
  EXPECT_TRUE(state.minimized);
  EXPECT_EQ(state.report_timer_ms, 7000u);
  EXPECT_EQ(state.adapter_box.text, u"Plant LAN");
  Deliver(StatusFrame(VeltoMac(2), 0, ""));
  Deliver(StatusFrame(VeltoMac(9), 0, ""));  // heard, not mapped
  Deliver(StatusFrame(VeltoMac(1), 0, ""));
  model.OnReportTimer();
  const std::string report = ReadTextFile(dir_ + "/Report.txt");
  ASSERT_EQ(report.rfind("\t\tActive Switches\n\n\t", 0), 0u) << report;
  const std::string lines =
      "M\n\n02.C4.7D.00.00.01 - One\n02.C4.7D.00.00.02 - Two\n";
  ASSERT_GT(report.size(), lines.size());
  EXPECT_EQ(report.substr(report.size() - lines.size()), lines);
  state = model.state();
  EXPECT_TRUE(state.closed);
  EXPECT_EQ(state.report_timer_ms, 0u);
  EXPECT_FALSE(model.capturing());
  // The service stopped at start-up is not started again.
  EXPECT_EQ(fake_service_.Requests(),
            std::vector<std::string>{"stop kavex-opc-server.service"});
}

TEST_F(ImportExportTest, ReportWithNothingHeardAndOneThatCannotBeWritten) {
  MainWindowModel& model = Start(u"'Plant LAN' 'report'");
  model.OnReportTimer();
  std::string report = ReadTextFile(dir_ + "/Report.txt");
  // The header and the time, "\t07/04/2016 03:05:09 PM\n\n", only.
  EXPECT_EQ(report.size(), 19u + 1u + 22u + 2u) << report;
  EXPECT_EQ(report.substr(report.size() - 3), "M\n\n");

  std::filesystem::remove(dir_ + "/Report.txt");
  std::filesystem::create_directory(dir_ + "/Report.txt");  // in the way
  Start(u"'Plant LAN' 'report'");
  model_->OnReportTimer();
  EXPECT_NE(model_->state().status.text.find(u"Could not write \"Report.txt\""),
            std::u16string::npos);
  EXPECT_TRUE(model_->state().closed);
}

}  // namespace
}  // namespace kavex::configurator
