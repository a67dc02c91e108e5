// The time-out window ("Change Timeout Value") over its model: the value
// edit takes digits only and "OK" is enabled while the model takes the
// value (20 to 1500).
#ifndef KAVEX_CONFIGURATOR_QT_TIMEOUT_DIALOG_H_
#define KAVEX_CONFIGURATOR_QT_TIMEOUT_DIALOG_H_

#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <memory>

#include "configurator/core/timeout_window.h"

namespace kavex::configurator::qt {

class TimeoutDialog : public QDialog {
 public:
  TimeoutDialog(std::unique_ptr<TimeoutWindow> window, QWidget* parent);

  TimeoutWindow& window() { return *window_; }

 private:
  void Redraw();

  std::unique_ptr<TimeoutWindow> window_;
  QLineEdit* value_;
  QPushButton* ok_;
};

}  // namespace kavex::configurator::qt

#endif  // KAVEX_CONFIGURATOR_QT_TIMEOUT_DIALOG_H_
