// Replacing a file: modes, links, every failure on the way, writers that
// are killed or still at work, and a neighbour who plants links.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/base/results.h"
#include "platform/file/file.h"
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

constexpr char kOld[] = "<ROOT Version=\"old\"/>\n";
constexpr char kNew[] = "<ROOT Version=\"new\" DataFormat=\"String\"/>\n";

mode_t ModeOf(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

class ReplaceFileTest : public ::testing::Test {
 protected:
  std::string Target() const { return dir_.File("config.xml"); }
  ScratchDirectory dir_;
};

TEST_F(ReplaceFileTest, NewFileGetsItsModeWhateverTheUmask) {
  for (mode_t mask : {mode_t{0}, mode_t{077}}) {
    unlink(Target().c_str());
    const mode_t old_umask = umask(mask);
    const DWORD rc = ReplaceFile(Target(), kNew);
    umask(old_umask);
    ASSERT_EQ(rc, ERROR_SUCCESS) << "umask " << mask;
    EXPECT_EQ(ModeOf(Target()) & 07777, 0644u) << "umask " << mask;
    EXPECT_EQ(ReadBytes(Target()), kNew);
  }
  ReplaceOptions secret;
  secret.new_file_mode = 0600;
  ASSERT_EQ(ReplaceFile(dir_.File("secret"), "s", secret), ERROR_SUCCESS);
  EXPECT_EQ(ModeOf(dir_.File("secret")) & 07777, 0600u);
  EXPECT_EQ(dir_.Entries(), (std::vector<std::string>{"config.xml", "secret"}));
}

TEST_F(ReplaceFileTest, ReplacedFileKeepsItsModeAndEveryVersionIsNew) {
  WriteBytes(Target(), kOld);
  ASSERT_EQ(chmod(Target().c_str(), 0600), 0);
  ASSERT_EQ(ReplaceFile(Target(), kNew), ERROR_SUCCESS);
  EXPECT_EQ(ModeOf(Target()) & 07777, 0600u);
  ASSERT_EQ(chmod(Target().c_str(), 04751), 0);
  ASSERT_EQ(ReplaceFile(Target(), kNew), ERROR_SUCCESS);
  EXPECT_EQ(ModeOf(Target()) & 07777, 0751u);  // set-id bits are not kept

  // Same size, written at once: a reader comparing identities must still
  // see each version as new, even when the old one claims a later time.
  struct timespec future[2] = {{0, UTIME_OMIT}, {time(nullptr) + 3600, 5}};
  ASSERT_EQ(utimensat(AT_FDCWD, Target().c_str(), future, 0), 0);
  FileIdentity before;
  ASSERT_EQ(StatFile(Target(), &before), ERROR_SUCCESS);
  std::vector<FileIdentity> seen = {before};
  for (int i = 0; i < 3; ++i) {
    ReplaceResult result;
    ASSERT_EQ(ReplaceFile(Target(), kNew, {}, &result), ERROR_SUCCESS);
    FileIdentity now;
    ASSERT_EQ(StatFile(Target(), &now), ERROR_SUCCESS);
    EXPECT_EQ(result.identity, now);
    EXPECT_TRUE(result.directory_synced);
    EXPECT_GT(now.mtime_ns, seen.back().mtime_ns);
    seen.push_back(now);
  }
  EXPECT_EQ(dir_.Entries(), std::vector<std::string>{"config.xml"});
}

TEST_F(ReplaceFileTest, OwnLinkIsFollowedAndStaysALink) {
  ASSERT_EQ(mkdir(dir_.File("real").c_str(), 0700), 0);
  const std::string real = dir_.File("real/config.xml");
  WriteBytes(real, kOld);
  ASSERT_EQ(chmod(real.c_str(), 0640), 0);
  ASSERT_EQ(symlink("real/config.xml", dir_.File("hop").c_str()), 0);
  ASSERT_EQ(symlink(dir_.File("hop").c_str(), Target().c_str()), 0);

  ASSERT_EQ(ReplaceFile(Target(), kNew), ERROR_SUCCESS);
  EXPECT_TRUE(S_ISLNK(ModeOf(Target())));
  EXPECT_TRUE(S_ISLNK(ModeOf(dir_.File("hop"))));
  EXPECT_EQ(ReadBytes(real), kNew);
  EXPECT_EQ(ModeOf(real) & 07777, 0640u);
  // The temporary file went beside the real file and is gone.
  EXPECT_EQ(dir_.Entries(dir_.File("real")),
            std::vector<std::string>{"config.xml"});
}

TEST_F(ReplaceFileTest, TargetsThatAreNotPlainFilesAreRefused) {
  ASSERT_EQ(symlink(dir_.File("nowhere/x.xml").c_str(),
                    dir_.File("dangling-dir").c_str()),
            0);
  ASSERT_EQ(symlink("absent.xml", dir_.File("dangling").c_str()), 0);
  ASSERT_EQ(symlink("loop-b", dir_.File("loop-a").c_str()), 0);
  ASSERT_EQ(symlink("loop-a", dir_.File("loop-b").c_str()), 0);
  ASSERT_EQ(symlink("self", dir_.File("self").c_str()), 0);
  WriteBytes(dir_.File("end"), kOld);
  std::string previous = "end";
  for (int i = 0; i < 41; ++i) {  // one link more than may be followed
    const std::string name = "chain" + std::to_string(i);
    ASSERT_EQ(symlink(previous.c_str(), dir_.File(name).c_str()), 0);
    previous = name;
  }
  ASSERT_EQ(mkdir(dir_.File("directory").c_str(), 0700), 0);
  ASSERT_EQ(mkfifo(dir_.File("fifo").c_str(), 0600), 0);
  const std::vector<std::string> before = dir_.Entries();

  const struct {
    std::string path;
    DWORD expected;
  } cases[] = {
      {dir_.File("dangling"), ERROR_CANT_RESOLVE_FILENAME},
      {dir_.File("dangling-dir"), ERROR_CANT_RESOLVE_FILENAME},
      {dir_.File("loop-a"), ERROR_CANT_RESOLVE_FILENAME},
      {dir_.File("self"), ERROR_CANT_RESOLVE_FILENAME},
      {dir_.File(previous), ERROR_CANT_RESOLVE_FILENAME},
      {dir_.File("directory"), ERROR_ACCESS_DENIED},
      {dir_.File("fifo"), ERROR_BAD_FILE_TYPE},
      {dir_.File("missing/config.xml"), ERROR_PATH_NOT_FOUND},
      {"", ERROR_PATH_NOT_FOUND},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ReplaceFile(c.path, kNew), c.expected) << c.path;
    EXPECT_EQ(dir_.Entries(), before) << c.path;
  }
  EXPECT_EQ(ReadBytes(dir_.File("end")), kOld);
  // Forty links are followed.
  EXPECT_EQ(ReplaceFile(dir_.File("chain39"), kNew), ERROR_SUCCESS);
  EXPECT_EQ(ReadBytes(dir_.File("end")), kNew);
}

