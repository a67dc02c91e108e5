#include "server/objects/trace_log.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/base/results.h"
#include "platform/registry/registry.h"

namespace kavex::server {
namespace {

// Each test runs in a fresh directory that is also the registry root, so
// the trace file lands there.
class TraceLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kavex-trace-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    setenv("KAVEX_REGISTRY_ROOT", dir_.c_str(), 1);
    old_cwd_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
    SetTraceLevel(0);
    SetTraceTimeSourceForTesting(
        [] { return TraceTime{3, 7, 2026, 9, 5, 4, 21}; });
  }
  void TearDown() override {
    SetTraceTimeSourceForTesting(nullptr);
    SetTraceLevel(0);
    std::filesystem::current_path(old_cwd_);
    unsetenv("KAVEX_REGISTRY_ROOT");
    std::filesystem::remove_all(dir_);
  }
  void SetLevelValue(const std::string& text, DWORD type = REG_SZ) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kavex OPC", 0,
                              nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "Logging Level", 0, type,
                             reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>(text.size() + 1)),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }
  std::string File() const {
    std::ifstream in(dir_ + "/" + kTraceFileName);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  bool FileExists() const {
    return std::filesystem::exists(dir_ + "/" + kTraceFileName);
  }

  std::string dir_;
  std::filesystem::path old_cwd_;
};

TEST_F(TraceLogTest, LineLayoutWithObjectErrorAndDetail) {
  const void* object = reinterpret_cast<const void*>(0x7F12ABCD1234ull);
  EXPECT_EQ(FormatTraceLine({3, 7, 2026, 9, 5, 4, 21}, object, E_INVALIDARG,
                            "CServer::AddGroup: Error", "Line"),
            "03/07/2026 09:05:04.021: [0xABCD1234] [Error: 0x80070057] "
            "CServer::AddGroup: Error 'Line'\n");
  EXPECT_EQ(FormatTraceLine({12, 31, 2026, 23, 59, 59, 999}, nullptr, S_OK,
                            "CServer::GetStatus: Done", ""),
            "12/31/2026 23:59:59.999: CServer::GetStatus: Done\n");
}

TEST_F(TraceLogTest, LevelZeroCreatesNoFile) {
  ReadTraceLevel();  // no key: stays 0
  Trace(kTraceTermination, nullptr, 0, "CServer::FinalRelease: Terminating");
  EXPECT_FALSE(FileExists());
}

TEST_F(TraceLogTest, LevelFourWritesDoneAndThreadLinesButNoSteps) {
  SetLevelValue("4");
  ReadTraceLevel();
  EXPECT_EQ(TraceLevel(), 4);
  Trace(kTraceStep, nullptr, 0, "CServer::AddGroup: Create New Group", "G");
  Trace(kTraceDone, nullptr, 0, "CServer::AddGroup: Done");
  Trace(kTraceError, nullptr, E_INVALIDARG, "CServer::AddGroup: Error");
  Trace(kTraceDetail, nullptr, 0, "CServer::Change", u"SW1.P1.Speed");
  EXPECT_EQ(File(),
            "03/07/2026 09:05:04.021: CServer::AddGroup: Done\n"
            "03/07/2026 09:05:04.021: [Error: 0x80070057] "
            "CServer::AddGroup: Error\n");
}

TEST_F(TraceLogTest, UnreadableLevelsLeaveTheLevelAsItWas) {
  SetTraceLevel(3);
  SetLevelValue("verbose");
  ReadTraceLevel();
  EXPECT_EQ(TraceLevel(), 3);
  SetLevelValue("6", REG_BINARY);
  ReadTraceLevel();
  EXPECT_EQ(TraceLevel(), 3);
  SetLevelValue(std::string(60, '5'));  // longer than the 50-byte buffer
  ReadTraceLevel();
  EXPECT_EQ(TraceLevel(), 3);
  SetLevelValue("99999999999");  // does not fit 32 bits
  ReadTraceLevel();
  EXPECT_EQ(TraceLevel(), 3);
  SetLevelValue("6");
  ReadTraceLevel();
  EXPECT_EQ(TraceLevel(), 6);
}

TEST_F(TraceLogTest, UnopenableFileLosesTheLineAndNothingElse) {
  SetTraceLevel(6);
  std::filesystem::create_directory(dir_ + "/" + kTraceFileName);
  Trace(kTraceDone, nullptr, 0, "CServer::GetStatus: Done");  // no crash
  EXPECT_TRUE(std::filesystem::is_directory(dir_ + "/" + kTraceFileName));
}

TEST_F(TraceLogTest, ConcurrentWritersKeepLinesWhole) {
  SetTraceLevel(6);
  constexpr int kThreads = 4, kLines = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i)
        Trace(kTraceDone, nullptr, 0, "CGroup::Read (Sync): Done",
              "thread " + std::to_string(t));
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::istringstream lines(File());
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    ++count;
    EXPECT_EQ(line.rfind("03/07/2026 09:05:04.021: CGroup::Read (Sync): Done "
                         "'thread ",
                         0),
              0u)
        << line;
  }
  EXPECT_EQ(count, kThreads * kLines);
}

TEST_F(TraceLogTest, LibraryChatterAsOneMoreSink) {
  SetTraceLevel(3);
  log::ScopedSink sink(TraceFileSink());
  log::Log(log::Level::kInfo, "pkio", "link up");  // needs level 5
  log::Log(log::Level::kWarning, "pkio", "link down on veth0");
  EXPECT_EQ(File(), "03/07/2026 09:05:04.021: pkio: link down on veth0\n");
}

}  // namespace
}  // namespace kavex::server
