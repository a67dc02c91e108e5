// kavex-live as its user runs it: where it puts its registry and
// configuration, and what it refuses to overwrite.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/file/testing/scratch_directory.h"
#include "platform/file/testing/unprivileged.h"

extern char** environ;

namespace kavex::tools {
namespace {

using file::testing::ReadBytes;
using file::testing::ScratchDirectory;
using file::testing::WriteBytes;

constexpr int kDeadlineMs = 60000;

// kavex-live in a child process, its standard output and error in one pipe.
class Live {
 public:
  // `env`: variables to set, or to remove when the value is empty.
  Live(const std::vector<std::string>& args,
       const std::map<std::string, std::string>& env) {
    std::vector<std::string> vars;
    for (char** var = environ; *var != nullptr; ++var) {
      const std::string text = *var;
      if (env.count(text.substr(0, text.find('='))) == 0) vars.push_back(text);
    }
    for (const auto& [name, value] : env)
      if (!value.empty()) vars.push_back(name + "=" + value);
    std::vector<std::string> argv = {KAVEX_LIVE};
    argv.insert(argv.end(), args.begin(), args.end());
    int out[2];
    if (pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      dup2(out[1], 2);
      close(out[0]);
      close(out[1]);
      std::vector<char*> c_argv, c_env;
      for (std::string& a : argv) c_argv.push_back(a.data());
      for (std::string& v : vars) c_env.push_back(v.data());
      c_argv.push_back(nullptr);
      c_env.push_back(nullptr);
      execve(c_argv[0], c_argv.data(), c_env.data());
      _exit(127);
    }
    close(out[1]);
    output_fd_ = out[0];
  }
  ~Live() {
    if (pid_ > 0 && status_ == kRunning) {
      kill(pid_, SIGKILL);
      file::testing::WaitForExit(pid_, kDeadlineMs);
    }
    if (output_fd_ >= 0) close(output_fd_);
  }

  // Reads until the output holds a whole line (true) or ends or the deadline
  // passes (false).
  bool WaitForLine() {
    while (output_.find('\n') == std::string::npos)
      if (!ReadSome()) return false;
    return true;
  }
  // Reads to the end of the output, then waits for the exit status.
  int Finish() {
    while (ReadSome()) {
    }
    status_ = file::testing::WaitForExit(pid_, kDeadlineMs);
    return status_;
  }
  void Interrupt() { kill(pid_, SIGINT); }
  const std::string& output() const { return output_; }

 private:
  static constexpr int kRunning = -2;

