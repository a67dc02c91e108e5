// Socket activation of the real kavex-opc-server, as systemd does it but
// without systemd: the test listens on 127.0.0.1:135 and :4135 inside a
// network namespace of its own, forks, puts the sockets at descriptors 3
// and 4 with LISTEN_PID, LISTEN_FDS and LISTEN_FDNAMES, and execs the
// program as the unprivileged user "nobody" (so it could not bind port 135
// itself) in local-server mode, on a simulated LAN. Unmodified node-opc-da
// then activates the Server class, browses, adds a group and items, reads
// and removes them; a wrong password is refused. The server is stopped and
// started again on the same sockets for a client whose connection was
// already waiting in the backlog; that client activates, releases its
// object, and the local server ends by itself: across processes only the
// real clock is there, so the test asks no more than that it ends within
// 60 s (the exact rule is the server loop's test, on the fake clock).
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/guid.h"
#include "platform/com/scoped_registry_root_for_test.h"
#include "platform/dcom/dispatcher.h"
#include "platform/dcom/exporter.h"
#include "platform/dcom/testing/remote_activation.h"
#include "platform/opc/opc_da.h"
#include "platform/registry/registry.h"
#include "platform/rpc/accounts.h"
#include "platform/rpc/client.h"
#include "server/objects/server_object.h"
#include "tests/e2e/command_output.h"
#include "tests/e2e/dcom_site.h"
#include "tests/e2e/private_network.h"

namespace kavex::e2e {
namespace {

constexpr uid_t kNobody = 65534;
constexpr gid_t kNogroup = 65534;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

int Listening(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
      listen(fd, 64) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Forks and execs the server with the two sockets handed over as systemd
// hands them; its standard output and error go to `log`. Returns the pid.
pid_t StartActivated(int activation, int object, const std::string& log) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    if (entry.rfind("LISTEN_", 0) == 0 || entry.rfind("NOTIFY_SOCKET=", 0) == 0)
      continue;
    env.push_back(entry);
  }
  // The pid is the child's own, written into the reserved digits after
  // the fork (nothing but plain stores between fork and exec).
  env.push_back("LISTEN_PID=0000000000");
  const size_t pid_entry = env.size() - 1;
  env.push_back("LISTEN_FDS=2");
  env.push_back(
      "LISTEN_FDNAMES=kavex-opc-server.socket:kavex-opc-server.socket");
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  char* pid_digits = envp[pid_entry] + strlen("LISTEN_PID=");
  std::string program = KAVEX_OPC_SERVER;
  char* argv[] = {program.data(), nullptr};
  int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out, STDOUT_FILENO);
    dup2(out, STDERR_FILENO);
    // Out of the way of 3 and 4 first, then into place (dup2 leaves the
    // copies without close-on-exec).
    int a = fcntl(activation, F_DUPFD, 10);
    int o = fcntl(object, F_DUPFD, 10);
    if (a < 0 || o < 0 || dup2(a, 3) != 3 || dup2(o, 4) != 4) _exit(120);
    close(a);
    close(o);
    pid_t self = getpid();
    for (int i = 9; i >= 0; --i) {
      pid_digits[i] = static_cast<char>('0' + self % 10);
      self /= 10;
    }
    // Leading zeros are not a number sd_listen_fds takes: shift the digits
    // to the front and end the string.
    int first = 0;
    while (first < 9 && pid_digits[first] == '0') ++first;
    int n = 0;
    for (int i = first; i < 10; ++i) pid_digits[n++] = pid_digits[i];
    pid_digits[n] = '\0';
    if (setgroups(0, nullptr) != 0 || setgid(kNogroup) != 0 ||
        setuid(kNobody) != 0) {
      _exit(121);
    }
    execve(argv[0], argv, envp.data());
    _exit(127);
  }
  close(out);
  return pid;
}

// Waits up to 60 s for the child to end (killing it then); the pid, or 0.
pid_t WaitForEnd(pid_t pid, int* status) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(60);
  pid_t ended = 0;
  while ((ended = waitpid(pid, status, WNOHANG)) == 0 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (ended == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, status, 0);
  }
  return ended;
}

constexpr int kSwitches = 2;
constexpr int kPorts = 8;

