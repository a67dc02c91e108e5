#include "bench/thread_user_time.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace kavex::bench {
namespace {

// "12.000005" (seconds, microseconds) as nanoseconds.
bool ParseTimestamp(std::string_view text, uint64_t* ns) {
  size_t dot = text.find('.');
  if (dot == std::string_view::npos || dot == 0) return false;
  uint64_t seconds = 0, micros = 0;
  const char* begin = text.data();
  if (std::from_chars(begin, begin + dot, seconds).ec != std::errc() ||
      text.size() - dot - 1 != 6 ||
      std::from_chars(begin + dot + 1, begin + text.size(), micros).ec !=
          std::errc()) {
    return false;
  }
  *ns = seconds * 1000000000 + micros * 1000;
  return true;
}

// The number after "<key>=" in fields, or -1.
int Field(std::string_view fields, std::string_view key) {
  size_t at = 0;
  while ((at = fields.find(key, at)) != std::string_view::npos) {
    bool starts_word = at == 0 || fields[at - 1] == ' ';
    at += key.size();
    if (!starts_word || at >= fields.size() || fields[at] != '=') continue;
    int value = -1;
    const char* begin = fields.data() + at + 1;
    std::from_chars(begin, fields.data() + fields.size(), value);
    return value;
  }
  return -1;
}

// The trace points, under events/.
constexpr const char* kEvents[] = {"raw_syscalls/sys_enter",
                                   "raw_syscalls/sys_exit",
                                   "sched/sched_switch"};

}  // namespace

UserTimeAccount::UserTimeAccount(const std::vector<int>& tids) {
  for (int tid : tids) threads_[tid];
}

UserTimeAccount::Thread* UserTimeAccount::Find(int tid) {
  auto it = threads_.find(tid);
  return it == threads_.end() ? nullptr : &it->second;
}

void UserTimeAccount::LeaveUser(Thread* t, uint64_t ns) {
  if (t->known && t->on_cpu && !t->in_syscall && ns > t->since_ns) {
    t->user_ns += ns - t->since_ns;
  }
}

bool UserTimeAccount::Feed(std::string_view line) {
  enum { kEnter, kExit, kSwitch } event;
  size_t at;
  if ((at = line.find(": sys_enter: ")) != std::string_view::npos) {
    event = kEnter;
  } else if ((at = line.find(": sys_exit: ")) != std::string_view::npos) {
    event = kExit;
  } else if ((at = line.find(": sched_switch: ")) != std::string_view::npos) {
    event = kSwitch;
  } else {
    return false;
  }
  // "<comm>-<pid> [cpu] <flags> <timestamp>: <event>: <fields>"
  size_t stamp = line.rfind(' ', at);
  uint64_t ns = 0;
  if (stamp == std::string_view::npos ||
      !ParseTimestamp(line.substr(stamp + 1, at - stamp - 1), &ns)) {
    return false;
  }
  std::string_view fields = line.substr(line.find(": ", at + 2) + 2);
  if (event == kSwitch) {
    if (Thread* prev = Find(Field(fields, "prev_pid"))) {
      LeaveUser(prev, ns);
      prev->on_cpu = false;
      if (prev->switched_in) prev->run_ns += ns - prev->in_ns;
      prev->switched_in = false;
    }
    if (Thread* next = Find(Field(fields, "next_pid"))) {
      next->on_cpu = true;
      next->since_ns = ns;
      next->switched_in = true;
      next->in_ns = ns;
    }
    return true;
  }
  size_t bracket = line.find(" [");
  size_t dash = bracket == std::string_view::npos
                    ? std::string_view::npos
                    : line.rfind('-', bracket);
  if (dash == std::string_view::npos) return false;
  int tid = -1;
  std::from_chars(line.data() + dash + 1, line.data() + bracket, tid);
  Thread* t = Find(tid);
  if (t == nullptr) return true;
  if (event == kEnter) {
    LeaveUser(t, ns);
    t->in_syscall = true;
  } else {
    t->known = true;
    t->in_syscall = false;
    t->since_ns = ns;
  }
  t->on_cpu = true;  // it made the call, so it is running
  return true;
}

