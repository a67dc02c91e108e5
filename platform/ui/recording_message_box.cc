#include "platform/ui/recording_message_box.h"

namespace kavex::ui {

void RecordingMessageBoxHandler::QueueAnswer(int answer) {
  std::lock_guard<std::mutex> lock(mu_);
  answers_.push_back(answer);
}

int RecordingMessageBoxHandler::Show(const std::string& text,
                                     const std::string& caption, UINT type) {
  std::lock_guard<std::mutex> lock(mu_);
  boxes_.push_back(Box{text, caption, type});
  if (answers_.empty()) return DefaultMessageBoxAnswer(type);
  int answer = answers_.front();
  answers_.pop_front();
  return answer;
}

std::vector<RecordingMessageBoxHandler::Box> RecordingMessageBoxHandler::boxes()
    const {
  std::lock_guard<std::mutex> lock(mu_);
  return boxes_;
}

size_t RecordingMessageBoxHandler::count() const {
  std::lock_guard<std::mutex> lock(mu_);
  return boxes_.size();
}

void RecordingMessageBoxHandler::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  boxes_.clear();
  answers_.clear();
}

}  // namespace kavex::ui