void Body() {
  ASSERT_EQ(system("ip link set lo up"), 0);
  const std::string node_dir =
      std::string(KAVEX_SOURCE_DIR) + "/tests/e2e/node";
  ASSERT_EQ(
      system(("test -d '" + node_dir + "/node_modules/node-opc-da'").c_str()),
      0)
      << "node-opc-da is missing (scripts/deps installs it)";

  com::ScopedRegistryRootForTest root;
  // "nobody" reads the registry, the configuration and the accounts.
  ASSERT_EQ(chmod(root.dir().c_str(), 0755), 0);
  ASSERT_NO_FATAL_FAILURE(RegisterSiteModules());
  std::string config;
  ASSERT_NO_FATAL_FAILURE(
      DeclareSite(root.dir(), {"ActLan", kSwitches, kPorts, 1}, &config));
  ASSERT_EQ(chmod(config.c_str(), 0644), 0);

  // The real program registers itself (local server: no "LocalService").
  int status = -1;
  std::string out = Run(std::string("KAVEX_SERVICE_MANAGER=none '") +
                            KAVEX_OPC_SERVER + "' /RegServer 2>&1",
                        &status);
  ASSERT_EQ(status, 0) << out;

  // The accounts: the server's user's own, 0600.
  const std::string accounts = root.dir() + "/accounts";
  {
    rpc::AccountStore store = SiteAccounts();
    std::string error;
    ASSERT_EQ(store.Save(accounts, &error), ERROR_SUCCESS) << error;
    ASSERT_EQ(chown(accounts.c_str(), kNobody, kNogroup), 0);
  }
  setenv("KAVEX_OPC_ACCOUNTS", accounts.c_str(), 1);
  // Every registry file readable by "nobody".
  ASSERT_EQ(system(("chmod -R a+rX '" + root.dir() + "'").c_str()), 0);
  ASSERT_EQ(chmod(accounts.c_str(), 0600), 0);

  // As the socket unit: systemd listens, and keeps its copies open after
  // the server has ended (so the next connection starts it again).
  int activation = Listening(135);
  int object = Listening(4135);
  ASSERT_GE(activation, 0);
  ASSERT_GE(object, 0);
  const std::string log = root.dir() + "/server.log";
  pid_t server = StartActivated(activation, object, log);
  ASSERT_GT(server, 0);

  std::string clsid = com::GuidToString(CLSID_Server);
  clsid = clsid.substr(1, clsid.size() - 2);
  auto client = [&](const char* password, int* code) {
    return Run("cd '" + node_dir +
                   "' && timeout 120 node --openssl-legacy-provider "
                   "opc_da_flow.js 127.0.0.1 " +
                   clsid + " KAVEX opc " + password +
                   " SW1.P1.Link_Status SW1.Status SW2.P3.Link_Status 2>&1",
               code);
  };
  // The first client's connection waits in the backlog while the server
  // starts: nothing to wait for before it.
  out = client("secret", &status);
  EXPECT_EQ(status, 0) << out << "\nserver:\n" << ReadFile(log);
  EXPECT_EQ(Field(out, "added"), "[0,0,0]") << out;
  EXPECT_EQ(Field(out, "removed"), "[0,0,0]") << out;
  EXPECT_EQ(Field(out, "groups_after_remove"), "0") << out;
  EXPECT_EQ(Field(out, "done"), "true") << out;
  EXPECT_GT(atoi(Field(out, "browsed_count").c_str()), kSwitches * kPorts)
      << out;
  printf("%s", out.c_str());
  out = client("wrong", &status);
  EXPECT_EQ(status, 3) << out;

  // node-opc-da leaves some references behind when it ends, which only
  // the collector takes (after three missed pings, six minutes): this
  // server is stopped as systemd stops a unit.
  kill(server, SIGTERM);
  int wait_status = 0;
  EXPECT_EQ(WaitForEnd(server, &wait_status), server);
  std::string server_log = ReadFile(log);
  EXPECT_NE(server_log.find("on the sockets the service manager passed"),
            std::string::npos)
      << server_log;
  printf("first server:\n%s", server_log.c_str());

  // A client connects while nothing runs: its connection waits in the
  // socket's backlog, and the server started for it takes it over.
  rpc::NtlmClientCredentials credentials;
  credentials.user = u"opc";
  credentials.domain = u"KAVEX";
  credentials.nt_hash = rpc::NtOwfV1(u"secret");
  rpc::ClientOptions options;
  options.credentials = &credentials;
  options.timeout_ms = 60000;  // the server's start-up included
  rpc::RpcClient activator(options);
  ASSERT_EQ(activator.Connect("127.0.0.1", 135), ERROR_SUCCESS);
  server = StartActivated(activation, object, log);
  ASSERT_GT(server, 0);
  ASSERT_EQ(activator.Bind(dcom::kIActivation), ERROR_SUCCESS);
  const IID iids[] = {IID_IOPCServer};
  std::vector<uint8_t> reply;
  dcom::testing::Activation a;
  ASSERT_EQ(
      activator.Call(0, 0, dcom::testing::ActivationRequest(CLSID_Server, iids),
                     &reply, &a.fault),
      ERROR_SUCCESS);
  ASSERT_EQ(a.fault, 0u);
  ASSERT_TRUE(dcom::testing::ParseActivation(reply, 1, &a));
  ASSERT_EQ(a.results.at(0), S_OK);
  // It holds the server object only through the exporter: released, the
  // local server has no client left.
  rpc::RpcClient releaser(options);
  ASSERT_EQ(releaser.Connect("127.0.0.1", 4135), ERROR_SUCCESS);
  ASSERT_EQ(releaser.Bind(dcom::kIRemUnknown), ERROR_SUCCESS);
  std::vector<uint8_t> request = dcom::testing::OrpcHeader();
  rpc::WireWriter w(&request);
  w.U16(1);
  w.Align(4);
  w.U32(1);
  w.Guid(a.objrefs.at(0).std.ipid);
  w.U32(dcom::kPublicRefsPerObjref);
  w.U32(0);
  uint32_t fault = 1;
  ASSERT_EQ(releaser.Call(0, 5, request, &reply, &fault, &a.rem_unknown),
            ERROR_SUCCESS);
  EXPECT_EQ(fault, 0u);

  // The last client is gone: the local server ends by itself, cleanly
  // (5 s later by its own clock; only a generous bound is asked here).
  pid_t ended = WaitForEnd(server, &wait_status);
  server_log = ReadFile(log);
  EXPECT_EQ(ended, server) << "the local server did not end within 60 s\n"
                           << server_log;
  EXPECT_TRUE(WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0)
      << server_log;
  printf("second server:\n%s", server_log.c_str());

  // The sockets stay the unit's: a later connection is queued for the next
  // start, as systemd would start it.
  int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(135);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(connect(probe, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  close(probe);
  close(activation);
  close(object);
  unsetenv("KAVEX_OPC_ACCOUNTS");
}

TEST(SocketActivationE2e, ActivatedServerServesNodeOpcDaAndEndsAfterIt) {
  InPrivateNetwork(Body);
}

}  // namespace
}  // namespace kavex::e2e
