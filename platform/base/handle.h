// HANDLE, the Windows handle of a waitable object (event, thread, timer).
// platform/sync makes the objects and implements CloseHandle; this layer only
// names the type, so that layers below sync can hold and close handles.
#ifndef KAVEX_PLATFORM_BASE_HANDLE_H_
#define KAVEX_PLATFORM_BASE_HANDLE_H_

#include "platform/base/types.h"

// A reference-counted object; every Create/Open call returns one reference
// that CloseHandle gives back.
using HANDLE = struct KernelObject*;
inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(-1);

// Closing the last handle of a thread does not stop the thread; closing the
// last handle of a timer cancels it. Returns FALSE with ERROR_INVALID_HANDLE
// for a handle that is not open. Defined by platform/sync.
BOOL CloseHandle(HANDLE handle);

#endif  // KAVEX_PLATFORM_BASE_HANDLE_H_
