#include "platform/service/service_manager.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/service/fake_service_manager.h"
#include "platform/service/service_names.h"
#include "platform/service/systemd_backend.h"
#include "platform/service/testing_support.h"
#include "platform/sync/last_error.h"

namespace kavex::service {
namespace {

constexpr DWORD kStartStopQuery = 0x34;  // start, stop and query status

class ServiceManagerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.path().empty()); }

  SC_HANDLE OpenManager(DWORD access = SC_MANAGER_ALL_ACCESS) {
    return OpenSCManagerA(nullptr, nullptr, access);
  }

  testing::TempDir dir_;
  FakeServiceManager fake_{dir_.path()};
  testing::ScopedBackendFactory scoped_{testing::FakeFactory(dir_.path())};
};

TEST_F(ServiceManagerTest, ManagerOpensOnlyForThisMachineAndDatabase) {
  SC_HANDLE manager = OpenSCManagerA("", "ServicesActive", 0x200F003F);
  ASSERT_NE(nullptr, manager) << GetLastError();
  EXPECT_TRUE(CloseServiceHandle(manager));
  manager = OpenSCManagerA(nullptr, "servicesactive", GENERIC_READ);
  ASSERT_NE(nullptr, manager);
  EXPECT_TRUE(CloseServiceHandle(manager));

  EXPECT_EQ(nullptr, OpenSCManagerA("plant-pc", nullptr, GENERIC_READ));
  EXPECT_EQ(static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE), GetLastError());
  EXPECT_EQ(nullptr, OpenSCManagerA(nullptr, "ServicesFailed", GENERIC_READ));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DATABASE_DOES_NOT_EXIST), GetLastError());

  fake_.SetFaults("no-manager\n");
  EXPECT_EQ(nullptr, OpenManager());
  EXPECT_EQ(static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE), GetLastError());
  fake_.SetFaults("garbage fault\n");
  EXPECT_EQ(nullptr, OpenManager());
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_DATA), GetLastError());
}

