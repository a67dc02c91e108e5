// The hive files under failure and under a hostile neighbour: a write that
// fails anywhere leaves the old hive byte for byte and tells the caller; a
// root others can write is refused.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/file/testing/fault_injector.h"
#include "platform/file/testing/scratch_directory.h"
#include "platform/file/testing/unprivileged.h"
#include "platform/log/logger.h"
#include "platform/registry/hive_file.h"
#include "platform/registry/registry.h"
#include "platform/registry/registry_test_util.h"

namespace kavex::registry {
namespace {

using file::testing::Call;
using file::testing::FaultInjector;

constexpr char kKey[] = "SOFTWARE\\Kavex OPC";

class RegistryFilesTest : public RegistryRootTest {
 protected:
  void SetUp() override {
    RegistryRootTest::SetUp();
    ASSERT_EQ(SetLevel("3"), ERROR_SUCCESS);
    old_hive_ = ReadHive();
    ASSERT_NE(old_hive_.find("\"Logging Level\"=sz:\"3\""), std::string::npos);
  }
  static LONG SetLevel(const char* level) {
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    rc = RegSetValueExA(key, "Logging Level", 0, REG_SZ,
                        reinterpret_cast<const BYTE*>(level),
                        static_cast<DWORD>(strlen(level) + 1));
    RegCloseKey(key);
    return rc;
  }
  static std::string GetLevel() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
      return "<no key>";
    char text[16] = {};
    DWORD cb = sizeof(text);
    LONG rc = RegQueryValueExA(key, "Logging Level", nullptr, nullptr,
                               reinterpret_cast<BYTE*>(text), &cb);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS ? std::string(text) : "<error>";
  }
  // Every name in the root except the hive and its lock: temporary files
  // left behind.
  std::vector<std::string> Debris() const {
    std::vector<std::string> debris;
    for (const std::string& name : file::testing::ListDirectory(root_))
      if (name != "HKLM.reg" && name != "HKLM.reg.lock") debris.push_back(name);
    return debris;
  }
  // The old content as a version this process has not seen: an edit in
  // place of the same size needs a time of its own to be told apart.
  void WriteFreshHive(size_t version) {
    WriteHive(old_hive_);
    const struct timespec times[2] = {
        {0, UTIME_OMIT}, {1000000000 + static_cast<time_t>(version), 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, HivePath().c_str(), times, 0), 0);
  }
  mode_t HiveMode() const {
    struct stat st;
    return stat(HivePath().c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
  }

  std::string old_hive_;
};

TEST_F(RegistryFilesTest, NamedFailuresLeaveTheOldHiveAndReachTheCaller) {
  const struct {
    const char* what;
    size_t write_limit;
    Call call;
    int nth;
    int error;
    LONG expected;
  } cases[] = {
      {"full disk mid-write", 64, Call::kWrite, 2, ENOSPC, ERROR_CANTWRITE},
      {"failed fsync", 0, Call::kFsync, 1, EIO, ERROR_CANTWRITE},
      {"failed rename", 0, Call::kRename, 1, EIO, ERROR_CANTWRITE},
      {"rename refused", 0, Call::kRename, 1, EACCES, ERROR_ACCESS_DENIED},
      {"failed lock", 0, Call::kFlock, 1, ENOLCK, ERROR_CANTWRITE},
      {"lock file cannot be made", 0, Call::kOpen, 1, ENOSPC, ERROR_CANTWRITE},
  };
  log::Recorder recorder;
  log::ScopedSink sink(recorder.sink());
  for (const auto& c : cases) {
    {
      FaultInjector faults;
      faults.LimitWrites(c.write_limit);
      faults.FailNth(c.call, c.nth, c.error);
      EXPECT_EQ(SetLevel("5"), c.expected) << c.what << ": " << faults.Trace();
    }
    EXPECT_EQ(ReadHive(), old_hive_) << c.what;
    EXPECT_EQ(Debris(), std::vector<std::string>{}) << c.what;
    EXPECT_EQ(GetLevel(), "3") << c.what;
  }
  // The cause is in the log, and nothing was left locked: the next write
  // works.
  EXPECT_EQ(recorder.Count("cannot write " + HivePath()), 4u);
  EXPECT_EQ(recorder.Count("cannot lock " + HivePath() + ".lock"), 2u);
  EXPECT_EQ(SetLevel("5"), ERROR_SUCCESS);
  EXPECT_EQ(GetLevel(), "5");
}

// Every call of a RegSetValueEx fails in turn. Whatever fails up to the
// rename (but a close, which cannot fail a read that is complete) gives the
// caller an error and leaves the hive byte for byte; after the rename the
// value is set.
TEST_F(RegistryFilesTest, FailingEveryCallOfAWriteInTurn) {
  log::Recorder recorder;
  log::ScopedSink sink(recorder.sink());
  std::vector<Call> calls;
  {
    // As in every round below: a hive this process has not read yet.
    WriteFreshHive(0);
    FaultInjector counting;
    ASSERT_EQ(SetLevel("4"), ERROR_SUCCESS);
    calls = counting.Calls();
  }
  size_t rename_at = 0;
  for (size_t i = 0; i < calls.size(); ++i)
    if (calls[i] == Call::kRename) rename_at = i + 1;
  ASSERT_GT(rename_at, 0u);

  for (size_t nth = 1; nth <= calls.size(); ++nth) {
    WriteFreshHive(nth);
    LONG rc;
    std::string trace;
    {
      FaultInjector faults;
      faults.FailNth(Call::kAny, static_cast<int>(nth), EIO);
      rc = SetLevel("4");
      trace = faults.Trace();
    }
    const std::string what = "failing call " + std::to_string(nth) + " (" +
                             file::testing::CallName(calls[nth - 1]) + ") of " +
                             trace;
    if (rc == ERROR_SUCCESS) {
      EXPECT_EQ(GetLevel(), "4") << what;
      EXPECT_TRUE(nth > rename_at || calls[nth - 1] == Call::kClose) << what;
    } else {
      EXPECT_EQ(ReadHive(), old_hive_) << what;
      EXPECT_EQ(GetLevel(), "3") << what;
      EXPECT_LE(nth, rename_at) << what;
    }
    EXPECT_EQ(Debris(), std::vector<std::string>{}) << what;
  }
}

TEST_F(RegistryFilesTest, HiveKeepsItsModeAndNewHivesAre0644) {
  ASSERT_EQ(chmod(HivePath().c_str(), 0600), 0);
  ASSERT_EQ(SetLevel("4"), ERROR_SUCCESS);
  EXPECT_EQ(HiveMode(), 0600u);

  unlink(HivePath().c_str());
  const mode_t old_umask = umask(0);
  const LONG rc = SetLevel("4");
  umask(old_umask);
  ASSERT_EQ(rc, ERROR_SUCCESS);
  EXPECT_EQ(HiveMode(), 0644u);
}

TEST_F(RegistryFilesTest, OversizedHiveIsDamagedNotReadAndNeverWritten) {
  ASSERT_EQ(truncate(HivePath().c_str(), static_cast<off_t>(kMaxHiveBytes) + 1),
            0);
  log::Recorder recorder;
  log::ScopedSink sink(recorder.sink());
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key),
            ERROR_BADDB);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key),
            ERROR_BADDB);
  EXPECT_EQ(SetLevel("4"), ERROR_BADDB);
  struct stat st;
  ASSERT_EQ(stat(HivePath().c_str(), &st), 0);
  EXPECT_EQ(st.st_size, static_cast<off_t>(kMaxHiveBytes) + 1);
  EXPECT_EQ(recorder.Count("larger than 64 MiB"), 1u);  // reported once
}

