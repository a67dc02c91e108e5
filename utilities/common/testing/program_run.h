// Runs a utility's main sequence on a thread of its own, as a process's
// main thread would, with a TestConsole; the test presses keys and Ctrl-C.
#ifndef KAVEX_UTILITIES_COMMON_TESTING_PROGRAM_RUN_H_
#define KAVEX_UTILITIES_COMMON_TESTING_PROGRAM_RUN_H_

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "utilities/common/testing/test_console.h"

namespace kavex::utilities::testing {

class ProgramRun {
 public:
  // run(argc, argv) is the program; args without the program name.
  ProgramRun(TestConsole* console, std::function<int(int, char**)> run,
             std::vector<std::string> args)
      : console_(console), args_(std::move(args)) {
    args_.insert(args_.begin(), "program");
    for (std::string& a : args_) argv_.push_back(a.data());
    argv_.push_back(nullptr);
    thread_ = std::thread([this, run = std::move(run)] {
      exit_code_ = run(static_cast<int>(argv_.size() - 1), argv_.data());
      done_ = true;
    });
  }
  // A test that stops early still ends the program: Ctrl-C, no more keys.
  ~ProgramRun() {
    console_->EndInput();
    const auto deadline = std::chrono::steady_clock::now() + kDeadline;
    while (!done_ && std::chrono::steady_clock::now() < deadline) {
      console_->PressCtrlC();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!done_) {
      ADD_FAILURE() << "the program does not end";
      abort();  // its thread cannot be left running behind the test
    }
    thread_.join();
  }

  // Waits for the program's end (deadline); its exit code, or -1.
  int Wait() {
    const auto deadline = std::chrono::steady_clock::now() + kDeadline;
    while (!done_ && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (!done_) {
      ADD_FAILURE() << "the program did not end; output:\n"
                    << console_->Output();
      return -1;
    }
    return exit_code_;
  }
  bool done() const { return done_; }

 private:
  TestConsole* console_;
  std::vector<std::string> args_;
  std::vector<char*> argv_;
  std::atomic<bool> done_{false};
  std::atomic<int> exit_code_{-1};
  std::thread thread_;
};

// Each of lines appears in text, in this order.
inline ::testing::AssertionResult InOrder(
    const std::string& text, const std::vector<std::string>& lines) {
  size_t at = 0;
  for (const std::string& line : lines) {
    size_t found = text.find(line, at);
    if (found == std::string::npos) {
      return ::testing::AssertionFailure()
             << "\"" << line << "\" not found after offset " << at << " in:\n"
             << text;
    }
    at = found + line.size();
  }
  return ::testing::AssertionSuccess();
}

}  // namespace kavex::utilities::testing

#endif  // KAVEX_UTILITIES_COMMON_TESTING_PROGRAM_RUN_H_
