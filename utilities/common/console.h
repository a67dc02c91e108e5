// The console the utilities run in: output streams, key waits, the window
// title and the console control handler.
//
// On a Linux terminal: SIGINT (Ctrl-C) and SIGTERM are the control events,
// the title is the terminal's title escape, and a key wait reads one key in
// raw mode. When standard input is not a terminal, a key wait ends at the
// next byte or at the end of input, so a script that closes or redirects
// standard input never hangs at a prompt.
#ifndef KAVEX_UTILITIES_COMMON_CONSOLE_H_
#define KAVEX_UTILITIES_COMMON_CONSOLE_H_

#include <cstdio>
#include <functional>
#include <string>

#include "platform/base/types.h"

// Console control events.
constexpr DWORD CTRL_C_EVENT = 0;      // SIGINT
constexpr DWORD CTRL_CLOSE_EVENT = 2;  // SIGTERM

namespace kavex::utilities {

class Console {
 public:
  // Runs on a thread of its own, once per control event; returns true when
  // it handled the event. When it returns false, or no handler is
  // installed, the process ends at once (by the signal).
  using CtrlHandler = std::function<bool(DWORD event)>;

  virtual ~Console() = default;

  virtual FILE* out() = 0;
  virtual FILE* err() = 0;
  // Flushes out(), then waits for one key. Returns its character code, or
  // -1 at the end of input or when a handled control event arrived during
  // the wait.
  virtual int WaitForKey() = 0;
  virtual void SetTitle(const std::string& title) = 0;
  // Replaces the control handler (an empty one uninstalls it). Returns once
  // a handler that is running has returned, so that what it uses may go;
  // a handler must not call it.
  virtual void SetCtrlHandler(CtrlHandler handler) = 0;
};

// The process's terminal: stdout (line-buffered, as a console shows text as
// it is written) and stderr, SIGINT and SIGTERM caught from the first call
// on. One per process; never destroyed.
Console& ProcessConsole();

// The pieces of ProcessConsole, for tests.

// Waits for one byte on fd (in raw mode when fd is a terminal, restored
// before returning) or until wake_fd (an eventfd, or -1 for none) becomes
// readable. Returns the byte, or -1 for the end of input, an error or a
// wake.
int WaitForKeyOn(int fd, int wake_fd);

// The terminal escape that sets the title, with control characters of the
// text (which could end the escape early) replaced by '?'.
std::string TitleEscape(const std::string& title);

}  // namespace kavex::utilities

#endif  // KAVEX_UTILITIES_COMMON_CONSOLE_H_
