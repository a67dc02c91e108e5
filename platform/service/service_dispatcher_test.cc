#include "platform/service/service_dispatcher.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/service/testing_support.h"
#include "platform/sync/last_error.h"

namespace kavex::service {
namespace {

constexpr auto kDeadline = std::chrono::seconds(30);
constexpr int kDeadlineMs = 30000;

// A datagram socket standing in for systemd's notification socket.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& directory)
      : path_(directory + "/notify") {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s",
                  path_.c_str());
    bound_ =
        bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    setenv("NOTIFY_SOCKET", path_.c_str(), 1);
  }
  ~NotifySocket() {
    unsetenv("NOTIFY_SOCKET");
    close(fd_);
  }
  bool bound() const { return bound_; }

  // The next message, or "(none)" when none came before the deadline.
  std::string Next() {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, kDeadlineMs) != 1) return "(none)";
    char buffer[4096];
    ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    return n < 0 ? "(error)" : std::string(buffer, static_cast<size_t>(n));
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool bound_ = false;
};

// What the test service saw and did; the service functions are plain
// function pointers, so their state is global.
struct TestService {
  std::mutex mu;
  std::condition_variable changed;
  std::string argv0;
  DWORD argc = 0;
  std::vector<DWORD> controls;
  SERVICE_STATUS_HANDLE handle = nullptr;
  bool running = false;
  bool stop = false;
  bool post_stop_before_registering = false;
  std::vector<DWORD> errors;  // of calls made inside the service

  void Reset() {
    std::lock_guard<std::mutex> lock(mu);
    argv0.clear();
    argc = 0;
    controls.clear();
    handle = nullptr;
    running = stop = post_stop_before_registering = false;
    errors.clear();
  }
  template <typename Predicate>
  bool WaitFor(Predicate predicate) {
    std::unique_lock<std::mutex> lock(mu);
    return changed.wait_for(lock, kDeadline, predicate);
  }
};
TestService g_service;

void Report(DWORD state, DWORD wait_hint = 0) {
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted =
      state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  status.dwWaitHint = wait_hint;
  SERVICE_STATUS_HANDLE handle;
  {
    std::lock_guard<std::mutex> lock(g_service.mu);
    handle = g_service.handle;
  }
  SetServiceStatus(handle, &status);
}

void Handler(DWORD control) {
  if (control == SERVICE_CONTROL_STOP) Report(SERVICE_STOP_PENDING);
  std::lock_guard<std::mutex> lock(g_service.mu);
  g_service.controls.push_back(control);
  if (control == SERVICE_CONTROL_STOP) g_service.stop = true;
  g_service.changed.notify_all();
}

void ServiceMain(DWORD argc, char** argv) {
  bool post_early;
  {
    std::lock_guard<std::mutex> lock(g_service.mu);
    g_service.argc = argc;
    g_service.argv0 = argv[0];
    post_early = g_service.post_stop_before_registering;
  }
  if (post_early) PostServiceControl(SERVICE_CONTROL_STOP);
  SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerA(argv[0], Handler);
  {
    std::lock_guard<std::mutex> lock(g_service.mu);
    g_service.handle = handle;
  }
  Report(SERVICE_START_PENDING, 3000);
  Report(SERVICE_RUNNING);
  {
    std::unique_lock<std::mutex> lock(g_service.mu);
    g_service.running = true;
    g_service.changed.notify_all();
    // The deadline turns a lost stop into a failed test, not a hang.
    g_service.changed.wait_for(lock, kDeadline, [] { return g_service.stop; });
  }
  Report(SERVICE_STOPPED);
}

// Runs the dispatcher on a thread of its own, so the test can act while it
// runs; Wait gives its result or aborts the test program at the deadline.
class DispatcherThread {
 public:
  explicit DispatcherThread(const SERVICE_TABLE_ENTRYA* table) {
    thread_ = std::thread([this, table] {
      BOOL ok = StartServiceCtrlDispatcherA(table);
      result_.set_value({ok, GetLastError()});
    });
  }
  ~DispatcherThread() {
    if (thread_.joinable()) Wait();
  }
  std::pair<BOOL, DWORD> Wait() {
    auto future = result_.get_future();
    if (future.wait_for(kDeadline) != std::future_status::ready) {
      std::fprintf(stderr, "the dispatcher did not return in time\n");
      std::abort();
    }
    thread_.join();
    return future.get();
  }

