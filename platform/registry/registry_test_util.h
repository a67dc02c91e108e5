// A fresh KAVEX_REGISTRY_ROOT per test, removed afterwards.
#ifndef KAVEX_PLATFORM_REGISTRY_REGISTRY_TEST_UTIL_H_
#define KAVEX_PLATFORM_REGISTRY_REGISTRY_TEST_UTIL_H_

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "gtest/gtest.h"

namespace kavex::registry {

class RegistryRootTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kavex-registry-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    setenv("KAVEX_REGISTRY_ROOT", root_.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("KAVEX_REGISTRY_ROOT");
    std::filesystem::remove_all(root_);
  }
  std::string HivePath(const char* file = "HKLM.reg") const {
    return root_ + "/" + file;
  }
  std::string ReadHive(const char* file = "HKLM.reg") const {
    std::ifstream in(HivePath(file));
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  void WriteHive(const std::string& text, const char* file = "HKLM.reg") {
    std::ofstream(HivePath(file)) << text;
  }

  std::string root_;
};

}  // namespace kavex::registry

#endif  // KAVEX_PLATFORM_REGISTRY_REGISTRY_TEST_UTIL_H_
