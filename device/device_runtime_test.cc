#include "device/device_runtime.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "device/capture.h"
#include "device/port_properties.h"
#include "device/testing/device_config_fixture.h"
#include "device/testing/scripted_packet_driver.h"
#include "device/testing/table_reads.h"
#include "platform/base/results.h"
#include "platform/pkio/testing/testing_support.h"
#include "platform/sync/clock.h"
#include "platform/sync/waitable_timer.h"
#include "platform/ui/recording_message_box.h"

namespace kavex::device {
namespace {

constexpr char kLan[] = "\\Device\\Simulated\\lan";

// Threads of this process, to prove that a failed or stopped runtime leaves
// none behind.
size_t CountThreads() {
  size_t count = 0;
  for (const auto& entry :
       std::filesystem::directory_iterator("/proc/self/task")) {
    (void)entry;
    ++count;
  }
  return count;
}

// Waitable timers share one service thread for the whole process, started
// with the first armed timer; start it before counting threads.
void StartTimerService() {
  HANDLE timer = CreateWaitableTimerA(nullptr, FALSE, nullptr);
  const int64_t due = -10'000'000;
  SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE);
  CancelWaitableTimer(timer);
  CloseHandle(timer);
}

// A thread's handle is signalled when its function returns; the kernel
// thread goes a moment later. Give ended threads that moment (bounded by
// tries, not by time) before counting.
size_t ThreadCount(size_t expected) {
  size_t count = CountThreads();
  for (int i = 0; i < 1000 && count > expected; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    count = CountThreads();
  }
  return count;
}

std::string ThreadNames() {
  std::string names;
  for (const auto& entry :
       std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(entry.path() / "comm");
    std::string name;
    std::getline(comm, name);
    names += name + " ";
  }
  return names;
}

std::string Configuration(const std::string& adapter_name,
                          const std::string& active = "Yes",
                          const std::string& format = "String") {
  std::string ports;
  for (int n = 1; n <= 8; ++n) {
    ports += "<Port Number=\"" + std::to_string(n) + "\" Alias=\"P" +
             std::to_string(n) + "\"/>";
  }
  return "<?xml version=\"1.0\"?><ROOT DataFormat=\"" + format +
         "\"><ADAPTER Name=\"" + adapter_name + "\" Active=\"" + active +
         "\" Timeout=\"5\"><SWITCH Address=\"02.C4.7D.00.00.01\" "
         "Alias=\"SW1\" Model=\"T8\" Type=\"1\">" +
         ports + "</SWITCH></ADAPTER></ROOT>";
}

// A simulated LAN with one 8-port switch and the device configured on it.
// Time is the test's: the simulated switches send and the table ages only
// when the clock is advanced.
class DeviceRuntimeTest : public DeviceConfigFixture {
 protected:
  void SetUp() override {
    sync::SetClockForTesting(&clock_);
    StartTimerService();
    DeclareSimulatedAdapter("lan",
                            "switch 02.C4.7D.00.00.01 type=1 ports=8 "
                            "ip=10.0.0.7 silent=20000:40000");
  }
  void TearDown() override { sync::SetClockForTesting(nullptr); }

