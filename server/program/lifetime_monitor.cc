#include "server/program/lifetime_monitor.h"

#include <utility>

#include "platform/sync/clock.h"
#include "platform/sync/event.h"
#include "platform/sync/wait.h"

namespace kavex::server {

LifetimeMonitor::LifetimeMonitor(Hooks hooks) : hooks_(std::move(hooks)) {}

LifetimeMonitor::~LifetimeMonitor() { Stop(); }

bool LifetimeMonitor::Check() {
  if (done_) return true;
  const DWORD now = GetTickCount();
  if (hooks_.lock_count() > 0) {
    idle_ = false;
    return false;
  }
  if (!idle_) {
    idle_ = true;
    idle_since_ = now;
    return false;
  }
  if (now - idle_since_ < kShutdownTimeoutMs) return false;
  hooks_.suspend();
  if (hooks_.lock_count() == 0) {
    done_ = true;
    hooks_.quit();
    return true;
  }
  // A client came in while the class objects were being suspended.
  hooks_.resume();
  idle_ = false;
  return false;
}

bool LifetimeMonitor::Start() {
  stop_event_.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  if (!stop_event_) return false;
  try {
    thread_ = std::thread([this] {
      while (!Check()) {
        if (WaitForSingleObject(stop_event_.get(), kShutdownPauseMs) !=
            WAIT_TIMEOUT)
          return;
      }
    });
  } catch (...) {
    return false;
  }
  return true;
}

void LifetimeMonitor::Stop() {
  if (!thread_.joinable()) return;
  SetEvent(stop_event_.get());
  thread_.join();
}

}  // namespace kavex::server
