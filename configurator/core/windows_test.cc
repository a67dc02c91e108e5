// The windows opened from the main window: ports, time-out, switch details
// and port counters, over a switch loaded from the configuration file and
// frames completed on the capture thread.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "configurator/core/counters_window.h"
#include "configurator/core/details_window.h"
#include "configurator/core/ports_window.h"
#include "configurator/core/testing/configurator_fixture.h"
#include "configurator/core/timeout_window.h"
#include "configurator/core/window_model.h"

namespace kavex::configurator {
namespace {

using testing::ReadTextFile;
using testing::StatusFrame;
using testing::VeltoMac;

// "Line", a KX-108 with P2 hidden and a port 4 that does not exist.
constexpr char kConfiguration[] =
    "<ROOT DataFormat=\"String\"><ADAPTER Name=\"\\Device\\Test\\lan\" "
    "Timeout=\"20\"><SWITCH Model=\"KX-108\" Address=\"02.C4.7D.00.00.01\" "
    "Alias=\"Line\" Type=\"1\">"
    "<Port Number=\"1\" Alias=\"P1\" Disabled=\"No\" Exists=\"Yes\"/>"
    "<Port Number=\"2\" Alias=\"P2\" Disabled=\"Yes\" Exists=\"Yes\"/>"
    "<Port Number=\"3\" Alias=\"P3\" Disabled=\"No\" Exists=\"Yes\"/>"
    "<Port Number=\"4\" Alias=\"P4\" Disabled=\"No\" Exists=\"No\"/>"
    "</SWITCH></ADAPTER></ROOT>";

class WindowsTest : public testing::ConfiguratorTest {
 protected:
  void SetUp() override {
    ConfiguratorTest::SetUp();
    Install(ReadTextFile(KAVEX_SHIPPED_CATALOG));
    WriteConfiguration(kConfiguration);
    Start();
    // Another switch heard fills the mapped list; "Line" stays unheard.
    Deliver(StatusFrame(VeltoMac(5), 0, "KX-108"));
    ASSERT_EQ(model_->state().mapped.items(),
              std::vector<std::u16string>{u"02.C4.7D.00.00.01  -  Line"});
    model_->SelectMapped(0);
  }

  const ConfigSwitch& Line() {
    adapters_ = model_->adapters();
    return adapters_[0].switches[0];
  }
  // A frame of "Line"'s port `index` + 1 after the clock moved `advance_ms`.
  void Report(int index, uint64_t tx_octets, uint32_t advance_ms = 2001,
              uint8_t status = device::kStatusLinkUp | device::kStatusEnabled |
                               device::kStatusFullDuplex |
                               device::kStatus100Mbit) {
    clock_.Advance(advance_ms);
    Deliver(device::VeltoFrameBuilder()
                .Source(VeltoMac(1))
                .Port(0, index)
                .Status(status)
                .Counter("tx_octets", tx_octets)
                .Info(1, 0x0A01A8C0, 1, 0x0D, "KX-108")
                .Build());
  }

