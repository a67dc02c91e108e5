// The configurator's message boxes: the process-wide handler of platform/ui
// shown as a modal QMessageBox with the box's caption, text, icon and
// buttons (OK, OK and Cancel, Yes and No). A box asked for on another
// thread is shown on the application's thread, and the asking thread waits
// for the answer.
#ifndef KAVEX_CONFIGURATOR_QT_MESSAGE_BOX_HANDLER_H_
#define KAVEX_CONFIGURATOR_QT_MESSAGE_BOX_HANDLER_H_

#include <QMessageBox>
#include <string>

#include "platform/ui/message_box.h"

namespace kavex::configurator::qt {

class QtMessageBoxHandler : public ui::MessageBoxHandler {
 public:
  // Installs itself as the process's handler; the destructor restores the
  // default one. A QApplication must exist for its lifetime.
  QtMessageBoxHandler();
  ~QtMessageBoxHandler() override;
  QtMessageBoxHandler(const QtMessageBoxHandler&) = delete;
  QtMessageBoxHandler& operator=(const QtMessageBoxHandler&) = delete;

  int Show(const std::string& text, const std::string& caption,
           UINT type) override;

  // The buttons and icon of a box type, and the answer a button gives.
  static QMessageBox::StandardButtons ButtonsFor(UINT type);
  static QMessageBox::Icon IconFor(UINT type);
  static int AnswerFor(QMessageBox::StandardButton button, UINT type);

 private:
  int ShowHere(const std::string& text, const std::string& caption,
               UINT type);
};

}  // namespace kavex::configurator::qt

#endif  // KAVEX_CONFIGURATOR_QT_MESSAGE_BOX_HANDLER_H_
