// The overlapped block of asynchronous driver calls and the form of their
// completion routines.
#ifndef KAVEX_PLATFORM_PKIO_OVERLAPPED_H_
#define KAVEX_PLATFORM_PKIO_OVERLAPPED_H_

#include <cstdint>

#include "platform/base/types.h"
#include "platform/sync/handle.h"

#ifndef KAVEX_OVERLAPPED_DEFINED
#define KAVEX_OVERLAPPED_DEFINED
// The driver never reads or writes Offset, OffsetHigh or Pointer: they are
// free for the caller, e.g. to find its own descriptor again in the
// completion routine. hEvent, when not null, is signalled when a request that
// carries the block completes.
struct OVERLAPPED {
  uintptr_t Internal;
  uintptr_t InternalHigh;
  union {
    struct {
      DWORD Offset;
      DWORD OffsetHigh;
    };
    void* Pointer;
  };
  HANDLE hEvent;
};
using LPOVERLAPPED = OVERLAPPED*;

// Runs on the thread that posted the request, during one of its alertable
// waits: (error code, bytes transferred, the request's overlapped block).
using LPOVERLAPPED_COMPLETION_ROUTINE = void (*)(DWORD error_code,
                                                 DWORD bytes_transferred,
                                                 OVERLAPPED* overlapped);
#endif  // KAVEX_OVERLAPPED_DEFINED

#endif  // KAVEX_PLATFORM_PKIO_OVERLAPPED_H_
