// Hooks for tests that drive waits with a FakeClock.
#ifndef KAVEX_PLATFORM_SYNC_SYNC_TESTING_H_
#define KAVEX_PLATFORM_SYNC_SYNC_TESTING_H_

#include <cstddef>

namespace kavex::sync {

// Threads currently inside a wait (WaitFor..., SleepEx). A test waits for its
// waiter to be asleep before it advances the fake clock, so the waiter's
// deadline is measured from the tick the test expects.
size_t WaitingThreadCountForTesting();

// Spins (yielding) until at least `count` threads are inside a wait.
void AwaitWaitingThreadsForTesting(size_t count);

}  // namespace kavex::sync

#endif  // KAVEX_PLATFORM_SYNC_SYNC_TESTING_H_
