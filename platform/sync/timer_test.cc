// Wait time-outs, Sleep and waitable timers driven by a FakeClock: no test
// sleeps to make time pass.
#include <atomic>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "platform/base/results.h"
#include "platform/sync/sync.h"
#include "platform/sync/sync_testing.h"

namespace kavex::sync {
namespace {

class FakeTimeTest : public ::testing::Test {
 protected:
  void SetUp() override { SetClockForTesting(&clock_); }
  void TearDown() override { SetClockForTesting(nullptr); }

  // Blocks until `timer` has fired (the timer service runs on its own thread).
  static void AwaitFired(HANDLE manual_timer) {
    ASSERT_EQ(WaitForSingleObject(manual_timer, INFINITE), WAIT_OBJECT_0);
  }

  // A manual-reset timer that fires `ms` after now: a probe that shows the
  // timer service has looked at this instant.
  static HANDLE Probe(uint32_t ms) {
    HANDLE probe = CreateWaitableTimerA(nullptr, TRUE, nullptr);
    int64_t due = -int64_t{ms} * 10000;
    EXPECT_TRUE(SetWaitableTimer(probe, &due, 0, nullptr, nullptr, FALSE));
    return probe;
  }

  FakeClock clock_{5000};
};

TEST_F(FakeTimeTest, TickAndFileTimeComeFromTheInstalledClock) {
  EXPECT_EQ(CurrentClock(), &clock_);
  EXPECT_EQ(GetTickCount(), 5000u);
  FILETIME before, after;
  GetSystemTimeAsFileTime(&before);
  clock_.Advance(1500);
  GetSystemTimeAsFileTime(&after);
  EXPECT_EQ(GetTickCount(), 6500u);
  EXPECT_EQ(FileTimeToUInt64(after) - FileTimeToUInt64(before), 15000000u);
  clock_.SetTick(0xFFFFFFFF);
  clock_.Advance(2);
  EXPECT_EQ(GetTickCount(), 1u);  // wraps like the 32-bit tick
  SetClockForTesting(nullptr);
  EXPECT_EQ(CurrentClock(), SystemClock());
}

TEST_F(FakeTimeTest, WaitTimesOutExactlyWhenTheClockPassesTheDeadline) {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::thread advancer([&] {
    AwaitWaitingThreadsForTesting(1);
    clock_.Advance(999);
    clock_.Advance(1);
  });
  uint32_t start = GetTickCount();
  EXPECT_EQ(WaitForSingleObject(event, 1000), WAIT_TIMEOUT);
  EXPECT_EQ(GetTickCount() - start, 1000u);
  advancer.join();
  CloseHandle(event);
}

TEST_F(FakeTimeTest, WaitAcrossTheTickWrapLastsItsFullTime) {
  clock_.SetTick(0xFFFFFF00);
  std::atomic<bool> done{false};
  std::thread advancer([&] {
    AwaitWaitingThreadsForTesting(1);
    while (!done) {
      clock_.Advance(16);
      std::this_thread::yield();
    }
  });
  EXPECT_EQ(SleepEx(0x200, FALSE), 0u);
  uint32_t waited = GetTickCount() - 0xFFFFFF00u;
  done = true;
  advancer.join();
  EXPECT_GE(waited, 0x200u);
}

TEST_F(FakeTimeTest, SignalledObjectEndsATimedWaitWithoutTimeMoving) {
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  std::thread setter([&] {
    AwaitWaitingThreadsForTesting(1);
    SetEvent(event);
  });
  EXPECT_EQ(WaitForSingleObject(event, 10), WAIT_OBJECT_0);
  setter.join();
  EXPECT_EQ(GetTickCount(), 5000u);
  CloseHandle(event);
}

TEST_F(FakeTimeTest, OneShotTimerFiresAtItsDueTimeAndNotBefore) {
  HANDLE timer = CreateWaitableTimerA(nullptr, TRUE, nullptr);
  int64_t one_second = -10000000;
  ASSERT_TRUE(SetWaitableTimer(timer, &one_second, 0, nullptr, nullptr, 0));
  HANDLE probe = Probe(999);
  clock_.Advance(999);
  AwaitFired(probe);
  EXPECT_EQ(WaitForSingleObject(timer, 0), WAIT_TIMEOUT);
  clock_.Advance(1);
  AwaitFired(timer);
  // Manual-reset: stays signalled until armed again.
  EXPECT_EQ(WaitForSingleObject(timer, 0), WAIT_OBJECT_0);
  ASSERT_TRUE(SetWaitableTimer(timer, &one_second, 0, nullptr, nullptr, 0));
  EXPECT_EQ(WaitForSingleObject(timer, 0), WAIT_TIMEOUT);
  CloseHandle(probe);
  CloseHandle(timer);
}

TEST_F(FakeTimeTest, SynchronizationTimerReleasesOneWait) {
  HANDLE timer = CreateWaitableTimerA(nullptr, FALSE, nullptr);
  int64_t due = -1;  // 100 ns rounds up to 1 ms
  ASSERT_TRUE(SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE));
  std::thread advancer([&] {
    AwaitWaitingThreadsForTesting(1);
    clock_.Advance(1);
  });
  EXPECT_EQ(WaitForSingleObject(timer, INFINITE), WAIT_OBJECT_0);
  advancer.join();
  EXPECT_EQ(WaitForSingleObject(timer, 0), WAIT_TIMEOUT);
  CloseHandle(timer);
}

TEST_F(FakeTimeTest, CancelledTimerDoesNotFire) {
  HANDLE timer = CreateWaitableTimerA(nullptr, TRUE, nullptr);
  int64_t due = -10000 * 100;
  ASSERT_TRUE(SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE));
  EXPECT_TRUE(CancelWaitableTimer(timer));
  HANDLE probe = Probe(200);
  clock_.Advance(200);
  AwaitFired(probe);
  EXPECT_EQ(WaitForSingleObject(timer, 0), WAIT_TIMEOUT);
  CloseHandle(probe);
  CloseHandle(timer);
}

