#include "platform/file/testing/unprivileged.h"

#include <errno.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kavex::file::testing {

bool RunningAsRoot() { return geteuid() == 0; }

bool RunAsNobody(const std::function<bool()>& step) {
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    if (setgroups(0, nullptr) != 0 ||
        setresgid(kNobodyGid, kNobodyGid, kNobodyGid) != 0 ||
        setresuid(kNobodyUid, kNobodyUid, kNobodyUid) != 0 ||
        geteuid() != kNobodyUid)
      _exit(2);
    _exit(step() ? 0 : 1);
  }
  const int status = WaitForExit(pid, 30000);
  return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int WaitForExit(pid_t pid, int timeout_ms) {
  bool timed_out = false;
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (pidfd >= 0) {
    pollfd ready{pidfd, POLLIN, 0};
    int n;
    do {
      n = poll(&ready, 1, timeout_ms);
    } while (n < 0 && errno == EINTR);
    close(pidfd);
    timed_out = n == 0;
  } else {
    // Without pidfds (kernels before 5.3): look every 10 ms.
    for (int waited = 0;; waited += 10) {
      int status = 0;
      const pid_t done = waitpid(pid, &status, WNOHANG);
      if (done == pid) return status;
      if (done < 0) return -1;
      if (waited >= timeout_ms) {
        timed_out = true;
        break;
      }
      usleep(10000);
    }
  }
  if (timed_out) kill(pid, SIGKILL);
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return timed_out ? -1 : status;
}

}  // namespace kavex::file::testing
