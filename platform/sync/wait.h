// Waits on events, threads and timers, optionally alertable.
//
// Time-outs are measured with the installed Clock (clock.h): under a
// FakeClock a timed wait ends only when the test advances the clock.
#ifndef KAVEX_PLATFORM_SYNC_WAIT_H_
#define KAVEX_PLATFORM_SYNC_WAIT_H_

#include "platform/sync/handle.h"

// WAIT_OBJECT_0, WAIT_TIMEOUT or WAIT_FAILED (last error set).
DWORD WaitForSingleObject(HANDLE handle, DWORD ms);

// With alertable TRUE the wait first runs every completion routine (APC)
// queued to the calling thread, in FIFO order and on this thread, and then
// returns WAIT_IO_COMPLETION; routines queued while it waits end the wait the
// same way. A non-alertable wait leaves the queue alone.
DWORD WaitForSingleObjectEx(HANDLE handle, DWORD ms, BOOL alertable);

// wait_all FALSE: WAIT_OBJECT_0 + the lowest index of a signalled object.
// wait_all TRUE: WAIT_OBJECT_0 once all are signalled at the same moment;
// auto-reset objects are only consumed then. 1..MAXIMUM_WAIT_OBJECTS handles;
// the same object twice in a wait-all fails with ERROR_INVALID_PARAMETER.
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL wait_all,
                             DWORD ms);
DWORD WaitForMultipleObjectsEx(DWORD count, const HANDLE* handles,
                               BOOL wait_all, DWORD ms, BOOL alertable);

// Returns 0 after the time-out, WAIT_IO_COMPLETION if alertable and APCs ran.
// SleepEx(0, FALSE) only yields the processor.
DWORD SleepEx(DWORD ms, BOOL alertable);
void Sleep(DWORD ms);

#endif  // KAVEX_PLATFORM_SYNC_WAIT_H_
