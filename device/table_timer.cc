#include "device/table_timer.h"

#include <system_error>

#include "device/switch_table.h"
#include "platform/sync/event.h"
#include "platform/sync/wait.h"
#include "platform/sync/waitable_timer.h"

namespace {

// One second, relative, in 100 ns units.
constexpr int64_t kTickDue = -10'000'000;
// Longest wait for the timer before the stop flag is looked at again.
constexpr DWORD kTimerWaitMs = 1500;
constexpr DWORD kFallbackWaitMs = 1000;

}  // namespace

TableTimer::TableTimer(SwitchTable* table) : table_(table) {}

TableTimer::~TableTimer() { Stop(); }

bool TableTimer::Arm() {
  return timer_ != nullptr &&
         SetWaitableTimer(timer_, &kTickDue, 0, nullptr, nullptr, FALSE);
}

bool TableTimer::Start() {
  if (thread_.joinable()) return false;
  stop_event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (stop_event_ == nullptr) return false;
  stop_ = false;
  // A timer that cannot be created counts as a failed arming: the thread
  // then ticks on plain one-second waits.
  timer_ = CreateWaitableTimerA(nullptr, FALSE, nullptr);
  armed_ = Arm();
  try {
    thread_ = std::thread(&TableTimer::Run, this);
  } catch (const std::system_error&) {
    Stop();
    return false;
  }
  return true;
}

void TableTimer::Stop() {
  stop_ = true;
  if (stop_event_ != nullptr) SetEvent(stop_event_);
  if (thread_.joinable()) thread_.join();
  if (timer_ != nullptr) {
    CancelWaitableTimer(timer_);
    CloseHandle(timer_);
    timer_ = nullptr;
  }
  if (stop_event_ != nullptr) {
    CloseHandle(stop_event_);
    stop_event_ = nullptr;
  }
}

void TableTimer::RunTick() {
  table_->Tick();
  ticks_.fetch_add(1);
}

void TableTimer::Run() {
  while (!stop_) {
    if (!armed_) {
      if (WaitForSingleObject(stop_event_, kFallbackWaitMs) == WAIT_OBJECT_0) {
        break;
      }
      armed_ = Arm();
      RunTick();
      continue;
    }
    HANDLE handles[2] = {stop_event_, timer_};
    const DWORD result =
        WaitForMultipleObjects(2, handles, FALSE, kTimerWaitMs);
    if (result == WAIT_OBJECT_0 + 1) {
      // Re-arm before ticking so a slow tick does not stretch the second.
      armed_ = Arm();
      RunTick();
    } else if (result == WAIT_FAILED) {
      // A wait that fails would fail again at once; pace the loop by the
      // fallback wait instead of spinning.
      armed_ = false;
    }
  }
}
