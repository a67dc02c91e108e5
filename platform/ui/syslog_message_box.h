// Message boxes of a daemon: nobody can press a button, so each box becomes
// one syslog line and is answered like the default handler does.
#ifndef KAVEX_PLATFORM_UI_SYSLOG_MESSAGE_BOX_H_
#define KAVEX_PLATFORM_UI_SYSLOG_MESSAGE_BOX_H_

#include "platform/ui/message_box.h"

namespace kavex::ui {

class SyslogMessageBoxHandler : public MessageBoxHandler {
 public:
  // Logs "<caption>: <text>" with a priority taken from the icon: error for
  // MB_ICONERROR, warning for MB_ICONWARNING, notice otherwise. Line breaks
  // in the text become spaces so one box stays one journal entry.
  int Show(const std::string& text, const std::string& caption,
           UINT type) override;

  // The syslog priority used for a box type.
  static int PriorityFor(UINT type);
};

}  // namespace kavex::ui

#endif  // KAVEX_PLATFORM_UI_SYSLOG_MESSAGE_BOX_H_
