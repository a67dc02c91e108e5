// The terminal console: key waits on pipes and terminals, the title escape,
// and SIGINT / SIGTERM as control events.
#include "utilities/common/console.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace kavex::utilities {
namespace {

using std::chrono::seconds;

// Runs WaitForKeyOn on a thread; the test fails instead of hanging when it
// does not return in time.
class KeyWait {
 public:
  KeyWait(int fd, int wake_fd)
      : result_(std::async(std::launch::async,
                           [=] { return WaitForKeyOn(fd, wake_fd); })) {}
  // The key, or -2 when the wait is still going at the deadline.
  int Get() {
    if (result_.wait_for(seconds(30)) != std::future_status::ready) {
      ADD_FAILURE() << "the key wait did not end";
      abort();  // the thread cannot be left blocked behind us
    }
    return result_.get();
  }
  bool Done() {
    return result_.wait_for(std::chrono::milliseconds(50)) ==
           std::future_status::ready;
  }

 private:
  std::future<int> result_;
};

TEST(KeyWaitTest, PipeKeysEndOfInputAndWakes) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  int wake = eventfd(0, EFD_NONBLOCK);
  {
    KeyWait wait(fds[0], wake);
    EXPECT_FALSE(wait.Done());  // nothing typed yet
    ASSERT_EQ(write(fds[1], "xy", 2), 2);
    EXPECT_EQ(wait.Get(), 'x');
  }
  EXPECT_EQ(WaitForKeyOn(fds[0], wake), 'y');  // one key per wait
  {
    KeyWait wait(fds[0], wake);
    uint64_t one = 1;
    ASSERT_EQ(write(wake, &one, sizeof one), 8);
    EXPECT_EQ(wait.Get(), -1);
  }
  uint64_t left = 0;
  EXPECT_EQ(read(wake, &left, sizeof left), -1);  // the wake was taken
  {
    KeyWait wait(fds[0], -1);
    close(fds[1]);
    EXPECT_EQ(wait.Get(), -1);  // end of input
  }
  close(fds[0]);
  // No standard input at all.
  EXPECT_EQ(WaitForKeyOn(fds[0], wake), -1);
  close(wake);
}

TEST(KeyWaitTest, TerminalInRawModeAndRestored) {
  int master = -1, slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  termios before{};
  ASSERT_EQ(tcgetattr(slave, &before), 0);
  ASSERT_TRUE(before.c_lflag & ICANON);
  {
    KeyWait wait(slave, -1);
    // Raw mode: a key without ENTER ends the wait (in line mode it would
    // wait for the line).
    const auto deadline = std::chrono::steady_clock::now() + seconds(30);
    termios now{};
    do {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      tcgetattr(slave, &now);
    } while ((now.c_lflag & ICANON) &&
             std::chrono::steady_clock::now() < deadline);
    EXPECT_FALSE(now.c_lflag & ICANON);
    EXPECT_FALSE(now.c_lflag & ECHO);
    EXPECT_TRUE(now.c_lflag & ISIG);  // Ctrl-C still raises SIGINT
    ASSERT_EQ(write(master, "k", 1), 1);
    EXPECT_EQ(wait.Get(), 'k');
  }
  termios after{};
  ASSERT_EQ(tcgetattr(slave, &after), 0);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  close(master);
  close(slave);
}

TEST(TitleTest, EscapeWithoutControlCharacters) {
  EXPECT_EQ(TitleEscape("veth Ethernet adapter"),
            "\033]0;veth Ethernet adapter\007");
  EXPECT_EQ(TitleEscape("evil\007\033]0;x\n"), "\033]0;evil??]0;x?\007");
}

std::atomic<int> g_events{0};
std::atomic<DWORD> g_last_event{0xFFFF};

// SIGINT and SIGTERM reach the handler on the control thread; handled, the
// process goes on.
TEST(CtrlHandlerTest, SignalsBecomeControlEvents) {
  Console& console = ProcessConsole();
  console.SetCtrlHandler([](DWORD event) {
    g_last_event = event;
    ++g_events;
    return true;
  });
  auto await = [](int count) {
    const auto deadline = std::chrono::steady_clock::now() + seconds(30);
    while (g_events < count && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return g_events >= count;
  };
  raise(SIGINT);
  ASSERT_TRUE(await(1));
  EXPECT_EQ(g_last_event, CTRL_C_EVENT);
  kill(getpid(), SIGTERM);
  ASSERT_TRUE(await(2));
  EXPECT_EQ(g_last_event, CTRL_CLOSE_EVENT);
  console.SetCtrlHandler({});
}

// A handled event ends a key wait that is going on.
TEST(CtrlHandlerTest, HandledEventEndsAKeyWait) {
  Console& console = ProcessConsole();
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const int saved_stdin = dup(STDIN_FILENO);
  ASSERT_EQ(dup2(fds[0], STDIN_FILENO), STDIN_FILENO);
  std::atomic<int> handled{0};
  console.SetCtrlHandler([&](DWORD) {
    ++handled;
    return true;
  });
  auto wait =
      std::async(std::launch::async, [&] { return console.WaitForKey(); });
  // Until one arrives while the wait is on (one before it does not count).
  int raised = 0;
  const auto deadline = std::chrono::steady_clock::now() + seconds(30);
  while (wait.wait_for(std::chrono::milliseconds(20)) !=
             std::future_status::ready &&
         std::chrono::steady_clock::now() < deadline) {
    raise(SIGINT);
    ++raised;
  }
  ASSERT_EQ(wait.wait_for(seconds(0)), std::future_status::ready);
  EXPECT_EQ(wait.get(), -1);
  while (handled < raised && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(handled, raised);
  // Those events are used up: the next wait takes a key.
  ASSERT_EQ(write(fds[1], "z", 1), 1);
  EXPECT_EQ(console.WaitForKey(), 'z');
  console.SetCtrlHandler({});
  dup2(saved_stdin, STDIN_FILENO);
  close(saved_stdin);
  close(fds[0]);
  close(fds[1]);
}

// Unhandled, or with no handler, the process ends by the signal.
TEST(CtrlHandlerDeathTest, UnhandledEventsEndTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ProcessConsole().SetCtrlHandler([](DWORD) { return false; });
        raise(SIGINT);
        for (;;) pause();
      },
      ::testing::KilledBySignal(SIGINT), "");
  EXPECT_EXIT(
      {
        ProcessConsole().SetCtrlHandler({});
        kill(getpid(), SIGTERM);
        for (;;) pause();
      },
      ::testing::KilledBySignal(SIGTERM), "");
}

}  // namespace
}  // namespace kavex::utilities
