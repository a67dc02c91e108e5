#include "xmldoc/xml_file.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <new>
#include <utility>

#include "platform/base/results.h"

namespace kavex::xmldoc {
namespace {

const FileSystemCalls kRealCalls = {::write, ::fsync, ::rename};
std::atomic<const FileSystemCalls*> calls{&kRealCalls};

HRESULT FromErrno(int error) {
  switch (error) {
    case ENOENT:
      return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    case ENOTDIR:
      return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return E_ACCESSDENIED;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return STG_E_MEDIUMFULL;
    case ENOMEM:
      return E_OUTOFMEMORY;
    case ENAMETOOLONG:
      return HRESULT_FROM_WIN32(ERROR_BAD_PATHNAME);
    default:
      return E_FAIL;
  }
}

// Closes the descriptor on every path out.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  int Close() { return ::close(std::exchange(fd_, -1)); }

 private:
  int fd_;
};

// Where the new content really goes: through a symbolic link to its target.
std::string ResolveTarget(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) == nullptr) return path;
  return resolved;
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

HRESULT WriteAll(const FileSystemCalls& fs, int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = fs.write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return FromErrno(errno);
    }
    if (n == 0) return STG_E_MEDIUMFULL;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return S_OK;
}

}  // namespace

void SetFileSystemCallsForTesting(const FileSystemCalls* replacement) {
  calls.store(replacement ? replacement : &kRealCalls);
}

HRESULT ReadXmlFile(const std::string& path, std::string* bytes) {
  bytes->clear();
  if (path.empty()) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
  // Non-blocking so that naming a pipe cannot hang the caller.
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) return FromErrno(errno);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return FromErrno(errno);
  if (S_ISDIR(st.st_mode)) return E_ACCESSDENIED;
  if (!S_ISREG(st.st_mode)) return E_FAIL;
  if (static_cast<uint64_t>(st.st_size) > kMaxXmlFileBytes)
    return E_OUTOFMEMORY;
  try {
    bytes->resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    for (;;) {
      // The file may have grown since fstat; read to its real end.
      if (got == bytes->size()) {
        if (bytes->size() >= kMaxXmlFileBytes) return E_OUTOFMEMORY;
        bytes->resize(bytes->size() + 4096);
      }
      ssize_t n = ::read(fd.get(), bytes->data() + got, bytes->size() - got);
      if (n < 0) {
        if (errno == EINTR) continue;
        return FromErrno(errno);
      }
      if (n == 0) break;
      got += static_cast<size_t>(n);
    }
    bytes->resize(got);
  } catch (const std::bad_alloc&) {
    bytes->clear();
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT ReplaceXmlFile(const std::string& path, std::string_view bytes) {
  if (path.empty()) return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
  const FileSystemCalls& fs = *calls.load();
  const std::string target = ResolveTarget(path);

  struct stat old;
  const bool replacing = ::stat(target.c_str(), &old) == 0;
  if (replacing && S_ISDIR(old.st_mode)) return E_ACCESSDENIED;

  // A new name beside the target, so that the rename stays on one file
  // system and is atomic.
  static std::atomic<unsigned> counter{0};
  std::string temp;
  int raw_fd = -1;
  for (int attempt = 0; attempt < 100 && raw_fd < 0; ++attempt) {
    temp = target + "." + std::to_string(::getpid()) + "-" +
           std::to_string(counter++) + ".tmp";
    raw_fd =
        ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (raw_fd < 0 && errno != EEXIST) return FromErrno(errno);
  }
  if (raw_fd < 0) return FromErrno(EEXIST);
  Fd fd(raw_fd);

  HRESULT hr = WriteAll(fs, fd.get(), bytes);
  if (SUCCEEDED(hr) && replacing) {
    // The operator's permissions on the file survive the save.
    ::fchmod(fd.get(), old.st_mode & 07777);
  }
  if (SUCCEEDED(hr) && fs.fsync(fd.get()) != 0) hr = FromErrno(errno);
  if (SUCCEEDED(hr) && fd.Close() != 0) hr = FromErrno(errno);
  if (SUCCEEDED(hr) && fs.rename(temp.c_str(), target.c_str()) != 0)
    hr = FromErrno(errno);
  if (FAILED(hr)) {
    ::unlink(temp.c_str());
    return hr;
  }
  // Make the rename itself durable; the content is complete either way.
  Fd dir(
      ::open(DirectoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) ::fsync(dir.get());
  return S_OK;
}

}  // namespace kavex::xmldoc
