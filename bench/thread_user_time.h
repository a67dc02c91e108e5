// Exact user-mode CPU time of chosen threads, from the kernel's scheduler and
// system-call trace points.
//
// The process and thread CPU clocks give exact run time, but the kernel
// splits it into user and system time by sampling at timer ticks, and a
// thread woken by a tick-driven timer (the capture ring's block timer) runs
// right after the tick, where the samples never land. Tracing every system
// call entry and exit and every context switch of the threads gives the
// user-mode stretches themselves: a thread is in user mode from a system
// call's exit (or being switched in outside one) to the next entry (or being
// switched out). Interrupts and page faults taken in user mode count as user
// time, so the figure errs high, never low.
#ifndef KAVEX_BENCH_THREAD_USER_TIME_H_
#define KAVEX_BENCH_THREAD_USER_TIME_H_

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace kavex::bench {

// Sums user-mode time from trace lines in the kernel's text format, e.g.
//   "  x-41  [001] .....  12.000005: sys_exit: NR 7 = 1"
//   "  x-41  [001] d..2.  12.000009: sched_switch: prev_comm=x prev_pid=41
//      prev_prio=120 prev_state=S ==> next_comm=swapper/1 next_pid=0 ..."
// Threads not asked for are ignored. A thread's time counts from its first
// system call exit, where its mode is first known.
class UserTimeAccount {
 public:
  explicit UserTimeAccount(const std::vector<int>& tids);
  // False for a line that is not one of the three events (headers, lost
  // event notes); such lines change nothing.
  bool Feed(std::string_view line);
  // Total user-mode nanoseconds of all the threads.
  uint64_t user_ns() const;
  // Total time on a CPU, user and system, from the context switches alone:
  // checked against the CPU clocks, it shows the trace missed nothing.
  uint64_t run_ns() const;

 private:
  struct Thread {
    bool known = false;  // mode known: a system call exit was seen
    bool on_cpu = false;
    bool in_syscall = false;
    uint64_t since_ns = 0;  // start of the current user-mode stretch
    uint64_t user_ns = 0;
    // For run_ns: set only by a switch seen in the trace, unlike on_cpu,
    // which a system call also implies.
    bool switched_in = false;
    uint64_t in_ns = 0;  // when it was switched in
    uint64_t run_ns = 0;
  };
  Thread* Find(int tid);
  void LeaveUser(Thread* t, uint64_t ns);

  std::map<int, Thread> threads_;
};

// Traces the threads' system calls and context switches in a tracing
// instance of its own (the machine's main trace buffer is left alone).
// Needs root and tracefs; Start() says why it cannot.
class ThreadUserTimeTracer {
 public:
  ThreadUserTimeTracer() = default;
  ~ThreadUserTimeTracer();
  ThreadUserTimeTracer(const ThreadUserTimeTracer&) = delete;
  ThreadUserTimeTracer& operator=(const ThreadUserTimeTracer&) = delete;

  bool Start(const std::vector<int>& tids, std::string* why_not);
  // Stops tracing; *user_ns is the threads' user time since Start, *run_ns
  // their whole time on a CPU. False when the trace lost events (the
  // figures would be wrong).
  bool Stop(uint64_t* user_ns, uint64_t* run_ns, std::string* why_not);

 private:
  bool Write(const std::string& file, const std::string& text);
  void Remove();

  std::string dir_;  // the instance directory, empty when none
  std::vector<int> tids_;
};

}  // namespace kavex::bench

#endif  // KAVEX_BENCH_THREAD_USER_TIME_H_
