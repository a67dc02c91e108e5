// Completion routines (APCs) queued to a thread and run by its alertable waits.
#ifndef KAVEX_PLATFORM_SYNC_APC_H_
#define KAVEX_PLATFORM_SYNC_APC_H_

#include <cstdint>
#include <functional>

#include "platform/sync/handle.h"

using PAPCFUNC = void (*)(uintptr_t);

// Queues fn(data) to the thread; it runs during the thread's next alertable
// wait (WaitFor...Ex, SleepEx with alertable TRUE), in FIFO order. Callable
// from any thread, also from inside an APC. Returns 0 (last error set) for an
// invalid handle or a thread that has ended; routines still queued when a
// thread ends are discarded without running.
DWORD QueueUserAPC(PAPCFUNC fn, HANDLE thread, uintptr_t data);

namespace kavex::sync {

// The same for a C++ callable.
BOOL QueueApcFunction(HANDLE thread, std::function<void()> fn);

}  // namespace kavex::sync

#endif  // KAVEX_PLATFORM_SYNC_APC_H_
