// Message boxes, shown through one process-wide handler: stderr by default,
// syslog in daemons, a dialog in the desktop program, a recorder in tests.
#ifndef KAVEX_PLATFORM_UI_MESSAGE_BOX_H_
#define KAVEX_PLATFORM_UI_MESSAGE_BOX_H_

#include <string>

#include "platform/base/types.h"

constexpr UINT MB_OK = 0x00;
constexpr UINT MB_OKCANCEL = 0x01;
constexpr UINT MB_YESNO = 0x04;
constexpr UINT MB_ICONERROR = 0x10;
constexpr UINT MB_ICONSTOP = MB_ICONERROR;
constexpr UINT MB_ICONQUESTION = 0x20;
constexpr UINT MB_ICONWARNING = 0x30;
constexpr UINT MB_ICONEXCLAMATION = MB_ICONWARNING;
constexpr UINT MB_ICONINFORMATION = 0x40;
constexpr UINT MB_TYPEMASK = 0x0F;
constexpr UINT MB_ICONMASK = 0xF0;

constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

// Texts are UTF-8; a null text or caption is shown as "". The owner window
// is ignored. Calls may come from any thread.
int MessageBoxA(void* owner, const char* text, const char* caption, UINT type);

namespace kavex::ui {

class MessageBoxHandler {
 public:
  virtual ~MessageBoxHandler() = default;
  // Shows the box and returns the button pressed (IDOK, IDYES, ...).
  virtual int Show(const std::string& text, const std::string& caption,
                   UINT type) = 0;
};

// The handler stays owned by the caller and must outlive its installation.
// nullptr restores the default handler, which prints "<caption>: <text>" on
// stderr and, with nobody to ask, answers the affirmative button: IDOK for
// MB_OK and MB_OKCANCEL, IDYES for MB_YESNO.
void SetMessageBoxHandler(MessageBoxHandler* handler);

// The default handler's answer for a box type (see above).
int DefaultMessageBoxAnswer(UINT type);

}  // namespace kavex::ui

#endif  // KAVEX_PLATFORM_UI_MESSAGE_BOX_H_
