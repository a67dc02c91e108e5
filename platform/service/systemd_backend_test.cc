#include "platform/service/systemd_backend.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "platform/service/fake_systemd_bus.h"
#include "platform/service/service_manager.h"
#include "platform/service/service_names.h"
#include "platform/service/testing_support.h"
#include "platform/sync/last_error.h"

namespace kavex::service {
namespace {

using testing::FakeSystemdBus;
using Unit = FakeSystemdBus::Unit;

bool Contains(const std::vector<std::string>& calls, const std::string& call) {
  for (const std::string& c : calls)
    if (c == call) return true;
  return false;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// The service manager API over the systemd backend, which talks D-Bus to an
// in-process stand-in for systemd and polkit.
class SystemdBackendTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.path().empty()); }

  void Use(bool root) {
    SystemdOptions options;
    options.unit_directory = dir_.path();
    options.open_bus = bus_.Opener();
    options.caller_is_root = root;
    scoped_.emplace([options](std::unique_ptr<Backend>* backend) {
      return SystemdBackend::Connect(options, backend);
    });
  }

  SC_HANDLE OpenServer(DWORD access) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, GENERIC_READ);
    EXPECT_NE(nullptr, manager) << GetLastError();
    SC_HANDLE service = OpenServiceA(manager, kServerServiceName, access);
    CloseServiceHandle(manager);
    return service;
  }

  testing::TempDir dir_;
  FakeSystemdBus bus_{dir_.path()};
  std::optional<testing::ScopedBackendFactory> scoped_;
};

TEST_F(SystemdBackendTest, CreateStartStopDeleteGoThroughTheManager) {
  Use(/*root=*/true);
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  ASSERT_NE(nullptr, manager) << GetLastError();
  SC_HANDLE service = CreateServiceA(
      manager, kServerServiceName, kServerServiceName, SERVICE_ALL_ACCESS,
      SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
      "\"/usr/lib/kavex-opc/kavex-opc-server\"", nullptr, nullptr, "RPCSS\0",
      nullptr, nullptr);
  ASSERT_NE(nullptr, service) << GetLastError();
  std::string unit_file = dir_.path() + "/" + kServerUnitName;
  std::string text = ReadAll(unit_file);
  EXPECT_NE(std::string::npos,
            text.find("ExecStart=\"/usr/lib/kavex-opc/kavex-opc-server\"\n"));
  struct stat st;
  ASSERT_EQ(0, stat(unit_file.c_str(), &st));
  EXPECT_EQ(0644u, st.st_mode & 07777);
  EXPECT_TRUE(Contains(bus_.Calls(), "Reload"));
  EXPECT_EQ("loaded", bus_.GetUnit(kServerUnitName).load_state);

  // A second creation finds it.
  EXPECT_EQ(
      nullptr,
      CreateServiceA(manager, kServerServiceName, nullptr, SERVICE_ALL_ACCESS,
                     SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                     SERVICE_ERROR_NORMAL, "/bin/true", nullptr, nullptr,
                     nullptr, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_EXISTS), GetLastError());

  SERVICE_STATUS status{};
  ASSERT_TRUE(QueryServiceStatus(service, &status));
  EXPECT_EQ(SERVICE_STOPPED, status.dwCurrentState);
  ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
  EXPECT_TRUE(
      Contains(bus_.Calls(), "StartUnit kavex-opc-server.service replace"));
  ASSERT_TRUE(QueryServiceStatus(service, &status));
  EXPECT_EQ(SERVICE_RUNNING, status.dwCurrentState);
  EXPECT_EQ(SERVICE_ACCEPT_STOP, status.dwControlsAccepted);

  // The stop is only queued: systemd still shows the unit stopping.
  bus_.SetStopResult("deactivating");
  ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status));
  EXPECT_TRUE(
      Contains(bus_.Calls(), "StopUnit kavex-opc-server.service replace"));
  EXPECT_EQ(SERVICE_STOP_PENDING, status.dwCurrentState);
  EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL),
            GetLastError());

  bus_.SetStopResult("inactive");
  ASSERT_TRUE(DeleteService(service)) << GetLastError();
  EXPECT_NE(0, access(unit_file.c_str(), F_OK));
  EXPECT_EQ("not-found", bus_.GetUnit(kServerUnitName).load_state);
  EXPECT_EQ("inactive", bus_.GetUnit(kServerUnitName).active_state);
  EXPECT_FALSE(StartServiceA(service, 0, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE),
            GetLastError());
  CloseServiceHandle(service);

  EXPECT_EQ(nullptr, OpenServiceA(manager, kServerServiceName, GENERIC_READ));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), GetLastError());
  CloseServiceHandle(manager);
}

