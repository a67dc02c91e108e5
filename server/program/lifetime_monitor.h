// When a local server ends: once the lock count (live objects and server
// locks) has stayed at zero for the shutdown time-out (5000 ms) without new
// activity, the class objects are suspended so that no new client arrives,
// and if the count is still zero the server is told to quit; a client that
// came in meanwhile resumes them. The count is looked at every pause
// (1000 ms). Time comes from the installed clock (platform/sync/clock.h),
// so tests drive it with FakeClock.
#ifndef KAVEX_SERVER_PROGRAM_LIFETIME_MONITOR_H_
#define KAVEX_SERVER_PROGRAM_LIFETIME_MONITOR_H_

#include <functional>
#include <thread>

#include "platform/base/handle.h"
#include "platform/base/types.h"
#include "platform/base/unique_handle.h"

namespace kavex::server {

inline constexpr DWORD kShutdownTimeoutMs = 5000;
inline constexpr DWORD kShutdownPauseMs = 1000;

class LifetimeMonitor {
 public:
  struct Hooks {
    std::function<long()> lock_count;
    std::function<void()> suspend;  // CoSuspendClassObjects
    std::function<void()> resume;   // CoResumeClassObjects
    std::function<void()> quit;     // tells the server loop to end
  };
  explicit LifetimeMonitor(Hooks hooks);
  ~LifetimeMonitor();  // stops the thread
  LifetimeMonitor(const LifetimeMonitor&) = delete;
  LifetimeMonitor& operator=(const LifetimeMonitor&) = delete;

  // One look at the count at the current tick; true once quit was asked
  // for (the monitor is then done).
  bool Check();

  // Runs Check every pause on a thread of its own until it is done or
  // Stop is called. False when the thread cannot be started.
  bool Start();
  // Ends the thread and waits for it; it only ever waits on its stop
  // event, so it ends at once.
  void Stop();

 private:
  Hooks hooks_;
  bool idle_ = false;
  DWORD idle_since_ = 0;
  bool done_ = false;
  UniqueHandle stop_event_;
  std::thread thread_;
};

}  // namespace kavex::server

#endif  // KAVEX_SERVER_PROGRAM_LIFETIME_MONITOR_H_
