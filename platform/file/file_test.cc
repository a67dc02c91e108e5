// Reading whole files, locks, directories and canonical paths.
#include "platform/file/file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "gtest/gtest.h"
#include "platform/base/results.h"
#include "platform/file/testing/fault_injector.h"
#include "platform/file/testing/scratch_directory.h"
#include "platform/file/testing/unprivileged.h"

namespace kavex::file {
namespace {

using testing::Call;
using testing::FaultInjector;
using testing::ReadBytes;
using testing::ScratchDirectory;
using testing::WriteBytes;

TEST(ReadWholeFileTest, ReadsTheWholeFileAndItsIdentity) {
  ScratchDirectory dir;
  std::string big(200000, 'x');
  big[123456] = '\0';  // binary content is kept as it is
  WriteBytes(dir.File("big"), big);
  std::string bytes;
  FileIdentity identity;
  ASSERT_EQ(ReadWholeFile(dir.File("big"), big.size(), &bytes, &identity),
            ERROR_SUCCESS);
  EXPECT_EQ(bytes, big);
  FileIdentity stat_identity;
  ASSERT_EQ(StatFile(dir.File("big"), &stat_identity), ERROR_SUCCESS);
  EXPECT_TRUE(identity.exists);
  EXPECT_EQ(identity, stat_identity);
  EXPECT_EQ(identity.size, static_cast<off_t>(big.size()));

  WriteBytes(dir.File("empty"), "");
  ASSERT_EQ(ReadWholeFile(dir.File("empty"), 0, &bytes), ERROR_SUCCESS);
  EXPECT_EQ(bytes, "");
}

TEST(ReadWholeFileTest, HostilePathsGiveClearErrorsWithoutWaiting) {
  ScratchDirectory dir;
  WriteBytes(dir.File("plain"), "text");
  ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0600), 0);
  ASSERT_EQ(symlink("loop", dir.File("loop").c_str()), 0);
  // Sparse: refused by its size before a byte is read.
  WriteBytes(dir.File("huge"), "");
  ASSERT_EQ(truncate(dir.File("huge").c_str(), off_t{1} << 40), 0);
  const struct {
    std::string path;
    DWORD expected;
  } cases[] = {
      {"", ERROR_FILE_NOT_FOUND},
      {dir.File("missing"), ERROR_FILE_NOT_FOUND},
      {dir.File("plain/child"), ERROR_PATH_NOT_FOUND},
      {dir.path(), ERROR_ACCESS_DENIED},
      {dir.File("fifo"), ERROR_BAD_FILE_TYPE},  // must not wait for a writer
      {"/dev/null", ERROR_BAD_FILE_TYPE},
      {"/dev/zero", ERROR_BAD_FILE_TYPE},  // would never end
      {dir.File("loop"), ERROR_CANT_RESOLVE_FILENAME},
      {dir.File("huge"), ERROR_FILE_TOO_LARGE},
      {dir.File(std::string(5000, 'n')), ERROR_BAD_PATHNAME},
  };
  for (const auto& c : cases) {
    std::string bytes = "stale";
    EXPECT_EQ(ReadWholeFile(c.path, size_t{1} << 20, &bytes), c.expected)
        << c.path.substr(0, 80);
    EXPECT_EQ(bytes, "") << c.path.substr(0, 80);
  }
}

