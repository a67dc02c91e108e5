// The two worker threads of a server object. Each gets a start block that
// it owns from then on: its own references to the events it waits on and a
// stream holding the server's callback, through which alone it reaches the
// server. UpdateThread calls Update once per period until the stop event;
// AsyncThread calls ProcessAsyncRequest at start and whenever the async
// event is set, until the stop event.
#ifndef KAVEX_SERVER_OBJECTS_WORKER_THREADS_H_
#define KAVEX_SERVER_OBJECTS_WORKER_THREADS_H_

#include <memory>

#include "platform/base/unique_handle.h"
#include "platform/com/com_ptr.h"
#include "platform/com/marshal.h"

namespace kavex::server {

// Shared by a server object and its threads, so a thread that outlives the
// server still waits on live events.
struct WorkerEvents {
  UniqueHandle stop;   // manual reset: tells both threads to end
  UniqueHandle async;  // auto reset: a request was queued
};

struct UpdateThreadStart {
  std::shared_ptr<WorkerEvents> events;
  com::ComPtr<IStream> callback;  // the server's callback, marshalled
  DWORD period_ms;
};

struct AsyncThreadStart {
  std::shared_ptr<WorkerEvents> events;
  com::ComPtr<IStream> callback;
};

// Start the thread, which takes the block over; null (the block freed)
// when no thread can be made.
UniqueHandle StartUpdateThread(std::unique_ptr<UpdateThreadStart> start);
UniqueHandle StartAsyncThread(std::unique_ptr<AsyncThreadStart> start);

}  // namespace kavex::server

#endif  // KAVEX_SERVER_OBJECTS_WORKER_THREADS_H_
