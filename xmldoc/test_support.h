// Helpers shared by the library's tests.
#ifndef KAVEX_XMLDOC_TEST_SUPPORT_H_
#define KAVEX_XMLDOC_TEST_SUPPORT_H_

#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/com/bstr.h"
#include "xmldoc/xdomlib.h"

namespace kavex::xmldoc {

// A directory of its own for each test, removed afterwards.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/xmldoc-test-XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    if (DIR* dir = opendir(path_.c_str())) {
      while (dirent* e = readdir(dir)) {
        std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
      }
      closedir(dir);
    }
    return names;
  }

 private:
  std::string path_;
};

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline std::u16string U16(const std::string& utf8) {
  return text::Utf8ToUtf16(utf8);
}

// Text() as a string, freeing the BSTR.
inline std::u16string TextOf(CXNode& node) {
  com::Bstr text;
  text.Attach(node.Text());
  return std::u16string(text.View());
}

inline std::u16string Description(const CXNode& node) {
  return node.ErrorDescription();
}

}  // namespace kavex::xmldoc

#endif  // KAVEX_XMLDOC_TEST_SUPPORT_H_