TEST_F(RegistryFilesTest, RootOthersCanWriteIsRefusedWithTheFix) {
  log::Recorder recorder;
  log::ScopedSink sink(recorder.sink());
  ASSERT_EQ(chmod(root_.c_str(), 0777), 0);
  EXPECT_EQ(SetLevel("4"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(ReadHive(), old_hive_);
  // Reading is refused too: whoever can swap the hive decides what a
  // process loads (the modules of HKCR are run).
  WriteHive(old_hive_ + "\n");  // a new version, so it is read again
  EXPECT_EQ(GetLevel(), "<no key>");
  EXPECT_EQ(SetLevel("4"), ERROR_ACCESS_DENIED);
  const std::vector<log::Recorder::Line> lines = recorder.lines();
  ASSERT_EQ(lines.size(), 1u);  // once, not at every call
  EXPECT_EQ(lines[0].level, log::Level::kError);
  EXPECT_EQ(lines[0].category, "registry");
  EXPECT_NE(lines[0].message.find("the registry root " + root_ +
                                  " is writable by every user (mode 0777)"),
            std::string::npos)
      << lines[0].message;
  EXPECT_NE(lines[0].message.find("Fix: chmod o-w " + root_), std::string::npos)
      << lines[0].message;

  ASSERT_EQ(chmod(root_.c_str(), 0700), 0);
  EXPECT_EQ(SetLevel("4"), ERROR_SUCCESS);
  EXPECT_EQ(GetLevel(), "4");
}

// The reproduction: a registry root another user can write, where that user
// links the names the writer uses to a file of root's. kavex-reg run by root
// must refuse, and the file must stay as it was.
TEST_F(RegistryFilesTest, NeighbourCannotMakeRootOverwriteAFile) {
  if (!file::testing::RunningAsRoot())
    GTEST_SKIP() << "needs root to act as a second, unprivileged user";
  const std::string victim = root_ + "-victim";
  const std::string created = root_ + "-nologin";
  file::testing::WriteBytes(victim, "precious\n");
  ASSERT_EQ(chmod(root_.c_str(), 01777), 0);
  ASSERT_TRUE(file::testing::RunAsNobody([&] {
    return symlink(victim.c_str(), (root_ + "/HKLM.reg.tmp").c_str()) == 0 &&
           symlink(created.c_str(), (root_ + "/HKCR.reg.lock").c_str()) == 0;
  }));

  const std::string tool = KAVEX_REG_TOOL;
  for (const std::string& run :
       {tool +
            " add 'HKLM\\SOFTWARE\\Kavex OPC' /v 'Logging Level' /d 4 /f 2>&1",
        tool + " add 'HKCR\\KavexOPC.Test' /ve /d x /f 2>&1"}) {
    FILE* pipe = popen(run.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char line[512];
    while (fgets(line, sizeof(line), pipe)) output += line;
    const int status = pclose(pipe);
    EXPECT_NE(status, 0) << output;
    EXPECT_NE(output.find("the registry root " + root_ +
                          " is writable by every user (mode 1777)"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("chmod o-w " + root_), std::string::npos) << output;
  }
  EXPECT_EQ(file::testing::ReadBytes(victim), "precious\n");
  EXPECT_NE(access(created.c_str(), F_OK), 0);
  EXPECT_EQ(ReadHive(), old_hive_);
  unlink(victim.c_str());
}

}  // namespace
}  // namespace kavex::registry