 private:
  std::promise<std::pair<BOOL, DWORD>> result_;
  std::thread thread_;
};

char g_name[] = "Kavex OPC Server";
SERVICE_TABLE_ENTRYA g_table[] = {{g_name, ServiceMain}, {nullptr, nullptr}};

class ServiceDispatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_service.Reset();
    ASSERT_FALSE(dir_.path().empty());
    ASSERT_TRUE(notify_.bound());
  }
  testing::TempDir dir_;
  NotifySocket notify_{dir_.path()};
};

TEST_F(ServiceDispatcherTest, SigtermIsTheStopControlAndStatesReachSystemd) {
  struct sigaction before {};
  sigaction(SIGTERM, nullptr, &before);
  DispatcherThread dispatcher(g_table);
  ASSERT_TRUE(g_service.WaitFor([] { return g_service.running; }));
  EXPECT_EQ("STATUS=Starting\nEXTEND_TIMEOUT_USEC=3000000", notify_.Next());
  EXPECT_EQ("READY=1\nSTATUS=Running", notify_.Next());

  ASSERT_EQ(0, kill(getpid(), SIGTERM));
  auto [ok, error] = dispatcher.Wait();
  EXPECT_TRUE(ok) << error;
  EXPECT_EQ("STOPPING=1\nSTATUS=Stopping", notify_.Next());
  EXPECT_EQ("STATUS=Stopped", notify_.Next());
  EXPECT_EQ(std::vector<DWORD>{SERVICE_CONTROL_STOP}, g_service.controls);
  EXPECT_EQ(1u, g_service.argc);
  EXPECT_EQ("Kavex OPC Server", g_service.argv0);

  // SIGTERM is the process's own again.
  struct sigaction after {};
  sigaction(SIGTERM, nullptr, &after);
  EXPECT_EQ(before.sa_handler, after.sa_handler);
  EXPECT_FALSE(PostServiceControl(SERVICE_CONTROL_STOP));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE), GetLastError());
}

TEST_F(ServiceDispatcherTest, AStopBeforeTheHandlerIsDeliveredOnce) {
  g_service.post_stop_before_registering = true;
  DispatcherThread dispatcher(g_table);
  auto [ok, error] = dispatcher.Wait();
  EXPECT_TRUE(ok) << error;
  EXPECT_EQ(std::vector<DWORD>{SERVICE_CONTROL_STOP}, g_service.controls);
}

