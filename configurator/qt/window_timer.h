// A window's timer on the installed clock (platform/sync): fires every
// `period` milliseconds of GetTickCount(), on the thread that owns it, the
// next period counted from the tick it fired on. On the system clock a Qt
// timer waits out the rest of the period; on a test's manual clock, which
// moves without notice, it looks at the clock every few milliseconds.
#ifndef KAVEX_CONFIGURATOR_QT_WINDOW_TIMER_H_
#define KAVEX_CONFIGURATOR_QT_WINDOW_TIMER_H_

#include <QObject>
#include <QTimer>
#include <functional>

#include "platform/base/types.h"

namespace kavex::configurator::qt {

class WindowTimer : public QObject {
 public:
  // `tick` runs on every expiry; it may stop the timer or delete its owner
  // (the timer then fires no more).
  WindowTimer(QObject* parent, std::function<void()> tick);

  // (Re)starts with a period from now; 0 stops.
  void Start(DWORD period_ms);
  void Stop();
  bool active() const { return period_ms_ != 0; }
  DWORD period_ms() const { return period_ms_; }

 private:
  void Arm();
  void Check();

  std::function<void()> tick_;
  QTimer timer_;
  DWORD period_ms_ = 0;
  DWORD started_ = 0;
};

}  // namespace kavex::configurator::qt

#endif  // KAVEX_CONFIGURATOR_QT_WINDOW_TIMER_H_
