// The ports window ("Ports") over its model: the adapter and switch, the
// port list, the new-alias edit (24 characters) with ">>", "Hide Port",
// "View Ports" and "View Switch" (the two live views, opened over it) and
// "Close". Its one-second timer runs on the installed clock. Closing it
// destroys the model's window, which lets the main window map again.
#ifndef KAVEX_CONFIGURATOR_QT_PORTS_DIALOG_H_
#define KAVEX_CONFIGURATOR_QT_PORTS_DIALOG_H_

#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <memory>

#include "configurator/core/ports_window.h"
#include "configurator/qt/window_timer.h"

namespace kavex::configurator::qt {

class PortsDialog : public QDialog {
 public:
  PortsDialog(std::unique_ptr<PortsWindow> window, QWidget* parent);
  ~PortsDialog() override;

  PortsWindow& window() { return *window_; }

 private:
  void Redraw();
  void OpenCounters();
  void OpenSwitchView();
  void done(int result) override;

  std::unique_ptr<PortsWindow> window_;
  WindowTimer* timer_;
  QLabel* adapter_;
  QLabel* switch_alias_;
  QListWidget* ports_;
  QLineEdit* alias_edit_;
  QPushButton* rename_;
  QCheckBox* hide_port_;
  QPushButton* view_ports_;
  QPushButton* view_switch_;
};

}  // namespace kavex::configurator::qt

#endif  // KAVEX_CONFIGURATOR_QT_PORTS_DIALOG_H_
