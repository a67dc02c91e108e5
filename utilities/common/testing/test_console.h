// A console for running the utilities inside a test: output into memory,
// keys and Ctrl-C pressed by the test, every wait bounded by a deadline.
#ifndef KAVEX_UTILITIES_COMMON_TESTING_TEST_CONSOLE_H_
#define KAVEX_UTILITIES_COMMON_TESTING_TEST_CONSOLE_H_

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "utilities/common/console.h"

namespace kavex::utilities::testing {

// How long a test waits for anything before it fails.
constexpr auto kDeadline = std::chrono::seconds(30);

class TestConsole : public Console {
 public:
  TestConsole() {
    out_ = open_memstream(&out_text_, &out_size_);
    err_ = open_memstream(&err_text_, &err_size_);
  }
  ~TestConsole() override {
    fclose(out_);
    fclose(err_);
    free(out_text_);
    free(err_text_);
  }

  FILE* out() override { return out_; }
  FILE* err() override { return err_; }

  // The next key pressed (PressKey), or -1 when none comes before the
  // deadline or the input has ended (EndInput).
  int WaitForKey() override {
    fflush(out_);
    std::unique_lock<std::mutex> lock(mu_);
    ++key_waits_;
    changed_.notify_all();
    changed_.wait_for(lock, kDeadline,
                      [this] { return !keys_.empty() || input_ended_; });
    if (keys_.empty()) return -1;
    int key = keys_.front();
    keys_.pop_front();
    return key;
  }

  void SetTitle(const std::string& title) override {
    std::lock_guard<std::mutex> lock(mu_);
    title_ = title;
  }

  void SetCtrlHandler(CtrlHandler handler) override {
    std::lock_guard<std::mutex> run(run_mu_);
    std::lock_guard<std::mutex> lock(mu_);
    handler_ = std::move(handler);
  }

  void PressKey(int key) {
    std::lock_guard<std::mutex> lock(mu_);
    keys_.push_back(key);
    changed_.notify_all();
  }
  void EndInput() {
    std::lock_guard<std::mutex> lock(mu_);
    input_ended_ = true;
    changed_.notify_all();
  }

  // Runs the control handler on a thread of its own, as the console's
  // control thread does. False when none is installed or it did not handle
  // the event: the process would have ended.
  bool PressCtrlC(DWORD event = CTRL_C_EVENT) {
    bool handled = false;
    std::thread control([&] {
      std::lock_guard<std::mutex> run(run_mu_);
      CtrlHandler handler;
      {
        std::lock_guard<std::mutex> lock(mu_);
        handler = handler_;
      }
      handled = handler && handler(event);
    });
    control.join();
    return handled;
  }

  bool has_ctrl_handler() {
    std::lock_guard<std::mutex> lock(mu_);
    return static_cast<bool>(handler_);
  }
  int key_waits() {
    std::lock_guard<std::mutex> lock(mu_);
    return key_waits_;
  }
  // Waits until n key waits have begun; false at the deadline.
  bool WaitForKeyWaits(int n) {
    std::unique_lock<std::mutex> lock(mu_);
    return changed_.wait_for(lock, kDeadline, [&] { return key_waits_ >= n; });
  }
  std::string title() {
    std::lock_guard<std::mutex> lock(mu_);
    return title_;
  }

  std::string Output() { return Text(out_, &out_text_, &out_size_); }
  std::string Errors() { return Text(err_, &err_text_, &err_size_); }

  // Polls the output until it holds text `count` times; false at the
  // deadline.
  bool WaitForOutput(const std::string& text, int count = 1) {
    const auto deadline = std::chrono::steady_clock::now() + kDeadline;
    while (std::chrono::steady_clock::now() < deadline) {
      if (Count(Output(), text) >= count) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  static int Count(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos;
         at = text.find(part, at + part.size())) {
      ++n;
    }
    return n;
  }

 private:
  static std::string Text(FILE* stream, char** text, size_t* size) {
    flockfile(stream);
    fflush(stream);
    std::string copy(*text == nullptr ? "" : std::string(*text, *size));
    funlockfile(stream);
    return copy;
  }

  FILE* out_ = nullptr;
  FILE* err_ = nullptr;
  char* out_text_ = nullptr;
  size_t out_size_ = 0;
  char* err_text_ = nullptr;
  size_t err_size_ = 0;

  std::mutex run_mu_;  // held while the handler runs
  std::mutex mu_;
  std::condition_variable changed_;
  CtrlHandler handler_;
  std::deque<int> keys_;
  bool input_ended_ = false;
  int key_waits_ = 0;
  std::string title_;
};

}  // namespace kavex::utilities::testing

#endif  // KAVEX_UTILITIES_COMMON_TESTING_TEST_CONSOLE_H_
