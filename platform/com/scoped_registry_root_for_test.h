// Points the registry at a fresh temporary directory for one test and
// removes it afterwards.
#ifndef KAVEX_PLATFORM_COM_SCOPED_REGISTRY_ROOT_FOR_TEST_H_
#define KAVEX_PLATFORM_COM_SCOPED_REGISTRY_ROOT_FOR_TEST_H_

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace kavex::com {

class ScopedRegistryRootForTest {
 public:
  ScopedRegistryRootForTest() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "kavex-com-XXXXXX").string();
    dir_ = mkdtemp(pattern.data()) ? pattern : std::string();
    if (const char* old = getenv("KAVEX_REGISTRY_ROOT")) previous_ = old;
    setenv("KAVEX_REGISTRY_ROOT", dir_.c_str(), 1);
  }
  ~ScopedRegistryRootForTest() {
    if (previous_.empty())
      unsetenv("KAVEX_REGISTRY_ROOT");
    else
      setenv("KAVEX_REGISTRY_ROOT", previous_.c_str(), 1);
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
  }
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
  std::string previous_;
};

}  // namespace kavex::com

#endif  // KAVEX_PLATFORM_COM_SCOPED_REGISTRY_ROOT_FOR_TEST_H_
