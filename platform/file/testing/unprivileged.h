// For tests of what a hostile neighbour can do: run a step as another,
// unprivileged user (uid and gid 65534), and wait for a child process with a
// deadline so that a hang fails the test instead of stalling it.
#ifndef KAVEX_PLATFORM_FILE_TESTING_UNPRIVILEGED_H_
#define KAVEX_PLATFORM_FILE_TESTING_UNPRIVILEGED_H_

#include <sys/types.h>

#include <functional>

namespace kavex::file::testing {

constexpr uid_t kNobodyUid = 65534;
constexpr gid_t kNobodyGid = 65534;

// Dropping to another user needs root; tests skip without it.
bool RunningAsRoot();

// Runs `step` in a forked child that has dropped to kNobodyUid/kNobodyGid
// (no supplementary groups). True when the drop worked and `step` returned
// true.
bool RunAsNobody(const std::function<bool()>& step);

// The wait status of child `pid` once it ends, or -1 if it has not ended
// within `timeout_ms` (it is then killed and reaped).
int WaitForExit(pid_t pid, int timeout_ms);

}  // namespace kavex::file::testing

#endif  // KAVEX_PLATFORM_FILE_TESTING_UNPRIVILEGED_H_
