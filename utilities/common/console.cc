#include "utilities/common/console.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <mutex>
#include <thread>

namespace kavex::utilities {
namespace {

// The terminal mode a key wait changed, so that a process ending in the
// middle of one leaves the terminal as it found it.
struct RawMode {
  std::mutex mu;
  bool active = false;
  int fd = -1;
  termios saved{};
};
RawMode& Raw() {
  static auto* raw = new RawMode;
  return *raw;
}

bool EnterRawMode(int fd) {
  termios mode{};
  if (tcgetattr(fd, &mode) != 0) return false;
  RawMode& raw = Raw();
  std::lock_guard<std::mutex> lock(raw.mu);
  raw.saved = mode;
  raw.fd = fd;
  // Keys arrive one at a time and unechoed; Ctrl-C still raises SIGINT.
  mode.c_lflag &= ~tcflag_t(ICANON | ECHO);
  mode.c_cc[VMIN] = 1;
  mode.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSANOW, &mode) != 0) return false;
  raw.active = true;
  return true;
}

void RestoreTerminal() {
  RawMode& raw = Raw();
  std::lock_guard<std::mutex> lock(raw.mu);
  if (!raw.active) return;
  tcsetattr(raw.fd, TCSANOW, &raw.saved);
  raw.active = false;
}

void Drain(int fd) {
  uint64_t count;
  while (read(fd, &count, sizeof count) > 0) {
  }
}

// Written by the signal handler: the signal number, one byte per signal.
int g_signal_pipe_write = -1;

void OnSignal(int signo) {
  const int saved_errno = errno;
  const unsigned char byte = static_cast<unsigned char>(signo);
  [[maybe_unused]] ssize_t n = write(g_signal_pipe_write, &byte, 1);
  errno = saved_errno;
}

class TerminalConsole : public Console {
 public:
  TerminalConsole() {
    // A standard stream the program was started without would otherwise go
    // to the next descriptor opened (a capture socket): reading keys from
    // it, or printing into it. /dev/null stands in: end of input, no output.
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
      if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
        const int null =
            open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (null >= 0 && null != fd) {
          dup2(null, fd);
          close(null);
        }
      }
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;  // Ctrl-C keeps its default
    g_signal_pipe_write = fds[1];
    std::thread([this, read_fd = fds[0]] { Dispatch(read_fd); }).detach();
    struct sigaction action {};
    action.sa_handler = OnSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
  }

  FILE* out() override { return stdout; }
  FILE* err() override { return stderr; }

  int WaitForKey() override {
    fflush(stdout);
    // Only a control event during this wait ends it.
    if (wake_fd_ >= 0) Drain(wake_fd_);
    return WaitForKeyOn(STDIN_FILENO, wake_fd_);
  }

  void SetTitle(const std::string& title) override {
    if (!isatty(STDOUT_FILENO)) return;
    fputs(TitleEscape(title).c_str(), stdout);
    fflush(stdout);
  }

  void SetCtrlHandler(CtrlHandler handler) override {
    std::lock_guard<std::mutex> lock(mu_);
    handler_ = std::move(handler);
  }

 private:
  // The console's control thread: runs the handler for every signal, or
  // ends the process as the signal's default action would.
  void Dispatch(int read_fd) {
    for (;;) {
      unsigned char signo = 0;
      ssize_t n = read(read_fd, &signo, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n != 1) return;
      const DWORD event = signo == SIGINT ? CTRL_C_EVENT : CTRL_CLOSE_EVENT;
      // Held while the handler runs: SetCtrlHandler waits for it.
      std::lock_guard<std::mutex> lock(mu_);
      if (handler_ && handler_(event)) {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t w = write(wake_fd_, &one, sizeof one);
        continue;
      }
      RestoreTerminal();
      signal(signo, SIG_DFL);
      sigset_t set;
      sigemptyset(&set);
      sigaddset(&set, signo);
      pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
      kill(getpid(), signo);
      _exit(128 + signo);  // not reached
    }
  }

  std::mutex mu_;
  CtrlHandler handler_;
  int wake_fd_ = -1;
};

}  // namespace

Console& ProcessConsole() {
  static auto* console = new TerminalConsole;
  return *console;
}

int WaitForKeyOn(int fd, int wake_fd) {
  const bool terminal = isatty(fd) && EnterRawMode(fd);
  int result = -1;
  for (;;) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
    if (poll(fds, wake_fd >= 0 ? 2 : 1, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents & POLLNVAL) break;  // no standard input at all
    // A key typed counts before a wake that came with it.
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      unsigned char byte;
      ssize_t n = read(fd, &byte, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n == 1) result = byte;
      break;  // a key, the end of input or an error
    }
    if (wake_fd >= 0 && (fds[1].revents & POLLIN)) {
      Drain(wake_fd);
      break;
    }
  }
  if (terminal) RestoreTerminal();
  return result;
}

std::string TitleEscape(const std::string& title) {
  std::string escape = "\033]0;";
  for (unsigned char c : title) {
    escape += (c < 0x20 || c == 0x7F) ? '?' : static_cast<char>(c);
  }
  escape += '\007';
  return escape;
}

}  // namespace kavex::utilities
