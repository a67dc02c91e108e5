// Events, waits, threads and completion routines, with real threads.
#include "platform/sync/sync.h"

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "platform/base/results.h"
#include "platform/sync/sync_testing.h"

namespace kavex::sync {
namespace {

TEST(EventTest, ManualResetReleasesEveryWaiterUntilReset) {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.emplace_back([&] {
      if (WaitForSingleObject(event, INFINITE) == WAIT_OBJECT_0) ++released;
    });
  }
  AwaitWaitingThreadsForTesting(4);
  EXPECT_TRUE(SetEvent(event));
  for (auto& t : waiters) t.join();
  EXPECT_EQ(released, 4);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);  // still set
  EXPECT_TRUE(ResetEvent(event));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(CloseHandle(event));
}

TEST(EventTest, AutoResetReleasesOneWaiterPerSet) {
  HANDLE event = CreateEventA(nullptr, FALSE, TRUE, nullptr);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);  // consumed

  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      if (WaitForSingleObject(event, INFINITE) == WAIT_OBJECT_0) ++released;
    });
  }
  AwaitWaitingThreadsForTesting(3);
  for (int i = 1; i <= 3; ++i) {
    SetEvent(event);
    // Exactly one more waiter gets through each time.
    while (released < i) std::this_thread::yield();
    EXPECT_EQ(released, i);
  }
  for (auto& t : waiters) t.join();
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  CloseHandle(event);
}

TEST(EventTest, NamedEventsShareOneObjectUntilTheLastHandleCloses) {
  HANDLE first = CreateEventA(nullptr, TRUE, FALSE, "Kavex Shutdown Test");
  EXPECT_EQ(GetLastError(), 0u);
  HANDLE second = CreateEventA(nullptr, FALSE, TRUE, "Kavex Shutdown Test");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(first, second);
  // The existing manual-reset, non-signalled event is kept.
  EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_TIMEOUT);
  SetEvent(first);
  EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_OBJECT_0);

  // Names are case-sensitive, and a timer cannot take an event's name.
  HANDLE other = CreateEventA(nullptr, TRUE, FALSE, "kavex shutdown test");
  EXPECT_NE(other, first);
  EXPECT_EQ(CreateWaitableTimerA(nullptr, TRUE, "Kavex Shutdown Test"),
            nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  CloseHandle(first);
  EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_OBJECT_0);  // still alive
  CloseHandle(second);
  HANDLE fresh = CreateEventA(nullptr, TRUE, FALSE, "Kavex Shutdown Test");
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_EQ(WaitForSingleObject(fresh, 0), WAIT_TIMEOUT);
  CloseHandle(fresh);
  CloseHandle(other);
}

TEST(WaitTest, WaitAnyReportsTheLowestSignalledIndex) {
  HANDLE events[3];
  for (auto& e : events) e = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_TIMEOUT);
  SetEvent(events[2]);
  SetEvent(events[1]);
  EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 2);
  EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_TIMEOUT);

  std::thread setter([&] {
    AwaitWaitingThreadsForTesting(1);
    SetEvent(events[2]);
  });
  EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, INFINITE),
            WAIT_OBJECT_0 + 2);
  setter.join();
  for (auto& e : events) CloseHandle(e);
}

TEST(WaitTest, WaitAllTakesAutoResetEventsOnlyWhenAllAreSignalled) {
  HANDLE events[2] = {CreateEventA(nullptr, FALSE, FALSE, nullptr),
                      CreateEventA(nullptr, FALSE, FALSE, nullptr)};
  SetEvent(events[0]);
  EXPECT_EQ(WaitForMultipleObjects(2, events, TRUE, 0), WAIT_TIMEOUT);
  // The failed wait-all must not have consumed the first event.
  EXPECT_EQ(WaitForSingleObject(events[0], 0), WAIT_OBJECT_0);

  SetEvent(events[0]);
  std::thread setter([&] {
    AwaitWaitingThreadsForTesting(1);
    SetEvent(events[1]);
  });
  EXPECT_EQ(WaitForMultipleObjects(2, events, TRUE, INFINITE), WAIT_OBJECT_0);
  setter.join();
  EXPECT_EQ(WaitForMultipleObjects(2, events, FALSE, 0), WAIT_TIMEOUT);

  HANDLE twice[2] = {events[0], events[0]};
  EXPECT_EQ(WaitForMultipleObjects(2, twice, TRUE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  for (auto& e : events) CloseHandle(e);
}

TEST(WaitTest, BadHandlesFailInsteadOfCrashing) {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  CloseHandle(event);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(SetEvent(event));
  EXPECT_FALSE(CloseHandle(event));
  EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
  EXPECT_EQ(WaitForSingleObject(INVALID_HANDLE_VALUE, 0), WAIT_FAILED);
  EXPECT_EQ(WaitForMultipleObjects(0, nullptr, FALSE, 0), WAIT_FAILED);
  HANDLE many[MAXIMUM_WAIT_OBJECTS + 1] = {};
  EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, many, FALSE, 0),
            WAIT_FAILED);
}

