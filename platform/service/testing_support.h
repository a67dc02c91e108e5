// Helpers for the service layer's tests: a private temporary directory and
// a backend installed for one test.
#ifndef KAVEX_PLATFORM_SERVICE_TESTING_SUPPORT_H_
#define KAVEX_PLATFORM_SERVICE_TESTING_SUPPORT_H_

#include <ftw.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/service/backend.h"
#include "platform/service/fake_service_manager.h"

namespace kavex::service::testing {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it.
class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base && *base ? base : "/tmp") + "/kavex-service-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    if (!path_.empty())
      nftw(
          path_.c_str(),
          [](const char* p, const struct stat*, int, struct FTW*) {
            return remove(p);
          },
          16, FTW_DEPTH | FTW_PHYS);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Installs `factory` as the process's backend for its lifetime.
class ScopedBackendFactory {
 public:
  explicit ScopedBackendFactory(BackendFactory factory) {
    SetBackendFactoryForTesting(std::move(factory));
  }
  ~ScopedBackendFactory() { SetBackendFactoryForTesting(nullptr); }
  ScopedBackendFactory(const ScopedBackendFactory&) = delete;
  ScopedBackendFactory& operator=(const ScopedBackendFactory&) = delete;
};

inline BackendFactory FakeFactory(const std::string& directory) {
  return [directory](std::unique_ptr<Backend>* backend) {
    return FakeServiceManager::Connect(directory, backend);
  };
}

}  // namespace kavex::service::testing

#endif  // KAVEX_PLATFORM_SERVICE_TESTING_SUPPORT_H_