TEST_F(SystemdBackendTest, UnitStatesReadAsServiceStates) {
  Use(/*root=*/true);
  struct Case {
    Unit unit;
    DWORD state;
    DWORD accepted;
    DWORD exit_code;
    DWORD specific;
  };
  const Case cases[] = {
      {{"loaded", "inactive", 0}, SERVICE_STOPPED, 0, 0, 0},
      {{"loaded", "activating", 0},
       SERVICE_START_PENDING,
       SERVICE_ACCEPT_STOP,
       0,
       0},
      {{"loaded", "active", 0}, SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0},
      {{"loaded", "reloading", 0}, SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0},
      {{"loaded", "refreshing", 0}, SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0},
      {{"loaded", "deactivating", 0}, SERVICE_STOP_PENDING, 0, 0, 0},
      {{"loaded", "failed", 3},
       SERVICE_STOPPED,
       0,
       ERROR_SERVICE_SPECIFIC_ERROR,
       3},
      {{"loaded", "failed", 0}, SERVICE_STOPPED, 0, ERROR_PROCESS_ABORTED, 0},
      // A unit whose file is gone while its process still runs.
      {{"not-found", "active", 0}, SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0},
      {{"masked", "inactive", 0}, SERVICE_STOPPED, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.unit.load_state + "/" + c.unit.active_state);
    bus_.SetUnit(kServerUnitName, c.unit);
    SC_HANDLE service = OpenServer(SERVICE_QUERY_STATUS);
    ASSERT_NE(nullptr, service) << GetLastError();
    SERVICE_STATUS status{};
    ASSERT_TRUE(QueryServiceStatus(service, &status)) << GetLastError();
    EXPECT_EQ(SERVICE_WIN32_OWN_PROCESS, status.dwServiceType);
    EXPECT_EQ(c.state, status.dwCurrentState);
    EXPECT_EQ(c.accepted, status.dwControlsAccepted);
    EXPECT_EQ(c.exit_code, status.dwWin32ExitCode);
    EXPECT_EQ(c.specific, status.dwServiceSpecificExitCode);
    CloseServiceHandle(service);
  }
  bus_.SetUnit(kServerUnitName, {"not-found", "inactive", 0});
  EXPECT_EQ(nullptr, OpenServer(SERVICE_QUERY_STATUS));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), GetLastError());
}

