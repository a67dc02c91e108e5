// Makes the file layer's system calls fail on purpose, for tests: "the
// third write fails with ENOSPC", "every write moves at most 16 bytes",
// "the seventh call of any kind fails with EIO", "run this just before the
// first rename". Installed for the injector's lifetime; one at a time.
//
// Calls are counted from the moment a plan is made, so a test may let a
// setup step run and then aim at the operation it examines. A failed call
// returns -1 (or null) with errno set and has no effect, except close and
// closedir, which release the descriptor and then report the failure, as
// the kernel does.
#ifndef KAVEX_PLATFORM_FILE_TESTING_FAULT_INJECTOR_H_
#define KAVEX_PLATFORM_FILE_TESTING_FAULT_INJECTOR_H_

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace kavex::file::testing {

enum class Call {
  kOpen,
  kClose,
  kRead,
  kWrite,
  kFstat,
  kStat,
  kLstat,
  kFsync,
  kFchmod,
  kFchown,
  kFutimens,
  kRename,
  kUnlink,
  kMkdir,
  kFlock,
  kReadlink,
  kGetcwd,
  kOpendir,
  kReaddir,
  kClosedir,
  kAny,  // in plans: a call of any kind
};
const char* CallName(Call call);

class FaultInjector {
 public:
  FaultInjector();
  ~FaultInjector();
  FaultInjector(const FaultInjector&) = delete;
  FaultInjector& operator=(const FaultInjector&) = delete;

  // The nth call (1 = the next one) of `call` from now fails with `error`.
  void FailNth(Call call, int nth, int error);
  // Runs `action` just before the nth call of `call` from now (it may block,
  // or end the process to stand for a writer that is killed).
  void BeforeNth(Call call, int nth, std::function<void()> action);
  // Every write from now moves at most `bytes` bytes; 0 lifts the limit.
  void LimitWrites(size_t bytes);
  // Forgets the plans and the calls counted so far.
  void Reset();

  int Count(Call call) const;  // kAny: all calls
  // The calls made since the last Reset, in order ("open write fsync ...").
  std::vector<Call> Calls() const;
  std::string Trace() const;
};

}  // namespace kavex::file::testing

#endif  // KAVEX_PLATFORM_FILE_TESTING_FAULT_INJECTOR_H_
