#include "server/objects/worker_threads.h"

#include "platform/com/activation.h"
#include "platform/sync/clock.h"
#include "platform/sync/thread.h"
#include "platform/sync/wait.h"
#include "server/contract/device_interfaces.h"
#include "server/objects/trace_log.h"

namespace kavex::server {
namespace {

// The callback's worker entry points, taken out of the stream.
com::ComPtr<_IKavexOPCServer> Unmarshal(com::ComPtr<IStream>* stream) {
  com::ComPtr<IUnknown> unknown;
  if (FAILED(CoGetInterfaceAndReleaseStream(
          stream->Detach(), IID_IUnknown,
          reinterpret_cast<void**>(unknown.GetAddressOf()))) ||
      !unknown)
    return nullptr;
  com::ComPtr<_IKavexOPCServer> server;
  unknown.As(&server);
  return server;
}

int64_t NowMs() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  return static_cast<int64_t>(FileTimeToUInt64(now) / 10000);
}

DWORD UpdateThread(void* argument) {
  std::unique_ptr<UpdateThreadStart> start(
      static_cast<UpdateThreadStart*>(argument));
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
  Trace(kTraceDone, nullptr, S_OK, "UpdateThread: Starting");
  try {
    com::ComPtr<_IKavexOPCServer> server = Unmarshal(&start->callback);
    if (!server) {
      Trace(kTraceError, nullptr, E_NOINTERFACE, "UpdateThread: Error");
    } else {
      const HANDLE stop = start->events->stop.get();
      for (;;) {
        // A tick that takes longer than the period is followed at once by
        // the next one.
        const int64_t begin = NowMs();
        server->Update();
        const int64_t wait = begin + start->period_ms - NowMs();
        if (WaitForSingleObject(
                stop, wait > 0 ? static_cast<DWORD>(wait) : 0) != WAIT_TIMEOUT)
          break;
      }
    }
  } catch (...) {
    Trace(kTraceError, nullptr, E_FAIL, "UpdateThread: Error");
  }
  start.reset();
  Trace(kTraceDone, nullptr, S_OK, "UpdateThread: Done");
  CoUninitialize();
  return 0;
}

DWORD AsyncThread(void* argument) {
  std::unique_ptr<AsyncThreadStart> start(
      static_cast<AsyncThreadStart*>(argument));
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
  Trace(kTraceDone, nullptr, S_OK, "AsyncThread: Starting");
  try {
    com::ComPtr<_IKavexOPCServer> server = Unmarshal(&start->callback);
    if (!server) {
      Trace(kTraceError, nullptr, E_NOINTERFACE, "AsyncThread: Error");
    } else {
      // The stop event first: when both are set, the thread ends.
      const HANDLE events[] = {start->events->stop.get(),
                               start->events->async.get()};
      do {
        server->ProcessAsyncRequest();
      } while (WaitForMultipleObjects(2, events, FALSE, INFINITE) ==
               WAIT_OBJECT_0 + 1);
    }
  } catch (...) {
    Trace(kTraceError, nullptr, E_FAIL, "AsyncThread: Error");
  }
  start.reset();
  Trace(kTraceDone, nullptr, S_OK, "AsyncThread: Done");
  CoUninitialize();
  return 0;
}

template <class Block>
UniqueHandle Launch(LPTHREAD_START_ROUTINE routine,
                    std::unique_ptr<Block> start) {
  HANDLE thread = CreateThread(nullptr, 0, routine, start.get(), 0, nullptr);
  if (thread != nullptr) start.release();  // the thread's now
  return UniqueHandle(thread);
}

}  // namespace

UniqueHandle StartUpdateThread(std::unique_ptr<UpdateThreadStart> start) {
  return Launch(&UpdateThread, std::move(start));
}

UniqueHandle StartAsyncThread(std::unique_ptr<AsyncThreadStart> start) {
  return Launch(&AsyncThread, std::move(start));
}

}  // namespace kavex::server
