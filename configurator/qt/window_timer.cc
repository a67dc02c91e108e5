#include "configurator/qt/window_timer.h"

#include <QPointer>
#include <algorithm>

#include "platform/sync/clock.h"

namespace kavex::configurator::qt {
namespace {

// How often a manual clock is looked at, in real milliseconds.
constexpr DWORD kManualClockPollMs = 5;

}  // namespace

WindowTimer::WindowTimer(QObject* parent, std::function<void()> tick)
    : QObject(parent), tick_(std::move(tick)) {
  timer_.setSingleShot(true);
  timer_.setTimerType(Qt::PreciseTimer);
  connect(&timer_, &QTimer::timeout, this, [this] { Check(); });
}

void WindowTimer::Start(DWORD period_ms) {
  period_ms_ = period_ms;
  if (period_ms_ == 0) {
    timer_.stop();
    return;
  }
  started_ = GetTickCount();
  Arm();
}

void WindowTimer::Stop() { Start(0); }

void WindowTimer::Arm() {
  const DWORD elapsed = GetTickCount() - started_;
  DWORD wait = elapsed >= period_ms_ ? 0 : period_ms_ - elapsed;
  if (sync::CurrentClock()->IsManual())
    wait = std::min(wait, kManualClockPollMs);
  timer_.start(static_cast<int>(wait));
}

void WindowTimer::Check() {
  if (period_ms_ == 0) return;
  const DWORD now = GetTickCount();
  if (now - started_ >= period_ms_) {
    started_ = now;
    const QPointer<WindowTimer> alive(this);
    tick_();
    if (alive.isNull()) return;
  }
  if (period_ms_ != 0) Arm();
}

}  // namespace kavex::configurator::qt
