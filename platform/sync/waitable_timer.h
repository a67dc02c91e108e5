// One-shot and periodic waitable timers, measured with the installed Clock.
#ifndef KAVEX_PLATFORM_SYNC_WAITABLE_TIMER_H_
#define KAVEX_PLATFORM_SYNC_WAITABLE_TIMER_H_

#include <cstdint>

#include "platform/sync/handle.h"

// The completion routine's type. SetWaitableTimer takes it as void*; wrap it
// with TimerCompletion(). The two DWORDs are the FILETIME of the expiry.
using PTIMERAPCROUTINE = void (*)(void* arg, DWORD low, DWORD high);

namespace kavex::sync {

inline void* TimerCompletion(PTIMERAPCROUTINE fn) {
  return reinterpret_cast<void*>(fn);
}

}  // namespace kavex::sync

// manual_reset TRUE: stays signalled after expiry until set again.
// FALSE (synchronization timer): releases one waiter, which resets it.
// Named timers share the namespace of named events (see CreateEventA).
HANDLE CreateWaitableTimerA(void* security, BOOL manual_reset,
                            const char* name);

// Arms the timer and makes it non-signalled. *due_100ns < 0: relative time in
// 100 ns units (rounded up to whole ms); >= 0: absolute FILETIME (UTC).
// period_ms > 0 re-arms it every period after the first expiry; a periodic
// timer that falls behind skips the missed periods instead of firing them all.
// completion (a PTIMERAPCROUTINE or null) is queued with arg as an APC to the
// thread calling SetWaitableTimer at each expiry. resume is ignored.
BOOL SetWaitableTimer(HANDLE timer, const int64_t* due_100ns, LONG period_ms,
                      void* completion, void* arg, BOOL resume);

// Disarms the timer; its signalled state is left as it is.
BOOL CancelWaitableTimer(HANDLE timer);

#endif  // KAVEX_PLATFORM_SYNC_WAITABLE_TIMER_H_
