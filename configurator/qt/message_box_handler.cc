#include "configurator/qt/message_box_handler.h"

#include <QApplication>
#include <QThread>

namespace kavex::configurator::qt {

QtMessageBoxHandler::QtMessageBoxHandler() { ui::SetMessageBoxHandler(this); }

QtMessageBoxHandler::~QtMessageBoxHandler() {
  ui::SetMessageBoxHandler(nullptr);
}

QMessageBox::StandardButtons QtMessageBoxHandler::ButtonsFor(UINT type) {
  switch (type & MB_TYPEMASK) {
    case MB_OKCANCEL:
      return QMessageBox::Ok | QMessageBox::Cancel;
    case MB_YESNO:
      return QMessageBox::Yes | QMessageBox::No;
    default:
      return QMessageBox::Ok;
  }
}

QMessageBox::Icon QtMessageBoxHandler::IconFor(UINT type) {
  switch (type & MB_ICONMASK) {
    case MB_ICONERROR:
      return QMessageBox::Critical;
    case MB_ICONQUESTION:
      return QMessageBox::Question;
    case MB_ICONWARNING:
      return QMessageBox::Warning;
    case MB_ICONINFORMATION:
      return QMessageBox::Information;
    default:
      return QMessageBox::NoIcon;
  }
}

int QtMessageBoxHandler::AnswerFor(QMessageBox::StandardButton button,
                                   UINT type) {
  switch (button) {
    case QMessageBox::Ok:
      return IDOK;
    case QMessageBox::Cancel:
      return IDCANCEL;
    case QMessageBox::Yes:
      return IDYES;
    case QMessageBox::No:
      return IDNO;
    default:
      // Closed without a button: what Escape would have chosen.
      switch (type & MB_TYPEMASK) {
        case MB_OKCANCEL:
          return IDCANCEL;
        case MB_YESNO:
          return IDNO;
        default:
          return IDOK;
      }
  }
}

int QtMessageBoxHandler::ShowHere(const std::string& text,
                                  const std::string& caption, UINT type) {
  QMessageBox box(IconFor(type), QString::fromStdString(caption),
                  QString::fromStdString(text), ButtonsFor(type),
                  QApplication::activeWindow());
  box.setObjectName("message_box");
  box.setTextFormat(Qt::PlainText);
  // The first button is the default one, as the operator expects.
  box.setDefaultButton((type & MB_TYPEMASK) == MB_YESNO ? QMessageBox::Yes
                                                         : QMessageBox::Ok);
  const auto pressed = static_cast<QMessageBox::StandardButton>(box.exec());
  return AnswerFor(pressed, type);
}

int QtMessageBoxHandler::Show(const std::string& text,
                              const std::string& caption, UINT type) {
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr) return ui::DefaultMessageBoxAnswer(type);
  if (QThread::currentThread() == app->thread())
    return ShowHere(text, caption, type);
  int answer = ui::DefaultMessageBoxAnswer(type);
  QMetaObject::invokeMethod(
      app, [&] { answer = ShowHere(text, caption, type); },
      Qt::BlockingQueuedConnection);
  return answer;
}

}  // namespace kavex::configurator::qt
