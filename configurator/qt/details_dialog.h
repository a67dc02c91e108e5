// The switch details window ("Switch Details") over its model: the switch,
// its IP and ZRing pairs, and four side-by-side lists without selection:
// ports, link, speed and duplex. Its one-second timer runs on the installed
// clock.
#ifndef KAVEX_CONFIGURATOR_QT_DETAILS_DIALOG_H_
#define KAVEX_CONFIGURATOR_QT_DETAILS_DIALOG_H_

#include <QDialog>
#include <QLabel>
#include <QListWidget>
#include <memory>

#include "configurator/core/details_window.h"
#include "configurator/qt/ring_view.h"
#include "configurator/qt/window_timer.h"

namespace kavex::configurator::qt {

class DetailsDialog : public QDialog {
 public:
  DetailsDialog(std::unique_ptr<SwitchDetailsWindow> window, QWidget* parent);

  SwitchDetailsWindow& window() { return *window_; }

 private:
  void Redraw();
  void done(int result) override;

  std::unique_ptr<SwitchDetailsWindow> window_;
  WindowTimer* timer_;
  QLabel* alias_;
  std::unique_ptr<RingView> ring_;
  QListWidget* ports_;
  QListWidget* link_;
  QListWidget* speed_;
  QListWidget* duplex_;
};

}  // namespace kavex::configurator::qt

#endif  // KAVEX_CONFIGURATOR_QT_DETAILS_DIALOG_H_
