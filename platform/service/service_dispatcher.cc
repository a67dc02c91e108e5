#include "platform/service/service_dispatcher.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/base/results.h"
#include "platform/log/logger.h"
#include "platform/sync/last_error.h"

namespace kavex::service {
namespace {

// Messages of the dispatcher to itself on the control pipe, beside the
// control codes (which are at most 255).
constexpr DWORD kMainReturned = 0xFFFFFFFF;
constexpr DWORD kHandlerRegistered = 0xFFFFFFFE;

// The write end of the control pipe, for the signal handler.
std::atomic<int> g_control_fd{-1};

void OnTerminate(int) {
  int saved = errno;
  int fd = g_control_fd.load(std::memory_order_relaxed);
  if (fd >= 0) {
    DWORD control = SERVICE_CONTROL_STOP;
    // A full pipe already holds a stop: dropping this one loses nothing.
    ssize_t ignored = write(fd, &control, sizeof control);
    (void)ignored;
  }
  errno = saved;
}

struct Dispatcher {
  std::mutex mu;
  bool running = false;
  std::string name;
  LPHANDLER_FUNCTION handler = nullptr;
  uintptr_t status_token = 0;  // the status handle of the running service
  uintptr_t next_token = 1;
  int write_fd = -1;
};

Dispatcher& GetDispatcher() {
  static Dispatcher* dispatcher = new Dispatcher;  // used until exit
  return *dispatcher;
}

// Pipe writes of up to PIPE_BUF bytes are atomic, so a control is never
// split or mixed with another.
bool WriteControl(int fd, DWORD control) {
  ssize_t n;
  do {
    n = write(fd, &control, sizeof control);
  } while (n < 0 && errno == EINTR);
  return n == sizeof control;
}

bool StartedByServiceManager() {
  for (const char* name : {"NOTIFY_SOCKET", "INVOCATION_ID"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

const char* StateText(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED:
      return "Stopped";
    case SERVICE_START_PENDING:
      return "Starting";
    case SERVICE_STOP_PENDING:
      return "Stopping";
    case SERVICE_RUNNING:
      return "Running";
    case SERVICE_CONTINUE_PENDING:
      return "Continuing";
    case SERVICE_PAUSE_PENDING:
      return "Pausing";
    case SERVICE_PAUSED:
      return "Paused";
  }
  return "Unknown";
}

// Runs the dispatcher's loop on the calling thread until the service's main
// function returned. Controls that come before a handler is registered wait.
void RunControlLoop(int read_fd) {
  Dispatcher& d = GetDispatcher();
  std::vector<DWORD> pending;
  std::vector<unsigned char> buffer;
  while (true) {
    pollfd p{read_fd, POLLIN, 0};
    if (poll(&p, 1, -1) < 0) {
      if (errno == EINTR) continue;
      log::Logf(log::Level::kError, "service", "control pipe: %s",
                std::strerror(errno));
      return;
    }
    unsigned char chunk[256];
    ssize_t n = read(read_fd, chunk, sizeof chunk);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return;
    buffer.insert(buffer.end(), chunk, chunk + n);
    size_t whole = buffer.size() / sizeof(DWORD) * sizeof(DWORD);
    std::vector<DWORD> controls(whole / sizeof(DWORD));
    std::memcpy(controls.data(), buffer.data(), whole);
    buffer.erase(buffer.begin(), buffer.begin() + whole);
    for (DWORD control : controls) {
      if (control == kMainReturned) return;
      if (control != kHandlerRegistered) pending.push_back(control);
      LPHANDLER_FUNCTION handler;
      {
        std::lock_guard<std::mutex> lock(d.mu);
        handler = d.handler;
      }
      if (handler == nullptr) continue;
      std::vector<DWORD> due;
      due.swap(pending);
      for (DWORD c : due) handler(c);
    }
  }
}

}  // namespace

std::string NotificationForStatus(const SERVICE_STATUS& status) {
  std::string text;
  if (status.dwCurrentState == SERVICE_RUNNING) text += "READY=1\n";
  if (status.dwCurrentState == SERVICE_STOP_PENDING) text += "STOPPING=1\n";
  text += "STATUS=";
  text += StateText(status.dwCurrentState);
  if (status.dwCurrentState == SERVICE_STOPPED && status.dwWin32ExitCode) {
    char code[64];
    if (status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR)
      std::snprintf(code, sizeof code, " with exit code 0x%08X",
                    status.dwServiceSpecificExitCode);
    else
      std::snprintf(code, sizeof code, " with error %u",
                    status.dwWin32ExitCode);
    text += code;
  }
  bool pending = status.dwCurrentState == SERVICE_START_PENDING ||
                 status.dwCurrentState == SERVICE_STOP_PENDING ||
                 status.dwCurrentState == SERVICE_PAUSE_PENDING ||
                 status.dwCurrentState == SERVICE_CONTINUE_PENDING;
  if (pending && status.dwWaitHint != 0)
    text += "\nEXTEND_TIMEOUT_USEC=" +
            std::to_string(uint64_t{status.dwWaitHint} * 1000);
  return text;
}

BOOL PostServiceControl(DWORD control) {
  if (control == 0 || control > 255) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Dispatcher& d = GetDispatcher();
  std::lock_guard<std::mutex> lock(d.mu);
  if (!d.running || !WriteControl(d.write_fd, control)) {
    SetLastError(ERROR_SERVICE_NOT_ACTIVE);
    return FALSE;
  }
  return TRUE;
}

}  // namespace kavex::service

namespace svc = kavex::service;

BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table) {
  if (table == nullptr || table[0].lpServiceName == nullptr ||
      table[0].lpServiceName[0] == '\0' || table[0].lpServiceProc == nullptr ||
      table[1].lpServiceName != nullptr || table[1].lpServiceProc != nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!svc::StartedByServiceManager()) {
    SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return FALSE;
  }
  svc::Dispatcher& d = svc::GetDispatcher();
  int fds[2];
  {
    std::lock_guard<std::mutex> lock(d.mu);
    if (d.running) {
      SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
      return FALSE;
    }
    if (pipe2(fds, O_CLOEXEC) != 0) {
      SetLastError(ERROR_NO_SYSTEM_RESOURCES);
      return FALSE;
    }
    // The signal handler must never block on a full pipe.
    fcntl(fds[1], F_SETFL, O_NONBLOCK);
    d.running = true;
    d.name = table[0].lpServiceName;
    d.handler = nullptr;
    d.status_token = (d.next_token++ << 4) | 0x9;
    d.write_fd = fds[1];
  }
  svc::g_control_fd.store(fds[1]);
  struct sigaction action {};
  struct sigaction previous {};
  action.sa_handler = svc::OnTerminate;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, &previous);

