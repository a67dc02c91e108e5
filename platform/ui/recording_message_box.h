// A message box handler for tests: records every box and answers from a
// script. Installs itself for its lifetime.
#ifndef KAVEX_PLATFORM_UI_RECORDING_MESSAGE_BOX_H_
#define KAVEX_PLATFORM_UI_RECORDING_MESSAGE_BOX_H_

#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ui/message_box.h"

namespace kavex::ui {

class RecordingMessageBoxHandler : public MessageBoxHandler {
 public:
  struct Box {
    std::string text;
    std::string caption;
    UINT type;
  };

  RecordingMessageBoxHandler() { SetMessageBoxHandler(this); }
  ~RecordingMessageBoxHandler() override { SetMessageBoxHandler(nullptr); }
  RecordingMessageBoxHandler(const RecordingMessageBoxHandler&) = delete;
  RecordingMessageBoxHandler& operator=(const RecordingMessageBoxHandler&) =
      delete;

  // The next box is answered with `answer`; once the script is used up the
  // answer is the default one (IDOK, IDYES for MB_YESNO).
  void QueueAnswer(int answer);

  int Show(const std::string& text, const std::string& caption,
           UINT type) override;

  // A copy, safe while other threads keep showing boxes.
  std::vector<Box> boxes() const;
  size_t count() const;
  void Clear();

 private:
  mutable std::mutex mu_;
  std::vector<Box> boxes_;
  std::deque<int> answers_;
};

}  // namespace kavex::ui

#endif  // KAVEX_PLATFORM_UI_RECORDING_MESSAGE_BOX_H_
