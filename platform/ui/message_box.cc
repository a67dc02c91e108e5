#include "platform/ui/message_box.h"

#include <atomic>
#include <cstdio>
#include <mutex>

namespace kavex::ui {
namespace {

class StderrMessageBoxHandler : public MessageBoxHandler {
 public:
  int Show(const std::string& text, const std::string& caption,
           UINT type) override {
    // One write per box, so boxes from several threads do not interleave.
    std::string line = caption + ": " + text + "\n";
    fputs(line.c_str(), stderr);
    fflush(stderr);
    return DefaultMessageBoxAnswer(type);
  }
};

std::atomic<MessageBoxHandler*> installed_handler{nullptr};

MessageBoxHandler* DefaultHandler() {
  static MessageBoxHandler* handler = new StderrMessageBoxHandler;
  return handler;
}

}  // namespace

int DefaultMessageBoxAnswer(UINT type) {
  return (type & MB_TYPEMASK) == MB_YESNO ? IDYES : IDOK;
}

void SetMessageBoxHandler(MessageBoxHandler* handler) {
  installed_handler.store(handler);
}

}  // namespace kavex::ui

int MessageBoxA(void* /*owner*/, const char* text, const char* caption,
                UINT type) {
  kavex::ui::MessageBoxHandler* handler = kavex::ui::installed_handler.load();
  if (handler == nullptr) handler = kavex::ui::DefaultHandler();
  return handler->Show(text != nullptr ? text : "",
                       caption != nullptr ? caption : "", type);
}
