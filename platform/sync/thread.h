// Threads with waitable handles.
//
// There is no way to kill a thread on Linux. A caller that stops a worker by
// signalling it and waiting with a time-out must, when the wait times out,
// leave the thread running and never free anything the thread still uses;
// closing its handle is fine, the thread keeps its own reference.
#ifndef KAVEX_PLATFORM_SYNC_THREAD_H_
#define KAVEX_PLATFORM_SYNC_THREAD_H_

#include <cstddef>

#include "platform/sync/handle.h"

using LPTHREAD_START_ROUTINE = DWORD (*)(void*);
constexpr DWORD STILL_ACTIVE = 259;

// Starts fn(arg) on a new thread. The returned handle is signalled when fn
// returns; its exit code is fn's result. stack 0 = default size; security and
// flags are ignored (no thread is created suspended). thread_id may be null.
HANDLE CreateThread(void* security, size_t stack, LPTHREAD_START_ROUTINE fn,
                    void* arg, DWORD flags, DWORD* thread_id);

// STILL_ACTIVE while the thread runs. Threads not made by CreateThread end
// with exit code 0.
BOOL GetExitCodeThread(HANDLE thread, DWORD* exit_code);

// The kernel thread id (as shown by ps and gdb); never 0.
DWORD GetCurrentThreadId();

namespace kavex::sync {

// A real handle of the calling thread, usable from other threads (to queue
// APCs to it or to wait for its end), also for threads not made by
// CreateThread such as main. CloseHandle it when done.
HANDLE OpenCurrentThread();

}  // namespace kavex::sync

#endif  // KAVEX_PLATFORM_SYNC_THREAD_H_