  std::vector<ConfigAdapter> adapters_;
};

TEST_F(WindowsTest, PortsWindowWaitsForTheSwitch) {
  std::unique_ptr<PortsWindow> ports = model_->OpenSwitchDetails();
  ASSERT_NE(ports, nullptr);
  EXPECT_EQ(ports->state().adapter.text, u"Plant LAN");
  EXPECT_EQ(ports->state().switch_alias.text, u"Line");
  EXPECT_EQ(ports->state().ports.items(),
            std::vector<std::u16string>{kPleaseWait});
  ports->OnTimer();
  EXPECT_FALSE(ports->state().view_ports.enabled);
  EXPECT_FALSE(ports->state().hide_port.enabled);
  EXPECT_EQ(ports->OpenPortCounters(), nullptr);

  // Heard: listed while the window is open, since it had not been heard.
  Report(0, 0);
  ports->OnTimer();
  EXPECT_EQ(ports->state().ports.items(),
            (std::vector<std::u16string>{u"P1", u">>>HIDDEN  - P2", u"P3"}));
  EXPECT_TRUE(ports->state().view_ports.enabled);
  EXPECT_TRUE(ports->state().view_switch.enabled);
  // Now that it has been heard, no new switch is listed until it closes;
  // and the main window maps nothing meanwhile.
  Deliver(StatusFrame(VeltoMac(6), 0, "KX-108"));
  EXPECT_EQ(model_->state().discovered.size(), 2u);
  model_->SelectDiscovered(0);
  model_->Map();
  EXPECT_EQ(Line().alias, u"Line");
  EXPECT_EQ(model_->adapters()[0].switches.size(), 1u);
  ports.reset();
  Deliver(StatusFrame(VeltoMac(6), 1, "KX-108"));
  EXPECT_EQ(model_->state().discovered.size(), 3u);
}

TEST_F(WindowsTest, HideAndRenamePorts) {
  std::unique_ptr<PortsWindow> ports = model_->OpenSwitchDetails();
  Report(0, 0);
  ports->OnTimer();
  ports->SelectPort(1);
  EXPECT_TRUE(ports->state().hide_port.checked);
  EXPECT_TRUE(ports->state().hide_port.enabled);
  ports->SetHidePort(false);
  EXPECT_FALSE(Line().ports[1].hidden);
  EXPECT_EQ(ports->state().ports.item(1), u"P2");
  ports->SetHidePort(true);
  EXPECT_EQ(ports->state().ports.item(1), u">>>HIDDEN  - P2");
  EXPECT_EQ(ports->state().ports.selection(), 1);
  // A hidden port is renamed like any other: its line names it.
  ports->SetAliasText(u"Spare");
  ports->RenamePort();
  EXPECT_EQ(Line().ports[1].alias, u"Spare");
  EXPECT_EQ(ports->state().ports.item(1), u">>>HIDDEN  - Spare");

  ports->SelectPort(0);
  for (std::u16string_view alias : {u"P3", u"Spare", u"A-1", u"A B", u""}) {
    ports->SetAliasText(alias);
    ports->RenamePort();
  }
  ports->SetAliasText(u"p3");  // differs only in case: accepted
  ports->RenamePort();
  EXPECT_EQ(Line().ports[0].alias, u"p3");
  ports->RenamePort();  // its own alias again
  ports->SelectPort(-1);
  ports->SetAliasText(u"Other");
  ports->RenamePort();
  const std::string unique =
      "Velto OPC: There is already such a port alias. Port aliases must be "
      "unique on one switch.";
  const std::string forbidden =
      "Velto OPC: '.', '-' and Spaces are not allowed in the alias name";
  EXPECT_EQ(Boxes(), (std::vector<std::string>{
                         unique, unique, forbidden, forbidden,
                         "Velto OPC: Type in a new alias name.", unique,
                         "Velto OPC: Select a port in the ports list."}));
  ports->SetAliasText(std::u16string(30, u'q'));
  EXPECT_EQ(ports->state().alias_edit.text.size(), kPortAliasLimit);
  ports.reset();
  // Saved as changed.
  ASSERT_TRUE(model_->SaveAndClose());
  const std::string file = ReadTextFile(config_path_);
  EXPECT_NE(file.find("Number=\"2\" Alias=\"Spare\" Disabled=\"Yes\""),
            std::string::npos);
  EXPECT_NE(file.find("Number=\"1\" Alias=\"p3\" Disabled=\"No\""),
            std::string::npos);
}

TEST_F(WindowsTest, TimeoutWindowTakesTwentyToFifteenHundred) {
  std::unique_ptr<TimeoutWindow> window = model_->OpenTimeoutWindow();
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(window->state().value.text, u"20");
  EXPECT_TRUE(window->state().ok_button.enabled);
  for (std::u16string_view refused : {u"19", u"1501", u"0", u"", u"99999999999"}) {
    window->SetValueText(refused);
    EXPECT_FALSE(window->state().ok_button.enabled);
    EXPECT_FALSE(window->Ok());
  }
  window->SetValueText(u"x1y5z00");  // the edit takes digits only
  EXPECT_EQ(window->state().value.text, u"1500");
  EXPECT_TRUE(window->Ok());
  EXPECT_EQ(model_->adapters()[0].timeout, 1500u);
  window = model_->OpenTimeoutWindow();
  window->SetValueText(u"20");
  window->Cancel();
  EXPECT_EQ(model_->adapters()[0].timeout, 1500u);
}

TEST_F(WindowsTest, PortCountersShowTheLiveValues) {
  std::unique_ptr<PortsWindow> ports = model_->OpenSwitchDetails();
  Report(0, 0);
  ports->OnTimer();
  std::unique_ptr<PortCountersWindow> counters = ports->OpenPortCounters();
  ASSERT_NE(counters, nullptr);
  counters->OnTimer();
  const PortCountersState* s = &counters->state();
  EXPECT_EQ(s->alias.text, u"Line");
  EXPECT_EQ(s->ports.items(), (std::vector<std::u16string>{u"P1", u"P3", u"P4"}));
  EXPECT_EQ(s->port.text, u"NA");
  EXPECT_EQ(s->ring.ip_address.text, u"192.168.1.10");
  EXPECT_EQ(s->ring.ring_state.text, u"Ok");

  counters->SelectPort(0);
  // 12,500,000 bytes in 10 s at 100 Mbit/s.
  Report(0, 12'500'000, 10'000);
  counters->OnTimer();
  EXPECT_EQ(s->port.text, u"P1");
  EXPECT_EQ(s->link.text, u"Up");
  EXPECT_EQ(s->speed.text, u"100 Mbps");
  EXPECT_EQ(s->duplex.text, u"Full");
  EXPECT_EQ(s->enabled.text, u"Yes");
  EXPECT_EQ(s->usage.text, u"10.00");
  EXPECT_EQ(s->progress, 10);
  EXPECT_EQ(s->counters[0].text, u"12500000");  // tx_octets
  EXPECT_EQ(s->counters[1].text, u"0");
  // Link down: no values but the link and the enabled flag.
  Report(0, 12'500'000, 2001, device::kStatusEnabled);
  counters->OnTimer();
  EXPECT_EQ(s->link.text, u"Down");
  EXPECT_EQ(s->enabled.text, u"Yes");
  EXPECT_EQ(s->speed.text, u"NA");
  EXPECT_EQ(s->counters[0].text, u"NA");

  // Silent: offline after the time-out (20 s), back with the next frame.
  int ticks = 0;
  while (s->alias.text != u"Offline" && ticks < 100) {
    counters->OnTimer();
    ++ticks;
  }
  EXPECT_EQ(ticks, 21);
  EXPECT_EQ(s->port.text, u"NA");
  EXPECT_TRUE(s->ports.empty());
  EXPECT_FALSE(s->ring.ip_address.visible);
  Report(2, 0);
  counters->OnTimer();
  EXPECT_EQ(s->alias.text, u"Line");
  EXPECT_EQ(s->ports.size(), 3u);
}

TEST_F(WindowsTest, SwitchDetailsListLinkSpeedAndDuplex) {
  std::unique_ptr<PortsWindow> ports = model_->OpenSwitchDetails();
  Report(0, 0);
  ports->OnTimer();
  std::unique_ptr<SwitchDetailsWindow> details = ports->OpenSwitchView();
  ASSERT_NE(details, nullptr);
  const SwitchDetailsState* s = &details->state();
  details->OnTimer();
  // Opening makes every port stale until it is computed again.
  EXPECT_EQ(s->ports.items(), (std::vector<std::u16string>{u"P1", u"P3"}));
  EXPECT_EQ(s->link.items(), (std::vector<std::u16string>{u"N/A", u"N/A"}));
  Report(0, 0);
  Report(2, 0, 2001, device::kStatusEnabled | device::kStatusLinkUp);
  details->OnTimer();
  EXPECT_EQ(s->link.items(), (std::vector<std::u16string>{u"Up", u"Up"}));
  EXPECT_EQ(s->speed.items(), (std::vector<std::u16string>{u"100", u"10"}));
  EXPECT_EQ(s->duplex.items(), (std::vector<std::u16string>{u"Full", u"Half"}));
  EXPECT_EQ(s->ring.ring_version.text, u"1");
  EXPECT_EQ(s->ring.ring_manager.text, u"Yes");
  EXPECT_EQ(s->ring.ring_member.text, u"No");
  Report(0, 0, 2001, 0);
  details->OnTimer();
  EXPECT_EQ(s->link.item(0), u"Down");
  EXPECT_EQ(s->speed.item(0), u"N/A");

  for (int i = 0; i < 30 && s->alias.text != u"Offline"; ++i) details->OnTimer();
  EXPECT_EQ(s->alias.text, u"Offline");
  EXPECT_EQ(s->ports.items(),
            std::vector<std::u16string>{kNoPortInformation});
  EXPECT_TRUE(s->link.empty());
  Report(0, 0);
  details->OnTimer();
  EXPECT_EQ(s->alias.text, u"Line");
  // Back: the port heard again shows, the other stays unknown.
  EXPECT_EQ(s->ports.items(), (std::vector<std::u16string>{u"P1", u"P3"}));
  EXPECT_EQ(s->link.items(), (std::vector<std::u16string>{u"Up", u"N/A"}));
}

}  // namespace
}  // namespace kavex::configurator
