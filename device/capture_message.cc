#include "device/capture_message.h"

#include "device/capture.h"

#if __has_include("platform/ui/message_box.h")
#include "platform/ui/message_box.h"

void ShowCaptureMessage(const char* text) {
  MessageBoxA(nullptr, text, kCaptureMessageCaption, MB_OK);
}
#else
// Until the message-box layer is in the tree the text goes to stderr, where
// its default handler would put it as well.
#include <cstdio>

void ShowCaptureMessage(const char* text) {
  std::fprintf(stderr, "%s: %s\n", kCaptureMessageCaption, text);
}
#endif
