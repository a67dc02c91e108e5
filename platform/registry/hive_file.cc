#include "platform/registry/hive_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/base/results.h"

namespace kavex::registry {
namespace {

// Closes a file descriptor on every path out.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

bool MakeDirectories(const std::string& dir) {
  if (dir.empty()) return true;
  struct stat st;
  if (stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  size_t slash = dir.find_last_of('/');
  if (slash != std::string::npos && slash > 0 &&
      !MakeDirectories(dir.substr(0, slash)))
    return false;
  return mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST;
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

LONG ErrnoToError(int err, LONG fallback) {
  return (err == EACCES || err == EPERM || err == EROFS) ? ERROR_ACCESS_DENIED
                                                         : fallback;
}

}  // namespace

LONG HiveFile::Refresh() {
  Fd fd(open(path_.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno != ENOENT) return ErrnoToError(errno, ERROR_CANTREAD);
    if (!loaded_ || identity_.exists) {
      root_.Clear();
      identity_ = Identity{};
      damaged_ = false;
      loaded_ = true;
    }
    return ERROR_SUCCESS;
  }
  struct stat st;
  if (fstat(fd.get(), &st) != 0) return ERROR_CANTREAD;
  Identity now{true, st.st_dev, st.st_ino, st.st_size,
               int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec};
  if (loaded_ && now == identity_)
    return damaged_ ? ERROR_BADDB : ERROR_SUCCESS;

  std::string text;
  char buffer[65536];
  for (;;) {
    ssize_t n = read(fd.get(), buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return ERROR_CANTREAD;
    if (n == 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  ParseError error;
  loaded_ = true;
  identity_ = now;
  damaged_ = !ParseHive(text, &root_, &error);
  if (damaged_) {
    root_.Clear();
    fprintf(stderr,
            "kavex registry: %s:%d: %s; the hive is unusable and will not be "
            "written until the line is fixed\n",
            path_.c_str(), error.line, error.message.c_str());
    return ERROR_BADDB;
  }
  return ERROR_SUCCESS;
}

LONG HiveFile::Modify(const std::function<LONG(Key&)>& change) {
  if (!MakeDirectories(DirectoryOf(path_)))
    return ErrnoToError(errno, ERROR_CANTWRITE);
  std::string lock_path = path_ + ".lock";
  Fd lock(open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (lock.get() < 0) return ErrnoToError(errno, ERROR_CANTWRITE);
  while (flock(lock.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return ERROR_CANTWRITE;
  }
  // The lock is released when `lock` closes. Under it the file is always read
  // again: a change must apply to exactly the content it replaces.
  loaded_ = false;
  LONG rc = Refresh();
  if (rc != ERROR_SUCCESS) return rc;
  rc = change(root_);
  if (rc == kUnchanged) return ERROR_SUCCESS;
  if (rc != ERROR_SUCCESS) return rc;
  rc = Write();
  if (rc != ERROR_SUCCESS) loaded_ = false;  // memory is ahead of the file
  return rc;
}

LONG HiveFile::Write() {
  std::string tmp_path = path_ + ".tmp";
  Fd fd(open(tmp_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (fd.get() < 0) return ErrnoToError(errno, ERROR_CANTWRITE);
  std::string text = SerializeHive(root_, title_);
  // Each version gets a later modification time than the one it replaces,
  // even within the file system's time granularity, so readers that compare
  // (inode, size, mtime) cannot mistake a new version for the old one when
  // an inode number is reused.
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  int64_t mtime_ns = int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
  if (identity_.exists && mtime_ns <= identity_.mtime_ns)
    mtime_ns = identity_.mtime_ns + 1;
  timespec times[2] = {now,
                       {static_cast<time_t>(mtime_ns / 1000000000),
                        static_cast<long>(mtime_ns % 1000000000)}};
  if (!WriteAll(fd.get(), text) || futimens(fd.get(), times) != 0 ||
      fsync(fd.get()) != 0 || rename(tmp_path.c_str(), path_.c_str()) != 0) {
    int err = errno;
    unlink(tmp_path.c_str());
    return ErrnoToError(err, ERROR_CANTWRITE);
  }
  // Make the rename itself durable.
  Fd dir(open(DirectoryOf(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) fsync(dir.get());
  struct stat st;
  if (fstat(fd.get(), &st) != 0) {
    loaded_ = false;
    return ERROR_SUCCESS;
  }
  identity_ =
      Identity{true, st.st_dev, st.st_ino, st.st_size,
               int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec};
  damaged_ = false;
  return ERROR_SUCCESS;
}

}  // namespace kavex::registry