// The rights a caller that may not manage services gets, as the
// configurator's start-up check relies on them.
TEST_F(ServiceManagerTest, UnprivilegedCallersOnlyRead) {
  fake_.AddUnit(kServerUnitName, ActiveState::kActive);
  fake_.SetFaults("unprivileged\n");
  struct Case {
    DWORD access;
    bool granted;
  };
  const Case manager_cases[] = {
      {SC_MANAGER_ALL_ACCESS, false},
      {0x200F003F, false},
      {GENERIC_READ, true},
      {SC_MANAGER_CONNECT, true},
      {0, true},
      {SC_MANAGER_CREATE_SERVICE, false},
      {GENERIC_EXECUTE, false},
      {GENERIC_WRITE, false},
      {GENERIC_ALL, false},
      {0x00100000, false},  // unknown bit
  };
  for (const Case& c : manager_cases) {
    SCOPED_TRACE(c.access);
    SC_HANDLE manager = OpenManager(c.access);
    EXPECT_EQ(c.granted, manager != nullptr);
    if (!c.granted) {
      EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    }
    CloseServiceHandle(manager);
  }

  SC_HANDLE manager = OpenManager(GENERIC_READ);
  ASSERT_NE(nullptr, manager);
  const Case service_cases[] = {
      {SERVICE_QUERY_STATUS, true},
      {GENERIC_READ, true},
      {SERVICE_INTERROGATE, true},
      {kStartStopQuery, false},
      {SERVICE_START, false},
      {SERVICE_STOP, false},
      {DELETE, false},
      {SERVICE_ALL_ACCESS, false},
      {GENERIC_EXECUTE, false},
  };
  for (const Case& c : service_cases) {
    SCOPED_TRACE(c.access);
    SC_HANDLE service = OpenServiceA(manager, kServerServiceName, c.access);
    EXPECT_EQ(c.granted, service != nullptr);
    if (!c.granted) {
      EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    }
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  EXPECT_TRUE(fake_.Requests().empty());
}

TEST_F(ServiceManagerTest, CallsNeedTheRightsTheHandleWasOpenedWith) {
  fake_.AddUnit(kServerUnitName, ActiveState::kActive);
  SC_HANDLE manager = OpenManager(GENERIC_READ);
  ASSERT_NE(nullptr, manager);
  SC_HANDLE query =
      OpenServiceA(manager, kServerServiceName, SERVICE_QUERY_STATUS);
  ASSERT_NE(nullptr, query);
  SERVICE_STATUS status{};
  EXPECT_TRUE(QueryServiceStatus(query, &status));
  EXPECT_FALSE(StartServiceA(query, 0, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_FALSE(ControlService(query, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_FALSE(DeleteService(query));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  // Creating needs SC_MANAGER_CREATE_SERVICE on the manager.
  EXPECT_EQ(nullptr,
            CreateServiceA(manager, "other", nullptr, SERVICE_ALL_ACCESS,
                           SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                           SERVICE_ERROR_NORMAL, "/bin/true", nullptr, nullptr,
                           nullptr, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());

  SC_HANDLE stop_only = OpenServiceA(manager, kServerServiceName, 0);
  // A manager opened for reading still opens a service with more rights
  // for a caller who may manage services, as on Windows.
  SC_HANDLE full = OpenServiceA(manager, kServerServiceName, SERVICE_STOP);
  ASSERT_NE(nullptr, stop_only);
  ASSERT_NE(nullptr, full);
  EXPECT_FALSE(QueryServiceStatus(stop_only, &status));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_TRUE(ControlService(full, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ("inactive", fake_.StateLine(kServerUnitName));
  for (SC_HANDLE h : {query, stop_only, full, manager})
    EXPECT_TRUE(CloseServiceHandle(h));
}

TEST_F(ServiceManagerTest, BadHandlesFailCleanly) {
  fake_.AddUnit(kServerUnitName, ActiveState::kActive);
  SC_HANDLE manager = OpenManager();
  ASSERT_NE(nullptr, manager);
  SC_HANDLE service =
      OpenServiceA(manager, kServerServiceName, SERVICE_ALL_ACCESS);
  ASSERT_NE(nullptr, service);
  SERVICE_STATUS status{};
  SC_HANDLE forged = reinterpret_cast<SC_HANDLE>(0x1234);
  SC_HANDLE closed = OpenServiceA(manager, kServerServiceName, GENERIC_READ);
  ASSERT_TRUE(CloseServiceHandle(closed));
  for (SC_HANDLE bad : {static_cast<SC_HANDLE>(nullptr), forged, closed}) {
    EXPECT_FALSE(QueryServiceStatus(bad, &status));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_FALSE(ControlService(bad, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_FALSE(StartServiceA(bad, 0, nullptr));
    EXPECT_FALSE(DeleteService(bad));
    EXPECT_EQ(nullptr, OpenServiceA(bad, kServerServiceName, GENERIC_READ));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_FALSE(CloseServiceHandle(bad));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  }
  // The two kinds are not interchangeable.
  EXPECT_EQ(nullptr, OpenServiceA(service, kServerServiceName, GENERIC_READ));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  EXPECT_FALSE(QueryServiceStatus(manager, &status));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  // A service handle outlives its manager handle.
  EXPECT_TRUE(CloseServiceHandle(manager));
  EXPECT_TRUE(QueryServiceStatus(service, &status));
  EXPECT_FALSE(QueryServiceStatus(service, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  EXPECT_TRUE(CloseServiceHandle(service));
}

TEST_F(ServiceManagerTest, OpenServiceRefusesUnknownAndHostileNames) {
  SC_HANDLE manager = OpenManager();
  ASSERT_NE(nullptr, manager);
  EXPECT_EQ(nullptr, OpenServiceA(manager, kServerServiceName, GENERIC_READ));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), GetLastError());
  for (const char* name : {static_cast<const char*>(nullptr), "", "../units/x",
                           "a/b", "x\ny", "Kavex OPC Server "}) {
    SCOPED_TRACE(name ? name : "(null)");
    EXPECT_EQ(nullptr, OpenServiceA(manager, name, GENERIC_READ));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_NAME), GetLastError());
  }
  fake_.AddUnit(kServerUnitName, ActiveState::kInactive);
  SC_HANDLE service = OpenServiceA(manager, "kavex opc server", GENERIC_READ);
  EXPECT_NE(nullptr, service);
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
}

TEST_F(ServiceManagerTest, StopControlFollowsTheServiceState) {
  fake_.AddUnit(kServerUnitName, ActiveState::kInactive);
  SC_HANDLE manager = OpenManager();
  SC_HANDLE service =
      OpenServiceA(manager, kServerServiceName, SERVICE_ALL_ACCESS);
  ASSERT_NE(nullptr, service);
  SERVICE_STATUS status{};

  // Not running: not active, with the status still filled in.
  status.dwCurrentState = 0;
  EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE), GetLastError());
  EXPECT_EQ(SERVICE_STOPPED, status.dwCurrentState);
  EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_INTERROGATE, &status));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE), GetLastError());

  // Running: the stop is asked for and the call returns while it is
  // pending; a second stop cannot be accepted.
  ASSERT_TRUE(StartServiceA(service, 0, nullptr));
  EXPECT_FALSE(StartServiceA(service, 0, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING), GetLastError());
  // Two status reads see the stop pending: the one the stop control makes
  // after asking, and the second stop's.
  fake_.SetFaults("stop-delay 2\n");
  EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_INTERROGATE, &status));
  EXPECT_EQ(SERVICE_RUNNING, status.dwCurrentState);
  ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(SERVICE_STOP_PENDING, status.dwCurrentState);
  EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL),
            GetLastError());
  EXPECT_EQ(SERVICE_STOP_PENDING, status.dwCurrentState);
  ASSERT_TRUE(QueryServiceStatus(service, &status));
  EXPECT_EQ(SERVICE_STOPPED, status.dwCurrentState);

  // Controls the services here do not accept, and codes that are no control.
  ASSERT_TRUE(StartServiceA(service, 0, nullptr));
  for (DWORD control : {SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_CONTINUE,
                        DWORD{6}, DWORD{128}}) {
    SCOPED_TRACE(control);
    EXPECT_FALSE(ControlService(service, control, &status));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL),
              GetLastError());
  }
  for (DWORD control : {DWORD{0}, SERVICE_CONTROL_SHUTDOWN, DWORD{256}}) {
    EXPECT_FALSE(ControlService(service, control, &status));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  }
  EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  EXPECT_EQ((std::vector<std::string>{"start kavex-opc-server.service",
                                      "stop kavex-opc-server.service",
                                      "start kavex-opc-server.service"}),
            fake_.Requests());
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
}

