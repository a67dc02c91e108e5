// Handles of waitable objects (events, threads, timers) and the wait results.
#ifndef KAVEX_PLATFORM_SYNC_HANDLE_H_
#define KAVEX_PLATFORM_SYNC_HANDLE_H_

#include "platform/base/handle.h"
#include "platform/base/types.h"
#include "platform/base/unique_handle.h"

constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_ABANDONED = 0x80;
constexpr DWORD WAIT_ABANDONED_0 = WAIT_ABANDONED;
constexpr DWORD WAIT_IO_COMPLETION = 0xC0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;

#endif  // KAVEX_PLATFORM_SYNC_HANDLE_H_
