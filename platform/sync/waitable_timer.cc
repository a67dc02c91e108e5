#include "platform/sync/waitable_timer.h"

#include <chrono>
#include <thread>
#include <unordered_set>

#include "platform/base/results.h"
#include "platform/sync/clock.h"
#include "platform/sync/kernel_object.h"
#include "platform/sync/last_error.h"

namespace kavex::sync {
namespace {

class TimerObject : public KernelObject {
 public:
  explicit TimerObject(bool manual_reset)
      : KernelObject(Kind::kTimer, manual_reset) {}

  uint32_t start = 0;  // tick when the current interval began
  uint32_t delay = 0;  // ms from start to expiry
  LONG period = 0;
  PTIMERAPCROUTINE completion = nullptr;
  void* arg = nullptr;
  ThreadObject* apc_thread = nullptr;  // holds a reference while armed
};

// One thread for the whole process fires every armed timer. It sleeps until
// the earliest expiry (system clock) or until woken by a clock change.
struct TimerService {
  std::condition_variable wake;
  std::unordered_set<TimerObject*> armed;
  bool started = false;
};

TimerService& Service() {
  static TimerService* service = new TimerService;  // lives until exit
  return *service;
}

void DisarmLocked(TimerObject* timer) {
  Service().armed.erase(timer);
  if (timer->apc_thread != nullptr) {
    // Only an ended thread (no APCs left) can lose its last reference here,
    // so destroying it under the lock runs no outside code.
    ReleaseLocked(timer->apc_thread);
    timer->apc_thread = nullptr;
  }
}

void FireLocked(TimerObject* timer, uint32_t now, Clock* clock) {
  timer->signaled = true;
  timer->NotifyWaiters();
  if (timer->completion != nullptr && timer->apc_thread != nullptr) {
    FILETIME when = UInt64ToFileTime(clock->FileTimeNow());
    PTIMERAPCROUTINE fn = timer->completion;
    void* arg = timer->arg;
    QueueApcLocked(timer->apc_thread, [fn, arg, when] {
      fn(arg, when.dwLowDateTime, when.dwHighDateTime);
    });
  }
  if (timer->period > 0) {
    // Next expiry on the period grid; periods missed entirely are skipped.
    uint32_t period = static_cast<uint32_t>(timer->period);
    uint32_t overdue = (now - timer->start) - timer->delay;
    timer->start = now - overdue % period;
    timer->delay = period;
  } else {
    DisarmLocked(timer);
  }
}

void ServiceLoop() {
  TimerService& service = Service();
  std::unique_lock<std::mutex> lock(StateMutex());
  for (;;) {
    Clock* clock = CurrentClock();
    uint32_t now = clock->TickCount();
    std::vector<TimerObject*> due;
    uint32_t sleep_ms = UINT32_MAX;
    for (TimerObject* timer : service.armed) {
      uint32_t elapsed = now - timer->start;
      if (elapsed >= timer->delay) {
        due.push_back(timer);
      } else {
        sleep_ms = std::min(sleep_ms, timer->delay - elapsed);
      }
    }
    for (TimerObject* timer : due) {
      FireLocked(timer, now, clock);
      if (timer->period > 0) sleep_ms = std::min(sleep_ms, timer->delay);
    }
    if (sleep_ms == UINT32_MAX || clock->IsManual()) {
      service.wake.wait(lock);
    } else {
      service.wake.wait_for(lock, std::chrono::milliseconds(sleep_ms));
    }
  }
}

TimerObject* LookupTimerLocked(HANDLE handle) {
  KernelObject* object = LookupLocked(handle);
  if (object == nullptr || object->kind != KernelObject::Kind::kTimer) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return static_cast<TimerObject*>(object);
}

// Whole ms until `due` (relative if negative), rounded up, capped below 2^32.
uint32_t DelayMs(int64_t due, Clock* clock) {
  uint64_t delay_100ns;
  if (due < 0) {
    delay_100ns = uint64_t{0} - static_cast<uint64_t>(due);
  } else {
    uint64_t now = clock->FileTimeNow();
    uint64_t at = static_cast<uint64_t>(due);
    delay_100ns = at > now ? at - now : 0;
  }
  uint64_t ms = delay_100ns / 10000 + (delay_100ns % 10000 != 0 ? 1 : 0);
  return static_cast<uint32_t>(std::min<uint64_t>(ms, UINT32_MAX - 1));
}

}  // namespace

void WakeTimerServiceLocked() { Service().wake.notify_all(); }

void ForgetTimerLocked(KernelObject* timer) {
  DisarmLocked(static_cast<TimerObject*>(timer));
}

}  // namespace kavex::sync

HANDLE CreateWaitableTimerA(void* /*security*/, BOOL manual_reset,
                            const char* name) {
  using namespace kavex::sync;
  std::lock_guard<std::mutex> lock(StateMutex());
  if (name != nullptr && *name != '\0') {
    if (KernelObject* existing = FindNamedLocked(name)) {
      if (existing->kind != KernelObject::Kind::kTimer) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
      }
      AddRefLocked(existing);
      SetLastError(ERROR_ALREADY_EXISTS);
      return existing;
    }
  }
  auto timer = std::make_unique<TimerObject>(manual_reset != FALSE);
  if (name != nullptr) timer->name = name;
  SetLastError(0);
  return RegisterObjectLocked(std::move(timer));
}

BOOL SetWaitableTimer(HANDLE handle, const int64_t* due_100ns, LONG period_ms,
                      void* completion, void* arg, BOOL /*resume*/) {
  using namespace kavex::sync;
  std::lock_guard<std::mutex> lock(StateMutex());
  TimerObject* timer = LookupTimerLocked(handle);
  if (timer == nullptr) return FALSE;
  if (due_100ns == nullptr || period_ms < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Clock* clock = CurrentClock();
  DisarmLocked(timer);
  timer->signaled = false;
  timer->start = clock->TickCount();
  timer->delay = DelayMs(*due_100ns, clock);
  timer->period = period_ms;
  timer->completion = reinterpret_cast<PTIMERAPCROUTINE>(completion);
  timer->arg = arg;
  if (completion != nullptr) {
    timer->apc_thread = CurrentThreadObjectLocked();
    AddRefLocked(timer->apc_thread);
  }
  TimerService& service = Service();
  service.armed.insert(timer);
  if (!service.started) {
    service.started = true;
    std::thread(ServiceLoop).detach();
  }
  WakeTimerServiceLocked();
  return TRUE;
}

BOOL CancelWaitableTimer(HANDLE handle) {
  using namespace kavex::sync;
  std::lock_guard<std::mutex> lock(StateMutex());
  TimerObject* timer = LookupTimerLocked(handle);
  if (timer == nullptr) return FALSE;
  DisarmLocked(timer);
  return TRUE;
}
