#include "platform/file/file.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <new>
#include <utility>
#include <vector>

#include "platform/base/results.h"

namespace kavex::file {
namespace {

// As many links as the kernel follows in one path.
constexpr int kMaxLinks = 40;
constexpr int kMaxTemporaryAttempts = 100;
// A temporary file is "<target>.tmp-XXXXXX"; "<target>.tmp" is the fixed
// name older versions used and is cleaned up the same way.
constexpr std::string_view kTemporaryInfix = ".tmp-";
constexpr size_t kTemporarySuffixLength = 6;
constexpr size_t kReadStep = 64 * 1024;

DWORD LastError() { return Win32ErrorFromErrno(errno); }

std::string JoinPath(const std::string& dir, std::string_view name) {
  std::string path = dir;
  if (path.empty() || path.back() != '/') path.push_back('/');
  path.append(name);
  return path;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

int64_t MtimeNs(const struct stat& st) {
  return int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
}

uint64_t SplitMix64(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// Six letters and digits, different for every call in every process.
std::string RandomSuffix() {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  static std::atomic<uint64_t> counter{0};
  const uint64_t seed =
      (uint64_t{static_cast<uint32_t>(getpid())} << 32) ^
      static_cast<uint64_t>(
          std::chrono::steady_clock::now().time_since_epoch().count()) ^
      reinterpret_cast<uintptr_t>(&counter);
  uint64_t bits = SplitMix64(seed ^ SplitMix64(counter.fetch_add(1)));
  std::string suffix;
  for (size_t i = 0; i < kTemporarySuffixLength; ++i) {
    suffix.push_back(kAlphabet[bits % 62]);
    bits /= 62;
  }
  return suffix;
}

bool IsTemporaryNameOf(std::string_view name, std::string_view base) {
  if (name.size() < base.size() || name.substr(0, base.size()) != base)
    return false;
  name.remove_prefix(base.size());
  if (name == ".tmp") return true;
  if (name.size() != kTemporaryInfix.size() + kTemporarySuffixLength ||
      name.substr(0, kTemporaryInfix.size()) != kTemporaryInfix)
    return false;
  return std::all_of(name.begin() + kTemporaryInfix.size(), name.end(),
                     [](char c) {
                       return (c >= 'A' && c <= 'Z') ||
                              (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
                     });
}

// Inserts the components of `path` (empty ones included) before `where`.
void SplitInto(std::string_view path, std::deque<std::string>* parts,
               std::deque<std::string>::iterator where) {
  std::vector<std::string> split;
  size_t start = 0;
  for (;;) {
    const size_t slash = path.find('/', start);
    split.emplace_back(path.substr(start, slash - start));
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  parts->insert(where, split.begin(), split.end());
}

DWORD ReadLink(const std::string& path, std::string* target) {
  char buffer[PATH_MAX];
  ssize_t n = Sys().readlink(path.c_str(), buffer, sizeof(buffer));
  if (n < 0) return LastError();
  if (static_cast<size_t>(n) >= sizeof(buffer)) return ERROR_BAD_PATHNAME;
  target->assign(buffer, static_cast<size_t>(n));
  return ERROR_SUCCESS;
}

// The file a replace writes: `path`, or where the symbolic links there lead.
struct Target {
  std::string path;
  bool exists = false;
  struct stat st = {};
};

DWORD ResolveTarget(const std::string& path, Target* target) {
  const uid_t me = geteuid();
  std::string current = path;
  for (int links = 0;; ++links) {
    struct stat st;
    if (Sys().lstat(current.c_str(), &st) != 0) {
      if (errno != ENOENT) return LastError();
      // A new file, unless a link led here: a dangling link names a file
      // somewhere else that nobody meant to create.
      if (links > 0) return ERROR_CANT_RESOLVE_FILENAME;
      target->path = current;
      target->exists = false;
      return ERROR_SUCCESS;
    }
    if (S_ISLNK(st.st_mode)) {
      // The kernel's own protection against links planted in shared
      // directories does not cover a path resolved here, so only links the
      // caller or root made are followed.
      if (st.st_uid != 0 && st.st_uid != me) return ERROR_ACCESS_DENIED;
      if (links == kMaxLinks) return ERROR_CANT_RESOLVE_FILENAME;
      std::string link;
      if (DWORD rc = ReadLink(current, &link); rc != ERROR_SUCCESS) return rc;
      if (link.empty()) return ERROR_CANT_RESOLVE_FILENAME;
      current = link[0] == '/' ? link : JoinPath(DirectoryOf(current), link);
      continue;
    }
    if (S_ISDIR(st.st_mode)) return ERROR_ACCESS_DENIED;
    if (!S_ISREG(st.st_mode)) return ERROR_BAD_FILE_TYPE;
    target->path = current;
    target->exists = true;
    target->st = st;
    return ERROR_SUCCESS;
  }
}

// Creates a temporary file beside `target` and locks it. The lock is held
// until the file is renamed or removed, which is how a writer cleaning up
// after killed ones tells a live writer's file from a stale one.
DWORD CreateTemporary(const std::string& target, UniqueFd* fd,
                      std::string* name) {
  for (int attempt = 0; attempt < kMaxTemporaryAttempts; ++attempt) {
    std::string candidate =
        target + std::string(kTemporaryInfix) + RandomSuffix();
    UniqueFd file(Sys().open(
        candidate.c_str(),
        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600));
    if (!file) {
      if (errno == EEXIST) continue;
      return errno == ENOENT ? ERROR_PATH_NOT_FOUND : LastError();
    }
    if (Sys().flock(file.get(), LOCK_EX | LOCK_NB) != 0) {
      // A cleaner holds it for a moment and will remove it: take another.
      if (errno == EWOULDBLOCK) continue;
      // A file system without locks: write unlocked. Cleaners cannot lock
      // such files either, so they leave them alone.
      if (errno != ENOLCK && errno != EOPNOTSUPP && errno != EINVAL) {
        const DWORD rc = LastError();
        Sys().unlink(candidate.c_str());
        return rc;
      }
    }
    // A cleaner may have removed the name between the create and the lock.
    struct stat by_fd, by_name;
    if (Sys().fstat(file.get(), &by_fd) != 0 ||
        Sys().lstat(candidate.c_str(), &by_name) != 0) {
      if (errno == ENOENT) continue;
      const DWORD rc = LastError();
      Sys().unlink(candidate.c_str());
      return rc;
    }
    if (!SameFile(by_fd, by_name)) continue;
    *fd = std::move(file);
    *name = std::move(candidate);
    return ERROR_SUCCESS;
  }
  return ERROR_ALREADY_EXISTS;
}

DWORD WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = Sys().write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return LastError();
    }
    if (n == 0) return ERROR_DISK_FULL;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return ERROR_SUCCESS;
}

// Content, owner, mode and time of the new version, flushed to disk.
DWORD FillTemporary(int fd, std::string_view bytes, const Target& target,
                    const ReplaceOptions& options) {
  if (DWORD rc = WriteAll(fd, bytes); rc != ERROR_SUCCESS) return rc;
  mode_t mode = options.new_file_mode & 0777;
  if (target.exists) {
    mode = target.st.st_mode & 0777;
    // The owner first: a change of owner clears the set-id bits, and the
    // mode comes after. Only root may give a file away; anyone may keep a
    // group they belong to. Where that is not allowed the writer owns the
    // new version, as with any new file.
    const uid_t uid = target.st.st_uid;
    const gid_t gid = target.st.st_gid;
    if (geteuid() == 0 && (uid != 0 || gid != getegid())) {
      Sys().fchown(fd, uid, gid);
    } else if (geteuid() != 0 && gid != getegid()) {
      Sys().fchown(fd, static_cast<uid_t>(-1), gid);
    }
  }
  if (Sys().fchmod(fd, mode) != 0) return LastError();
  if (target.exists) {
    struct stat now;
    if (Sys().fstat(fd, &now) != 0) return LastError();
    const int64_t old_ns = MtimeNs(target.st);
    if (MtimeNs(now) <= old_ns) {
      const int64_t ns = old_ns + 1;
      const struct timespec times[2] = {{0, UTIME_OMIT},
                                        {static_cast<time_t>(ns / 1000000000),
                                         static_cast<long>(ns % 1000000000)}};
      if (Sys().futimens(fd, times) != 0) return LastError();
    }
  }
  if (Sys().fsync(fd) != 0) return LastError();
  return ERROR_SUCCESS;
}

bool SyncDirectory(const std::string& dir) {
  UniqueFd fd(Sys().open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
  return fd && Sys().fsync(fd.get()) == 0;
}

// Removes the temporary file at `path` unless a live writer holds it. A
// symbolic link at a temporary name is removed as well (only the link).
void RemoveIfStale(const std::string& path) {
  UniqueFd fd(
      Sys().open(path.c_str(),
                 O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0));
  if (!fd) {
    if (errno == ELOOP) Sys().unlink(path.c_str());
    return;
  }
  struct stat by_fd, by_name;
  if (Sys().fstat(fd.get(), &by_fd) != 0 || !S_ISREG(by_fd.st_mode)) return;
  if (Sys().flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return;
  if (Sys().lstat(path.c_str(), &by_name) != 0 || !SameFile(by_fd, by_name))
    return;
  Sys().unlink(path.c_str());
}

void RemoveStaleTemporaries(const std::string& target) {
  const std::string dir = DirectoryOf(target);
  const std::string base = BaseNameOf(target);
  std::vector<std::string> names;
  DIR* listing = Sys().opendir(dir.c_str());
  if (listing == nullptr) return;
  while (struct dirent* entry = Sys().readdir(listing)) {
    if (IsTemporaryNameOf(entry->d_name, base))
      names.emplace_back(entry->d_name);
  }
  Sys().closedir(listing);
  for (const std::string& name : names) RemoveIfStale(JoinPath(dir, name));
}

}  // namespace

DWORD Win32ErrorFromErrno(int error) {
  switch (error) {
    case 0:
      return ERROR_SUCCESS;
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return ERROR_ACCESS_DENIED;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case EXDEV:
      return ERROR_NOT_SAME_DEVICE;
    case EWOULDBLOCK:
    case ENOLCK:
      return ERROR_LOCK_VIOLATION;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case ENOSPC:
    case EDQUOT:
      return ERROR_DISK_FULL;
    case EFBIG:
      return ERROR_FILE_TOO_LARGE;
    case ENAMETOOLONG:
      return ERROR_BAD_PATHNAME;
    case EEXIST:
      return ERROR_ALREADY_EXISTS;
    case EBUSY:
    case ETXTBSY:
      return ERROR_BUSY;
    case ELOOP:
      return ERROR_CANT_RESOLVE_FILENAME;
    case ENXIO:
    case ENODEV:
      return ERROR_DEV_NOT_EXIST;
    case EOPNOTSUPP:
      return ERROR_NOT_SUPPORTED;
    default:
      return ERROR_GEN_FAILURE;
  }
}

FileIdentity IdentityOf(const struct stat& st) {
  return FileIdentity{true, st.st_dev, st.st_ino, st.st_size, MtimeNs(st)};
}

DWORD StatFile(const std::string& path, FileIdentity* identity) {
  *identity = FileIdentity{};
  struct stat st;
  if (Sys().stat(path.c_str(), &st) != 0) return LastError();
  *identity = IdentityOf(st);
  return ERROR_SUCCESS;
}

DWORD ReadWholeFile(const std::string& path, size_t max_bytes,
                    std::string* bytes, FileIdentity* identity) {
  bytes->clear();
  if (identity != nullptr) *identity = FileIdentity{};
  // Non-blocking, so that naming a pipe cannot hang the caller.
  UniqueFd fd(Sys().open(path.c_str(),
                         O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0));
  if (!fd) return LastError();
  struct stat st;
  if (Sys().fstat(fd.get(), &st) != 0) return LastError();
  if (S_ISDIR(st.st_mode)) return ERROR_ACCESS_DENIED;
  if (!S_ISREG(st.st_mode)) return ERROR_BAD_FILE_TYPE;
  if (static_cast<uint64_t>(st.st_size) > max_bytes)
    return ERROR_FILE_TOO_LARGE;
  // One byte beyond the limit tells a file that grew past it since fstat.
  const size_t cap = max_bytes == SIZE_MAX ? max_bytes : max_bytes + 1;
  try {
    bytes->resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    for (;;) {
      if (got == bytes->size()) {
        if (got >= cap) break;
        bytes->resize(std::min(cap, got + kReadStep));
      }
      ssize_t n =
          Sys().read(fd.get(), bytes->data() + got, bytes->size() - got);
      if (n < 0) {
        if (errno == EINTR) continue;
        const DWORD rc = LastError();
        bytes->clear();
        return rc;
      }
      if (n == 0) break;
      got += static_cast<size_t>(n);
    }
    bytes->resize(got);
    if (got > max_bytes) {
      bytes->clear();
      return ERROR_FILE_TOO_LARGE;
    }
  } catch (const std::bad_alloc&) {
    bytes->clear();
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  if (identity != nullptr) *identity = IdentityOf(st);
  return ERROR_SUCCESS;
}

DWORD ReplaceFile(const std::string& path, std::string_view bytes,
                  const ReplaceOptions& options, ReplaceResult* result) {
  if (result != nullptr) *result = ReplaceResult{};
  if (path.empty()) return ERROR_PATH_NOT_FOUND;
  Target target;
  if (DWORD rc = ResolveTarget(path, &target); rc != ERROR_SUCCESS) return rc;

  UniqueFd fd;
  std::string temporary;
  if (DWORD rc = CreateTemporary(target.path, &fd, &temporary);
      rc != ERROR_SUCCESS)
    return rc;
  DWORD rc = FillTemporary(fd.get(), bytes, target, options);
  // The descriptor, and with it the temporary file's lock, stays open across
  // the rename, so no cleaner can take the file away before it.
  if (rc == ERROR_SUCCESS &&
      Sys().rename(temporary.c_str(), target.path.c_str()) != 0)
    rc = LastError();
  if (rc != ERROR_SUCCESS) {
    Sys().unlink(temporary.c_str());
    return rc;
  }
  struct stat st;
  if (result != nullptr && Sys().fstat(fd.get(), &st) == 0)
    result->identity = IdentityOf(st);
  fd.reset();
  const bool synced = SyncDirectory(DirectoryOf(target.path));
  if (result != nullptr) result->directory_synced = synced;
  RemoveStaleTemporaries(target.path);
  return ERROR_SUCCESS;
}

DWORD AcquireExclusiveLock(const std::string& path, UniqueFd* lock) {
  lock->reset();
  UniqueFd fd(Sys().open(
      path.c_str(),
      O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0600));
  if (!fd) return errno == ENOENT ? ERROR_PATH_NOT_FOUND : LastError();
  struct stat st;
  if (Sys().fstat(fd.get(), &st) != 0) return LastError();
  if (!S_ISREG(st.st_mode)) return ERROR_BAD_FILE_TYPE;
  while (Sys().flock(fd.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return LastError();
  }
  *lock = std::move(fd);
  return ERROR_SUCCESS;
}

DWORD CreateDirectories(const std::string& path, mode_t mode) {
  if (path.empty()) return ERROR_PATH_NOT_FOUND;
  for (size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
    const std::string prefix = path.substr(0, end);
    struct stat st;
    if (!prefix.empty() && prefix.back() != '/') {
      if (Sys().stat(prefix.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) return ERROR_PATH_NOT_FOUND;
      } else if (errno != ENOENT) {
        return LastError();
      } else if (Sys().mkdir(prefix.c_str(), mode) != 0) {
        if (errno != EEXIST) return LastError();
        // Made by someone else meanwhile: fine if it is a directory.
        if (Sys().stat(prefix.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
          return ERROR_PATH_NOT_FOUND;
      } else {
        // Exactly `mode`, whatever the umask took from it.
        UniqueFd dir(Sys().open(prefix.c_str(),
                                O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC,
                                0));
        if (!dir || Sys().fchmod(dir.get(), mode) != 0) return LastError();
      }
    }
    if (end == std::string::npos) return ERROR_SUCCESS;
  }
}

DWORD CanonicalPath(const std::string& path, std::string* canonical) {
  canonical->clear();
  if (path.empty()) return ERROR_PATH_NOT_FOUND;
  std::deque<std::string> todo;
  SplitInto(path, &todo, todo.end());
  std::vector<std::string> resolved;
  if (path[0] != '/') {
    char cwd[PATH_MAX];
    if (Sys().getcwd(cwd, sizeof(cwd)) == nullptr) return LastError();
    std::deque<std::string> parts;
    SplitInto(cwd, &parts, parts.end());
    for (std::string& part : parts)
      if (!part.empty()) resolved.push_back(std::move(part));
  }
  auto joined = [&resolved] {
    std::string out;
    for (const std::string& part : resolved) out += "/" + part;
    return out.empty() ? std::string("/") : out;
  };
  int links = 0;
  while (!todo.empty()) {
    std::string part = std::move(todo.front());
    todo.pop_front();
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!resolved.empty()) resolved.pop_back();
      continue;
    }
    const std::string candidate = JoinPath(joined(), part);
    struct stat st;
    if (Sys().lstat(candidate.c_str(), &st) != 0) return LastError();
    if (S_ISLNK(st.st_mode)) {
      if (++links > kMaxLinks) return ERROR_CANT_RESOLVE_FILENAME;
      std::string link;
      if (DWORD rc = ReadLink(candidate, &link); rc != ERROR_SUCCESS) return rc;
      if (link.empty()) return ERROR_CANT_RESOLVE_FILENAME;
      if (link[0] == '/') resolved.clear();
      SplitInto(link, &todo, todo.begin());
      continue;
    }
    // A file in the middle of the path makes the next lstat fail (ENOTDIR).
    resolved.push_back(std::move(part));
  }
  *canonical = joined();
  return ERROR_SUCCESS;
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseNameOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace kavex::file