TEST(WaitTest, ClosingTheLastHandleDuringAWaitKeepsTheObjectAlive) {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, "Kavex Close During Wait");
  HANDLE other = CreateEventA(nullptr, TRUE, FALSE, "Kavex Close During Wait");
  std::atomic<DWORD> result{WAIT_FAILED};
  std::thread waiter([&] { result = WaitForSingleObject(event, INFINITE); });
  AwaitWaitingThreadsForTesting(1);
  CloseHandle(event);
  SetEvent(other);
  waiter.join();
  EXPECT_EQ(result, WAIT_OBJECT_0);
  CloseHandle(other);
}

DWORD ReturnArgument(void* arg) {
  return static_cast<DWORD>(reinterpret_cast<uintptr_t>(arg));
}

TEST(ThreadTest, HandleIsSignalledWithTheExitCodeWhenTheThreadEnds) {
  HANDLE gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  struct Context {
    HANDLE gate;
    DWORD seen_id = 0;
  } context{gate};
  DWORD id = 0;
  HANDLE thread = CreateThread(
      nullptr, 64 * 1024,
      [](void* arg) -> DWORD {
        auto* context = static_cast<Context*>(arg);
        context->seen_id = GetCurrentThreadId();
        WaitForSingleObject(context->gate, INFINITE);
        return 42;
      },
      &context, 0, &id);
  ASSERT_NE(thread, nullptr);
  EXPECT_NE(id, 0u);
  EXPECT_NE(id, GetCurrentThreadId());
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_TIMEOUT);
  SetEvent(gate);
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);  // stays set
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 42u);
  EXPECT_EQ(context.seen_id, id);
  CloseHandle(thread);
  CloseHandle(gate);

  HANDLE quick = CreateThread(nullptr, 0, ReturnArgument,
                              reinterpret_cast<void*>(7), 0, nullptr);
  EXPECT_EQ(WaitForSingleObject(quick, INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(GetExitCodeThread(quick, &code));
  EXPECT_EQ(code, 7u);
  CloseHandle(quick);
}

TEST(ThreadTest, OpenCurrentThreadOfAForeignThreadIsSignalledAtItsEnd) {
  HANDLE handle = nullptr;
  std::thread worker([&] { handle = OpenCurrentThread(); });
  worker.join();
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(WaitForSingleObject(handle, 0), WAIT_OBJECT_0);
  DWORD code = STILL_ACTIVE;
  EXPECT_TRUE(GetExitCodeThread(handle, &code));
  EXPECT_EQ(code, 0u);
  // Nothing runs on a thread that is gone.
  EXPECT_EQ(QueueUserAPC([](uintptr_t) {}, handle, 0), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  CloseHandle(handle);
}

// Completion routines record the thread they ran on and their order.
struct ApcLog {
  std::mutex mu;
  std::vector<int> order;
  std::vector<DWORD> threads;
  void Add(int value) {
    std::lock_guard<std::mutex> lock(mu);
    order.push_back(value);
    threads.push_back(GetCurrentThreadId());
  }
};
ApcLog* apc_log = nullptr;
HANDLE apc_self = nullptr;

void LogApc(uintptr_t value) { apc_log->Add(static_cast<int>(value)); }
void LogAndRequeueApc(uintptr_t value) {
  apc_log->Add(static_cast<int>(value));
  QueueUserAPC(LogApc, apc_self, value + 100);  // from inside an APC
}

TEST(ApcTest, AlertableWaitRunsQueuedRoutinesInOrderOnItsOwnThread) {
  ApcLog log;
  apc_log = &log;
  apc_self = OpenCurrentThread();  // the test's main thread
  HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);

  std::thread producer([&] {
    for (uintptr_t i = 1; i <= 5; ++i) QueueUserAPC(LogApc, apc_self, i);
    QueueUserAPC(LogAndRequeueApc, apc_self, 6);
  });
  producer.join();
  // A non-alertable wait leaves the queue alone.
  EXPECT_EQ(WaitForSingleObject(never, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(log.order.empty());

  EXPECT_EQ(WaitForSingleObjectEx(never, INFINITE, TRUE), WAIT_IO_COMPLETION);
  EXPECT_EQ(log.order, (std::vector<int>{1, 2, 3, 4, 5, 6, 106}));
  for (DWORD id : log.threads) EXPECT_EQ(id, GetCurrentThreadId());
  EXPECT_EQ(SleepEx(0, TRUE), 0u);  // queue drained
  CloseHandle(never);
  CloseHandle(apc_self);
}

TEST(ApcTest, RoutineQueuedFromAnotherThreadWakesAnAlertableWait) {
  ApcLog log;
  apc_log = &log;
  HANDLE target_ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  struct Context {
    HANDLE ready, never;
    std::atomic<DWORD> results[3];
  } context{target_ready, never, {}};
  HANDLE target = CreateThread(
      nullptr, 0,
      [](void* arg) -> DWORD {
        auto* c = static_cast<Context*>(arg);
        SetEvent(c->ready);
        c->results[0] =
            WaitForMultipleObjectsEx(1, &c->never, FALSE, INFINITE, TRUE);
        c->results[1] = SleepEx(INFINITE, TRUE);
        c->results[2] = WaitForSingleObjectEx(c->never, INFINITE, TRUE);
        return 0;
      },
      &context, 0, nullptr);
  WaitForSingleObject(target_ready, INFINITE);
  DWORD target_id = 0;
  for (int round = 1; round <= 3; ++round) {
    AwaitWaitingThreadsForTesting(1);
    EXPECT_EQ(QueueUserAPC(LogApc, target, round), 1u);
    for (;;) {  // let that wait end before the next routine is queued
      std::lock_guard<std::mutex> lock(log.mu);
      if (log.order.size() == static_cast<size_t>(round)) break;
    }
  }
  EXPECT_EQ(WaitForSingleObject(target, INFINITE), WAIT_OBJECT_0);
  for (auto& r : context.results) EXPECT_EQ(r, WAIT_IO_COMPLETION);
  EXPECT_EQ(log.order, (std::vector<int>{1, 2, 3}));
  target_id = log.threads.empty() ? 0 : log.threads[0];
  EXPECT_NE(target_id, GetCurrentThreadId());
  for (DWORD id : log.threads) EXPECT_EQ(id, target_id);
  CloseHandle(target);
  CloseHandle(target_ready);
  CloseHandle(never);
}

TEST(ApcTest, NonAlertableWaitIsEndedByItsObjectNotByRoutines) {
  std::atomic<int> ran{0};
  HANDLE self = OpenCurrentThread();
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  std::thread helper([&] {
    AwaitWaitingThreadsForTesting(1);
    QueueApcFunction(self, [&] { ++ran; });
    SetEvent(event);
  });
  EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
  helper.join();
  EXPECT_EQ(ran, 0);
  EXPECT_EQ(SleepEx(0, TRUE), WAIT_IO_COMPLETION);
  EXPECT_EQ(ran, 1);
  CloseHandle(event);
  CloseHandle(self);
}

TEST(LastErrorTest, IsPerThread) {
  SetLastError(5);
  std::thread other([] {
    EXPECT_EQ(GetLastError(), 0u);
    SetLastError(87);
  });
  other.join();
  EXPECT_EQ(GetLastError(), 5u);
}

}  // namespace
}  // namespace kavex::sync
