// Manual- and auto-reset events.
#ifndef KAVEX_PLATFORM_SYNC_EVENT_H_
#define KAVEX_PLATFORM_SYNC_EVENT_H_

#include "platform/sync/handle.h"

// A named event is shared by the whole process: a second CreateEventA with the
// same (case-sensitive) name returns a new handle to the existing event,
// ignores manual_reset and initial_state and sets the last error to
// ERROR_ALREADY_EXISTS (else the last error is 0). A name already used by a
// timer fails with ERROR_INVALID_HANDLE. The security argument is ignored.
HANDLE CreateEventA(void* security, BOOL manual_reset, BOOL initial_state,
                    const char* name);

// Manual-reset: stays signalled and releases every waiter until reset.
// Auto-reset: releases one waiter, which resets it.
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);

#endif  // KAVEX_PLATFORM_SYNC_EVENT_H_
