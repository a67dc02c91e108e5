// The main window ("VeltoOPC") over its model (configurator/core/
// window_model.h): it draws the model's controls and forwards the
// operator's actions; the windows the model opens are shown over it, each
// destroyed (and its model window with it) when it closes.
//
// Redraws: the model tells of every change through its change callback,
// also from the capture thread; the callback only posts one queued redraw
// to the window's thread, which then reads the model's state. Widgets are
// touched on the window's thread only.
//
// Timers (report mode's 7000 ms) run on the installed clock.
#ifndef KAVEX_CONFIGURATOR_QT_MAIN_WINDOW_H_
#define KAVEX_CONFIGURATOR_QT_MAIN_WINDOW_H_

#include <QAction>
#include <QButtonGroup>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QWidget>
#include <array>
#include <atomic>
#include <memory>
#include <string_view>

#include "configurator/core/window_model.h"
#include "configurator/qt/file_dialogs.h"
#include "configurator/qt/window_timer.h"

namespace kavex::configurator::qt {

inline constexpr char kMainCaption[] = "VeltoOPC";
inline constexpr char16_t kMappedHeader[] =
    u"          Switch               -  Alias Name";

class MainWindow : public QWidget {
 public:
  // `model` is not initialised yet; `dialogs` answers import and export.
  MainWindow(std::unique_ptr<MainWindowModel> model,
             std::unique_ptr<FileDialogs> dialogs, QWidget* parent = nullptr);
  ~MainWindow() override;

  // Runs the model's start-up sequence for `command_line` and shows the
  // window, minimised in report mode.
  void Start(std::u16string_view command_line);

  MainWindowModel& model() { return *model_; }
  // Draws the model's state now (otherwise after the next change).
  void Redraw();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildControls();
  void BuildLayout();
  void PostRedraw();
  // Shows `dialog` over this window; it is deleted once closed.
  void OpenOver(QDialog* dialog);

  void OpenSwitchDetails();
  void OpenTimeout();
  void OpenAbout();
  void Import();
  void Export();

  std::unique_ptr<MainWindowModel> model_;
  std::unique_ptr<FileDialogs> dialogs_;
  std::atomic<bool> redraw_posted_{false};
  WindowTimer* report_timer_ = nullptr;

  QAction* timeout_action_ = nullptr;
  QAction* about_action_ = nullptr;
  QComboBox* adapter_box_ = nullptr;
  QLabel* status_ = nullptr;
  QLabel* discovered_label_ = nullptr;
  QListWidget* discovered_ = nullptr;
  QLabel* mapped_header_ = nullptr;
  QListWidget* mapped_ = nullptr;
  QLabel* switch_hint_ = nullptr;
  QComboBox* model_box_ = nullptr;
  QLabel* slot_hint_ = nullptr;
  std::array<QLabel*, kMaxSlots> slot_labels_{};
  std::array<QComboBox*, kMaxSlots> slot_boxes_{};
  QPushButton* map_ = nullptr;
  QPushButton* unmap_ = nullptr;
  QLineEdit* alias_edit_ = nullptr;
  QPushButton* rename_ = nullptr;
  QPushButton* details_ = nullptr;
  QRadioButton* string_format_ = nullptr;
  QRadioButton* integer_format_ = nullptr;
  QLabel* service_notice_ = nullptr;
  QPushButton* stop_server_ = nullptr;
  QPushButton* import_ = nullptr;
  QPushButton* export_ = nullptr;
  QPushButton* save_close_ = nullptr;
  QPushButton* close_ = nullptr;
};

}  // namespace kavex::configurator::qt

#endif  // KAVEX_CONFIGURATOR_QT_MAIN_WINDOW_H_
