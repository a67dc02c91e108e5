#include "platform/file/testing/fault_injector.h"

#include <errno.h>

#include <cstdlib>
#include <mutex>
#include <utility>

#include "platform/file/system_calls.h"

namespace kavex::file::testing {
namespace {

constexpr int kKinds = static_cast<int>(Call::kAny) + 1;

struct Plan {
  Call call;
  int at;  // the count of `call` (or of all calls) that it aims at
  int error;
  std::function<void()> action;  // null: fail with `error`
};

struct State {
  std::mutex mu;
  bool installed = false;
  int counts[kKinds] = {};
  std::vector<Call> calls;
  std::vector<Plan> plans;
  size_t write_limit = 0;
};

State& GetState() {
  static State* state = new State;  // used by forked children during exit
  return *state;
}

// Counts the call, runs the actions aimed at it and tells whether it fails.
bool Intercept(Call call, int* error) {
  State& s = GetState();
  std::vector<std::function<void()>> actions;
  bool fail = false;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    const int nth = ++s.counts[static_cast<int>(call)];
    const int nth_any = ++s.counts[static_cast<int>(Call::kAny)];
    s.calls.push_back(call);
    for (auto it = s.plans.begin(); it != s.plans.end();) {
      const bool hit = (it->call == call && it->at == nth) ||
                       (it->call == Call::kAny && it->at == nth_any);
      if (!hit) {
        ++it;
        continue;
      }
      if (it->action) {
        actions.push_back(std::move(it->action));
      } else if (!fail) {
        fail = true;
        *error = it->error;
      }
      it = s.plans.erase(it);
    }
  }
  for (auto& action : actions) action();
  return fail;
}

const SystemCalls& Real() { return RealSystemCalls(); }

template <class T>
T Failed(int error, T value) {
  errno = error;
  return value;
}

int Open(const char* path, int flags, mode_t mode) {
  int e;
  return Intercept(Call::kOpen, &e) ? Failed(e, -1)
                                    : Real().open(path, flags, mode);
}
int Close(int fd) {
  int e;
  const bool fail = Intercept(Call::kClose, &e);
  const int rc = Real().close(fd);
  return fail ? Failed(e, -1) : rc;
}
ssize_t Read(int fd, void* buffer, size_t size) {
  int e;
  return Intercept(Call::kRead, &e) ? Failed(e, ssize_t{-1})
                                    : Real().read(fd, buffer, size);
}
ssize_t Write(int fd, const void* data, size_t size) {
  int e;
  if (Intercept(Call::kWrite, &e)) return Failed(e, ssize_t{-1});
  size_t limit;
  {
    std::lock_guard<std::mutex> lock(GetState().mu);
    limit = GetState().write_limit;
  }
  if (limit != 0 && size > limit) size = limit;
  return Real().write(fd, data, size);
}
int Fstat(int fd, struct stat* st) {
  int e;
  return Intercept(Call::kFstat, &e) ? Failed(e, -1) : Real().fstat(fd, st);
}
int Stat(const char* path, struct stat* st) {
  int e;
  return Intercept(Call::kStat, &e) ? Failed(e, -1) : Real().stat(path, st);
}
int Lstat(const char* path, struct stat* st) {
  int e;
  return Intercept(Call::kLstat, &e) ? Failed(e, -1) : Real().lstat(path, st);
}
int Fsync(int fd) {
  int e;
  return Intercept(Call::kFsync, &e) ? Failed(e, -1) : Real().fsync(fd);
}
int Fchmod(int fd, mode_t mode) {
  int e;
  return Intercept(Call::kFchmod, &e) ? Failed(e, -1) : Real().fchmod(fd, mode);
}
int Fchown(int fd, uid_t owner, gid_t group) {
  int e;
  return Intercept(Call::kFchown, &e) ? Failed(e, -1)
                                      : Real().fchown(fd, owner, group);
}
int Futimens(int fd, const struct timespec times[2]) {
  int e;
  return Intercept(Call::kFutimens, &e) ? Failed(e, -1)
                                        : Real().futimens(fd, times);
}
int Rename(const char* from, const char* to) {
  int e;
  return Intercept(Call::kRename, &e) ? Failed(e, -1) : Real().rename(from, to);
}
int Unlink(const char* path) {
  int e;
  return Intercept(Call::kUnlink, &e) ? Failed(e, -1) : Real().unlink(path);
}
int Mkdir(const char* path, mode_t mode) {
  int e;
  return Intercept(Call::kMkdir, &e) ? Failed(e, -1) : Real().mkdir(path, mode);
}
int Flock(int fd, int operation) {
  int e;
  return Intercept(Call::kFlock, &e) ? Failed(e, -1)
                                     : Real().flock(fd, operation);
}
ssize_t Readlink(const char* path, char* buffer, size_t size) {
  int e;
  return Intercept(Call::kReadlink, &e) ? Failed(e, ssize_t{-1})
                                        : Real().readlink(path, buffer, size);
}
char* Getcwd(char* buffer, size_t size) {
  int e;
  return Intercept(Call::kGetcwd, &e) ? Failed(e, static_cast<char*>(nullptr))
                                      : Real().getcwd(buffer, size);
}
DIR* Opendir(const char* path) {
  int e;
  return Intercept(Call::kOpendir, &e) ? Failed(e, static_cast<DIR*>(nullptr))
                                       : Real().opendir(path);
}
struct dirent* Readdir(DIR* dir) {
  int e;
  return Intercept(Call::kReaddir, &e)
             ? Failed(e, static_cast<struct dirent*>(nullptr))
             : Real().readdir(dir);
}
int Closedir(DIR* dir) {
  int e;
  const bool fail = Intercept(Call::kClosedir, &e);
  const int rc = Real().closedir(dir);
  return fail ? Failed(e, -1) : rc;
}

const SystemCalls kInjecting = {
    Open,  Close,    Read,   Write,    Fstat,   Stat,     Lstat,
    Fsync, Fchmod,   Fchown, Futimens, Rename,  Unlink,   Mkdir,
    Flock, Readlink, Getcwd, Opendir,  Readdir, Closedir,
};

}  // namespace

