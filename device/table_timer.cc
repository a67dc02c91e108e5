#include "device/table_timer.h"

#include <system_error>

#include "device/switch_table.h"
#include "platform/sync/event.h"
#include "platform/sync/wait.h"
#include "platform/sync/waitable_timer.h"

namespace kavex::device {
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
  return timer_ &&
         SetWaitableTimer(timer_.get(), &kTickDue, 0, nullptr, nullptr, FALSE);
}

bool TableTimer::Start() {
  if (thread_.joinable()) return false;
  stop_event_.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  if (!stop_event_) return false;
  stop_ = false;
  // A timer that cannot be created counts as a failed arming: the thread
  // then ticks on plain one-second waits.
  timer_.reset(CreateWaitableTimerA(nullptr, FALSE, nullptr));
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
  if (stop_event_) SetEvent(stop_event_.get());
  if (thread_.joinable()) thread_.join();
  if (timer_) CancelWaitableTimer(timer_.get());
  timer_.reset();
  stop_event_.reset();
}

void TableTimer::RunTick() {
  table_->Tick();
  ticks_.fetch_add(1);
}

void TableTimer::Run() {
  while (!stop_) {
    if (!armed_) {
      if (WaitForSingleObject(stop_event_.get(), kFallbackWaitMs) == WAIT_OBJECT_0) {
        break;
      }
      armed_ = Arm();
      RunTick();
      continue;
    }
    HANDLE handles[2] = {stop_event_.get(), timer_.get()};
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

}  // namespace kavex::device
