#include "platform/sync/clock.h"

#include <time.h>

#include "platform/sync/kernel_object.h"

namespace kavex::sync {
namespace {

// 100 ns intervals between 1601-01-01 and 1970-01-01.
constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ULL;

class SystemClockImpl : public Clock {
 public:
  uint32_t TickCount() override {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000 +
                                 static_cast<uint64_t>(ts.tv_nsec) / 1000000);
  }
  uint64_t FileTimeNow() override {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return kUnixEpochAsFileTime + static_cast<uint64_t>(ts.tv_sec) * 10000000 +
           static_cast<uint64_t>(ts.tv_nsec) / 100;
  }
};

std::atomic<Clock*> installed_clock{nullptr};

}  // namespace

Clock* SystemClock() {
  // Never destroyed: other threads may read the tick during process exit.
  static Clock* clock = new SystemClockImpl;
  return clock;
}

Clock* CurrentClock() {
  Clock* clock = installed_clock.load(std::memory_order_acquire);
  return clock != nullptr ? clock : SystemClock();
}

void SetClockForTesting(Clock* clock) {
  installed_clock.store(clock, std::memory_order_release);
  NotifyClockChanged();
}

void FakeClock::Advance(uint32_t ms) {
  tick_.fetch_add(ms);
  file_time_.fetch_add(uint64_t{ms} * 10000);
  NotifyClockChanged();
}

void FakeClock::SetTick(uint32_t tick) {
  tick_.store(tick);
  NotifyClockChanged();
}

void FakeClock::SetFileTime(uint64_t file_time) {
  file_time_.store(file_time);
  NotifyClockChanged();
}

}  // namespace kavex::sync

DWORD GetTickCount() { return kavex::sync::CurrentClock()->TickCount(); }

void GetSystemTimeAsFileTime(FILETIME* file_time) {
  if (file_time != nullptr)
    *file_time =
        kavex::UInt64ToFileTime(kavex::sync::CurrentClock()->FileTimeNow());
}
