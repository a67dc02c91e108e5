// One hive file on disk, shared safely between processes.
//
// Readers re-read the file only when it changed (device, inode, size and
// modification time differ); writers never modify it in place: they take an
// exclusive flock on "<file>.lock", re-read the file, apply their change,
// write "<file>.tmp", fsync it and rename it over the file. A reader thus
// always sees a whole file, and no writer loses another's change.
#ifndef KAVEX_PLATFORM_REGISTRY_HIVE_FILE_H_
#define KAVEX_PLATFORM_REGISTRY_HIVE_FILE_H_

#include <sys/types.h>

#include <functional>
#include <string>

#include "platform/base/types.h"
#include "platform/registry/hive.h"

namespace kavex::registry {

// A change function's result that means "nothing to write".
constexpr LONG kUnchanged = -1;

class HiveFile {
 public:
  HiveFile(std::string path, std::string title)
      : path_(std::move(path)), title_(std::move(title)) {}

  // Brings root() up to date with the file: ERROR_SUCCESS, ERROR_BADDB for a
  // damaged file (reported once on stderr with file and line), or
  // ERROR_CANTREAD. A missing file is an empty hive.
  LONG Refresh();
  const Key& root() const { return root_; }

  // Applies `change` to the current content and writes the result. `change`
  // returns ERROR_SUCCESS to write, kUnchanged to skip writing, or an error
  // (it must then leave the content as it was). A damaged file is never
  // written over: ERROR_BADDB.
  LONG Modify(const std::function<LONG(Key&)>& change);

  const std::string& path() const { return path_; }

 private:
  struct Identity {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    int64_t mtime_ns = 0;
    bool operator==(const Identity&) const = default;
  };
  LONG Write();

  std::string path_;
  std::string title_;
  Key root_;
  bool loaded_ = false;
  bool damaged_ = false;
  Identity identity_;
};

}  // namespace kavex::registry

#endif  // KAVEX_PLATFORM_REGISTRY_HIVE_FILE_H_