TEST(ReadWholeFileTest, LimitIsExactEvenForAGrowingFileAndFailuresGiveNothing) {
  ScratchDirectory dir;
  WriteBytes(dir.File("ten"), "0123456789");
  std::string bytes;
  EXPECT_EQ(ReadWholeFile(dir.File("ten"), 10, &bytes), ERROR_SUCCESS);
  EXPECT_EQ(ReadWholeFile(dir.File("ten"), 9, &bytes), ERROR_FILE_TOO_LARGE);
  EXPECT_EQ(bytes, "");

  WriteBytes(dir.File("big"), std::string(300000, 'b'));
  FaultInjector faults;
  faults.FailNth(Call::kRead, 2, EIO);
  FileIdentity identity;
  EXPECT_EQ(ReadWholeFile(dir.File("big"), 1 << 20, &bytes, &identity),
            ERROR_GEN_FAILURE);
  EXPECT_EQ(bytes, "");
  EXPECT_FALSE(identity.exists);
  // Interrupted reads are resumed.
  faults.FailNth(Call::kRead, 1, EINTR);
  EXPECT_EQ(ReadWholeFile(dir.File("big"), 1 << 20, &bytes), ERROR_SUCCESS);
  EXPECT_EQ(bytes.size(), 300000u);

  // A file that grows past the limit between fstat and the first read.
  WriteBytes(dir.File("growing"), "small");
  faults.BeforeNth(Call::kRead, 1, [&] {
    std::ofstream(dir.File("growing"), std::ios::app) << std::string(5000, 'g');
  });
  EXPECT_EQ(ReadWholeFile(dir.File("growing"), 1000, &bytes),
            ERROR_FILE_TOO_LARGE);
  EXPECT_EQ(bytes, "");
}

TEST(LockTest, LockExcludesOtherProcessesUntilReleased) {
  ScratchDirectory dir;
  const std::string path = dir.File("hive.lock");
  // Another process's attempt, without waiting: true if it got the lock.
  auto other_gets_it = [&] {
    const pid_t pid = fork();
    if (pid == 0) {
      const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
      _exit(fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : 1);
    }
    const int status = testing::WaitForExit(pid, 30000);
    return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  };
  {
    UniqueFd lock;
    ASSERT_EQ(AcquireExclusiveLock(path, &lock), ERROR_SUCCESS);
    EXPECT_TRUE(lock.valid());
    EXPECT_FALSE(other_gets_it());
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);  // nobody else can even hold it
  }
  EXPECT_TRUE(other_gets_it());
}

TEST(LockTest, LockFileIsNeverOpenedThroughALinkOrAsSomethingElse) {
  ScratchDirectory dir;
  // A link to a file that does not exist: opening it with O_CREAT would
  // create the file it names (think of /etc/nologin).
  const std::string victim = dir.File("victim");
  ASSERT_EQ(symlink(victim.c_str(), dir.File("linked.lock").c_str()), 0);
  ASSERT_EQ(mkfifo(dir.File("fifo.lock").c_str(), 0600), 0);
  ASSERT_EQ(mkdir(dir.File("dir.lock").c_str(), 0700), 0);
  const struct {
    std::string path;
    DWORD expected;
  } cases[] = {
      {dir.File("linked.lock"), ERROR_CANT_RESOLVE_FILENAME},
      {dir.File("fifo.lock"), ERROR_BAD_FILE_TYPE},  // and does not hang
      {dir.File("dir.lock"), ERROR_ACCESS_DENIED},
      {dir.File("missing/x.lock"), ERROR_PATH_NOT_FOUND},
  };
  for (const auto& c : cases) {
    UniqueFd lock;
    EXPECT_EQ(AcquireExclusiveLock(c.path, &lock), c.expected) << c.path;
    EXPECT_FALSE(lock.valid());
  }
  EXPECT_NE(access(victim.c_str(), F_OK), 0);

  FaultInjector faults;
  faults.FailNth(Call::kFlock, 1, ENOLCK);
  UniqueFd lock;
  EXPECT_EQ(AcquireExclusiveLock(dir.File("ok.lock"), &lock),
            ERROR_LOCK_VIOLATION);
  EXPECT_FALSE(lock.valid());
  faults.FailNth(Call::kFlock, 1, EINTR);  // a signal: wait on
  EXPECT_EQ(AcquireExclusiveLock(dir.File("ok.lock"), &lock), ERROR_SUCCESS);
}

