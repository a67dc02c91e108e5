// The injectable time source behind GetTickCount, GetSystemTimeAsFileTime,
// wait time-outs and waitable timers.
#ifndef KAVEX_PLATFORM_SYNC_CLOCK_H_
#define KAVEX_PLATFORM_SYNC_CLOCK_H_

#include <atomic>
#include <cstdint>

#include "platform/base/types.h"

namespace kavex::sync {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual uint32_t TickCount() = 0;    // ms, wraps at 2^32
  virtual uint64_t FileTimeNow() = 0;  // 100 ns since 1601 UTC
  // True for a clock that only moves when told to and wakes waiters itself
  // (FakeClock); waits then sleep until notified instead of for real time.
  virtual bool IsManual() const { return false; }
};

// CLOCK_MONOTONIC_COARSE for the tick (a few ns to read), CLOCK_REALTIME for
// the file time.
Clock* SystemClock();
// The installed clock; an atomic load, cheap enough for every frame.
Clock* CurrentClock();
// nullptr restores the system clock. Install before starting waits: a wait
// that began under another clock compares ticks of two different sources.
void SetClockForTesting(Clock* clock);

// A clock that moves only when the test says so. Advance/SetTick wake every
// waiter and timer so they re-check their deadlines. Thread-safe.
class FakeClock : public Clock {
 public:
  explicit FakeClock(uint32_t tick = 1000,
                     uint64_t file_time = 133000000000000000ULL)
      : tick_(tick), file_time_(file_time) {}
  uint32_t TickCount() override { return tick_.load(); }
  uint64_t FileTimeNow() override { return file_time_.load(); }
  bool IsManual() const override { return true; }

  // Moves both the tick (wrapping) and the file time forward.
  void Advance(uint32_t ms);
  void SetTick(uint32_t tick);
  void SetFileTime(uint64_t file_time);

 private:
  std::atomic<uint32_t> tick_;
  std::atomic<uint64_t> file_time_;
};

}  // namespace kavex::sync

// 32-bit milliseconds from the installed clock; wraps after 49.7 days, so
// compare ticks only by unsigned difference: (now - then) >= interval.
DWORD GetTickCount();
void GetSystemTimeAsFileTime(FILETIME* file_time);

#endif  // KAVEX_PLATFORM_SYNC_CLOCK_H_
