// Handles of waitable objects (events, threads, timers) and the wait results.
#ifndef KAVEX_PLATFORM_SYNC_HANDLE_H_
#define KAVEX_PLATFORM_SYNC_HANDLE_H_

#include "platform/com/types.h"

// A reference-counted object; every Create/Open call returns one reference
// that CloseHandle gives back.
using HANDLE = struct KernelObject*;
inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(-1);

constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_ABANDONED = 0x80;
constexpr DWORD WAIT_ABANDONED_0 = WAIT_ABANDONED;
constexpr DWORD WAIT_IO_COMPLETION = 0xC0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;

// Closing the last handle of a thread does not stop the thread; closing the
// last handle of a timer cancels it. Returns FALSE with ERROR_INVALID_HANDLE
// for a handle that is not open.
BOOL CloseHandle(HANDLE handle);

#endif  // KAVEX_PLATFORM_SYNC_HANDLE_H_
