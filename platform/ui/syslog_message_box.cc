#include "platform/ui/syslog_message_box.h"

#include <syslog.h>

namespace kavex::ui {

int SyslogMessageBoxHandler::PriorityFor(UINT type) {
  switch (type & MB_ICONMASK) {
    case MB_ICONERROR:
      return LOG_ERR;
    case MB_ICONWARNING:
      return LOG_WARNING;
    default:
      return LOG_NOTICE;
  }
}

int SyslogMessageBoxHandler::Show(const std::string& text,
                                  const std::string& caption, UINT type) {
  std::string line = caption + ": " + text;
  for (char& c : line)
    if (c == '\n' || c == '\r') c = ' ';
  syslog(PriorityFor(type), "%s", line.c_str());
  return DefaultMessageBoxAnswer(type);
}

}  // namespace kavex::ui
