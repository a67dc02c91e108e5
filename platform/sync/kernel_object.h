// Internal to platform/sync: the objects behind HANDLEs.
//
// All object state (signalled flags, waiter lists, APC queues, armed timers)
// is guarded by one process-wide mutex. Waits on several objects thus see one
// consistent snapshot and a wait-all takes its objects atomically; the lock is
// held only for a few instructions at a time, never while user code runs.
#ifndef KAVEX_PLATFORM_SYNC_KERNEL_OBJECT_H_
#define KAVEX_PLATFORM_SYNC_KERNEL_OBJECT_H_

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/sync/handle.h"
#include "platform/sync/thread.h"

namespace kavex::sync {
class ThreadObject;
}

struct KernelObject {
  enum class Kind { kEvent, kThread, kTimer };
  KernelObject(Kind kind, bool manual_reset)
      : kind(kind), manual_reset(manual_reset) {}
  virtual ~KernelObject() = default;

  // Wakes every thread waiting on this object. Caller holds StateMutex().
  void NotifyWaiters();

  const Kind kind;
  const bool manual_reset;  // false: a satisfied wait resets `signaled`
  bool signaled = false;
  int refs = 1;
  std::string name;  // empty = unnamed
  std::vector<kavex::sync::ThreadObject*> waiters;
};

namespace kavex::sync {

// The per-thread object: its handle, its APC queue and the condition variable
// its waits sleep on.
class ThreadObject : public KernelObject {
 public:
  ThreadObject() : KernelObject(Kind::kThread, /*manual_reset=*/true) {}

  std::condition_variable wake;
  std::deque<std::function<void()>> apcs;
  DWORD thread_id = 0;
  DWORD exit_code = STILL_ACTIVE;
  bool ended = false;
};

std::mutex& StateMutex();

// Takes ownership; the object starts with one reference (refs = 1) unless the
// caller set more. With a name, the object joins the process-wide namespace.
HANDLE RegisterObjectLocked(std::unique_ptr<KernelObject> object);
// nullptr unless `handle` is an open object (of `kind` when given).
KernelObject* LookupLocked(HANDLE handle);
KernelObject* FindNamedLocked(const std::string& name);
void AddRefLocked(KernelObject* object);
// Drops one reference. When it was the last, the object leaves the tables and
// is returned so the caller destroys it after unlocking (its destructor may run
// arbitrary code, e.g. queued APC captures).
std::unique_ptr<KernelObject> ReleaseLocked(KernelObject* object);

// The calling thread's object, created on first use for threads not made by
// CreateThread. Valid until the thread ends. Caller holds StateMutex().
ThreadObject* CurrentThreadObjectLocked();
bool QueueApcLocked(ThreadObject* thread, std::function<void()> fn);

// Threads inside a wait, so a clock change can make them re-check deadlines.
void AddWaitingThreadLocked(ThreadObject* thread);
void RemoveWaitingThreadLocked(ThreadObject* thread);
// Wakes every waiting thread and the timer service; called on clock changes.
void NotifyClockChanged();
// Implemented by the timer service (waitable_timer.cc).
void WakeTimerServiceLocked();
// Disarms the timer; called when it is destroyed.
void ForgetTimerLocked(KernelObject* timer);

}  // namespace kavex::sync

#endif  // KAVEX_PLATFORM_SYNC_KERNEL_OBJECT_H_