  bool ReadSome() {
    if (output_fd_ < 0) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline_ - std::chrono::steady_clock::now())
                          .count();
    pollfd ready{output_fd_, POLLIN, 0};
    if (left <= 0 || poll(&ready, 1, static_cast<int>(left)) != 1) return false;
    char buffer[4096];
    const ssize_t n = read(output_fd_, buffer, sizeof(buffer));
    if (n <= 0) return false;
    output_.append(buffer, static_cast<size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int output_fd_ = -1;
  int status_ = kRunning;
  std::string output_;
  const std::chrono::steady_clock::time_point deadline_ =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeadlineMs);
};

bool ExitedWith(int status, int code) {
  return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == code;
}

class KavexLiveTest : public ::testing::Test {
 protected:
  std::string Config(const std::string& root) const {
    return root + "/Kavex OPC.xml";
  }
  // One screen in `root`; the exit status.
  int RunOnce(const std::string& root) {
    Live live({"--root", root, "--refreshes", "1"}, {});
    const int status = live.Finish();
    output_ = live.output();
    return status;
  }
  ScratchDirectory dir_;
  std::string output_;
};

TEST_F(KavexLiveTest, WritesAndRewritesItsOwnRoot) {
  const std::string root = dir_.File("live");
  ASSERT_TRUE(ExitedWith(RunOnce(root), 0)) << output_;
  EXPECT_NE(output_.find("refresh 1"), std::string::npos) << output_;
  const std::string first = ReadBytes(Config(root));
  EXPECT_NE(first.find("<!-- Written by kavex-live"), std::string::npos);
  struct stat st;
  ASSERT_EQ(stat(root.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  ASSERT_EQ(stat(Config(root).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  // Its own files, so the next start rewrites them.
  ASSERT_TRUE(ExitedWith(RunOnce(root), 0)) << output_;
  EXPECT_EQ(ReadBytes(Config(root)), first);
}

TEST_F(KavexLiveTest, AcceptsWhatEarlierVersionsWrote) {
  // An earlier kavex-live wrote the same file without its mark.
  const std::string root = dir_.File("live");
  ASSERT_TRUE(ExitedWith(RunOnce(root), 0)) << output_;
  std::string unmarked = ReadBytes(Config(root));
  const size_t mark = unmarked.find("<!--");
  unmarked.erase(mark, unmarked.find('\n', mark) + 1 - mark);
  WriteBytes(Config(root), unmarked);
  EXPECT_TRUE(ExitedWith(RunOnce(root), 0)) << output_;
}

TEST_F(KavexLiveTest, RefusesAConfigurationItDidNotWrite) {
  const std::string root = dir_.File("theirs");
  ASSERT_EQ(mkdir(root.c_str(), 0700), 0);
  const std::string theirs =
      "<?xml version=\"1.0\"?>\n<ROOT DataFormat=\"Integer\"><ADAPTER "
      "Name=\"\\Device\\eth0\" Active=\"Yes\"/></ROOT>\n";
  WriteBytes(Config(root), theirs);
  ASSERT_TRUE(ExitedWith(RunOnce(root), 1)) << output_;
  EXPECT_NE(output_.find(Config(root) + " was not written by kavex-live"),
            std::string::npos)
      << output_;
  EXPECT_NE(output_.find("--root naming a new or empty directory"),
            std::string::npos);
  EXPECT_EQ(ReadBytes(Config(root)), theirs);
  EXPECT_EQ(dir_.Entries(root), std::vector<std::string>{"Kavex OPC.xml"});
}

TEST_F(KavexLiveTest, RefusesARegistryThatNamesAnotherConfiguration) {
  // As if --root named the machine's real registry.
  const std::string root = dir_.File("registry");
  ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
  const std::string hive =
      "[SOFTWARE\\Kavex OPC]\n"
      "\"Configuration File\"=sz:\"/etc/kavex-opc/Kavex OPC.xml\"\n";
  WriteBytes(root + "/HKLM.reg", hive);
  ASSERT_TRUE(ExitedWith(RunOnce(root), 1)) << output_;
  EXPECT_NE(output_.find("names the configuration file /etc/kavex-opc/Kavex "
                         "OPC.xml, which is not kavex-live's"),
            std::string::npos)
      << output_;
  EXPECT_EQ(ReadBytes(root + "/HKLM.reg"), hive);
  EXPECT_EQ(dir_.Entries(root), std::vector<std::string>{"HKLM.reg"});
}

TEST_F(KavexLiveTest, RefusesARootOthersCanWrite) {
  const std::string root = dir_.File("open");
  ASSERT_EQ(mkdir(root.c_str(), 0700), 0);
  ASSERT_EQ(chmod(root.c_str(), 0777), 0);
  ASSERT_TRUE(ExitedWith(RunOnce(root), 1)) << output_;
  EXPECT_NE(output_.find("is writable by every user (mode 0777)"),
            std::string::npos)
      << output_;
  EXPECT_NE(output_.find("Fix: chmod o-w "), std::string::npos);
  EXPECT_EQ(dir_.Entries(root), std::vector<std::string>{});
}

// Without $XDG_RUNTIME_DIR: a new directory of its own in $TMPDIR, never
// a predictable name another user could have made first.
TEST_F(KavexLiveTest, WithoutRuntimeDirectoryUsesANewPrivateOne) {
  ASSERT_EQ(chmod(dir_.path().c_str(), 01777), 0);  // a /tmp of its own
  const std::string victim = dir_.File("victim");
  WriteBytes(victim, "precious\n");
  const std::string planted =
      dir_.File("kavex-live-" + std::to_string(getuid()));
  if (file::testing::RunningAsRoot()) {
    // The old predictable directory, made first by another user, with the
    // configuration linked to a file of root's.
    ASSERT_TRUE(file::testing::RunAsNobody([&] {
      return mkdir(planted.c_str(), 0777) == 0 &&
             chmod(planted.c_str(), 0777) == 0 &&
             symlink(victim.c_str(), Config(planted).c_str()) == 0 &&
             symlink(victim.c_str(), (planted + "/HKLM.reg.tmp").c_str()) == 0;
    }));
  }

  Live live({"--refreshes", "0"},
            {{"XDG_RUNTIME_DIR", ""}, {"TMPDIR", dir_.path()}});
  ASSERT_TRUE(live.WaitForLine()) << live.output();
  const std::string prefix = "kavex-live: registry root ";
  const std::string line = live.output().substr(0, live.output().find('\n'));
  ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
  const std::string root =
      line.substr(prefix.size(), line.find(' ', prefix.size()) - prefix.size());
  EXPECT_EQ(root.rfind(dir_.File("kavex-live-"), 0), 0u) << root;
  EXPECT_NE(root, planted);
  struct stat st;
  ASSERT_EQ(lstat(root.c_str(), &st), 0) << root;
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_EQ(st.st_uid, geteuid());

  live.Interrupt();  // Ctrl-C
  EXPECT_TRUE(ExitedWith(live.Finish(), 0)) << live.output();
  EXPECT_NE(access(root.c_str(), F_OK), 0) << "removed at exit";
  EXPECT_EQ(ReadBytes(victim), "precious\n");
}

TEST_F(KavexLiveTest, RuntimeDirectoryIsUsedWhenPrivate) {
  const std::string runtime = dir_.File("run");
  ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0);
  {
    Live live({"--refreshes", "1"}, {{"XDG_RUNTIME_DIR", runtime}});
    ASSERT_TRUE(ExitedWith(live.Finish(), 0)) << live.output();
    EXPECT_NE(live.output().find("registry root " + runtime + "/kavex-live\n"),
              std::string::npos)
        << live.output();
  }
  // One that others can write (a stale variable after su, say) is passed
  // over for a new directory.
  ASSERT_EQ(chmod(runtime.c_str(), 0777), 0);
  Live live({"--refreshes", "1"},
            {{"XDG_RUNTIME_DIR", runtime}, {"TMPDIR", dir_.path()}});
  ASSERT_TRUE(ExitedWith(live.Finish(), 0)) << live.output();
  EXPECT_NE(live.output().find("$XDG_RUNTIME_DIR (" + runtime +
                               ") is not private to you"),
            std::string::npos)
      << live.output();
  EXPECT_NE(live.output().find("registry root " + dir_.File("kavex-live-")),
            std::string::npos)
      << live.output();
}

// What the screen shows through the server objects, written to a pipe: no
// escape codes, 80 columns, every switch waiting for its first frames on
// the first screen and good values with a time once frames are in.
TEST_F(KavexLiveTest, ShowsServerItemsWithQualityOnEightyColumns) {
  const std::string root = dir_.File("live");
  // Twelve screens, a second apart: a slow, loaded machine has the first
  // frames in well before the last one.
  Live live({"--root", root, "--refreshes", "12"}, {});
  ASSERT_TRUE(ExitedWith(live.Finish(), 0)) << live.output();
  const std::string out = live.output();
  EXPECT_EQ(out.find('\x1b'), std::string::npos);
  size_t start = 0;
  while (start < out.size()) {
    size_t end = out.find('\n', start);
    if (end == std::string::npos) end = out.size();
    EXPECT_LE(end - start, 80u) << out.substr(start, end - start);
    start = end + 1;
  }
  const size_t first = out.find("refresh 1");
  const size_t second = out.find("refresh 2");
  ASSERT_NE(first, std::string::npos) << out;
  ASSERT_NE(second, std::string::npos) << out;
  const std::string screen1 = out.substr(first, second - first);
  for (const char* alias : {"Line ", "Packing ", "Ring "}) {
    const size_t at = screen1.find(std::string("\n") + alias);
    ASSERT_NE(at, std::string::npos) << alias << screen1;
    EXPECT_EQ(screen1.compare(at + 28, 24, "waiting for first frames"), 0)
        << screen1.substr(at, 80);
  }
  EXPECT_EQ(screen1.find("Offline"), std::string::npos) << screen1;
  const std::string last = out.substr(out.find("refresh 12"));
  // Frames are in: a port row with its values, quality good and a time.
  EXPECT_NE(last.find("  P1   Up"), std::string::npos) << last;
  EXPECT_NE(last.find(" good "), std::string::npos) << last;
}

TEST_F(KavexLiveTest, HelpAndVersionExitZero) {
  Live help({"--help"}, {});
  ASSERT_TRUE(ExitedWith(help.Finish(), 0)) << help.output();
  EXPECT_NE(help.output().find("usage: kavex-live"), std::string::npos);
  Live version({"--version"}, {});
  ASSERT_TRUE(ExitedWith(version.Finish(), 0)) << version.output();
  EXPECT_EQ(version.output(), "kavex-live 10.4.0\n");
  Live bad({"--frobnicate", "x"}, {});
  EXPECT_TRUE(ExitedWith(bad.Finish(), 2)) << bad.output();
}

}  // namespace
}  // namespace kavex::tools
