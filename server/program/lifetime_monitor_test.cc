#include "server/program/lifetime_monitor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/sync/clock.h"

namespace kavex::server {
namespace {

class LifetimeMonitorTest : public ::testing::Test {
 protected:
  void SetUp() override { sync::SetClockForTesting(&clock_); }
  void TearDown() override { sync::SetClockForTesting(nullptr); }

  LifetimeMonitor::Hooks Hooks() {
    return {.lock_count = [this] { return count_.load(); },
            .suspend =
                [this] {
                  ++suspends_;
                  count_ += arrive_while_suspending_.exchange(0);
                },
            .resume = [this] { ++resumes_; },
            .quit = [this] { ++quits_; }};
  }

  sync::FakeClock clock_;
  std::atomic<long> count_{0};
  std::atomic<long> arrive_while_suspending_{0};
  std::atomic<int> suspends_{0}, resumes_{0}, quits_{0};
};

TEST_F(LifetimeMonitorTest, QuitsFiveSecondsAfterTheLastRelease) {
  LifetimeMonitor monitor(Hooks());
  count_ = 2;
  EXPECT_FALSE(monitor.Check());
  clock_.Advance(60000);
  EXPECT_FALSE(monitor.Check());  // clients still hold objects
  count_ = 0;                     // the last release
  EXPECT_FALSE(monitor.Check());
  clock_.Advance(kShutdownTimeoutMs - 1);
  EXPECT_FALSE(monitor.Check());
  EXPECT_EQ(suspends_, 0);
  clock_.Advance(1);
  EXPECT_TRUE(monitor.Check());
  EXPECT_EQ(suspends_, 1);
  EXPECT_EQ(quits_, 1);
  EXPECT_TRUE(monitor.Check());  // done: no second quit
  EXPECT_EQ(quits_, 1);
}

TEST_F(LifetimeMonitorTest, NewActivityRestartsTheTimeOut) {
  LifetimeMonitor monitor(Hooks());
  EXPECT_FALSE(monitor.Check());
  clock_.Advance(4000);
  count_ = 1;  // a client comes
  EXPECT_FALSE(monitor.Check());
  count_ = 0;
  EXPECT_FALSE(monitor.Check());
  clock_.Advance(4000);
  EXPECT_FALSE(monitor.Check());  // 8 s since the start, 4 s idle
  EXPECT_EQ(quits_, 0);
  clock_.Advance(1000);
  EXPECT_TRUE(monitor.Check());
}

TEST_F(LifetimeMonitorTest, AClientArrivingDuringSuspensionResumes) {
  LifetimeMonitor monitor(Hooks());
  EXPECT_FALSE(monitor.Check());
  clock_.Advance(kShutdownTimeoutMs);
  arrive_while_suspending_ = 1;
  EXPECT_FALSE(monitor.Check());
  EXPECT_EQ(suspends_, 1);
  EXPECT_EQ(resumes_, 1);
  EXPECT_EQ(quits_, 0);
  count_ = 0;
  EXPECT_FALSE(monitor.Check());
  clock_.Advance(kShutdownTimeoutMs);
  EXPECT_TRUE(monitor.Check());
  EXPECT_EQ(quits_, 1);
}

TEST_F(LifetimeMonitorTest, ThreadQuitsOnTheFakeClock) {
  LifetimeMonitor monitor(Hooks());
  ASSERT_TRUE(monitor.Start());
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (quits_ == 0 && std::chrono::steady_clock::now() < deadline) {
    clock_.Advance(kShutdownPauseMs);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(quits_, 1);
  monitor.Stop();
}

TEST_F(LifetimeMonitorTest, StopEndsAWaitingThread) {
  count_ = 1;
  LifetimeMonitor monitor(Hooks());
  ASSERT_TRUE(monitor.Start());
  monitor.Stop();  // returns although the clock never moves
  EXPECT_EQ(quits_, 0);
}

}  // namespace
}  // namespace kavex::server
