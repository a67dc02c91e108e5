// Delivery of completion routines to the thread that posted a request.
//
// One CompletionQueue per (adapter, posting thread). Completions are pushed
// from the receive thread; a single APC queued to the posting thread drains
// them in order during its alertable wait. The APC names its queue by a
// number, not a pointer, so an APC that runs after the adapter was closed
// finds nothing and does nothing; and Close() waits for a routine that is
// running on another thread, so once it returns the caller may free the
// memory the routines use.
#ifndef KAVEX_PLATFORM_PKIO_COMPLETION_QUEUE_H_
#define KAVEX_PLATFORM_PKIO_COMPLETION_QUEUE_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "platform/pkio/overlapped.h"
#include "platform/sync/handle.h"

namespace kavex::pkio {

struct Completion {
  LPOVERLAPPED_COMPLETION_ROUTINE routine;
  DWORD error;
  DWORD bytes;
  OVERLAPPED* overlapped;
};

// A number that stays unique to the calling thread for the process's life.
uint64_t CurrentThreadToken();

class CompletionQueue {
 public:
  // For the calling thread; null when its handle cannot be had. after_batch
  // runs on that thread at the end of a batch of completions whose routines
  // called DeferToBatchEnd, while the queue is open. owner is the object the
  // completions belong to, for Running().
  static std::shared_ptr<CompletionQueue> ForCurrentThread(
      std::function<void()> after_batch = {}, void* owner = nullptr);
  // The open queue whose routine is running on the calling thread, or null.
  // Its owner cannot be closed by another thread meanwhile: Close() waits
  // for that routine. Once closed (even from within the routine) it is no
  // longer returned.
  static CompletionQueue* Running();
  ~CompletionQueue();
  CompletionQueue(const CompletionQueue&) = delete;
  CompletionQueue& operator=(const CompletionQueue&) = delete;

  uint64_t thread_token() const { return thread_token_; }
  void* owner() const { return owner_; }

  // Queues a completion; false when the queue is closed or its thread ended.
  bool Push(const Completion& completion) {
    return PushBatch({&completion, 1});
  }
  // Queues completions in order under one lock and at most one APC, so a
  // busy adapter pays for a wake-up per batch rather than per frame.
  bool PushBatch(std::span<const Completion> completions);

  // True when called from a routine of this queue's running batch: the
  // caller's work is left to after_batch, once for the whole batch.
  bool DeferToBatchEnd();
  // The same for a caller that had this queue from Running() on its thread.
  void DeferRunningToBatchEnd() { after_batch_due_ = true; }

  // Drops pending completions; after return no routine of this queue runs,
  // except one already running on the calling thread itself.
  void Close();

 private:
  CompletionQueue(uint64_t id, uint64_t thread_token, HANDLE thread,
                  std::function<void()> after_batch, void* owner);
  static void RunApc(uintptr_t id);
  void Drain();

  const uint64_t id_;
  const uint64_t thread_token_;
  HANDLE thread_;
  const std::function<void()> after_batch_;
  void* const owner_;
  bool after_batch_due_ = false;  // the queue's own thread only
  std::mutex mu_;
  std::condition_variable idle_;
  std::vector<Completion> ready_;
  std::vector<Completion> spare_;
  bool apc_queued_ = false;
  bool running_ = false;
  std::atomic<bool> closed_{false};  // written under mu_
};

}  // namespace kavex::pkio

#endif  // KAVEX_PLATFORM_PKIO_COMPLETION_QUEUE_H_