TEST(CreateDirectoriesTest, CreatesMissingOnesWithExactlyTheMode) {
  ScratchDirectory dir;
  ASSERT_EQ(mkdir(dir.File("kept").c_str(), 0751), 0);
  ASSERT_EQ(chmod(dir.File("kept").c_str(), 0751), 0);
  const mode_t old_umask = umask(077);
  const DWORD rc = CreateDirectories(dir.File("kept/a/b/c"), 0755);
  umask(old_umask);
  ASSERT_EQ(rc, ERROR_SUCCESS);
  struct stat st;
  for (const char* created : {"kept/a", "kept/a/b", "kept/a/b/c"}) {
    ASSERT_EQ(stat(dir.File(created).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u) << created;
  }
  ASSERT_EQ(stat(dir.File("kept").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0751u);  // existing ones are left alone
  EXPECT_EQ(CreateDirectories(dir.File("kept/a/b/c/"), 0700), ERROR_SUCCESS);

  WriteBytes(dir.File("file"), "");
  EXPECT_EQ(CreateDirectories(dir.File("file/sub"), 0755),
            ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(CreateDirectories("", 0755), ERROR_PATH_NOT_FOUND);
  FaultInjector faults;
  faults.FailNth(Call::kMkdir, 1, ENOSPC);
  EXPECT_EQ(CreateDirectories(dir.File("full/sub"), 0755), ERROR_DISK_FULL);
  EXPECT_NE(access(dir.File("full").c_str(), F_OK), 0);
}

TEST(CanonicalPathTest, ResolvesLinksDotsAndRelativePaths) {
  ScratchDirectory dir;
  std::string base;
  ASSERT_EQ(CanonicalPath(dir.path(), &base), ERROR_SUCCESS);
  ASSERT_EQ(mkdir(dir.File("real").c_str(), 0700), 0);
  ASSERT_EQ(mkdir(dir.File("real/inner").c_str(), 0700), 0);
  ASSERT_EQ(symlink("real", dir.File("rel").c_str()), 0);
  ASSERT_EQ(symlink((base + "/real/inner").c_str(), dir.File("abs").c_str()),
            0);
  ASSERT_EQ(symlink("rel/inner/../inner", dir.File("chain").c_str()), 0);
  ASSERT_EQ(symlink("b", dir.File("a").c_str()), 0);
  ASSERT_EQ(symlink("a", dir.File("b").c_str()), 0);
  WriteBytes(dir.File("real/file"), "");

  const struct {
    std::string path;
    DWORD expected;
    std::string canonical;
  } cases[] = {
      {dir.File("rel"), ERROR_SUCCESS, base + "/real"},
      {dir.File("abs/.."), ERROR_SUCCESS, base + "/real"},
      {dir.File("chain"), ERROR_SUCCESS, base + "/real/inner"},
      {dir.File("./rel//inner/./"), ERROR_SUCCESS, base + "/real/inner"},
      {"/", ERROR_SUCCESS, "/"},
      {"/..", ERROR_SUCCESS, "/"},
      {dir.File("a"), ERROR_CANT_RESOLVE_FILENAME, ""},
      {dir.File("missing/x"), ERROR_FILE_NOT_FOUND, ""},
      {dir.File("real/file/x"), ERROR_PATH_NOT_FOUND, ""},
      {"", ERROR_PATH_NOT_FOUND, ""},
  };
  for (const auto& c : cases) {
    std::string canonical = "stale";
    EXPECT_EQ(CanonicalPath(c.path, &canonical), c.expected) << c.path;
    EXPECT_EQ(canonical, c.canonical) << c.path;
  }

  // Relative to the working directory.
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
  ASSERT_EQ(chdir(dir.File("real").c_str()), 0);
  std::string canonical;
  const DWORD rc = CanonicalPath("../rel/inner", &canonical);
  ASSERT_EQ(chdir(cwd), 0);
  EXPECT_EQ(rc, ERROR_SUCCESS);
  EXPECT_EQ(canonical, base + "/real/inner");
}

}  // namespace
}  // namespace kavex::file