TEST_F(FakeTimeTest, AbsoluteDueTimeIsAFileTime) {
  HANDLE timer = CreateWaitableTimerA(nullptr, TRUE, nullptr);
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  int64_t due = static_cast<int64_t>(FileTimeToUInt64(now) + 3000 * 10000);
  ASSERT_TRUE(SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE));
  HANDLE probe = Probe(2999);
  clock_.Advance(2999);
  AwaitFired(probe);
  EXPECT_EQ(WaitForSingleObject(timer, 0), WAIT_TIMEOUT);
  clock_.Advance(1);
  AwaitFired(timer);
  CloseHandle(probe);
  CloseHandle(timer);
}

struct Completions {
  std::vector<DWORD> threads;
  std::vector<uint64_t> times;
};

void RecordCompletion(void* arg, DWORD low, DWORD high) {
  auto* completions = static_cast<Completions*>(arg);
  completions->threads.push_back(GetCurrentThreadId());
  completions->times.push_back(FileTimeToUInt64(FILETIME{low, high}));
}

TEST_F(FakeTimeTest, PeriodicTimerQueuesItsRoutineToTheSettingThread) {
  Completions done;
  HANDLE timer = CreateWaitableTimerA(nullptr, FALSE, nullptr);
  int64_t due = -1000 * 10000;
  ASSERT_TRUE(SetWaitableTimer(
      timer, &due, 500, TimerCompletion(RecordCompletion), &done, FALSE));
  // A completion only runs inside an alertable wait of this thread.
  auto run_one_completion = [&] {
    EXPECT_EQ(SleepEx(INFINITE, TRUE), WAIT_IO_COMPLETION);
  };
  clock_.Advance(1000);
  run_one_completion();
  clock_.Advance(500);
  run_one_completion();
  ASSERT_EQ(done.times.size(), 2u);
  EXPECT_EQ(done.times[1] - done.times[0], 500u * 10000);
  for (DWORD id : done.threads) EXPECT_EQ(id, GetCurrentThreadId());

  // Falling behind by three periods gives one expiry, and the next one keeps
  // to the original grid (3000, 3500 ms after the first arming).
  HANDLE probe = Probe(1600);
  clock_.Advance(1600);
  AwaitFired(probe);
  run_one_completion();
  EXPECT_EQ(done.times.size(), 3u);
  HANDLE probe2 = Probe(399);
  clock_.Advance(399);
  AwaitFired(probe2);
  EXPECT_EQ(SleepEx(0, TRUE), 0u);  // nothing queued yet
  clock_.Advance(1);
  run_one_completion();
  EXPECT_EQ(done.times.size(), 4u);

  EXPECT_TRUE(CancelWaitableTimer(timer));
  CloseHandle(probe);
  CloseHandle(probe2);
  CloseHandle(timer);
}

TEST_F(FakeTimeTest, TimerWaitedOnByAnotherThreadWakesIt) {
  HANDLE timer = CreateWaitableTimerA(nullptr, FALSE, nullptr);
  int64_t due = -250 * 10000;
  ASSERT_TRUE(SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE));
  HANDLE done = CreateThread(
      nullptr, 0,
      [](void* t) -> DWORD {
        return WaitForSingleObject(static_cast<HANDLE>(t), 1000);
      },
      timer, 0, nullptr);
  AwaitWaitingThreadsForTesting(1);
  clock_.Advance(250);
  ASSERT_EQ(WaitForSingleObject(done, INFINITE), WAIT_OBJECT_0);
  DWORD result = WAIT_FAILED;
  GetExitCodeThread(done, &result);
  EXPECT_EQ(result, WAIT_OBJECT_0);
  CloseHandle(done);
  CloseHandle(timer);
}

TEST(SystemClockTest, TickIsMonotonicAndFileTimeIsAfter2020) {
  uint32_t first = SystemClock()->TickCount();
  uint32_t second = SystemClock()->TickCount();
  EXPECT_LT(second - first, 1000u);
  EXPECT_GT(SystemClock()->FileTimeNow(), 132223104000000000ULL);
}

}  // namespace
}  // namespace kavex::sync
