#include "configurator/core/messages.h"

#include "platform/text/utf.h"

namespace kavex::configurator {

int ShowMessage(const Message& message) {
  return MessageBoxA(nullptr, text::Utf16ToUtf8(message.text).c_str(),
                     message.caption.c_str(), message.type);
}

void ShowMessages(const Messages& messages) {
  for (const Message& message : messages) ShowMessage(message);
}

}  // namespace kavex::configurator