// Fails the 1st, 2nd, ... call of a replace in turn: every failure up to and
// including the rename is reported and leaves the old file; a failure after
// it (flushing the directory, cleaning up) cannot undo the replace and is
// not reported as one.
TEST_F(ReplaceFileTest, FailingEveryCallInTurnNeverHalfReplaces) {
  const std::string stale = dir_.File("config.xml.tmp-Stale1");
  auto reset = [&] {
    WriteBytes(Target(), kOld);
    WriteBytes(stale, "left by a writer that was killed");
  };
  std::vector<Call> calls;
  {
    reset();
    FaultInjector counting;
    ASSERT_EQ(ReplaceFile(Target(), kNew), ERROR_SUCCESS);
    calls = counting.Calls();
  }
  ASSERT_EQ(dir_.Entries(), std::vector<std::string>{"config.xml"});
  size_t rename_at = 0;
  for (size_t i = 0; i < calls.size(); ++i)
    if (calls[i] == Call::kRename) rename_at = i + 1;
  ASSERT_GT(rename_at, 0u);

  for (size_t nth = 1; nth <= calls.size(); ++nth) {
    reset();
    const std::vector<std::string> before = dir_.Entries();
    FaultInjector faults;
    faults.FailNth(Call::kAny, static_cast<int>(nth), EIO);
    const DWORD rc = ReplaceFile(Target(), kNew);
    const std::string what =
        std::string("failing call ") + std::to_string(nth) + " (" +
        testing::CallName(calls[nth - 1]) + ") of " + faults.Trace();
    if (nth <= rename_at) {
      EXPECT_EQ(rc, ERROR_GEN_FAILURE) << what;
      EXPECT_EQ(ReadBytes(Target()), kOld) << what;
      EXPECT_EQ(dir_.Entries(), before) << what;
    } else {
      EXPECT_EQ(rc, ERROR_SUCCESS) << what;
      EXPECT_EQ(ReadBytes(Target()), kNew) << what;
      // At most the stale file is still there, if cleaning was hit.
      for (const std::string& name : dir_.Entries())
        EXPECT_TRUE(name == "config.xml" || name == "config.xml.tmp-Stale1")
            << what << ": " << name;
    }
  }
}

