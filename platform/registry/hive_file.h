// One hive file on disk, shared safely between processes.
//
// Readers re-read the file only when it changed (device, inode, size and
// modification time differ); writers never modify it in place: they take an
// exclusive lock on "<file>.lock", re-read the file, apply their change and
// replace the file atomically (platform/file). A reader thus always sees a
// whole file, and no writer loses another's change.
//
// The directory of the hive must be private to its owner and root (see
// platform/file/private_directory.h): a hive in a directory that other users
// can write is neither read nor written, since they could swap the file or
// what it points to at will.
#ifndef KAVEX_PLATFORM_REGISTRY_HIVE_FILE_H_
#define KAVEX_PLATFORM_REGISTRY_HIVE_FILE_H_

#include <functional>
#include <string>

#include "platform/base/types.h"
#include "platform/file/file.h"
#include "platform/registry/hive.h"

namespace kavex::registry {

// A change function's result that means "nothing to write".
constexpr LONG kUnchanged = -1;

// A hive larger than this is taken for a damaged one rather than read into
// memory.
constexpr size_t kMaxHiveBytes = size_t{64} << 20;

class HiveFile {
 public:
  HiveFile(std::string path, std::string title)
      : path_(std::move(path)), title_(std::move(title)) {}

  // Brings root() up to date with the file: ERROR_SUCCESS, ERROR_BADDB for a
  // damaged file (reported once in the log with file and line),
  // ERROR_ACCESS_DENIED for an unreadable file or a directory that is not
  // private (reported once with the fix), or ERROR_CANTREAD. A missing file
  // is an empty hive.
  LONG Refresh();
  const Key& root() const { return root_; }

  // Applies `change` to the current content and writes the result. `change`
  // returns ERROR_SUCCESS to write, kUnchanged to skip writing, or an error
  // (it must then leave the content as it was). A damaged file is never
  // written over: ERROR_BADDB. A failed write leaves the file as it was and
  // gives ERROR_ACCESS_DENIED or ERROR_CANTWRITE (the cause is logged).
  LONG Modify(const std::function<LONG(Key&)>& change);

  const std::string& path() const { return path_; }

 private:
  // ERROR_SUCCESS when the hive's directory is private, else
  // ERROR_ACCESS_DENIED (logged once per problem).
  LONG CheckDirectory();
  LONG Write();

  std::string path_;
  std::string title_;
  Key root_;
  bool loaded_ = false;
  bool damaged_ = false;
  file::FileIdentity identity_;
  std::string reported_;  // the last problem logged, so it is logged once
};

}  // namespace kavex::registry

#endif  // KAVEX_PLATFORM_REGISTRY_HIVE_FILE_H_
