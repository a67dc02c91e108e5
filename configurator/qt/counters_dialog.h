// The port counters window ("Port Counters") over its model: the switch,
// its IP and ZRing pairs, the chosen port's link, speed, duplex, enabled
// flag, the usage bar (0 to 100) and figure, the list of ports, and every
// counter with its label, Tx beside Rx. Its one-second timer runs on the
// installed clock.
#ifndef KAVEX_CONFIGURATOR_QT_COUNTERS_DIALOG_H_
#define KAVEX_CONFIGURATOR_QT_COUNTERS_DIALOG_H_

#include <QDialog>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <array>
#include <memory>

#include "configurator/core/counters_window.h"
#include "configurator/qt/ring_view.h"
#include "configurator/qt/window_timer.h"

namespace kavex::configurator::qt {

class CountersDialog : public QDialog {
 public:
  CountersDialog(std::unique_ptr<PortCountersWindow> window, QWidget* parent);

  PortCountersWindow& window() { return *window_; }

 private:
  void Redraw();
  void done(int result) override;

  std::unique_ptr<PortCountersWindow> window_;
  WindowTimer* timer_;
  QLabel* alias_;
  std::unique_ptr<RingView> ring_;
  QLabel* port_;
  QLabel* speed_;
  QLabel* duplex_;
  QLabel* link_;
  QLabel* enabled_;
  QProgressBar* usage_bar_;
  QLabel* usage_;
  QListWidget* ports_;
  // In kCounterLabels order.
  std::array<QLabel*, device::kPublishedCounterCount> counters_{};
};

}  // namespace kavex::configurator::qt

#endif  // KAVEX_CONFIGURATOR_QT_COUNTERS_DIALOG_H_
