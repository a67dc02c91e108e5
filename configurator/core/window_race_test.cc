// The main window and its live views under real threads, for the
// ThreadSanitizer build: a sender thread keeps frames coming through the
// driver library (a test LAN, so the capture pump's receive thread handles
// them as on a real adapter) while the window thread maps, renames and
// un-maps switches, opens the ports, port counters and switch details
// windows and ticks their timers, and finally saves and closes with frames
// still arriving. Time is a FakeClock that only the window thread moves.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "configurator/core/config_file.h"
#include "configurator/core/counters_window.h"
#include "configurator/core/details_window.h"
#include "configurator/core/ports_window.h"
#include "configurator/core/testing/configurator_fixture.h"
#include "configurator/core/window_model.h"
#include "platform/pkio/testing/test_lan.h"

namespace kavex::configurator {
namespace {

using testing::ReadTextFile;
using testing::StatusFrame;
using testing::U16;
using testing::VeltoMac;

constexpr int kSwitches = 12;
constexpr int kPorts = 8;
constexpr int kRounds = 400;

class WindowRaceTest : public testing::ConfiguratorTest {
 protected:
  void SetUp() override {
    ConfiguratorTest::SetUp();
    // Frames come from the library's test LAN, read by the capture pump.
    pkio::testing::InstallTestLan();
    pkio::testing::DeclareTestLan("race", "Race LAN");
    driver_.adapters = std::vector<std::string>{"\\Device\\Test\\race"};
    driver_.friendly_names = {"Race LAN"};
    driver_.intercept_reads = false;
    Install(ReadTextFile(KAVEX_SHIPPED_CATALOG));
  }
  void TearDown() override {
    ConfiguratorTest::TearDown();
    pkio::testing::RemoveTestLan("race");
  }
};

// What a round sends: every port of every switch, with rising counters, a
// frame without an information area now and then, and frames a foreign
// vendor sends.
std::vector<std::vector<uint8_t>> RoundOfFrames(int round) {
  std::vector<std::vector<uint8_t>> frames;
  const uint64_t octets = 1'000'000ull * static_cast<uint64_t>(round);
  for (int s = 1; s <= kSwitches; ++s) {
    const auto mac = VeltoMac(static_cast<uint8_t>(s));
    for (int p = 0; p < kPorts; ++p) {
      if ((round + p) % 5 == 0) {
        frames.push_back(device::VeltoFrameBuilder().Source(mac).Port(0, p)
                             .Length(180).Build());
      } else {
        frames.push_back(StatusFrame(mac, p, s % 2 ? "KX-108" : "KX-217",
                                     octets * (p + 1), octets));
      }
    }
  }
  frames.push_back(device::VeltoFrameBuilder()
                       .Source({0x02, 0xC4, 0x7E, 0, 0, 9})
                       .Info(1, 0, 0, 0, "KX-108")
                       .Build());
  return frames;
}

// Checks what the window shows at one moment: every heard switch listed
// once, in order; once one is heard, the mapped list holds a line for each
// switch of the active adapter. (The mapping itself changes on the window
// thread alone, the thread calling this.)
void ExpectConsistent(const MainWindowState& state,
                      const std::vector<ConfigAdapter>& adapters) {
  const auto& heard = state.discovered.items();
  EXPECT_TRUE(std::is_sorted(heard.begin(), heard.end(),
                             [](const auto& a, const auto& b) {
                               return ListOrderLess(a, b);
                             }));
  EXPECT_EQ(std::set<std::u16string>(heard.begin(), heard.end()).size(),
            heard.size());
  EXPECT_LE(heard.size(), static_cast<size_t>(kSwitches));
  const ConfigAdapter* active = nullptr;
  for (const ConfigAdapter& a : adapters) {
    if (a.active) active = &a;
  }
  ASSERT_NE(active, nullptr);
  if (!heard.empty()) {
    EXPECT_EQ(state.mapped.size(), active->switches.size());
  }
}

TEST_F(WindowRaceTest, FramesRaceTheWindowsAndTheClose) {
  MainWindowModel& model = Start();
  ASSERT_TRUE(model.capturing());
  ASSERT_TRUE(pkio::testing::WaitUntil(
      [&] { return model.capture().posted_reads() == kCaptureReads; }));

  std::atomic<bool> stop_sending{false};
  std::atomic<int> rounds_sent{0};
  std::thread sender([&] {
    // Bounded by rounds; once the window has closed the LAN has no open
    // adapter left and the frames go nowhere.
    for (int round = 1; round <= 100 * kRounds && !stop_sending; ++round) {
      for (const auto& frame : RoundOfFrames(round))
        pkio::testing::SendOnTestLan("race", frame);
      rounds_sent = round;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });

  // The window thread: until every switch has been heard, and then for a
  // number of rounds, operate on the mapping and the views.
  ASSERT_TRUE(pkio::testing::WaitUntil([&] {
    return model.state().discovered.size() == static_cast<size_t>(kSwitches);
  }));
  int opened_views = 0;
  int shown_up = 0;  // times the counters window showed a live port
  for (int i = 0; i < kRounds; ++i) {
    clock_.Advance(1000);
    const MainWindowState state = model.state();
    ExpectConsistent(state, model.adapters());
    if (::testing::Test::HasFailure()) break;
    switch (i % 8) {
      case 0:
      case 1:
        // Auto-selected and mapped; one already mapped is replaced (the
        // question is answered Yes).
        model.SelectDiscovered(i / 2 % kSwitches);
        model.Map();
        break;
      case 2:
        model.SelectMapped(0);
        model.SetAliasText(u"Hall" + U16(std::to_string(i)));
        model.Rename();
        break;
      case 3:
        if (state.mapped.size() > 4) {
          model.SelectMapped(static_cast<int>(state.mapped.size()) - 1);
          model.UnMap();
        }
        break;
      case 4: {
        model.SelectMapped(0);
        std::unique_ptr<PortsWindow> ports = model.OpenSwitchDetails();
        if (ports == nullptr) break;
        ports->OnTimer();
        ports->SelectPort(1);
        ports->SetHidePort(i % 16 == 4);
        std::unique_ptr<PortCountersWindow> counters =
            ports->OpenPortCounters();
        std::unique_ptr<SwitchDetailsWindow> details = ports->OpenSwitchView();
        ASSERT_NE(counters, nullptr);
        ASSERT_NE(details, nullptr);
        counters->SelectPort(0);
        for (int tick = 0; tick < 6; ++tick) {
          clock_.Advance(1000);
          // The sender gets a moment to hand in frames for this second.
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
          counters->OnTimer();
          details->OnTimer();
          ports->OnTimer();
          shown_up += counters->state().link.text == u"Up";
        }
        EXPECT_FALSE(details->state().ports.empty());
        ++opened_views;
        break;
      }
      case 5:
        model.SetDataFormat(i % 16 == 5 ? u"Integer" : u"String");
        break;
      default:
        std::this_thread::yield();
        break;
    }
  }
  EXPECT_GT(opened_views, 0);
  // The frames reached the views: some tick found the port live.
  EXPECT_GT(shown_up, 0);

  // Saved and closed with frames still arriving: the file holds the mapping
  // as the window had it.
  const std::vector<ConfigAdapter> before = model.adapters();
  const std::u16string format = model.data_format();
  ASSERT_TRUE(model.SaveAndClose());
  EXPECT_FALSE(model.capturing());
  stop_sending = true;
  sender.join();
  EXPECT_GT(rounds_sent.load(), 0);

  ConfigAdapter loaded;
  loaded.friendly_name = u"Race LAN";
  loaded.ndis_name = u"\\Device\\Test\\race";
  std::u16string loaded_format;
  std::u16string status;
  ASSERT_TRUE(LoadAdapterConfiguration(&loaded, {}, &loaded_format, &status))
      << text::Utf16ToUtf8(status);
  EXPECT_EQ(loaded_format, format);
  ASSERT_EQ(loaded.switches.size(), before[0].switches.size());
  for (size_t s = 0; s < loaded.switches.size(); ++s) {
    const ConfigSwitch& want = before[0].switches[s];
    const ConfigSwitch& got = loaded.switches[s];
    EXPECT_EQ(got.address, want.address);
    EXPECT_EQ(got.alias, want.alias);
    EXPECT_EQ(got.model, want.model);
    ASSERT_EQ(got.ports.size(), want.ports.size());
    for (size_t p = 0; p < got.ports.size(); ++p) {
      EXPECT_EQ(got.ports[p].alias, want.ports[p].alias);
      EXPECT_EQ(got.ports[p].hidden, want.ports[p].hidden);
    }
  }
}

// Adapter changes while frames arrive: capture stops (with its grace) and
// starts again on the same LAN, the lists start over, and frames of the
// old capture never reach the new lists half-way.
TEST_F(WindowRaceTest, AdapterSelectedAgainWhileFramesArrive) {
  MainWindowModel& model = Start();
  ASSERT_TRUE(model.capturing());
  std::atomic<bool> stop_sending{false};
  std::thread sender([&] {
    for (int round = 1; round <= 100 * kRounds && !stop_sending; ++round) {
      for (const auto& frame : RoundOfFrames(round))
        pkio::testing::SendOnTestLan("race", frame);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(pkio::testing::WaitUntil(
        [&] { return !model.state().discovered.empty(); }));
    model.SelectDiscovered(0);
    model.Map();
    model.SelectAdapter(0);  // stops and starts capture again
    ASSERT_TRUE(model.capturing());
    ExpectConsistent(model.state(), model.adapters());
  }
  stop_sending = true;
  sender.join();
  model.CloseWithoutSaving();
  EXPECT_FALSE(model.capturing());
}

}  // namespace
}  // namespace kavex::configurator