  std::vector<char> name(d.name.begin(), d.name.end());
  name.push_back('\0');
  LPSERVICE_MAIN_FUNCTIONA main_function = table[0].lpServiceProc;
  int write_fd = fds[1];
  std::thread service_thread([&name, main_function, write_fd] {
    char* argv[] = {name.data(), nullptr};
    main_function(1, argv);
    svc::WriteControl(write_fd, svc::kMainReturned);
  });
  svc::RunControlLoop(fds[0]);
  service_thread.join();

  sigaction(SIGTERM, &previous, nullptr);
  svc::g_control_fd.store(-1);
  {
    std::lock_guard<std::mutex> lock(d.mu);
    d.running = false;
    d.handler = nullptr;
    d.status_token = 0;
    d.write_fd = -1;
  }
  close(fds[0]);
  close(fds[1]);
  return TRUE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(const char* name,
                                                  LPHANDLER_FUNCTION handler) {
  svc::Dispatcher& d = svc::GetDispatcher();
  std::lock_guard<std::mutex> lock(d.mu);
  if (!d.running || name == nullptr || strcasecmp(name, d.name.c_str()) != 0) {
    SetLastError(ERROR_SERVICE_NOT_IN_EXE);
    return nullptr;
  }
  if (handler == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  d.handler = handler;
  // Wakes the dispatcher to deliver what arrived before.
  svc::WriteControl(d.write_fd, svc::kHandlerRegistered);
  return reinterpret_cast<SERVICE_STATUS_HANDLE>(d.status_token);
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status) {
  svc::Dispatcher& d = svc::GetDispatcher();
  {
    std::lock_guard<std::mutex> lock(d.mu);
    if (!d.running || d.status_token == 0 ||
        reinterpret_cast<uintptr_t>(handle) != d.status_token) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
  }
  if (status == nullptr || status->dwCurrentState < SERVICE_STOPPED ||
      status->dwCurrentState > SERVICE_PAUSED) {
    SetLastError(ERROR_INVALID_DATA);
    return FALSE;
  }
  std::string message = svc::NotificationForStatus(*status);
  int r = sd_notify(0, message.c_str());
  if (r < 0)
    kavex::log::Logf(kavex::log::Level::kWarning, "service",
                     "could not tell the service manager \"%s\": %s",
                     message.c_str(), std::strerror(-r));
  return TRUE;
}
