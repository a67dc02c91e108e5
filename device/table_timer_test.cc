#include "device/table_timer.h"

#include <gtest/gtest.h>

#include <thread>

#include "device/switch_table.h"
#include "device/testing/switch_table_fixtures.h"
#include "device/testing/table_reads.h"
#include "platform/sync/clock.h"
#include "platform/sync/sync_testing.h"

namespace kavex::device {
namespace {

class TableTimerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sync::SetClockForTesting(&clock_);
    AdapterEntry adapter;
    adapter.timeout_seconds = 2;
    adapter.switches.push_back(MakeSwitch("02.C4.7D.00.00.01", "SW", 0, 1));
    table_.Install(std::move(adapter), "String");
  }
  void TearDown() override { sync::SetClockForTesting(nullptr); }

  // Lets one second pass once the timer thread is waiting, and waits for
  // the tick it causes.
  void PassOneSecond(TableTimer& timer) {
    const uint64_t before = timer.ticks();
    sync::AwaitWaitingThreadsForTesting(1);
    clock_.Advance(1000);
    while (timer.ticks() == before) std::this_thread::yield();
  }

  sync::FakeClock clock_{10'000};
  SwitchTable table_;  // reads the installed clock
};

TEST_F(TableTimerTest, TicksOncePerSecondOfTheClock) {
  TableTimer timer(&table_);
  ASSERT_TRUE(timer.Start());
  EXPECT_FALSE(timer.Start());
  for (int second = 0; second < 4; ++second) {
    PassOneSecond(timer);
    EXPECT_EQ(timer.ticks(), static_cast<uint64_t>(second + 1));
    EXPECT_EQ(SwitchTextOf(table_, 0, kSwitchLastUpdateSlot),
              std::to_string(second));
  }
  // Time-out 2: the tick that publishes 3 takes the switch offline.
  EXPECT_EQ(SwitchTextOf(table_, 0, kSwitchStatusSlot), "Offline");
  timer.Stop();
  EXPECT_EQ(timer.ticks(), 4u);
}

TEST_F(TableTimerTest, HalfASecondDoesNotTick) {
  TableTimer timer(&table_);
  ASSERT_TRUE(timer.Start());
  sync::AwaitWaitingThreadsForTesting(1);
  clock_.Advance(999);
  // The thread goes back to waiting without a tick.
  sync::AwaitWaitingThreadsForTesting(1);
  EXPECT_EQ(timer.ticks(), 0u);
  PassOneSecond(timer);  // 1999 ms: the first second passed at 1000
  EXPECT_EQ(timer.ticks(), 1u);
}

TEST_F(TableTimerTest, StopEndsTheThreadWithoutTimePassing) {
  TableTimer timer(&table_);
  ASSERT_TRUE(timer.Start());
  sync::AwaitWaitingThreadsForTesting(1);
  timer.Stop();  // would hang here if only the clock could end the wait
  timer.Stop();
  EXPECT_EQ(timer.ticks(), 0u);
  // It can be started again.
  ASSERT_TRUE(timer.Start());
  PassOneSecond(timer);
  EXPECT_EQ(timer.ticks(), 1u);
}

}  // namespace
}  // namespace kavex::device
