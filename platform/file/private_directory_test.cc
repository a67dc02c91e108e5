// Which directories are private enough to keep files in.
#include "platform/file/private_directory.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "gtest/gtest.h"
#include "platform/base/results.h"
#include "platform/file/file.h"
#include "platform/file/testing/scratch_directory.h"
#include "platform/file/testing/unprivileged.h"

namespace kavex::file {
namespace {

using testing::ScratchDirectory;

class PrivateDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CanonicalPath(dir_.path(), &base_), ERROR_SUCCESS);
  }
  // Makes `name` in the scratch directory with exactly `mode`.
  std::string Make(const std::string& name, mode_t mode) {
    const std::string path = dir_.File(name);
    EXPECT_EQ(mkdir(path.c_str(), 0700), 0) << path;
    EXPECT_EQ(chmod(path.c_str(), mode), 0) << path;
    return path;
  }
  ScratchDirectory dir_;
  std::string base_;  // dir_ without links
};

TEST_F(PrivateDirectoryTest, OwnDirectoriesArePrivate) {
  DirectoryProblem problem;
  EXPECT_EQ(CheckPrivateDirectory(dir_.path(), &problem), ERROR_SUCCESS)
      << problem.path << " " << problem.reason;
  Make("open", 0755);
  EXPECT_EQ(CheckPrivateDirectory(dir_.File("open"), &problem), ERROR_SUCCESS);
  // A private directory inside a sticky one everybody writes, as
  // mkdtemp makes them in /tmp.
  Make("sticky", 01777);
  Make("sticky/mine", 0700);
  EXPECT_EQ(CheckPrivateDirectory(dir_.File("sticky/mine"), &problem),
            ERROR_SUCCESS);
  EXPECT_EQ(CheckPrivateDirectory("/", &problem), ERROR_SUCCESS);
}

TEST_F(PrivateDirectoryTest, DirectoriesOthersCanWriteAreRefusedWithTheFix) {
  Make("world", 0777);
  Make("world/inner", 0700);
  Make("sticky", 01777);
  Make("loose", 0700);
  Make("loose/open", 0757);
  Make("parent", 0707);
  Make("parent/mine", 0700);
  ASSERT_EQ(symlink("world", dir_.File("link").c_str()), 0);

  const struct {
    std::string asked;
    std::string at_fault;
    std::string reason;
    std::string fix;
  } cases[] = {
      {dir_.File("world"), base_ + "/world",
       "is writable by every user (mode 0777)",
       "chmod o-w " + base_ + "/world"},
      // The sticky bit protects entries in a parent, not the directory's own
      // files.
      {dir_.File("sticky"), base_ + "/sticky",
       "is writable by every user (mode 1777)",
       "chmod o-w " + base_ + "/sticky"},
      {dir_.File("loose/open"), base_ + "/loose/open",
       "is writable by every user (mode 0757)",
       "chmod o-w " + base_ + "/loose/open"},
      // Anyone could rename "mine" away and put their own in its place.
      {dir_.File("parent/mine"), base_ + "/parent",
       "is writable by every user (mode 0707)",
       "chmod o-w " + base_ + "/parent"},
      // Checked where the link leads.
      {dir_.File("link/inner"), base_ + "/world",
       "is writable by every user (mode 0777)",
       "chmod o-w " + base_ + "/world"},
  };
  for (const auto& c : cases) {
    DirectoryProblem problem;
    EXPECT_EQ(CheckPrivateDirectory(c.asked, &problem), ERROR_ACCESS_DENIED)
        << c.asked;
    EXPECT_EQ(problem.path, c.at_fault) << c.asked;
    EXPECT_EQ(problem.reason, c.reason) << c.asked;
    EXPECT_EQ(problem.fix, c.fix) << c.asked;
  }
}

TEST_F(PrivateDirectoryTest, GroupWritableIsRefusedUnlessTheGroupIsTheOwners) {
  // Members of a group other than the owner's private one could write
  // there.
  if (!testing::RunningAsRoot()) GTEST_SKIP() << "needs root to chgrp";
  const std::string shared = Make("shared", 0775);
  ASSERT_EQ(chown(shared.c_str(), 0, testing::kNobodyGid), 0);
  DirectoryProblem problem;
  EXPECT_EQ(CheckPrivateDirectory(shared, &problem), ERROR_ACCESS_DENIED);
  EXPECT_EQ(problem.path, base_ + "/shared");
  EXPECT_EQ(problem.reason.rfind("is writable by group ", 0), 0u)
      << problem.reason;
  EXPECT_EQ(problem.fix, "chmod g-w " + base_ + "/shared");
}

TEST_F(PrivateDirectoryTest, AnotherUsersDirectoryIsRefused) {
  if (!testing::RunningAsRoot()) GTEST_SKIP() << "needs root to chown";
  const std::string theirs = Make("theirs", 0755);
  ASSERT_EQ(chown(theirs.c_str(), testing::kNobodyUid, testing::kNobodyGid), 0);
  DirectoryProblem problem;
  EXPECT_EQ(CheckPrivateDirectory(theirs, &problem), ERROR_ACCESS_DENIED);
  EXPECT_EQ(problem.path, base_ + "/theirs");
  const passwd* nobody = getpwuid(testing::kNobodyUid);
  const std::string name = nobody != nullptr ? nobody->pw_name : "uid 65534";
  EXPECT_EQ(problem.reason, "is owned by " + name);
  EXPECT_EQ(problem.fix,
            "run as " + name + ", or chown root " + base_ + "/theirs");
  // And everything below it, however private it looks.
  Make("theirs/inner", 0700);
  EXPECT_EQ(CheckPrivateDirectory(dir_.File("theirs/inner"), &problem),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(problem.path, base_ + "/theirs");
}

TEST_F(PrivateDirectoryTest, MissingOrOddPathsAreErrorsNotPasses) {
  testing::WriteBytes(dir_.File("file"), "");
  ASSERT_EQ(symlink("loop", dir_.File("loop").c_str()), 0);
  const struct {
    std::string path;
    DWORD expected;
  } cases[] = {
      {dir_.File("missing"), ERROR_FILE_NOT_FOUND},
      {dir_.File("file"), ERROR_PATH_NOT_FOUND},
      {dir_.File("file/x"), ERROR_PATH_NOT_FOUND},
      {dir_.File("loop"), ERROR_CANT_RESOLVE_FILENAME},
      {"", ERROR_PATH_NOT_FOUND},
  };
  for (const auto& c : cases) {
    DirectoryProblem problem;
    EXPECT_EQ(CheckPrivateDirectory(c.path, &problem), c.expected) << c.path;
    EXPECT_EQ(problem.path, "") << c.path;
  }
}

}  // namespace
}  // namespace kavex::file
