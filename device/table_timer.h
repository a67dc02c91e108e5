// The timer thread that ages the switch table once a second.
//
// It runs a one-shot waitable timer of one second, re-arming it before each
// tick. When the timer cannot be created or armed it falls back to waiting
// one second and ticking anyway, trying to arm again each time. Waits and the
// timer run on the installed clock, so under a FakeClock the test decides
// when seconds pass.
#ifndef KAVEX_DEVICE_TABLE_TIMER_H_
#define KAVEX_DEVICE_TABLE_TIMER_H_

#include <atomic>
#include <cstdint>
#include <thread>

#include "platform/sync/handle.h"

namespace kavex::device {

class SwitchTable;

class TableTimer {
 public:
  explicit TableTimer(SwitchTable* table);
  ~TableTimer();  // stops the thread
  TableTimer(const TableTimer&) = delete;
  TableTimer& operator=(const TableTimer&) = delete;

  // Arms the first second and starts the thread. False if it is running
  // already or the thread could not be started.
  bool Start();
  // Ends the thread (promptly: the stop event ends any wait) and releases
  // the timer. Safe to call more than once.
  void Stop();

  // Ticks run so far.
  uint64_t ticks() const { return ticks_.load(); }

 private:
  bool Arm();
  void Run();
  void RunTick();

  SwitchTable* const table_;
  kavex::UniqueHandle stop_event_;
  kavex::UniqueHandle timer_;
  bool armed_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> ticks_{0};
  std::thread thread_;
};

}  // namespace kavex::device

#endif  // KAVEX_DEVICE_TABLE_TIMER_H_