TEST_F(SystemdBackendTest, BusErrorsReadAsWin32Errors) {
  Use(/*root=*/true);
  struct Case {
    const char* name;
    DWORD error;
  };
  const Case cases[] = {
      {"org.freedesktop.DBus.Error.AccessDenied", ERROR_ACCESS_DENIED},
      {"org.freedesktop.DBus.Error.InteractiveAuthorizationRequired",
       ERROR_ACCESS_DENIED},
      {"org.freedesktop.PolicyKit1.Error.NotAuthorized", ERROR_ACCESS_DENIED},
      {"org.freedesktop.systemd1.NoSuchUnit", ERROR_SERVICE_DOES_NOT_EXIST},
      {"org.freedesktop.systemd1.UnitMasked", ERROR_SERVICE_DISABLED},
      {"org.freedesktop.systemd1.ShuttingDown", ERROR_SHUTDOWN_IN_PROGRESS},
      {"org.freedesktop.DBus.Error.ServiceUnknown", RPC_S_SERVER_UNAVAILABLE},
      {"org.freedesktop.DBus.Error.NoReply", ERROR_TIMEOUT},
      {"com.example.Unheard.Of", ERROR_GEN_FAILURE},
  };
  bus_.SetUnit(kServerUnitName, {"loaded", "inactive", 0});
  SC_HANDLE service = OpenServer(SERVICE_START);
  ASSERT_NE(nullptr, service) << GetLastError();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    bus_.FailMethod("StartUnit", c.name);
    EXPECT_FALSE(StartServiceA(service, 0, nullptr));
    EXPECT_EQ(c.error, GetLastError());
  }
  CloseServiceHandle(service);

  // errno values without an error name.
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED),
            Win32ErrorFromBus(nullptr, -EPERM));
  EXPECT_EQ(static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE),
            Win32ErrorFromBus(nullptr, -ECONNREFUSED));
  EXPECT_EQ(static_cast<DWORD>(ERROR_TIMEOUT),
            Win32ErrorFromBus(nullptr, -ETIMEDOUT));
  EXPECT_EQ(static_cast<DWORD>(ERROR_GEN_FAILURE),
            Win32ErrorFromBus(nullptr, -EPROTO));
}

TEST_F(SystemdBackendTest, HostileRepliesGiveClearErrors) {
  Use(/*root=*/true);
  bus_.SetUnit(kServerUnitName, {"loaded", "active", 0});
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, GENERIC_READ);
  ASSERT_NE(nullptr, manager);

  bus_.SetPropertyAsInteger("ActiveState");
  EXPECT_EQ(nullptr, OpenServiceA(manager, kServerServiceName, GENERIC_READ));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_DATA), GetLastError());
  bus_.SetPropertyAsInteger("");

  bus_.SetUnit(kServerUnitName, {"loaded", "exploding", 0});
  EXPECT_EQ(nullptr, OpenServiceA(manager, kServerServiceName, GENERIC_READ));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_DATA), GetLastError());
  bus_.SetUnit(kServerUnitName, {"loaded", "", 0});
  EXPECT_EQ(nullptr, OpenServiceA(manager, kServerServiceName, GENERIC_READ));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_DATA), GetLastError());

  bus_.SetUnit(kServerUnitName, {"loaded", "active", 0});
  bus_.SetLoadUnitReplyAsString(true);
  EXPECT_EQ(nullptr, OpenServiceA(manager, kServerServiceName, GENERIC_READ));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_DATA), GetLastError());
  bus_.SetLoadUnitReplyAsString(false);

  bus_.FailMethod("Get", "org.freedesktop.DBus.Error.UnknownProperty");
  EXPECT_EQ(nullptr, OpenServiceA(manager, kServerServiceName, GENERIC_READ));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_SUPPORTED), GetLastError());
  CloseServiceHandle(manager);
}

TEST_F(SystemdBackendTest, NoConnectionIsNoServiceManager) {
  SystemdOptions options;
  options.open_bus = [](sd_bus**) { return -ENOENT; };
  testing::ScopedBackendFactory scoped(
      [options](std::unique_ptr<Backend>* backend) {
        return SystemdBackend::Connect(options, backend);
      });
  EXPECT_EQ(nullptr, OpenSCManagerA(nullptr, nullptr, GENERIC_READ));
  EXPECT_EQ(static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE), GetLastError());
}