TEST_F(ReplaceFileTest, FileSystemWithoutLocksIsWrittenAllTheSame) {
  WriteBytes(Target(), kOld);
  for (int error : {ENOLCK, EOPNOTSUPP, EINVAL}) {
    FaultInjector faults;
    faults.FailNth(Call::kFlock, 1, error);
    EXPECT_EQ(ReplaceFile(Target(), kNew), ERROR_SUCCESS) << strerror(error);
    EXPECT_EQ(ReadBytes(Target()), kNew);
    EXPECT_EQ(dir_.Entries(), std::vector<std::string>{"config.xml"});
  }
}

TEST_F(ReplaceFileTest, TakenTemporaryNamesAreSkippedNeverWrittenThrough) {
  WriteBytes(Target(), kOld);
  {
    FaultInjector faults;
    for (int i = 1; i <= 3; ++i) faults.FailNth(Call::kOpen, i, EEXIST);
    EXPECT_EQ(ReplaceFile(Target(), kNew), ERROR_SUCCESS);
    EXPECT_EQ(ReadBytes(Target()), kNew);
  }
  FaultInjector faults;
  for (int i = 1; i <= 100; ++i) faults.FailNth(Call::kOpen, i, EEXIST);
  EXPECT_EQ(ReplaceFile(Target(), kOld), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(ReadBytes(Target()), kNew);
  EXPECT_EQ(dir_.Entries(), std::vector<std::string>{"config.xml"});
}

TEST_F(ReplaceFileTest, StaleTemporariesGoWithTheNextSuccessfulWrite) {
  WriteBytes(Target(), kOld);
  WriteBytes(dir_.File("victim"), "precious");
  const std::vector<std::string> stale = {
      "config.xml.tmp",  // the fixed name of earlier versions
      "config.xml.tmp-Ab12Cd",
  };
  for (const std::string& name : stale) WriteBytes(dir_.File(name), "stale");
  // A link at a temporary name: the link goes, what it names stays.
  ASSERT_EQ(symlink(dir_.File("victim").c_str(),
                    dir_.File("config.xml.tmp-Zz99Zz").c_str()),
            0);
  const std::vector<std::string> kept = {
      "config.xml.tmp-Ab12C", "config.xml.tmp-Ab12Cde", "config.xml.tmp-Ab-2Cd",
      "config.xml.tmpAb12Cd", "other.xml.tmp-Ab12Cd",   "victim",
  };
  for (const std::string& name : kept) {
    if (name != "victim") WriteBytes(dir_.File(name), "not ours");
  }
  ASSERT_EQ(mkdir(dir_.File("config.xml.tmp-Dir123").c_str(), 0700), 0);

  ASSERT_EQ(ReplaceFile(Target(), kNew), ERROR_SUCCESS);
  std::vector<std::string> expected = kept;
  expected.push_back("config.xml");
  expected.push_back("config.xml.tmp-Dir123");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(dir_.Entries(), expected);
  EXPECT_EQ(ReadBytes(dir_.File("victim")), "precious");
}

TEST_F(ReplaceFileTest, KilledWriterLeavesTheOldFileAndItsLeftoverGoesLater) {
  WriteBytes(Target(), kOld);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    FaultInjector faults;
    faults.BeforeNth(Call::kFsync, 1, [] { raise(SIGKILL); });
    ReplaceFile(Target(), std::string(100000, 'h'));
    _exit(0);
  }
  const int status = testing::WaitForExit(pid, 30000);
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(ReadBytes(Target()), kOld);
  const std::vector<std::string> left = dir_.Entries();
  ASSERT_EQ(left.size(), 2u);
  EXPECT_EQ(left[1].substr(0, 15), "config.xml.tmp-");

  ASSERT_EQ(ReplaceFile(Target(), kNew), ERROR_SUCCESS);
  EXPECT_EQ(ReadBytes(Target()), kNew);
  EXPECT_EQ(dir_.Entries(), std::vector<std::string>{"config.xml"});
}

// Reads one byte from `fd`, waiting at most 30 s.
bool ReadByteWithin30s(int fd) {
  pollfd ready{fd, POLLIN, 0};
  char byte;
  return poll(&ready, 1, 30000) == 1 && read(fd, &byte, 1) == 1;
}

