#include "bench/thread_user_time.h"

#include <gtest/gtest.h>

namespace kavex::bench {
namespace {

std::string Switch(const char* at, int prev, const char* state, int next) {
  return std::string("          <idle>-0       [001] d..2. ") + at +
         ": sched_switch: prev_comm=x prev_pid=" + std::to_string(prev) +
         " prev_prio=120 prev_state=" + state +
         " ==> next_comm=y next_pid=" + std::to_string(next) +
         " next_prio=120";
}
std::string Call(const char* comm, int tid, const char* at, bool enter) {
  return std::string("   ") + comm + "-" + std::to_string(tid) +
         "    [000] ..... " + at +
         (enter ? ": sys_enter: NR 202 (7f, 80, 0, 0, 0, 0)"
                : ": sys_exit: NR 202 = 0");
}

TEST(UserTimeAccountTest, SumsUserStretchesBetweenCallsAndSwitches) {
  UserTimeAccount account({41});
  // Before its first system call exit the thread's mode is unknown.
  EXPECT_TRUE(account.Feed(Switch("9.000000", 0, "R", 41)));
  EXPECT_TRUE(account.Feed(Call("recv", 41, "9.500000", true)));
  // 10 us between an exit and the next entry.
  account.Feed(Call("recv", 41, "10.000000", false));
  account.Feed(Call("recv", 41, "10.000010", true));
  // Preempted in user mode after 5 us, back for 3 us more.
  account.Feed(Call("recv", 41, "10.000020", false));
  account.Feed(Switch("10.000025", 41, "R", 7));
  account.Feed(Switch("10.000100", 7, "R", 41));
  account.Feed(Call("recv", 41, "10.000103", true));
  // Asleep inside a call: switched out and in without user time.
  account.Feed(Switch("10.000110", 41, "S", 0));
  account.Feed(Switch("10.000200", 0, "R", 41));
  account.Feed(Call("recv", 41, "10.000205", false));
  account.Feed(Call("recv", 41, "10.000210", true));
  // 2 us across a second boundary.
  account.Feed(Call("recv", 41, "10.999999", false));
  account.Feed(Call("recv", 41, "11.000001", true));
  EXPECT_EQ(account.user_ns(), (10 + 5 + 3 + 5 + 2) * 1000u);
  // On a CPU: 9.000000 to 10.000025, 10.000100 to 10.000110.
  EXPECT_EQ(account.run_ns(), 1000025000u + 10000u);
}

TEST(UserTimeAccountTest, AddsThreadsAskedForAndIgnoresTheRest) {
  UserTimeAccount account({41, 42});
  // Names with dashes and spaces, as thread names may have.
  account.Feed(Call("my-recv thread", 41, "1.000000", false));
  account.Feed(Call("my-recv thread", 41, "1.000004", true));
  account.Feed(Call("poster", 42, "1.000000", false));
  account.Feed(Call("poster", 42, "1.000006", true));
  account.Feed(Call("sender", 43, "1.000000", false));
  account.Feed(Call("sender", 43, "1.000900", true));
  // A switch from an untracked thread to another one changes nothing.
  account.Feed(Switch("1.000010", 43, "R", 44));
  EXPECT_EQ(account.user_ns(), 10000u);
}

TEST(UserTimeAccountTest, RejectsLinesThatAreNotItsEvents) {
  UserTimeAccount account({41});
  EXPECT_FALSE(account.Feed("# tracer: nop"));
  EXPECT_FALSE(account.Feed("# entries-in-buffer/entries-written: 3/3"));
  EXPECT_FALSE(account.Feed("CPU:1 [LOST 12 EVENTS]"));
  EXPECT_FALSE(account.Feed("   x-41  [000] ..... 1.5: sys_exit: NR 0 = 0"));
  EXPECT_EQ(account.user_ns(), 0u);
}

}  // namespace
}  // namespace kavex::bench