TEST_F(ServiceManagerTest, StartReportsWhyItCannot) {
  fake_.AddUnit(kServerUnitName, ActiveState::kInactive);
  SC_HANDLE manager = OpenManager();
  SC_HANDLE service =
      OpenServiceA(manager, kServerServiceName, SERVICE_ALL_ACCESS);
  ASSERT_NE(nullptr, service);
  const char* args[] = {"x"};
  EXPECT_FALSE(StartServiceA(service, 1, args));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());

  fake_.SetFaults("masked kavex-opc-server.service\n");
  EXPECT_FALSE(StartServiceA(service, 0, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DISABLED), GetLastError());

  // A start that fails leaves the service stopped with its exit status.
  fake_.SetFaults("start-fails\n");
  ASSERT_TRUE(StartServiceA(service, 0, nullptr));
  SERVICE_STATUS status{};
  ASSERT_TRUE(QueryServiceStatus(service, &status));
  EXPECT_EQ(SERVICE_STOPPED, status.dwCurrentState);
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR),
            status.dwWin32ExitCode);
  EXPECT_EQ(1u, status.dwServiceSpecificExitCode);
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
}

TEST_F(ServiceManagerTest, CreateServiceWritesTheUnitAndRefusesWhatItCannot) {
  SC_HANDLE manager = OpenManager();
  ASSERT_NE(nullptr, manager);
  ::setenv("KAVEX_REGISTRY_ROOT", "/srv/kavex/registry", 1);
  SC_HANDLE service = CreateServiceA(
      manager, kServerServiceName, kServerServiceName, SERVICE_ALL_ACCESS,
      SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
      "\"/usr/lib/kavex-opc/kavex-opc-server\"", nullptr, nullptr, "RPCSS\0",
      nullptr, nullptr);
  ::unsetenv("KAVEX_REGISTRY_ROOT");
  ASSERT_NE(nullptr, service) << GetLastError();
  std::string text = fake_.UnitText(kServerUnitName);
  EXPECT_NE(std::string::npos, text.find("Description=Kavex OPC Server\n"));
  // The server starts after the network and its socket unit, which it
  // requires, and reads the accounts as a credential.
  EXPECT_NE(std::string::npos,
            text.find("After=network.target kavex-opc-server.socket\n"));
  EXPECT_NE(std::string::npos, text.find("Requires=kavex-opc-server.socket\n"));
  EXPECT_NE(std::string::npos,
            text.find("LoadCredential=accounts:/etc/kavex-opc/accounts\n"));
  EXPECT_NE(
      std::string::npos,
      text.find("Environment=\"KAVEX_REGISTRY_ROOT=/srv/kavex/registry\""));
  EXPECT_EQ("inactive", fake_.StateLine(kServerUnitName));
  CloseServiceHandle(service);

  struct Case {
    const char* what;
    const char* name;
    const char* display;
    DWORD type;
    DWORD start;
    const char* path;
    const char* dependencies;
    const char* account;
    DWORD error;
  };
  const DWORD own = SERVICE_WIN32_OWN_PROCESS;
  const DWORD demand = SERVICE_DEMAND_START;
  const Case cases[] = {
      {"exists", kServerServiceName, nullptr, own, demand, "/bin/true", nullptr,
       nullptr, ERROR_SERVICE_EXISTS},
      {"bad name", "a/b", nullptr, own, demand, "/bin/true", nullptr, nullptr,
       ERROR_INVALID_NAME},
      {"no name", nullptr, nullptr, own, demand, "/bin/true", nullptr, nullptr,
       ERROR_INVALID_NAME},
      {"other display name", "x", "y", own, demand, "/bin/true", nullptr,
       nullptr, ERROR_INVALID_PARAMETER},
      {"shared process", "x", nullptr, SERVICE_WIN32_SHARE_PROCESS, demand,
       "/bin/true", nullptr, nullptr, ERROR_INVALID_PARAMETER},
      {"auto start", "x", nullptr, own, SERVICE_AUTO_START, "/bin/true",
       nullptr, nullptr, ERROR_INVALID_PARAMETER},
      {"no path", "x", nullptr, own, demand, nullptr, nullptr, nullptr,
       ERROR_INVALID_PARAMETER},
      {"relative path", "x", nullptr, own, demand, "server.exe", nullptr,
       nullptr, ERROR_INVALID_PARAMETER},
      {"open quote", "x", nullptr, own, demand, "\"/bin/true", nullptr, nullptr,
       ERROR_INVALID_PARAMETER},
      {"line break in path", "x", nullptr, own, demand,
       "/bin/true\nExecStartPre=/bin/sh -c id", nullptr, nullptr,
       ERROR_INVALID_PARAMETER},
      {"unknown dependency", "x", nullptr, own, demand, "/bin/true",
       "LanmanServer\0", nullptr, ERROR_INVALID_PARAMETER},
      {"an account", "x", nullptr, own, demand, "/bin/true", nullptr,
       "NT AUTHORITY\\NetworkService", ERROR_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(
        nullptr,
        CreateServiceA(manager, c.name, c.display, SERVICE_ALL_ACCESS, c.type,
                       c.start, SERVICE_ERROR_NORMAL, c.path, nullptr, nullptr,
                       c.dependencies, c.account, nullptr));
    EXPECT_EQ(c.error, GetLastError());
  }
  EXPECT_EQ("", fake_.UnitText("x.service"));
  EXPECT_EQ(std::vector<std::string>{"install kavex-opc-server.service"},
            fake_.Requests());

  SC_HANDLE local =
      CreateServiceA(manager, "x", nullptr, SERVICE_ALL_ACCESS, own, demand,
                     SERVICE_ERROR_NORMAL, "/bin/true --flag", nullptr, nullptr,
                     nullptr, ".\\LocalSystem", "");
  EXPECT_NE(nullptr, local) << GetLastError();
  CloseServiceHandle(local);
  CloseServiceHandle(manager);
}

TEST_F(ServiceManagerTest, DeletedServicesAreMarked) {
  fake_.AddUnit(kServerUnitName, ActiveState::kActive);
  SC_HANDLE manager = OpenManager();
  SC_HANDLE service =
      OpenServiceA(manager, kServerServiceName, SERVICE_ALL_ACCESS);
  SC_HANDLE other =
      OpenServiceA(manager, kServerServiceName, SERVICE_ALL_ACCESS);
  ASSERT_NE(nullptr, service);
  ASSERT_TRUE(DeleteService(service));
  EXPECT_EQ("", fake_.UnitText(kServerUnitName));
  EXPECT_FALSE(DeleteService(service));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE),
            GetLastError());
  EXPECT_FALSE(StartServiceA(service, 0, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE),
            GetLastError());
  // Another handle to the deleted service reads it stopped and cannot start
  // or delete it either.
  SERVICE_STATUS status{};
  ASSERT_TRUE(QueryServiceStatus(other, &status));
  EXPECT_EQ(SERVICE_STOPPED, status.dwCurrentState);
  EXPECT_FALSE(StartServiceA(other, 0, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE),
            GetLastError());
  EXPECT_FALSE(DeleteService(other));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE),
            GetLastError());
  for (SC_HANDLE h : {service, other, manager}) CloseServiceHandle(h);
}

