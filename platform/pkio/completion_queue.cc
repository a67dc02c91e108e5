#include "platform/pkio/completion_queue.h"

#include <atomic>
#include <unordered_map>

#include "platform/sync/apc.h"
#include "platform/sync/thread.h"

namespace kavex::pkio {
namespace {

std::atomic<uint64_t> g_next_token{1};
thread_local CompletionQueue* t_running_queue = nullptr;

// Queues by id, so that an APC only ever reaches a live queue.
struct QueueRegistry {
  std::mutex mu;
  std::unordered_map<uint64_t, std::shared_ptr<CompletionQueue>> queues;
  uint64_t next_id = 1;
};
QueueRegistry& Registry() {
  static auto* registry = new QueueRegistry;  // lives until exit
  return *registry;
}

}  // namespace

uint64_t CurrentThreadToken() {
  thread_local uint64_t token = g_next_token.fetch_add(1);
  return token;
}

CompletionQueue::CompletionQueue(uint64_t id, uint64_t thread_token,
                                 HANDLE thread,
                                 std::function<void()> after_batch, void* owner)
    : id_(id),
      thread_token_(thread_token),
      thread_(thread),
      after_batch_(std::move(after_batch)),
      owner_(owner) {}

CompletionQueue::~CompletionQueue() {
  if (thread_ != nullptr) CloseHandle(thread_);
}

std::shared_ptr<CompletionQueue> CompletionQueue::ForCurrentThread(
    std::function<void()> after_batch, void* owner) {
  HANDLE thread = sync::OpenCurrentThread();
  if (thread == nullptr || thread == INVALID_HANDLE_VALUE) return nullptr;
  QueueRegistry& r = Registry();
  std::lock_guard<std::mutex> lock(r.mu);
  uint64_t id = r.next_id++;
  std::shared_ptr<CompletionQueue> queue(new CompletionQueue(
      id, CurrentThreadToken(), thread, std::move(after_batch), owner));
  r.queues.emplace(id, queue);
  return queue;
}

CompletionQueue* CompletionQueue::Running() {
  CompletionQueue* queue = t_running_queue;
  // Close() on this thread sets closed_ before its owner goes away; on
  // another thread it cannot finish while our routine runs.
  if (queue == nullptr || queue->closed_.load(std::memory_order_acquire)) {
    return nullptr;
  }
  return queue;
}

bool CompletionQueue::PushBatch(std::span<const Completion> completions) {
  if (completions.empty()) return true;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (closed_) return false;
    ready_.insert(ready_.end(), completions.begin(), completions.end());
    if (apc_queued_) return true;
    apc_queued_ = true;
  }
  if (QueueUserAPC(&CompletionQueue::RunApc, thread_, id_) == 0) {
    // The thread has ended: nobody will ever run these.
    std::lock_guard<std::mutex> lock(mu_);
    ready_.clear();
    apc_queued_ = false;
    closed_ = true;
    return false;
  }
  return true;
}

void CompletionQueue::RunApc(uintptr_t id) {
  std::shared_ptr<CompletionQueue> queue;
  {
    QueueRegistry& r = Registry();
    std::lock_guard<std::mutex> lock(r.mu);
    auto it = r.queues.find(id);
    if (it == r.queues.end()) return;
    queue = it->second;
  }
  queue->Drain();
}

void CompletionQueue::Drain() {
  std::vector<Completion> batch;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (closed_) {
      apc_queued_ = false;
      return;
    }
    batch.swap(ready_);
    ready_.swap(spare_);
    running_ = true;
  }
  CompletionQueue* outer = t_running_queue;
  t_running_queue = this;
  for (const Completion& c : batch) {
    if (closed_.load(std::memory_order_acquire)) break;
    c.routine(c.error, c.bytes, c.overlapped);
  }
  t_running_queue = outer;
  bool requeue = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    // Under the lock: Close() waits, so what after_batch_ uses stays alive.
    if (after_batch_due_ && !closed_ && after_batch_) after_batch_();
    after_batch_due_ = false;
    running_ = false;
    batch.clear();
    spare_.swap(batch);
    requeue = !closed_ && !ready_.empty();
    apc_queued_ = requeue;
  }
  idle_.notify_all();
  // Later completions get their own APC, so that a busy adapter cannot keep
  // an alertable wait from returning.
  if (requeue && QueueUserAPC(&CompletionQueue::RunApc, thread_, id_) == 0) {
    std::lock_guard<std::mutex> lock(mu_);
    ready_.clear();
    apc_queued_ = false;
  }
}

bool CompletionQueue::DeferToBatchEnd() {
  if (t_running_queue != this) return false;
  after_batch_due_ = true;
  return true;
}

void CompletionQueue::Close() {
  {
    std::unique_lock<std::mutex> lock(mu_);
    closed_ = true;
    ready_.clear();
    if (CurrentThreadToken() != thread_token_) {
      idle_.wait(lock, [this] { return !running_; });
    }
  }
  QueueRegistry& r = Registry();
  std::lock_guard<std::mutex> lock(r.mu);
  r.queues.erase(id_);
}

}  // namespace kavex::pkio
