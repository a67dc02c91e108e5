// A fresh directory for one test (mkdtemp, mode 0700), removed with
// everything in it afterwards.
#ifndef KAVEX_PLATFORM_FILE_TESTING_SCRATCH_DIRECTORY_H_
#define KAVEX_PLATFORM_FILE_TESTING_SCRATCH_DIRECTORY_H_

#include <dirent.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace kavex::file::testing {

// The names in `dir`, sorted.
inline std::vector<std::string> ListDirectory(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* listing = opendir(dir.c_str())) {
    while (dirent* entry = readdir(listing)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(listing);
  }
  std::sort(names.begin(), names.end());
  return names;
}

class ScratchDirectory {
 public:
  ScratchDirectory() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "kavex-file-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~ScratchDirectory() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  // The names in `dir` (the scratch directory itself by default), sorted.
  std::vector<std::string> Entries(const std::string& dir = {}) const {
    return ListDirectory(dir.empty() ? path_ : dir);
  }

 private:
  std::string path_;
};

inline void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace kavex::file::testing

#endif  // KAVEX_PLATFORM_FILE_TESTING_SCRATCH_DIRECTORY_H_
