// Whole files, the way the registry and the XML library keep their data:
// read at once with a size limit, replaced atomically, written under an
// advisory lock. Every call returns a Win32 error number (ERROR_SUCCESS on
// success) from one errno mapping, Win32ErrorFromErrno.
//
// Files are meant to live in directories only their owner can write (see
// private_directory.h); the calls still defend themselves against a
// neighbour who can: temporary files get unpredictable names created with
// O_EXCL|O_NOFOLLOW, lock files are never opened through a symbolic link,
// and a symbolic link at a target is followed only when it belongs to the
// caller or to root.
#ifndef KAVEX_PLATFORM_FILE_FILE_H_
#define KAVEX_PLATFORM_FILE_FILE_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/base/types.h"
#include "platform/file/system_calls.h"

namespace kavex::file {

// The Win32 error for an errno value (ERROR_GEN_FAILURE for one without a
// closer match; 0 gives ERROR_SUCCESS).
DWORD Win32ErrorFromErrno(int error);

// What tells one version of a file from the next: a replaced file has a new
// inode and a later modification time, so a reader that remembers this
// re-reads exactly when the file changed.
struct FileIdentity {
  bool exists = false;
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  int64_t mtime_ns = 0;
  bool operator==(const FileIdentity&) const = default;
};
FileIdentity IdentityOf(const struct stat& st);

// The identity of the file at `path` (symbolic links followed):
// ERROR_FILE_NOT_FOUND when there is none.
DWORD StatFile(const std::string& path, FileIdentity* identity);

// Reads the whole of the regular file at `path` into *bytes. A directory
// gives ERROR_ACCESS_DENIED, a pipe, socket or device ERROR_BAD_FILE_TYPE
// (without waiting for a writer), a file of more than `max_bytes`
// ERROR_FILE_TOO_LARGE before anything is read. `identity` (may be null)
// receives the identity of the version read.
DWORD ReadWholeFile(const std::string& path, size_t max_bytes,
                    std::string* bytes, FileIdentity* identity = nullptr);

struct ReplaceOptions {
  // The mode of a file that did not exist before, whatever the umask. A
  // replaced file keeps its own mode (without set-id bits) and, where the
  // caller may give it, its owner and group.
  mode_t new_file_mode = 0644;
};

struct ReplaceResult {
  FileIdentity identity;  // of the new version; exists false if unknown
  // False when the directory could not be flushed after the rename: the new
  // content is complete and visible, but a power cut might still bring the
  // old version back.
  bool directory_synced = false;
};

// Replaces the regular file at `path`, or creates it, with `bytes`. A
// symbolic link at `path` is followed to the file it names when the link is
// owned by the caller or by root; another user's link gives
// ERROR_ACCESS_DENIED, a dangling link or a loop ERROR_CANT_RESOLVE_FILENAME,
// a directory ERROR_ACCESS_DENIED and any other kind of file
// ERROR_BAD_FILE_TYPE.
//
// The content goes to a new temporary file beside the target, which is
// flushed and only then renamed over it, and the directory is flushed after
// the rename: a reader, a crash or a full disk sees the old file or the new
// one, never a mixture. On any failure the temporary file is removed and the
// old file is left byte for byte as it was. After a successful replace,
// temporary files of the same target left behind by writers that were
// killed are removed; a writer at work holds a lock on its temporary file,
// which keeps it from being taken for one (on a file system without locks
// nothing is taken for one). The new version's modification time is later than the
// old one's even within the file system's time granularity.
DWORD ReplaceFile(const std::string& path, std::string_view bytes,
                  const ReplaceOptions& options = {},
                  ReplaceResult* result = nullptr);

// Waits for an exclusive advisory lock (flock) on the lock file at `path`,
// creating it (mode 0600) if needed, and holds it while *lock stays open. A
// symbolic link at `path` is refused and never created through
// (ERROR_CANT_RESOLVE_FILENAME, or ERROR_ACCESS_DENIED where the kernel
// refuses another user's link in a shared directory first), and so is
// anything but a regular file (ERROR_BAD_FILE_TYPE).
DWORD AcquireExclusiveLock(const std::string& path, UniqueFd* lock);

// Creates `path` and its missing parents as directories of exactly `mode`
// (whatever the umask); existing ones are left as they are. A component that
// exists and is not a directory gives ERROR_PATH_NOT_FOUND.
DWORD CreateDirectories(const std::string& path, mode_t mode);

// `path` with every symbolic link, "." and ".." resolved, as an absolute
// path (a relative one starts at the working directory). Every component
// must exist (ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND); a loop of links
// gives ERROR_CANT_RESOLVE_FILENAME.
DWORD CanonicalPath(const std::string& path, std::string* canonical);

// "/a/b" for "/a/b/c", "/" for "/c", "." for "c".
std::string DirectoryOf(const std::string& path);
// "c" for "/a/b/c".
std::string BaseNameOf(const std::string& path);

}  // namespace kavex::file

#endif  // KAVEX_PLATFORM_FILE_FILE_H_