TEST_F(ServiceDispatcherTest, OtherControlsReachTheHandlerInOrder) {
  DispatcherThread dispatcher(g_table);
  ASSERT_TRUE(g_service.WaitFor([] { return g_service.running; }));
  for (DWORD control : {SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_INTERROGATE,
                        DWORD{200}, SERVICE_CONTROL_STOP})
    ASSERT_TRUE(PostServiceControl(control));
  EXPECT_FALSE(PostServiceControl(0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  EXPECT_FALSE(PostServiceControl(0xFFFFFFFF));
  auto [ok, error] = dispatcher.Wait();
  EXPECT_TRUE(ok) << error;
  EXPECT_EQ(
      (std::vector<DWORD>{SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_INTERROGATE,
                          200, SERVICE_CONTROL_STOP}),
      g_service.controls);
}

void MisbehavingMain(DWORD, char** argv) {
  std::vector<DWORD> errors;
  // A second dispatcher, another service's name, no handler.
  EXPECT_FALSE(StartServiceCtrlDispatcherA(g_table));
  errors.push_back(GetLastError());
  EXPECT_EQ(nullptr, RegisterServiceCtrlHandlerA("Other Service", Handler));
  errors.push_back(GetLastError());
  EXPECT_EQ(nullptr, RegisterServiceCtrlHandlerA(argv[0], nullptr));
  errors.push_back(GetLastError());
  SERVICE_STATUS_HANDLE handle =
      RegisterServiceCtrlHandlerA("KAVEX OPC SERVER", Handler);
  EXPECT_NE(nullptr, handle);
  SERVICE_STATUS status{};
  status.dwCurrentState = 0;
  EXPECT_FALSE(SetServiceStatus(handle, &status));
  errors.push_back(GetLastError());
  status.dwCurrentState = 8;
  EXPECT_FALSE(SetServiceStatus(handle, &status));
  errors.push_back(GetLastError());
  EXPECT_FALSE(SetServiceStatus(handle, nullptr));
  errors.push_back(GetLastError());
  status.dwCurrentState = SERVICE_RUNNING;
  EXPECT_FALSE(
      SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(0x99), &status));
  errors.push_back(GetLastError());
  std::lock_guard<std::mutex> lock(g_service.mu);
  g_service.errors = errors;
  // Returns without reporting STOPPED: the dispatcher still ends.
}

TEST_F(ServiceDispatcherTest, MisuseIsRefused) {
  char name[] = "Kavex OPC Server";
  SERVICE_TABLE_ENTRYA table[] = {{name, MisbehavingMain}, {nullptr, nullptr}};
  DispatcherThread dispatcher(table);
  auto [ok, error] = dispatcher.Wait();
  EXPECT_TRUE(ok) << error;
  EXPECT_EQ((std::vector<DWORD>{
                ERROR_SERVICE_ALREADY_RUNNING, ERROR_SERVICE_NOT_IN_EXE,
                ERROR_INVALID_PARAMETER, ERROR_INVALID_DATA, ERROR_INVALID_DATA,
                ERROR_INVALID_DATA, ERROR_INVALID_HANDLE}),
            g_service.errors);

  // Outside a dispatcher.
  EXPECT_EQ(nullptr, RegisterServiceCtrlHandlerA(name, Handler));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_NOT_IN_EXE), GetLastError());
  SERVICE_STATUS status{};
  status.dwCurrentState = SERVICE_RUNNING;
  EXPECT_FALSE(SetServiceStatus(nullptr, &status));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());

  // Tables the dispatcher does not run.
  char empty[] = "";
  SERVICE_TABLE_ENTRYA two[] = {
      {name, ServiceMain}, {name, ServiceMain}, {nullptr, nullptr}};
  SERVICE_TABLE_ENTRYA nameless[] = {{empty, ServiceMain}, {nullptr, nullptr}};
  SERVICE_TABLE_ENTRYA no_main[] = {{name, nullptr}, {nullptr, nullptr}};
  for (const SERVICE_TABLE_ENTRYA* bad :
       {static_cast<const SERVICE_TABLE_ENTRYA*>(nullptr),
        static_cast<const SERVICE_TABLE_ENTRYA*>(two),
        static_cast<const SERVICE_TABLE_ENTRYA*>(nameless),
        static_cast<const SERVICE_TABLE_ENTRYA*>(no_main)}) {
    EXPECT_FALSE(StartServiceCtrlDispatcherA(bad));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  }
}

TEST(ServiceDispatcherOutsideTest, AProgramNotStartedAsAServiceIsTold) {
  const char* saved_invocation = getenv("INVOCATION_ID");
  std::string invocation = saved_invocation ? saved_invocation : "";
  unsetenv("NOTIFY_SOCKET");
  unsetenv("INVOCATION_ID");
  EXPECT_FALSE(StartServiceCtrlDispatcherA(g_table));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT),
            GetLastError());
  if (saved_invocation != nullptr)
    setenv("INVOCATION_ID", invocation.c_str(), 1);
}

TEST(ServiceNotificationTest, StatesBecomeNotifyMessages) {
  struct Case {
    DWORD state;
    DWORD exit_code;
    DWORD specific;
    DWORD wait_hint;
    const char* message;
  };
  const Case cases[] = {
      {SERVICE_START_PENDING, 0, 0, 0, "STATUS=Starting"},
      {SERVICE_RUNNING, 0, 0, 5000, "READY=1\nSTATUS=Running"},
      {SERVICE_STOP_PENDING, 0, 0, 2000,
       "STOPPING=1\nSTATUS=Stopping\nEXTEND_TIMEOUT_USEC=2000000"},
      {SERVICE_STOPPED, 0, 0, 0, "STATUS=Stopped"},
      {SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR, 0x80004005, 0,
       "STATUS=Stopped with exit code 0x80004005"},
      {SERVICE_STOPPED, ERROR_ACCESS_DENIED, 0, 0,
       "STATUS=Stopped with error 5"},
      {SERVICE_PAUSED, 0, 0, 0, "STATUS=Paused"},
  };
  for (const Case& c : cases) {
    SERVICE_STATUS status{};
    status.dwCurrentState = c.state;
    status.dwWin32ExitCode = c.exit_code;
    status.dwServiceSpecificExitCode = c.specific;
    status.dwWaitHint = c.wait_hint;
    EXPECT_EQ(c.message, NotificationForStatus(status));
  }
}

}  // namespace
}  // namespace kavex::service