TEST_F(SystemdBackendTest, OthersThanRootNeedPolkitToManage) {
  Use(/*root=*/false);
  bus_.SetUnit(kServerUnitName, {"loaded", "active", 0});
  struct Case {
    bool available;
    bool authorized;
    bool may_manage;
  };
  for (const Case& c : {Case{true, true, true}, Case{true, false, false},
                        Case{false, false, false}}) {
    SCOPED_TRACE(::testing::Message() << c.available << c.authorized);
    bus_.SetPolkit(c.available, c.authorized);
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    EXPECT_EQ(c.may_manage, manager != nullptr);
    if (!c.may_manage) {
      EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
      // Reading stays open to everybody, starting and stopping does not.
      manager = OpenSCManagerA(nullptr, nullptr, GENERIC_READ);
      ASSERT_NE(nullptr, manager);
      EXPECT_EQ(nullptr, OpenServiceA(manager, kServerServiceName, 0x34));
      EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
      SC_HANDLE service = OpenServiceA(manager, kServerServiceName, 0x4);
      EXPECT_NE(nullptr, service);
      CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
  }
  EXPECT_TRUE(Contains(bus_.Calls(),
                       "CheckAuthorization org.freedesktop.systemd1.manage-"
                       "units " +
                           std::to_string(getpid())));
}

TEST_F(SystemdBackendTest, InstallAndRemoveKeepTheUnitDirectoryConsistent) {
  Use(/*root=*/true);
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  ASSERT_NE(nullptr, manager);
  std::string unit_file = dir_.path() + "/" + kServerUnitName;

  // A manager that refuses the reload gets no unit file left behind.
  bus_.FailMethod("Reload", "org.freedesktop.DBus.Error.AccessDenied");
  EXPECT_EQ(
      nullptr,
      CreateServiceA(manager, kServerServiceName, nullptr, SERVICE_ALL_ACCESS,
                     SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                     SERVICE_ERROR_NORMAL, "/usr/bin/kavex-opc-server", nullptr,
                     nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_NE(0, access(unit_file.c_str(), F_OK));

  // A unit that came with the system's packages is not ours to delete.
  bus_.FailMethod("Reload", "");  // an empty name: no failure injected
  bus_.SetUnit(kServerUnitName, {"loaded", "inactive", 0});
  SC_HANDLE service = OpenServiceA(manager, kServerServiceName, DELETE);
  ASSERT_NE(nullptr, service) << GetLastError();
  EXPECT_FALSE(DeleteService(service));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_FALSE(
      Contains(bus_.Calls(), "StopUnit kavex-opc-server.service replace"));

  // A stop that is refused leaves the unit file where it is.
  std::ofstream(unit_file) << "[Service]\n";
  bus_.FailMethod("StopUnit", "org.freedesktop.DBus.Error.AccessDenied");
  EXPECT_FALSE(DeleteService(service));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_EQ(0, access(unit_file.c_str(), F_OK));
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
}

// Against the machine's own systemd, where it runs.
TEST(SystemdMachineTest, QueriesTheRunningManager) {
  if (!SystemdIsInit())
    GTEST_SKIP() << "systemd is not the init system here (no "
                    "/run/systemd/system): the real backend is not tested";
  testing::ScopedBackendFactory scoped([](std::unique_ptr<Backend>* backend) {
    return SystemdBackend::Connect(SystemdOptions{}, backend);
  });
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, GENERIC_READ);
  ASSERT_NE(nullptr, manager) << GetLastError();
  SC_HANDLE journald =
      OpenServiceA(manager, "systemd-journald.service", SERVICE_QUERY_STATUS);
  ASSERT_NE(nullptr, journald) << GetLastError();
  SERVICE_STATUS status{};
  ASSERT_TRUE(QueryServiceStatus(journald, &status)) << GetLastError();
  EXPECT_EQ(SERVICE_RUNNING, status.dwCurrentState);
  CloseServiceHandle(journald);
  EXPECT_EQ(nullptr, OpenServiceA(manager, "kavex-no-such-unit-here",
                                  SERVICE_QUERY_STATUS));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), GetLastError());
  CloseServiceHandle(manager);
}

}  // namespace
}  // namespace kavex::service