// Handles opened, used and closed from many threads at once, with some
// threads closing handles others still use: every call either works or
// fails with ERROR_INVALID_HANDLE.
TEST_F(ServiceManagerTest, HandlesAreSafeAcrossThreads) {
  fake_.AddUnit(kServerUnitName, ActiveState::kActive);
  SC_HANDLE manager = OpenManager(GENERIC_READ);
  ASSERT_NE(nullptr, manager);
  std::atomic<SC_HANDLE> shared{nullptr};
  std::atomic<int> unexpected{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 100; ++i) {
        SC_HANDLE mine =
            OpenServiceA(manager, kServerServiceName, SERVICE_QUERY_STATUS);
        if (mine == nullptr) ++unexpected;
        SC_HANDLE previous = shared.exchange(mine);
        SERVICE_STATUS status{};
        if (previous != nullptr) {
          if (!QueryServiceStatus(previous, &status) &&
              GetLastError() != static_cast<DWORD>(ERROR_INVALID_HANDLE))
            ++unexpected;
          if (t % 2 == 0) CloseServiceHandle(previous);
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  CloseServiceHandle(shared.load());
  EXPECT_EQ(0, unexpected.load());
  EXPECT_TRUE(CloseServiceHandle(manager));
}

TEST(BackendChoiceTest, TheEnvironmentChoosesAndNothingPretends) {
  testing::TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  FakeServiceManager fake(dir.path());
  fake.AddUnit(kServerUnitName, ActiveState::kActive);
  struct Case {
    std::string value;
    bool opens;
  };
  const Case cases[] = {
      {"fake:" + dir.path(), true},
      {"fake:" + dir.path() + "/missing", false},
      {"fake:", false},
      {"none", false},
      {"pretend", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    ::setenv("KAVEX_SERVICE_MANAGER", c.value.c_str(), 1);
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, GENERIC_READ);
    EXPECT_EQ(c.opens, manager != nullptr);
    if (!c.opens) {
      EXPECT_EQ(static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE), GetLastError());
    }
    CloseServiceHandle(manager);
  }
  ::unsetenv("KAVEX_SERVICE_MANAGER");
  if (!SystemdIsInit()) {
    // Without systemd and without a choice there is no service manager.
    EXPECT_EQ(nullptr, OpenSCManagerA(nullptr, nullptr, GENERIC_READ));
    EXPECT_EQ(static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE), GetLastError());
  }
}

TEST(FakeServiceManagerTest, DamagedStateFilesAreReportedNotTrusted) {
  testing::TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  FakeServiceManager fake(dir.path());
  fake.AddUnit("x.service", ActiveState::kActive);
  const char* damaged[] = {"",
                           "running\n",
                           "active 1 2\n",
                           "failed x\n",
                           "active never\n",
                           "failed -1\n",
                           "\n\n",
                           "deactivating 99999999999\n"};
  for (const char* text : damaged) {
    SCOPED_TRACE(text);
    FILE* f = fopen((dir.path() + "/state/x.service").c_str(), "w");
    ASSERT_NE(nullptr, f);
    fputs(text, f);
    fclose(f);
    UnitStatus status;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_DATA),
              fake.GetStatus("x.service", &status));
  }
  for (const char* faults : {"stop-delay\n", "stop-delay soon\n", "masked\n",
                             "unprivileged yes\n"}) {
    SCOPED_TRACE(faults);
    fake.SetFaults(faults);
    bool allowed;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_DATA), fake.MayManage(&allowed));
  }
}

}  // namespace
}  // namespace kavex::service
