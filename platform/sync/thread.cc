#include "platform/sync/thread.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <climits>

#include "platform/base/results.h"
#include "platform/sync/apc.h"
#include "platform/sync/kernel_object.h"
#include "platform/sync/last_error.h"

namespace kavex::sync {
namespace {

// Ends the thread's object: signals its handle, discards APCs that will never
// run, and gives back the thread's own reference.
void EndThread(ThreadObject* self, DWORD exit_code) {
  std::deque<std::function<void()>> dropped;
  std::unique_ptr<KernelObject> doomed;
  {
    std::lock_guard<std::mutex> lock(StateMutex());
    self->ended = true;
    self->exit_code = exit_code;
    self->signaled = true;
    dropped.swap(self->apcs);
    self->NotifyWaiters();
    doomed = ReleaseLocked(self);
  }
}

// Holds the calling thread's reference to its object; ends it when the
// thread exits (for threads not made by CreateThread, e.g. main).
struct CurrentThreadSlot {
  ThreadObject* object = nullptr;
  ~CurrentThreadSlot() {
    ThreadObject* ending = object;
    object = nullptr;  // later exit handlers of this thread must not reuse it
    if (ending != nullptr) EndThread(ending, 0);
  }
};
thread_local CurrentThreadSlot current_thread;

DWORD KernelThreadId() { return static_cast<DWORD>(gettid()); }

struct StartArgs {
  ThreadObject* self;
  LPTHREAD_START_ROUTINE fn;
  void* arg;
};

void* ThreadMain(void* raw) {
  std::unique_ptr<StartArgs> args(static_cast<StartArgs*>(raw));
  ThreadObject* self = args->self;
  {
    std::lock_guard<std::mutex> lock(StateMutex());
    self->thread_id = KernelThreadId();
    self->wake.notify_all();  // CreateThread may wait for the id
  }
  current_thread.object = self;
  DWORD code = args->fn(args->arg);
  current_thread.object = nullptr;
  EndThread(self, code);
  return nullptr;
}

}  // namespace

ThreadObject* CurrentThreadObjectLocked() {
  if (current_thread.object == nullptr) {
    auto object = std::make_unique<ThreadObject>();
    object->thread_id = KernelThreadId();
    current_thread.object = object.get();
    RegisterObjectLocked(std::move(object));
  }
  return current_thread.object;
}

bool QueueApcLocked(ThreadObject* thread, std::function<void()> fn) {
  if (thread->ended) return false;
  thread->apcs.push_back(std::move(fn));
  thread->wake.notify_all();
  return true;
}

}  // namespace kavex::sync

HANDLE CreateThread(void* /*security*/, size_t stack, LPTHREAD_START_ROUTINE fn,
                    void* arg, DWORD /*flags*/, DWORD* thread_id) {
  using namespace kavex::sync;
  if (fn == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  ThreadObject* self;
  {
    std::lock_guard<std::mutex> lock(StateMutex());
    auto object = std::make_unique<ThreadObject>();
    object->refs = 2;  // the returned handle and the running thread
    self = object.get();
    RegisterObjectLocked(std::move(object));
  }
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (stack > 0) {
    pthread_attr_setstacksize(&attr,
                              std::max<size_t>(stack, PTHREAD_STACK_MIN));
  }
  auto args = std::make_unique<StartArgs>(StartArgs{self, fn, arg});
  pthread_t pthread;
  // The thread id is published under the lock before the thread can run
  // user code, so GetCurrentThreadId() there and *thread_id here agree.
  std::unique_lock<std::mutex> lock(StateMutex());
  int rc = pthread_create(&pthread, &attr, ThreadMain, args.get());
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    std::unique_ptr<KernelObject> first = ReleaseLocked(self);
    std::unique_ptr<KernelObject> second = ReleaseLocked(self);
    lock.unlock();
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  args.release();  // now owned by ThreadMain
  lock.unlock();
  if (thread_id != nullptr) {
    // The kernel id is known only inside the thread.
    lock.lock();
    while (self->thread_id == 0 && !self->ended) self->wake.wait(lock);
    *thread_id = self->thread_id;
  }
  return self;
}

BOOL GetExitCodeThread(HANDLE thread, DWORD* exit_code) {
  using namespace kavex::sync;
  std::lock_guard<std::mutex> lock(StateMutex());
  KernelObject* object = LookupLocked(thread);
  if (object == nullptr || object->kind != KernelObject::Kind::kThread ||
      exit_code == nullptr) {
    SetLastError(object == nullptr ? ERROR_INVALID_HANDLE
                                   : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *exit_code = static_cast<ThreadObject*>(object)->exit_code;
  return TRUE;
}

DWORD GetCurrentThreadId() {
  thread_local DWORD id = kavex::sync::KernelThreadId();
  return id;
}

namespace kavex::sync {

HANDLE OpenCurrentThread() {
  std::lock_guard<std::mutex> lock(StateMutex());
  ThreadObject* self = CurrentThreadObjectLocked();
  AddRefLocked(self);
  return self;
}

BOOL QueueApcFunction(HANDLE thread, std::function<void()> fn) {
  std::unique_lock<std::mutex> lock(StateMutex());
  KernelObject* object = LookupLocked(thread);
  if (object == nullptr || object->kind != KernelObject::Kind::kThread || !fn) {
    SetLastError(object == nullptr ||
                         object->kind != KernelObject::Kind::kThread
                     ? ERROR_INVALID_HANDLE
                     : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto* target = static_cast<ThreadObject*>(object);
  if (target->ended) {
    lock.unlock();  // fn may own captures; they are destroyed unlocked
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  QueueApcLocked(target, std::move(fn));
  return TRUE;
}

}  // namespace kavex::sync

DWORD QueueUserAPC(PAPCFUNC fn, HANDLE thread, uintptr_t data) {
  if (fn == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return kavex::sync::QueueApcFunction(thread, [fn, data] { fn(data); }) ? 1
                                                                         : 0;
}