  // Advances the test clock in small steps until `done` holds, giving the
  // simulated adapter and the receive thread real time to catch up at each
  // step. Bounded, so that a broken path fails instead of hanging.
  template <class Predicate>
  bool AdvanceUntil(Predicate done, int max_steps = 400) {
    for (int step = 0; step < max_steps; ++step) {
      if (done()) return true;
      clock_.Advance(250);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
  }

  HRESULT StartRuntime(std::unique_ptr<DeviceRuntime>* runtime,
                       PacketDriver* driver = nullptr) {
    RuntimeOptions options;
    options.driver = driver;
    options.print = [this](const std::string& text) { printed_ += text; };
    return DeviceRuntime::Start(options, runtime);
  }

  // The receive thread posts its reads on its own; wait, with a deadline,
  // until all are out.
  static bool WaitForPostedReads(const DeviceRuntime& runtime) {
    return pkio::testing::WaitUntil([&] {
      return runtime.capture().posted_reads() == kReceiveDescriptorCount;
    });
  }

  sync::FakeClock clock_{100'000};
  ui::RecordingMessageBoxHandler boxes_;
  std::string printed_;
};

TEST_F(DeviceRuntimeTest, FramesFromTheSimulatedAdapterFillTheTable) {
  InstallConfiguration(Configuration(kLan));
  std::unique_ptr<DeviceRuntime> runtime;
  ASSERT_EQ(StartRuntime(&runtime), S_OK);
  const SwitchTable& table = runtime->table();
  ASSERT_EQ(table.switch_count(), 1u);
  EXPECT_EQ(table.adapter().ndis_name, kLan);
  ASSERT_TRUE(WaitForPostedReads(*runtime));

  const int link = FindPortProperty("Link_Status");
  ASSERT_TRUE(AdvanceUntil([&] {
    return !PortItemOf(table, 0, 0).stale &&
           SwitchTextOf(table, 0, kSwitchStatusSlot) == "Online";
  }));
  EXPECT_EQ(PortTextOf(table, 0, 0, link), "1");
  EXPECT_NE(PortTextOf(table, 0, 0, FindPortProperty("tx_octets")), "");

  // The switch falls silent from 20 s to 40 s: offline after its 5 s
  // time-out, online again once it sends.
  ASSERT_TRUE(AdvanceUntil(
      [&] { return SwitchTextOf(table, 0, kSwitchStatusSlot) == "Offline"; }));
  ASSERT_TRUE(AdvanceUntil(
      [&] { return SwitchTextOf(table, 0, kSwitchStatusSlot) == "Online"; }));
  EXPECT_EQ(printed_, "");
}

TEST_F(DeviceRuntimeTest, StoppingLeavesNoThreadBehind) {
  InstallConfiguration(Configuration(kLan));
  const size_t threads = CountThreads();
  std::unique_ptr<DeviceRuntime> runtime;
  ASSERT_EQ(StartRuntime(&runtime), S_OK);
  EXPECT_GT(ThreadCount(threads), threads);
  ASSERT_TRUE(
      AdvanceUntil([&] { return !PortItemOf(runtime->table(), 0, 1).stale; }));
  // Under the test clock nothing times out by itself: the stop path must
  // wake every waiter.
  runtime.reset();
  EXPECT_EQ(ThreadCount(threads), threads);
  EXPECT_FALSE(DeviceRuntime::Alive());
}

TEST_F(DeviceRuntimeTest, BadInputFailsWithoutCrashOrThreads) {
  const size_t threads = CountThreads();
  std::unique_ptr<DeviceRuntime> runtime;
  auto expect_failure = [&](const char* what) {
    EXPECT_EQ(StartRuntime(&runtime), E_FAIL) << what;
    EXPECT_EQ(runtime, nullptr) << what;
    EXPECT_EQ(ThreadCount(threads), threads) << what;
    EXPECT_FALSE(DeviceRuntime::Alive()) << what;
  };
  expect_failure("no registry value");
  SetPathValue(REG_DWORD, std::string(4, '\0'));
  expect_failure("wrong value type");
  SetPathValue(REG_SZ, root_.dir() + "/absent.xml" + '\0');
  expect_failure("missing file");
  InstallConfiguration("");
  expect_failure("empty file");
  InstallConfiguration("<ROOT><ADAPTER Name=\"\\Device\\Simulated\\lan\"");
  expect_failure("malformed file");
  InstallConfiguration(Configuration("\\Device\\Simulated\\elsewhere"));
  expect_failure("no adapter of the file is bound");
  InstallConfiguration(Configuration(kLan, "No"));
  expect_failure("adapter not active");
  // None of these shows a message box.
  EXPECT_EQ(boxes_.count(), 0u);

  InstallConfiguration(Configuration(kLan));
  ScriptedPacketDriver driver;
  driver.open_error = 31;
  EXPECT_EQ(StartRuntime(&runtime, &driver), E_FAIL);
  EXPECT_EQ(ThreadCount(threads), threads);
  ASSERT_EQ(boxes_.count(), 1u);
  EXPECT_EQ(boxes_.boxes()[0].text, "Could not open the adapter. Error 31");
  EXPECT_EQ(boxes_.boxes()[0].caption, "Kavex OPC Server");

  driver.open_error = 0;
  driver.refused_filters = {0x0C, 0x80, 0x01};
  EXPECT_EQ(StartRuntime(&runtime, &driver), E_FAIL);
  EXPECT_EQ(ThreadCount(threads), threads);
  EXPECT_EQ(boxes_.count(), 1u);
}

TEST_F(DeviceRuntimeTest, HoldersShareOneRuntimeThatStopsWithTheLast) {
  InstallConfiguration(Configuration(kLan));
  std::shared_ptr<DeviceRuntime> first;
  std::shared_ptr<DeviceRuntime> second;
  ASSERT_EQ(DeviceRuntime::Acquire(&first), S_OK);
  ASSERT_EQ(DeviceRuntime::Acquire(&second), S_OK);
  EXPECT_EQ(first.get(), second.get());
  first.reset();
  EXPECT_TRUE(DeviceRuntime::Alive());
  second.reset();
  EXPECT_FALSE(DeviceRuntime::Alive());
  EXPECT_EQ(DeviceRuntime::Acquire(nullptr), E_POINTER);

  // A new holder after the last one starts capture afresh.
  ASSERT_EQ(DeviceRuntime::Acquire(&first), S_OK);
  ASSERT_TRUE(WaitForPostedReads(*first));
  first.reset();

  // A failed start leaves nothing shared behind.
  InstallConfiguration("");
  EXPECT_EQ(DeviceRuntime::Acquire(&first), E_FAIL);
  EXPECT_EQ(first, nullptr);
  EXPECT_FALSE(DeviceRuntime::Alive());
}

TEST_F(DeviceRuntimeTest, ConcurrentHoldersComeAndGo) {
  InstallConfiguration(Configuration(kLan));
  const size_t threads = CountThreads();
  std::vector<std::thread> holders;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    holders.emplace_back([&] {
      for (int i = 0; i < 5; ++i) {
        std::shared_ptr<DeviceRuntime> runtime;
        if (DeviceRuntime::Acquire(&runtime) != S_OK) ++failures;
      }
    });
  }
  for (auto& holder : holders) holder.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_FALSE(DeviceRuntime::Alive());
  EXPECT_EQ(ThreadCount(threads), threads) << ThreadNames();
}

}  // namespace
}  // namespace kavex::device
