// The main window driven as the view drives it: frames completed on the
// capture pump's receive thread, message boxes recorded and answered,
// pauses passed on a fake clock, the service manager a fake.
#include "configurator/core/window_model.h"

#include <gtest/gtest.h>

#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "configurator/core/config_file.h"
#include "configurator/core/testing/configurator_fixture.h"
#include "device/capture.h"

namespace kavex::configurator {
namespace {

using service::ActiveState;
using service::kServerUnitName;
using testing::ReadTextFile;
using testing::StatusFrame;
using testing::U16;
using testing::VeltoMac;

constexpr char16_t kSwitch1[] = u"02.C4.7D.00.00.01";

class MainWindowTest : public testing::ConfiguratorTest {
 protected:
  void InstallShipped() { Install(ReadTextFile(KAVEX_SHIPPED_CATALOG)); }
  int ModelIndex(std::u16string_view name) {
    return model_->state().model.model_box.FindExact(name);
  }
  std::vector<std::u16string> Mapped() { return model_->state().mapped.items(); }
  // Hears switch `last` reporting `config`, selects it and maps it as
  // auto-selected.
  void HearAndMap(uint8_t last, std::string_view config) {
    Deliver(StatusFrame(VeltoMac(last), 0, config));
    const MainWindowState state = model_->state();
    const std::u16string address =
        U16(device::AddressText(VeltoMac(last).data()));
    model_->SelectDiscovered(state.discovered.FindExact(address));
    model_->Map();
  }
};

TEST_F(MainWindowTest, StartsCapturingOnTheFirstAdapter) {
  InstallShipped();
  driver_.adapters = std::vector<std::string>{"\\Device\\b", "\\Device\\a"};
  driver_.friendly_names = {"Second LAN", "First LAN"};
  MainWindowModel& model = Start();
  const MainWindowState state = model.state();
  // The box is sorted; its first entry is selected.
  EXPECT_EQ(state.adapter_box.items(),
            (std::vector<std::u16string>{u"First LAN", u"Second LAN"}));
  EXPECT_EQ(state.adapter_box.text, u"First LAN");
  EXPECT_TRUE(state.timeout_command_enabled);
  EXPECT_TRUE(model.capturing());
  EXPECT_EQ(driver_.opened.back(), "\\Device\\a");
  EXPECT_EQ(model.adapters()[1].active, true);
  EXPECT_EQ(model.adapters()[0].active, false);
  // The filter passes EtherType 0x8874 only; timestamps at resolution 1;
  // the first packet filter the adapter takes.
  const auto& program = device::kVeltoFilterProgram;
  ASSERT_EQ(driver_.bpf_program.size(), sizeof program);
  EXPECT_EQ(std::memcmp(driver_.bpf_program.data(), program.data(),
                        sizeof program),
            0);
  EXPECT_EQ(driver_.timestamp_resolution, 1u);
  EXPECT_EQ(model.capture().packet_filter(), 12u);
  EXPECT_TRUE(pkio::testing::WaitUntil(
      [&] { return model.capture().posted_reads() == kCaptureReads; }));
  // Nothing heard yet: the model box and the Map button wait.
  EXPECT_FALSE(state.model.model_box.visible);
  EXPECT_FALSE(state.map_button.visible);
  EXPECT_EQ(state.model.model_box.items().size(), 5u);
  EXPECT_EQ(model.current_model(), u"");
  EXPECT_TRUE(state.string_format_checked);
}

TEST_F(MainWindowTest, WithoutAdapters) {
  InstallShipped();
  driver_.adapters = std::vector<std::string>{};
  MainWindowModel& model = Start();
  MainWindowState state = model.state();
  EXPECT_TRUE(state.adapter_box.empty());
  EXPECT_FALSE(state.timeout_command_enabled);
  EXPECT_EQ(state.status.text, kNothingSelected);
  EXPECT_EQ(model.OpenTimeoutWindow(), nullptr);
  EXPECT_EQ(Boxes(), std::vector<std::string>{
                         "veltoopc: An adapter must be selected before "
                         "changing Timeout Value"});
  ASSERT_TRUE(model.SaveAndClose());
  const std::string file = ReadTextFile(config_path_);
  EXPECT_NE(file.find("<ROOT"), std::string::npos);
  EXPECT_EQ(file.find("ADAPTER"), std::string::npos);
  EXPECT_EQ(model.state().end_result, IDOK);
}

TEST_F(MainWindowTest, EnumerationAndCaptureFailuresAreInTheStatusLine) {
  InstallShipped();
  driver_.fail_enumeration = true;
  EXPECT_EQ(Start().state().status.text, kNothingSelected);
  EXPECT_TRUE(model_->adapters().empty());

  driver_.fail_enumeration = false;
  driver_.open_error = ERROR_FILE_NOT_FOUND;
  MainWindowModel& model = Start();
  EXPECT_EQ(model.state().status.text, u"Could not open the adapter. Error 2");
  // Without the right to capture, the line says how to get it.
  driver_.open_error = ERROR_ACCESS_DENIED;
  model.SelectAdapter(0);
  EXPECT_EQ(model.state().status.text,
            u"Could not open the adapter. Error 5 (capturing needs the "
            u"CAP_NET_RAW capability: run as root, or setcap cap_net_raw+ep "
            u"on the program)");
  driver_.open_error = ERROR_FILE_NOT_FOUND;
  model.SelectAdapter(0);
  EXPECT_FALSE(model.capturing());
  EXPECT_FALSE(model.adapters()[0].active);
  ASSERT_TRUE(model.SaveAndClose());
  EXPECT_NE(ReadTextFile(config_path_).find("Active=\"No\""),
            std::string::npos);
}

// Which packet filters each medium gets.
TEST_F(MainWindowTest, PacketFilterByMedium) {
  EXPECT_EQ(PacketFiltersForMedium(0), (std::vector<DWORD>{12, 128, 1}));
  EXPECT_EQ(PacketFiltersForMedium(1), PacketFiltersForMedium(5));
  EXPECT_EQ(PacketFiltersForMedium(4), std::vector<DWORD>{12});
  EXPECT_TRUE(PacketFiltersForMedium(2).empty());
  InstallShipped();
  driver_.refused_filters = {12};
  EXPECT_EQ(Start().capture().packet_filter(), 128u);
  driver_.medium = 4;
  driver_.filters_tried.clear();
  EXPECT_FALSE(Start().capturing());
  EXPECT_EQ(driver_.filters_tried, std::vector<DWORD>{12});
  EXPECT_EQ(model_->state().status.text, u"");  // no text for this failure
  driver_.medium = 7;
  EXPECT_FALSE(Start().capturing());
}

TEST_F(MainWindowTest, DiscoveredListHoldsVeltoSwitchesOnce) {
  InstallShipped();
  MainWindowModel& model = Start();
  // A foreign vendor's frames of every length, and frames of another
  // EtherType, are never listed.
  for (size_t len : {0, 1, 13, 14, 100, 175, 176, 192, 193, 600, 1514}) {
    std::vector<uint8_t> foreign =
        device::VeltoFrameBuilder()
            .Source({0x02, 0xC4, 0x7E, 0, 0, 1})
            .Info(1, 0, 0, 0, "KX-108")
            .Length(len)
            .Build();
    Deliver(foreign);
  }
  Deliver(device::VeltoFrameBuilder().EtherType(0x0800).Build());
  EXPECT_TRUE(model.state().discovered.empty());

  Deliver(StatusFrame(VeltoMac(2), 0, "KX-217"));
  Deliver(StatusFrame(VeltoMac(1), 0, "KX-108"));
  Deliver(StatusFrame(VeltoMac(2), 1, "KX-217"));
  MainWindowState state = model.state();
  EXPECT_EQ(state.discovered.items(),
            (std::vector<std::u16string>{kSwitch1, u"02.C4.7D.00.00.02"}));
  EXPECT_TRUE(state.model.model_box.visible);
  EXPECT_TRUE(state.switch_hint.visible);
  EXPECT_TRUE(state.map_button.visible);
  // Its configuration text follows its latest frame.
  Deliver(StatusFrame(VeltoMac(1), 1, "KX-326G"));
  model.SelectDiscovered(0);
  EXPECT_EQ(model.current_model(), u"KX-326G");
  EXPECT_EQ(model.state().status.text,
            u"Configuration For Switch '02.C4.7D.00.00.01' Has Been "
            u"Auto-Selected.");
}

// A view learns of every change through the callback, also of those a
// frame makes on the capture thread; each call follows a revision step.
TEST_F(MainWindowTest, ChangeCallbackFollowsEveryRevision) {
  InstallShipped();
  std::mutex mu;
  std::vector<uint64_t> revisions;
  std::set<std::thread::id> threads;
  model_ = std::make_unique<MainWindowModel>(Options());
  model_->SetChangeCallback([&] {
    std::lock_guard<std::mutex> lock(mu);
    revisions.push_back(model_->revision());
    threads.insert(std::this_thread::get_id());
  });
  model_->Initialize(u"");
  {
    std::lock_guard<std::mutex> lock(mu);
    ASSERT_FALSE(revisions.empty());
    EXPECT_EQ(revisions.back(), model_->revision());
    EXPECT_EQ(threads, std::set<std::thread::id>{std::this_thread::get_id()});
  }
  const uint64_t before = model_->revision();
  Deliver(StatusFrame(VeltoMac(1), 0, "KX-108"));
  {
    std::lock_guard<std::mutex> lock(mu);
    EXPECT_GT(model_->revision(), before);
    EXPECT_EQ(revisions.back(), model_->revision());
    // The frame's change was told on the capture thread.
    EXPECT_EQ(threads.size(), 2u);
  }
  model_->SetAliasText(u"Line");
  {
    std::lock_guard<std::mutex> lock(mu);
    EXPECT_EQ(revisions.back(), model_->revision());
  }
  // The callback's state goes with this scope.
  model_.reset();
}

TEST_F(MainWindowTest, UnrecognisedConfigurationSelectsTheFirstModel) {
  InstallShipped();
  MainWindowModel& model = Start();
  // 192 bytes: no information area, no configuration text.
  Deliver(device::VeltoFrameBuilder().Source(VeltoMac(1)).Build());
  Deliver(StatusFrame(VeltoMac(2), 0, "KM-414(T4,T4)"));
  model.SelectDiscovered(0);
  EXPECT_EQ(model.state().status.text,
            u"Configuration '' For Switch '02.C4.7D.00.00.01' Is Not "
            u"Recognized.");
  EXPECT_EQ(model.current_model(), u"KM-414");  // first in the sorted box
  model.SelectDiscovered(1);
  EXPECT_EQ(model.state().status.text,
            u"Configuration 'KM-414(T4,T4)' For Switch '02.C4.7D.00.00.02' Is "
            u"Not Recognized.");
}

TEST_F(MainWindowTest, MapAndMapAgain) {
  InstallShipped();
  MainWindowModel& model = Start();
  HearAndMap(1, "KM-414(T4,F2,T4)");
  EXPECT_TRUE(Boxes().empty());
  EXPECT_EQ(Mapped(), std::vector<std::u16string>{
                          u"02.C4.7D.00.00.01  -  KM414(T4,F2,T4)_000001"});
  HearAndMap(2, "KX-108");
  std::vector<ConfigSwitch> switches = model.adapters()[0].switches;
  ASSERT_EQ(switches.size(), 2u);
  EXPECT_EQ(switches[0].model, u"KM-414(T4,F2,T4)");
  EXPECT_EQ(switches[0].type, 4);
  EXPECT_TRUE(switches[0].heard);
  EXPECT_EQ(switches[0].ports.size(), 12u);  // 4 + 2 + 4 + two uplinks
  EXPECT_EQ(switches[0].ports[4].alias, u"B1");
  EXPECT_EQ(switches[0].ports[4].number, 5);

  // Renamed, then mapped again: No changes nothing...
  model.SelectMapped(0);
  model.SetAliasText(u"Hall1");
  model.Rename();
  model.SelectDiscovered(0);
  boxes_.QueueAnswer(IDNO);
  model.Map();
  ASSERT_EQ(boxes_.count(), 1u);
  EXPECT_EQ(boxes_.boxes()[0].caption, "Velto OPC");
  EXPECT_EQ(boxes_.boxes()[0].type, MB_YESNO);
  EXPECT_EQ(model.adapters()[0].switches[0].alias, u"Hall1");
  // ...Yes replaces it with the catalog's defaults, at the end of the list.
  model.Map();
  switches = model.adapters()[0].switches;
  ASSERT_EQ(switches.size(), 2u);
  EXPECT_EQ(switches[0].address, u"02.C4.7D.00.00.02");
  EXPECT_EQ(switches[1].alias, u"KM414(T4,F2,T4)_000001");
}

TEST_F(MainWindowTest, MapPrerequisites) {
  Install("");  // no catalog
  MainWindowModel& model = Start();
  EXPECT_EQ(Boxes(), std::vector<std::string>{
                         "Kavex OPC View: Can not find \"switches.xml\" file."});
  EXPECT_EQ(model.state().status.text, u"");  // the adapter selection's
  boxes_.Clear();
  model.Map();
  Deliver(StatusFrame(VeltoMac(1), 0, "KX-108"));
  model.SelectDiscovered(0);
  model.Map();
  EXPECT_EQ(Boxes(), (std::vector<std::string>{
                         "Kavex OPC View: Select switch MAC address to map.",
                         "Kavex OPC View: Select switch model to map."}));
  EXPECT_TRUE(model.adapters()[0].switches.empty());
}

TEST_F(MainWindowTest, MapWithAConfigurationTheModelRefuses) {
  InstallShipped();
  MainWindowModel& model = Start();
  Deliver(StatusFrame(VeltoMac(1), 0, "KM-518(T4,T4,T4,T4)"));
  model.SelectDiscovered(0);
  ASSERT_EQ(model.current_model(), u"KM-518");
  // Slot C blank blanks D too; D then left with no choice at all.
  model.SelectSlot(2, model.state().model.slot_boxes[2].FindExact(u"Blank"));
  model.SelectSlot(3, -1);
  MainWindowState state = model.state();
  EXPECT_EQ(state.model.slot_boxes[3].text, u"");
  model.Map();
  EXPECT_EQ(Boxes(), std::vector<std::string>{
                         "Kavex OPC View: Could not find an appropriate "
                         "configuration to map."});
  EXPECT_TRUE(model.adapters()[0].switches.empty());
}

TEST_F(MainWindowTest, RenameAndUnMap) {
  InstallShipped();
  MainWindowModel& model = Start();
  HearAndMap(1, "KX-108");
  model.SelectMapped(0);
  const std::u16string longest(35, u'x');
  model.SetAliasText(longest + u"yz");  // the edit takes 35
  model.Rename();
  EXPECT_EQ(model.adapters()[0].switches[0].alias, longest);
  for (std::u16string_view refused : {u"SW-1", u"S W", u"S.W", u""}) {
    model.SetAliasText(refused);
    model.Rename();
  }
  EXPECT_EQ(model.adapters()[0].switches[0].alias, longest);
  model.SelectMapped(-1);
  model.SetAliasText(u"Fine");
  model.Rename();
  model.UnMap();
  const std::string forbidden =
      "Velto OPC: '.', '-' and Spaces are not allowed in the alias name";
  EXPECT_EQ(Boxes(), (std::vector<std::string>{
                         forbidden, forbidden, forbidden,
                         "Velto OPC: Type in a new alias name.",
                         "Velto OPC: Select the switch in the right side list.",
                         "Velto OPC: Select the switch in the right side list."}));
  model.SelectMapped(0);
  model.UnMap();
  EXPECT_TRUE(model.adapters()[0].switches.empty());
  EXPECT_TRUE(Mapped().empty());
}

TEST_F(MainWindowTest, MappedListAfterAnAdapterChange) {
  InstallShipped();
  WriteConfiguration(
      "<ROOT DataFormat=\"Integer\"><ADAPTER Name=\"\\Device\\b\" "
      "Timeout=\"45\"><SWITCH Address=\"02.C4.7D.00.00.09\" Alias=\"Nine\" "
      "Model=\"KX-108\" Type=\"1\"/></ADAPTER></ROOT>");
  driver_.adapters = std::vector<std::string>{"\\Device\\a", "\\Device\\b"};
  driver_.friendly_names = {"A LAN", "B LAN"};
  MainWindowModel& model = Start();
  EXPECT_TRUE(model.state().integer_format_checked);
  EXPECT_EQ(model.data_format(), u"Integer");
  EXPECT_EQ(model.adapters()[1].timeout, 45u);
  Deliver(StatusFrame(VeltoMac(1), 0, "KX-108"));
  model.SelectAdapter(1);
  NewCapture();
  EXPECT_EQ(slept_ms_, 1000u);  // the grace before the adapter closed
  EXPECT_TRUE(Mapped().empty());
  EXPECT_TRUE(model.state().discovered.empty());
  // The first switch heard on the new adapter fills the mapped list.
  Deliver(StatusFrame(VeltoMac(1), 0, "KX-108"));
  EXPECT_EQ(Mapped(),
            std::vector<std::u16string>{u"02.C4.7D.00.00.09  -  Nine"});
  EXPECT_FALSE(model.adapters()[0].active);
  EXPECT_TRUE(model.adapters()[1].active);
  model.SelectAdapter(-1);
  EXPECT_EQ(model.state().status.text, kNothingSelected);
  EXPECT_FALSE(model.state().timeout_command_enabled);
}

TEST_F(MainWindowTest, SaveAndCloseWritesTheMappingAndRestartsTheService) {
  InstallShipped();
  fake_service_.AddUnit(kServerUnitName, ActiveState::kInactive);
  MainWindowModel& model = Start();
  HearAndMap(1, "KX-108");
  model.SetDataFormat(u"Integer");
  ASSERT_TRUE(model.SaveAndClose());
  EXPECT_FALSE(model.capturing());
  const std::string file = ReadTextFile(config_path_);
  EXPECT_NE(file.find("DataFormat=\"Integer\""), std::string::npos);
  EXPECT_NE(file.find("Name=\"\\Device\\Test\\lan\" Description=\"Plant "
                      "LAN\" Active=\"Yes\" Timeout=\"20\""),
            std::string::npos);
  EXPECT_NE(file.find("Model=\"KX-108\" Address=\"02.C4.7D.00.00.01\" "
                      "Alias=\"KX108_000001\" Type=\"1\""),
            std::string::npos);
  EXPECT_EQ(fake_service_.Requests(),
            std::vector<std::string>{"start kavex-opc-server.service"});
  EXPECT_EQ(slept_ms_, 500u);
  EXPECT_TRUE(model.state().closed);
}

TEST_F(MainWindowTest, AConfigurationThatCannotBeWrittenKeepsTheWindowOpen) {
  InstallShipped();
  MainWindowModel& model = Start();
  HearAndMap(1, "KX-108");
  RegisterPath(dir_ + "/missing/KavexOPC.xml");
  EXPECT_FALSE(model.SaveAndClose());
  EXPECT_FALSE(model.state().closed);
  EXPECT_NE(model.state().status.text.find(u"Could not save file"),
            std::u16string::npos);
  EXPECT_TRUE(model.capturing());
  // Without a configuration path there is nothing to lose: it closes.
  RegDeleteTreeA(HKEY_LOCAL_MACHINE, registry::kConfigurationKey);
  EXPECT_TRUE(model.SaveAndClose());
  EXPECT_EQ(model.state().status.text, kNoSwitchesMapped);
}

TEST_F(MainWindowTest, ServiceCheckAtStartUp) {
  InstallShipped();
  // Not installed.
  Start();
  EXPECT_EQ(model_->service_check(), ServiceCheck::kNotFound);
  EXPECT_EQ(model_->state().service_notice.text, kServiceNotFoundNotice);
  EXPECT_FALSE(model_->state().stop_server_button.visible);
  // Running, with the rights to stop it: stopped without a word.
  fake_service_.AddUnit(kServerUnitName, ActiveState::kActive);
  Start();
  EXPECT_EQ(model_->service_check(), ServiceCheck::kNotRunning);
  EXPECT_EQ(model_->state().service_notice.text, u"");
  EXPECT_EQ(fake_service_.StateLine(kServerUnitName), "inactive");
  // Slower than six one-second waits: the notice and the button, after a
  // seventh wait whose answer is not looked at.
  fake_service_.AddUnit(kServerUnitName, ActiveState::kActive);
  fake_service_.SetFaults("stop-delay 8\n");
  slept_ms_ = 0;
  Start();
  EXPECT_EQ(model_->service_check(), ServiceCheck::kStillRunning);
  EXPECT_EQ(slept_ms_, 7000u);
  MainWindowState state = model_->state();
  EXPECT_EQ(state.service_notice.text, kServiceRunningNotice);
  EXPECT_TRUE(state.stop_server_button.visible);
  // The button tries again; the stop has gone on meanwhile.
  model_->StopServer();
  EXPECT_EQ(model_->state().service_notice.text, u"");
  EXPECT_FALSE(model_->state().stop_server_button.visible);
  // Without the rights: the notice only, and closing starts nothing.
  fake_service_.AddUnit(kServerUnitName, ActiveState::kActive);
  fake_service_.SetFaults("unprivileged\n");
  Start();
  EXPECT_EQ(model_->service_check(), ServiceCheck::kRunningReadOnly);
  EXPECT_EQ(model_->state().service_notice.text, kServiceRunningNotice);
  EXPECT_FALSE(model_->state().stop_server_button.visible);
  const size_t requests = fake_service_.Requests().size();
  model_->CloseWithoutSaving();
  EXPECT_EQ(fake_service_.Requests().size(), requests);
  EXPECT_EQ(model_->state().end_result, IDCANCEL);
}

// The stop's limit: stopped as seen after the sixth one-second wait is in
// time; stopped only by the seventh is too late. (The fake's delay counts
// the stop request's own status among its queries.)
TEST_F(MainWindowTest, AStopMustBeSeenWithinSixWaits) {
  InstallShipped();
  for (const auto& [delay, check, slept] :
       {std::tuple{"6", ServiceCheck::kNotRunning, 5000u},
        std::tuple{"7", ServiceCheck::kNotRunning, 6000u},
        std::tuple{"8", ServiceCheck::kStillRunning, 7000u}}) {
    fake_service_.AddUnit(kServerUnitName, ActiveState::kActive);
    fake_service_.SetFaults(std::string("stop-delay ") + delay + "\n");
    slept_ms_ = 0;
    Start();
    EXPECT_EQ(model_->service_check(), check) << delay;
    EXPECT_EQ(slept_ms_, slept) << delay;
    model_.reset();
  }
}

TEST_F(MainWindowTest, ClosingStartsAServiceThatWasNotRunning) {
  InstallShipped();
  fake_service_.AddUnit(kServerUnitName, ActiveState::kInactive);
  MainWindowModel& model = Start();
  EXPECT_EQ(model.service_check(), ServiceCheck::kNotRunning);
  model.CloseWithoutSaving();
  EXPECT_EQ(fake_service_.Requests(),
            std::vector<std::string>{"start kavex-opc-server.service"});
  EXPECT_FALSE(std::filesystem::exists(config_path_));  // nothing saved
}

}  // namespace
}  // namespace kavex::configurator
