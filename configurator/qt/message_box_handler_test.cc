// The Qt message box handler: real boxes, answered by pressing their
// buttons, asked for from the window thread and from another thread.
#include "configurator/qt/message_box_handler.h"

#include <gtest/gtest.h>

#include "configurator/qt/testing/qstring_printer.h"

#include <QAbstractButton>
#include <QApplication>
#include <QPointer>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <thread>

namespace kavex::configurator::qt {
namespace {

struct SeenBox {
  QString caption;
  QString text;
  QMessageBox::StandardButtons buttons;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
};

// Presses `button` of the next box that shows, recording what it showed.
void PressWhenShown(QMessageBox::StandardButton button, SeenBox* seen) {
  auto* poll = new QTimer(qApp);
  QObject::connect(poll, &QTimer::timeout, poll, [poll, button, seen] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr) return;
    seen->caption = box->windowTitle();
    seen->text = box->text();
    seen->buttons = box->standardButtons();
    seen->icon = box->icon();
    poll->deleteLater();
    box->button(button)->click();
  });
  poll->start(5);
}

TEST(QtMessageBoxHandlerTest, ButtonsIconsAndAnswersByType) {
  using B = QMessageBox;
  EXPECT_EQ(QtMessageBoxHandler::ButtonsFor(MB_OK), B::Ok);
  EXPECT_EQ(QtMessageBoxHandler::ButtonsFor(MB_OKCANCEL), B::Ok | B::Cancel);
  EXPECT_EQ(QtMessageBoxHandler::ButtonsFor(MB_YESNO | MB_ICONEXCLAMATION),
            B::Yes | B::No);
  // A type this program never asks for still gets a button to press.
  EXPECT_EQ(QtMessageBoxHandler::ButtonsFor(0x0F), B::Ok);
  EXPECT_EQ(QtMessageBoxHandler::IconFor(MB_OK), B::NoIcon);
  EXPECT_EQ(QtMessageBoxHandler::IconFor(MB_YESNO | MB_ICONEXCLAMATION),
            B::Warning);
  EXPECT_EQ(QtMessageBoxHandler::IconFor(MB_ICONERROR), B::Critical);
  EXPECT_EQ(QtMessageBoxHandler::IconFor(MB_ICONQUESTION), B::Question);
  EXPECT_EQ(QtMessageBoxHandler::IconFor(MB_ICONINFORMATION), B::Information);
  EXPECT_EQ(QtMessageBoxHandler::AnswerFor(B::Yes, MB_YESNO), IDYES);
  EXPECT_EQ(QtMessageBoxHandler::AnswerFor(B::No, MB_YESNO), IDNO);
  EXPECT_EQ(QtMessageBoxHandler::AnswerFor(B::Ok, MB_OK), IDOK);
  EXPECT_EQ(QtMessageBoxHandler::AnswerFor(B::Cancel, MB_OKCANCEL), IDCANCEL);
  // Closed without a button: what Escape chooses.
  EXPECT_EQ(QtMessageBoxHandler::AnswerFor(B::NoButton, MB_YESNO), IDNO);
  EXPECT_EQ(QtMessageBoxHandler::AnswerFor(B::NoButton, MB_OKCANCEL), IDCANCEL);
  EXPECT_EQ(QtMessageBoxHandler::AnswerFor(B::NoButton, MB_OK), IDOK);
}

TEST(QtMessageBoxHandlerTest, ShowsTheBoxAndReturnsThePressedButton) {
  QtMessageBoxHandler handler;
  SeenBox seen;
  PressWhenShown(QMessageBox::No, &seen);
  // Through the process-wide handler, as the window models ask.
  EXPECT_EQ(MessageBoxA(nullptr, "Do you want to proceed?", "Velto OPC",
                        MB_YESNO | MB_ICONEXCLAMATION),
            IDNO);
  EXPECT_EQ(seen.caption, "Velto OPC");
  EXPECT_EQ(seen.text, "Do you want to proceed?");
  EXPECT_EQ(seen.buttons, QMessageBox::Yes | QMessageBox::No);
  EXPECT_EQ(seen.icon, QMessageBox::Warning);

  PressWhenShown(QMessageBox::Yes, &seen);
  EXPECT_EQ(handler.Show("Again?", "VeltoOPC", MB_YESNO), IDYES);
  PressWhenShown(QMessageBox::Ok, &seen);
  EXPECT_EQ(handler.Show("Select switch model to map.", "Kavex OPC View",
                         MB_OK),
            IDOK);
  EXPECT_EQ(seen.buttons, QMessageBox::Ok);
  EXPECT_EQ(seen.caption, "Kavex OPC View");
}

// A box asked for on another thread shows on the window thread; the asking
// thread waits for the answer.
TEST(QtMessageBoxHandlerTest, AnotherThreadWaitsForTheWindowThread) {
  QtMessageBoxHandler handler;
  SeenBox seen;
  PressWhenShown(QMessageBox::Cancel, &seen);
  std::atomic<int> answer{0};
  std::thread asker([&] {
    answer = MessageBoxA(nullptr, "From the capture thread", "Velto OPC",
                         MB_OKCANCEL);
  });
  EXPECT_TRUE(QTest::qWaitFor([&] { return answer.load() != 0; }, 30000));
  asker.join();
  EXPECT_EQ(answer.load(), IDCANCEL);
  EXPECT_EQ(seen.text, "From the capture thread");
}

}  // namespace
}  // namespace kavex::configurator::qt
