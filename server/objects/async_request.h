// Asynchronous requests: what a group's IOPCAsyncIO / IOPCAsyncIO2 call
// leaves for the server's async thread, and the server's first-in
// first-out queue of them.
#ifndef KAVEX_SERVER_OBJECTS_ASYNC_REQUEST_H_
#define KAVEX_SERVER_OBJECTS_ASYNC_REQUEST_H_

#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/com/variant.h"
#include "platform/opc/opc_da.h"

namespace kavex::server {

enum AsyncKind : DWORD {
  kAsyncRead = 0,
  kAsyncWrite = 1,
  kAsyncRefresh = 2,
  kOldAsyncRead = 100,
  kOldAsyncWrite = 101,
  kOldAsyncRefresh = 102,
};

struct AsyncRequest {
  OPCHANDLE group = 0;        // server handle of the queueing group
  DWORD kind = kAsyncRead;    // AsyncKind
  DWORD transaction = 0;      // the client's (2.0) or the group's number (1.0)
  DWORD connection = 0;       // DAdvise connection (1.0)
  DWORD count_or_source = 0;  // handles given (reads, writes); source (refresh)
  // In request order: every handle given (2.0; unknown ones complete as
  // invalid), the valid ones (1.0).
  std::vector<OPCHANDLE> handles;
  std::vector<com::Variant> values;  // writes: parallel to handles
};

// Thread-safe; the queue owns its requests until they are popped.
class RequestQueue {
 public:
  void Push(std::unique_ptr<AsyncRequest> request);
  // The front request, or null when the queue is empty.
  std::unique_ptr<AsyncRequest> Pop();
  // Removes the first request (from the front) whose transaction is
  // `transaction`; false when there is none.
  bool Cancel(DWORD transaction);
  size_t size() const;
  void Clear();

 private:
  mutable std::mutex mu_;
  std::deque<std::unique_ptr<AsyncRequest>> requests_;
};

}  // namespace kavex::server

#endif  // KAVEX_SERVER_OBJECTS_ASYNC_REQUEST_H_
