// The system calls the file layer makes, as one replaceable table, and the
// descriptor that closes itself through it.
//
// Every call of platform/file goes through the installed table, so a test
// can make any one of them fail (testing/fault_injector.h) and watch what the
// registry or the XML library do about it. The table is process-wide (the
// library is shared); installing one is not synchronised with calls in
// flight, so tests install it while no file operation runs.
#ifndef KAVEX_PLATFORM_FILE_SYSTEM_CALLS_H_
#define KAVEX_PLATFORM_FILE_SYSTEM_CALLS_H_

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include "platform/base/unique_handle.h"

namespace kavex::file {

// Each entry has the signature and the errno contract of the POSIX call of
// the same name (open takes its mode always).
struct SystemCalls {
  int (*open)(const char* path, int flags, mode_t mode);
  int (*close)(int fd);
  ssize_t (*read)(int fd, void* buffer, size_t size);
  ssize_t (*write)(int fd, const void* data, size_t size);
  int (*fstat)(int fd, struct stat* st);
  int (*stat)(const char* path, struct stat* st);
  int (*lstat)(const char* path, struct stat* st);
  int (*fsync)(int fd);
  int (*fchmod)(int fd, mode_t mode);
  int (*fchown)(int fd, uid_t owner, gid_t group);
  int (*futimens)(int fd, const struct timespec times[2]);
  int (*rename)(const char* from, const char* to);
  int (*unlink)(const char* path);
  int (*mkdir)(const char* path, mode_t mode);
  int (*flock)(int fd, int operation);
  ssize_t (*readlink)(const char* path, char* buffer, size_t size);
  char* (*getcwd)(char* buffer, size_t size);
  DIR* (*opendir)(const char* path);
  struct dirent* (*readdir)(DIR* dir);
  int (*closedir)(DIR* dir);
};

// The C library's calls.
const SystemCalls& RealSystemCalls();
// The table in use: the real one unless a test installed another.
const SystemCalls& Sys();
// Installs `calls` (kept by reference: it must outlive its use); nullptr
// restores the real table.
void SetSystemCalls(const SystemCalls* calls);

struct FdTraits {
  static int Invalid() { return -1; }
  static void Close(int fd) { Sys().close(fd); }
};
// An open file descriptor, closed when it goes.
using UniqueFd = BasicUniqueHandle<FdTraits>;

}  // namespace kavex::file

#endif  // KAVEX_PLATFORM_FILE_SYSTEM_CALLS_H_
