// Whole-system tests run their body in a child process inside a network
// namespace of its own, holding the veth pair kvx0 <-> kvx1, so they never
// touch an interface of the machine.
#ifndef KAVEX_TESTS_E2E_PRIVATE_NETWORK_H_
#define KAVEX_TESTS_E2E_PRIVATE_NETWORK_H_

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kavex::e2e {

// Runs body there; the test fails when the child reports a failure, and is
// skipped without root.
inline void InPrivateNetwork(void (*body)()) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace";
  fflush(stdout);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (unshare(CLONE_NEWNET) != 0) {
      fprintf(stderr, "unshare(CLONE_NEWNET): %s\n", strerror(errno));
      _exit(2);
    }
    if (system("ip link add name kvx0 type veth peer name kvx1 && "
               "ip link set kvx0 up && ip link set kvx1 up") != 0) {
      _exit(3);
    }
    body();
    fflush(stdout);
    _exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "see the child's report above";
}

}  // namespace kavex::e2e

#endif  // KAVEX_TESTS_E2E_PRIVATE_NETWORK_H_
