#include "platform/sync/wait.h"

#include <sched.h>

#include <algorithm>
#include <chrono>

#include "platform/base/results.h"
#include "platform/sync/clock.h"
#include "platform/sync/kernel_object.h"
#include "platform/sync/last_error.h"

namespace kavex::sync {
namespace {

// The index of the object that satisfies the wait, or -1.
int SatisfiedIndexLocked(KernelObject* const* objects, DWORD count,
                         bool wait_all) {
  if (count == 0) return -1;
  if (wait_all) {
    for (DWORD i = 0; i < count; ++i)
      if (!objects[i]->signaled) return -1;
    return 0;
  }
  for (DWORD i = 0; i < count; ++i)
    if (objects[i]->signaled) return static_cast<int>(i);
  return -1;
}

void ConsumeLocked(KernelObject* object) {
  if (!object->manual_reset) object->signaled = false;
}

// Runs the routines queued to `self` one at a time without the lock, until
// the queue is empty (routines may queue more, also to this thread).
void RunApcs(ThreadObject* self, std::unique_lock<std::mutex>& lock) {
  while (!self->apcs.empty()) {
    std::function<void()> fn = std::move(self->apcs.front());
    self->apcs.pop_front();
    lock.unlock();
    fn();
    fn = nullptr;  // its captures die outside the lock too
    lock.lock();
  }
}

DWORD Wait(DWORD count, const HANDLE* handles, bool wait_all, DWORD ms,
           bool alertable) {
  if (count > MAXIMUM_WAIT_OBJECTS || (count > 0 && handles == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  std::unique_lock<std::mutex> lock(StateMutex());
  KernelObject* objects[MAXIMUM_WAIT_OBJECTS];
  for (DWORD i = 0; i < count; ++i) {
    objects[i] = LookupLocked(handles[i]);
    if (objects[i] == nullptr) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    if (wait_all &&
        std::find(objects, objects + i, objects[i]) != objects + i) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return WAIT_FAILED;
    }
  }
  // The wait keeps its objects alive even if another thread closes them.
  ThreadObject* self = CurrentThreadObjectLocked();
  for (DWORD i = 0; i < count; ++i) {
    AddRefLocked(objects[i]);
    objects[i]->waiters.push_back(self);
  }
  AddWaitingThreadLocked(self);

  const uint32_t start = CurrentClock()->TickCount();
  DWORD result;
  for (;;) {
    if (alertable && !self->apcs.empty()) {
      result = WAIT_IO_COMPLETION;
      break;
    }
    int index = SatisfiedIndexLocked(objects, count, wait_all);
    if (index >= 0) {
      if (wait_all) {
        for (DWORD i = 0; i < count; ++i) ConsumeLocked(objects[i]);
      } else {
        ConsumeLocked(objects[index]);
      }
      result = WAIT_OBJECT_0 + static_cast<DWORD>(index);
      break;
    }
    Clock* clock = CurrentClock();
    uint32_t remaining = 0;
    if (ms != INFINITE) {
      uint32_t elapsed = clock->TickCount() - start;
      if (elapsed >= ms) {
        result = WAIT_TIMEOUT;
        break;
      }
      remaining = ms - elapsed;
    }
    if (ms == INFINITE || clock->IsManual()) {
      self->wake.wait(lock);
    } else {
      self->wake.wait_for(lock, std::chrono::milliseconds(remaining));
    }
  }

  RemoveWaitingThreadLocked(self);
  std::unique_ptr<KernelObject> doomed[MAXIMUM_WAIT_OBJECTS];
  for (DWORD i = 0; i < count; ++i) {
    auto& waiters = objects[i]->waiters;
    waiters.erase(std::find(waiters.begin(), waiters.end(), self));
    doomed[i] = ReleaseLocked(objects[i]);
  }
  if (result == WAIT_IO_COMPLETION) RunApcs(self, lock);
  lock.unlock();
  return result;
}

}  // namespace
}  // namespace kavex::sync

DWORD WaitForSingleObject(HANDLE handle, DWORD ms) {
  return kavex::sync::Wait(1, &handle, false, ms, false);
}

DWORD WaitForSingleObjectEx(HANDLE handle, DWORD ms, BOOL alertable) {
  return kavex::sync::Wait(1, &handle, false, ms, alertable != FALSE);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL wait_all,
                             DWORD ms) {
  return WaitForMultipleObjectsEx(count, handles, wait_all, ms, FALSE);
}

DWORD WaitForMultipleObjectsEx(DWORD count, const HANDLE* handles,
                               BOOL wait_all, DWORD ms, BOOL alertable) {
  if (count == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  return kavex::sync::Wait(count, handles, wait_all != FALSE, ms,
                           alertable != FALSE);
}

DWORD SleepEx(DWORD ms, BOOL alertable) {
  if (ms == 0 && !alertable) {
    sched_yield();
    return 0;
  }
  DWORD result = kavex::sync::Wait(0, nullptr, false, ms, alertable != FALSE);
  return result == WAIT_IO_COMPLETION ? WAIT_IO_COMPLETION : 0;
}

void Sleep(DWORD ms) { SleepEx(ms, FALSE); }
