// svcstop run as the package's scripts run it, against the fake service
// manager shared through its directory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/service/fake_service_manager.h"
#include "platform/service/service_names.h"
#include "platform/service/testing_support.h"

extern char** environ;

namespace kavex::installer {
namespace {

using service::ActiveState;
using service::FakeServiceManager;
using service::kServerUnitName;

struct Outcome {
  bool finished = false;  // false: still running at the deadline, killed
  int exit_code = -1;
  std::string output;  // stdout and stderr together
};

// Runs svcstop with `args` and KAVEX_SERVICE_MANAGER=`manager`, at most 30 s.
Outcome RunSvcstop(const std::string& manager,
               const std::vector<std::string>& args = {}) {
  Outcome run;
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return run;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, out[1], 2);
  std::vector<std::string> env_strings;
  for (char** e = environ; *e != nullptr; ++e)
    if (std::string(*e).rfind("KAVEX_SERVICE_MANAGER=", 0) != 0)
      env_strings.push_back(*e);
  env_strings.push_back("KAVEX_SERVICE_MANAGER=" + manager);
  std::vector<char*> env;
  for (std::string& s : env_strings) env.push_back(s.data());
  env.push_back(nullptr);
  std::vector<std::string> arg_strings = {KAVEX_SVCSTOP};
  arg_strings.insert(arg_strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : arg_strings) argv.push_back(s.data());
  argv.push_back(nullptr);
  pid_t pid;
  int spawned = posix_spawn(&pid, KAVEX_SVCSTOP, &actions, nullptr, argv.data(),
                            env.data());
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (spawned != 0) {
    close(out[0]);
    return run;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  char buffer[4096];
  bool timed_out = false;
  while (true) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    pollfd p{out[0], POLLIN, 0};
    if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) {
      timed_out = true;
      break;
    }
    ssize_t n = read(out[0], buffer, sizeof buffer);
    if (n <= 0) break;  // end of output: the program has ended
    run.output.append(buffer, static_cast<size_t>(n));
  }
  close(out[0]);
  int status = 0;
  // A program still running at the deadline is waiting for something.
  if (timed_out) kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  if (timed_out) return run;
  run.finished = WIFEXITED(status);
  run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

class SvcstopTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.path().empty()); }
  std::string Manager() const { return "fake:" + dir_.path(); }

  service::testing::TempDir dir_;
  FakeServiceManager fake_{dir_.path()};
};

TEST_F(SvcstopTest, NotInstalled) {
  Outcome run = RunSvcstop(Manager());
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(0, run.exit_code);
  EXPECT_EQ("", run.output);
  EXPECT_TRUE(fake_.Requests().empty());
}

TEST_F(SvcstopTest, ARunningServiceIsAskedOnceAndNotWaitedFor) {
  fake_.AddUnit(kServerUnitName, ActiveState::kActive);
  // The service never finishes stopping: svcstop must return regardless.
  fake_.SetFaults("stop-delay never\n");
  Outcome run = RunSvcstop(Manager());
  ASSERT_TRUE(run.finished) << "svcstop waited for the service";
  EXPECT_EQ(0, run.exit_code);
  EXPECT_EQ("", run.output);
  EXPECT_EQ(std::vector<std::string>{"stop kavex-opc-server.service"},
            fake_.Requests());
  EXPECT_EQ("deactivating never", fake_.StateLine(kServerUnitName));
}

TEST_F(SvcstopTest, AlreadyStoppedOrStopping) {
  for (ActiveState state : {ActiveState::kInactive, ActiveState::kFailed,
                            ActiveState::kDeactivating}) {
    SCOPED_TRACE(service::ActiveStateName(state));
    fake_.AddUnit(kServerUnitName, state);
    Outcome run = RunSvcstop(Manager());
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(0, run.exit_code);
    EXPECT_EQ("", run.output);
  }
  EXPECT_TRUE(fake_.Requests().empty());
}

TEST_F(SvcstopTest, WithoutRightsTheServiceIsUntouched) {
  fake_.AddUnit(kServerUnitName, ActiveState::kActive);
  fake_.SetFaults("unprivileged\n");
  Outcome run = RunSvcstop(Manager());
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(0, run.exit_code);
  EXPECT_EQ("", run.output);
  EXPECT_TRUE(fake_.Requests().empty());
  EXPECT_EQ("active", fake_.StateLine(kServerUnitName));
}

TEST_F(SvcstopTest, WithoutAServiceManager) {
  for (const std::string& manager :
       {std::string("none"), "fake:" + dir_.path() + "/missing"}) {
    SCOPED_TRACE(manager);
    Outcome run = RunSvcstop(manager);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(0, run.exit_code);
    EXPECT_EQ("", run.output);
  }
  fake_.SetFaults("no-manager\n");
  Outcome run = RunSvcstop(Manager());
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(0, run.exit_code);
  EXPECT_EQ("", run.output);
}

TEST_F(SvcstopTest, ArgumentsAreIgnored) {
  fake_.AddUnit(kServerUnitName, ActiveState::kActive);
  Outcome run = RunSvcstop(Manager(), {"--help", "/version", "extra words"});
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(0, run.exit_code);
  EXPECT_EQ("", run.output);
  EXPECT_EQ(std::vector<std::string>{"stop kavex-opc-server.service"},
            fake_.Requests());
  EXPECT_EQ("inactive", fake_.StateLine(kServerUnitName));
}

}  // namespace
}  // namespace kavex::installer