uint64_t UserTimeAccount::user_ns() const {
  uint64_t sum = 0;
  for (const auto& [tid, t] : threads_) sum += t.user_ns;
  return sum;
}

uint64_t UserTimeAccount::run_ns() const {
  uint64_t sum = 0;
  for (const auto& [tid, t] : threads_) sum += t.run_ns;
  return sum;
}

// --- ThreadUserTimeTracer ----------------------------------------------------

ThreadUserTimeTracer::~ThreadUserTimeTracer() { Remove(); }

bool ThreadUserTimeTracer::Write(const std::string& file,
                                 const std::string& text) {
  std::ofstream out(dir_ + "/" + file);
  out << text;
  out.flush();
  return static_cast<bool>(out);
}

void ThreadUserTimeTracer::Remove() {
  if (dir_.empty()) return;
  Write("tracing_on", "0");
  for (const char* event : kEvents)
    Write(std::string("events/") + event + "/enable", "0");
  if (rmdir(dir_.c_str()) != 0) {
    fprintf(stderr, "bench: cannot remove the tracing instance %s: %s\n",
            dir_.c_str(), strerror(errno));
  }
  dir_.clear();
}

bool ThreadUserTimeTracer::Start(const std::vector<int>& tids,
                                 std::string* why_not) {
  Remove();
  tids_ = tids;
  std::string root = "/sys/kernel/tracing";
  struct stat st;
  if (stat((root + "/instances").c_str(), &st) != 0 &&
      mount("nodev", root.c_str(), "tracefs", 0, nullptr) != 0) {
    *why_not = std::string("no tracefs at ") + root + ": " + strerror(errno);
    return false;
  }
  std::string dir = root + "/instances/kavex-bench-" + std::to_string(getpid());
  if (mkdir(dir.c_str(), 0700) != 0) {
    *why_not = "cannot make a tracing instance: " + std::string(strerror(errno));
    return false;
  }
  dir_ = dir;
  std::string by_caller, by_switch;
  for (int tid : tids) {
    std::string id = std::to_string(tid);
    by_caller += (by_caller.empty() ? "" : " || ") + ("common_pid == " + id);
    by_switch += (by_switch.empty() ? "" : " || ") +
                 ("prev_pid == " + id + " || next_pid == " + id);
  }
  bool ok = Write("tracing_on", "0") && Write("trace_clock", "mono") &&
            Write("buffer_size_kb", "16384") &&
            Write("events/raw_syscalls/sys_enter/filter", by_caller) &&
            Write("events/raw_syscalls/sys_exit/filter", by_caller) &&
            Write("events/sched/sched_switch/filter", by_switch);
  for (const char* event : kEvents)
    ok = ok && Write(std::string("events/") + event + "/enable", "1");
  ok = ok && Write("trace", "") && Write("tracing_on", "1");
  if (!ok) {
    *why_not = "cannot set up tracing in " + dir;
    Remove();
  }
  return ok;
}

bool ThreadUserTimeTracer::Stop(uint64_t* user_ns, uint64_t* run_ns,
                                std::string* why_not) {
  if (dir_.empty()) {
    *why_not = "not tracing";
    return false;
  }
  Write("tracing_on", "0");
  std::ifstream trace(dir_ + "/trace");
  UserTimeAccount account(tids_);
  std::string line;
  bool lost = false;
  while (std::getline(trace, line)) {
    if (account.Feed(line)) continue;
    // "# entries-in-buffer/entries-written: 10/12" means 2 overwritten.
    unsigned long long kept = 0, written = 0;
    if (sscanf(line.c_str(), "# entries-in-buffer/entries-written: %llu/%llu",
               &kept, &written) == 2 &&
        kept != written) {
      lost = true;
    }
    if (line.find("LOST") != std::string::npos) lost = true;
  }
  trace.close();  // an instance with an open file cannot be removed
  Remove();
  *user_ns = account.user_ns();
  *run_ns = account.run_ns();
  if (lost) *why_not = "the trace buffer overflowed";
  return !lost;
}

}  // namespace kavex::bench