const char* CallName(Call call) {
  static const char* const kNames[kKinds] = {
      "open",  "close",    "read",   "write",    "fstat",   "stat",     "lstat",
      "fsync", "fchmod",   "fchown", "futimens", "rename",  "unlink",   "mkdir",
      "flock", "readlink", "getcwd", "opendir",  "readdir", "closedir", "any"};
  return kNames[static_cast<int>(call)];
}

FaultInjector::FaultInjector() {
  State& s = GetState();
  {
    std::lock_guard<std::mutex> lock(s.mu);
    if (s.installed) std::abort();  // one injector at a time
    s.installed = true;
  }
  Reset();
  SetSystemCalls(&kInjecting);
}

FaultInjector::~FaultInjector() {
  SetSystemCalls(nullptr);
  Reset();
  std::lock_guard<std::mutex> lock(GetState().mu);
  GetState().installed = false;
}

void FaultInjector::FailNth(Call call, int nth, int error) {
  State& s = GetState();
  std::lock_guard<std::mutex> lock(s.mu);
  s.plans.push_back(
      Plan{call, s.counts[static_cast<int>(call)] + nth, error, nullptr});
}

void FaultInjector::BeforeNth(Call call, int nth,
                              std::function<void()> action) {
  State& s = GetState();
  std::lock_guard<std::mutex> lock(s.mu);
  s.plans.push_back(
      Plan{call, s.counts[static_cast<int>(call)] + nth, 0, std::move(action)});
}

void FaultInjector::LimitWrites(size_t bytes) {
  std::lock_guard<std::mutex> lock(GetState().mu);
  GetState().write_limit = bytes;
}

void FaultInjector::Reset() {
  State& s = GetState();
  std::lock_guard<std::mutex> lock(s.mu);
  for (int& count : s.counts) count = 0;
  s.calls.clear();
  s.plans.clear();
  s.write_limit = 0;
}

int FaultInjector::Count(Call call) const {
  std::lock_guard<std::mutex> lock(GetState().mu);
  return GetState().counts[static_cast<int>(call)];
}

std::vector<Call> FaultInjector::Calls() const {
  std::lock_guard<std::mutex> lock(GetState().mu);
  return GetState().calls;
}

std::string FaultInjector::Trace() const {
  std::string trace;
  for (Call call : Calls()) {
    if (!trace.empty()) trace += ' ';
    trace += CallName(call);
  }
  return trace;
}

}  // namespace kavex::file::testing