TEST_F(ReplaceFileTest, WriterAtWorkKeepsItsTemporaryWhileAnotherReplaces) {
  WriteBytes(Target(), kOld);
  int ready[2], go[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(go), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    FaultInjector faults;
    // Stop just before the rename: the temporary file is complete.
    faults.BeforeNth(Call::kRename, 1, [&] {
      if (write(ready[1], "r", 1) != 1 || !ReadByteWithin30s(go[0])) _exit(3);
    });
    _exit(ReplaceFile(Target(), "from the child") == ERROR_SUCCESS ? 0 : 1);
  }
  ASSERT_TRUE(ReadByteWithin30s(ready[0]));
  ASSERT_EQ(ReplaceFile(Target(), kNew), ERROR_SUCCESS);
  EXPECT_EQ(ReadBytes(Target()), kNew);
  EXPECT_EQ(dir_.Entries().size(), 2u);  // the child's file was left alone
  ASSERT_EQ(write(go[1], "g", 1), 1);
  const int status = testing::WaitForExit(pid, 30000);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(ReadBytes(Target()), "from the child");
  EXPECT_EQ(dir_.Entries(), std::vector<std::string>{"config.xml"});
  for (int fd : {ready[0], ready[1], go[0], go[1]}) close(fd);
}

// What another user can do in a directory everybody may write (as /tmp):
// plant links at the names a writer uses. Run as root, with the neighbour as
// an unprivileged user.
class NeighbourTest : public ReplaceFileTest {
 protected:
  void SetUp() override {
    if (!testing::RunningAsRoot())
      GTEST_SKIP() << "needs root to act as a second, unprivileged user";
    ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
    ASSERT_EQ(mkdir(Shared().c_str(), 0700), 0);
    ASSERT_EQ(chmod(Shared().c_str(), 01777), 0);
    WriteBytes(Victim(), "precious");
  }
  std::string Shared(const std::string& name = {}) const {
    return dir_.File("shared") + (name.empty() ? "" : "/" + name);
  }
  std::string Victim() const { return dir_.File("victim"); }
  // The neighbour links `name` in the shared directory to `to`.
  void Plant(const std::string& name, const std::string& to) {
    ASSERT_TRUE(testing::RunAsNobody(
        [&] { return symlink(to.c_str(), Shared(name).c_str()) == 0; }));
  }
};

TEST_F(NeighbourTest, PlantedLinksAreNeverWrittenThrough) {
  Plant("config.xml", Victim());
  Plant("report.txt", dir_.File("created-by-root"));
  Plant("other.xml.tmp", Victim());  // the fixed temporary name of old
  Plant("x.lock", dir_.File("nologin"));

  EXPECT_EQ(ReplaceFile(Shared("config.xml"), kNew), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(S_ISLNK(ModeOf(Shared("config.xml"))));
  EXPECT_EQ(ReplaceFile(Shared("report.txt"), kNew), ERROR_ACCESS_DENIED);
  EXPECT_NE(access(dir_.File("created-by-root").c_str(), F_OK), 0);

  // A new file beside a planted temporary name: written, and the planted
  // link is cleaned away without following it.
  ASSERT_EQ(ReplaceFile(Shared("other.xml"), kNew), ERROR_SUCCESS);
  EXPECT_EQ(ReadBytes(Shared("other.xml")), kNew);
  EXPECT_FALSE(S_ISLNK(ModeOf(Shared("other.xml"))));
  EXPECT_NE(access(Shared("other.xml.tmp").c_str(), F_OK), 0);

  UniqueFd lock;
  const DWORD rc = AcquireExclusiveLock(Shared("x.lock"), &lock);
  EXPECT_TRUE(rc == ERROR_CANT_RESOLVE_FILENAME || rc == ERROR_ACCESS_DENIED)
      << Win32ErrorName(rc);
  EXPECT_FALSE(lock.valid());
  EXPECT_NE(access(dir_.File("nologin").c_str(), F_OK), 0);

  EXPECT_EQ(ReadBytes(Victim()), "precious");
  EXPECT_EQ(ModeOf(Victim()) & 07777, 0644u);
}

TEST_F(NeighbourTest, ReplacedFileKeepsItsOwnerAndGroup) {
  const std::string theirs = Shared("theirs.xml");
  ASSERT_TRUE(testing::RunAsNobody([&] {
    WriteBytes(theirs, kOld);
    return chmod(theirs.c_str(), 0640) == 0;
  }));
  ASSERT_EQ(ReplaceFile(theirs, kNew), ERROR_SUCCESS);
  struct stat st;
  ASSERT_EQ(stat(theirs.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, testing::kNobodyUid);
  EXPECT_EQ(st.st_gid, testing::kNobodyGid);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(ReadBytes(theirs), kNew);
}

}  // namespace
}  // namespace kavex::file
