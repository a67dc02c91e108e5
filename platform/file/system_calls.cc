#include "platform/file/system_calls.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>

namespace kavex::file {
namespace {

int RealOpen(const char* path, int flags, mode_t mode) {
  return ::open(path, flags, mode);
}

const SystemCalls kReal = {
    RealOpen, ::close,    ::read,   ::write,    ::fstat,   ::stat,     ::lstat,
    ::fsync,  ::fchmod,   ::fchown, ::futimens, ::rename,  ::unlink,   ::mkdir,
    ::flock,  ::readlink, ::getcwd, ::opendir,  ::readdir, ::closedir,
};

std::atomic<const SystemCalls*> installed{&kReal};

}  // namespace

const SystemCalls& RealSystemCalls() { return kReal; }

const SystemCalls& Sys() { return *installed.load(std::memory_order_acquire); }

void SetSystemCalls(const SystemCalls* calls) {
  installed.store(calls != nullptr ? calls : &kReal, std::memory_order_release);
}

}  // namespace kavex::file
