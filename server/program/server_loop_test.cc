// The server loop with the server objects on a scripted device: start-up
// failures, the lifetime of a local server and of a service on the fake
// clock, and what the trace log receives at levels 0 and 4.
#include "server/program/server_loop.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "platform/com/activation.h"
#include "platform/com/scoped_registry_root_for_test.h"
#include "platform/opc/opc_da.h"
#include "platform/registry/registry.h"
#include "platform/sync/clock.h"
#include "server/objects/enum_item_attributes.h"
#include "server/objects/process_state.h"
#include "server/objects/server_object.h"
#include "server/objects/testing/scripted_device.h"
#include "server/objects/trace_log.h"
#include "server/program/lifetime_monitor.h"

namespace kavex::server {
namespace {

using testing::ScriptedDevice;
using Clock = std::chrono::steady_clock;

class ServerLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sync::SetClockForTesting(&clock_);
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    ResetServerLoopForTesting();
    char pattern[] = "/tmp/kavex-program-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    work_dir_ = pattern;
    char old[4096];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    old_dir_ = old;
    ASSERT_EQ(chdir(work_dir_.c_str()), 0);
  }
  void TearDown() override {
    if (loop_.joinable()) {
      QuitServerLoop();
      loop_.join();
    }
    EXPECT_EQ(CServer::InstanceCount(), 0);
    EXPECT_EQ(ScriptedDevice::InstanceCount(), 0);
    EXPECT_EQ(chdir(old_dir_.c_str()), 0);
    std::filesystem::remove_all(work_dir_);
    CoUninitialize();
    SetTraceLevel(0);
    sync::SetClockForTesting(nullptr);
  }

  // Runs the loop on a thread of its own with a scripted device; returns
  // once it serves (false after a 30 s deadline).
  bool StartLoop(bool service_mode) {
    ServerLoopOptions options;
    options.service_mode = service_mode;
    options.create_device = [] {
      com::ComPtr<ScriptedDevice> device;
      HRESULT hr = ScriptedDevice::CreateInstance(&device);
      if (SUCCEEDED(hr)) SetProcessDevice(device.Get());
      return hr;
    };
    // The scripted device is an object of this test program too; the
    // server's own objects are what keep a local server alive.
    options.lock_count = [] {
      return CServer::InstanceCount() + CGroup::InstanceCount() +
             CEnumOPCItemAttributes::InstanceCount();
    };
    options.on_serving = [this] { serving_ = true; };
    loop_ = std::thread([this, options] {
      result_ = RunServerLoop(options);
      returned_ = true;
    });
    return WaitFor([this] { return serving_.load() || returned_.load(); }) &&
           serving_;
  }

  template <class Condition>
  bool WaitFor(Condition done) {
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (!done()) {
      if (Clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }

  // Moves the fake clock a second at a time, letting the monitor look
  // between steps, until the loop returns or `limit_ms` have passed.
  DWORD AdvanceUntilReturned(DWORD limit_ms) {
    DWORD passed = 0;
    while (!returned_ && passed < limit_ms) {
      clock_.Advance(100);
      passed += 100;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return passed;
  }

  com::ComPtr<IOPCServer> Connect() {
    com::ComPtr<IOPCServer> server;
    EXPECT_EQ(CoCreateInstance(CLSID_Server, nullptr, CLSCTX_LOCAL_SERVER,
                               IID_IOPCServer,
                               reinterpret_cast<void**>(server.GetAddressOf())),
              S_OK);
    return server;
  }

  void AddAndRemoveGroup(IOPCServer* server) {
    OPCHANDLE handle = 0;
    DWORD revised = 0;
    com::ComPtr<IUnknown> group;
    ASSERT_EQ(
        server->AddGroup(u"G", TRUE, 1000, 1, nullptr, nullptr, 1033, &handle,
                         &revised, IID_IUnknown, group.GetAddressOf()),
        S_OK);
    group.Reset();
    EXPECT_EQ(server->RemoveGroup(handle, FALSE), S_OK);
  }

  std::string TraceFile() {
    std::ifstream in(work_dir_ + "/" + kTraceFileName);
    return {std::istreambuf_iterator<char>(in), {}};
  }

  void SetLoggingLevel(const char* level) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kTraceLevelKey, 0, nullptr, 0,
                              KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, kTraceLevelValue, 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(level),
                             static_cast<DWORD>(strlen(level) + 1)),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }

  com::ScopedRegistryRootForTest registry_;
  sync::FakeClock clock_;
  std::string work_dir_, old_dir_;
  std::thread loop_;
  std::atomic<bool> serving_{false}, returned_{false};
  std::atomic<HRESULT> result_{E_UNEXPECTED};
};

TEST_F(ServerLoopTest, ADeviceThatCannotBeCreatedFailsBeforeAnyClassObject) {
  // The registry knows no "KavexOPCDevice.Device".
  ServerLoopOptions options;
  bool on_serving = false;
  options.on_serving = [&] { on_serving = true; };
  EXPECT_EQ(RunServerLoop(options), CO_E_CLASSSTRING);
  EXPECT_FALSE(on_serving);
  EXPECT_EQ(ProcessDevice(), nullptr);

  // A device failing its creation: its result, and no class object was
  // there while it was being created.
  HRESULT seen = S_OK;
  options.create_device = [&seen] {
    com::ComPtr<IUnknown> factory;
    seen = CoGetClassObject(CLSID_Server, CLSCTX_LOCAL_SERVER, nullptr,
                            IID_IUnknown,
                            reinterpret_cast<void**>(factory.GetAddressOf()));
    return E_ACCESSDENIED;
  };
  EXPECT_EQ(RunServerLoop(options), E_ACCESSDENIED);
  EXPECT_TRUE(FAILED(seen));
  com::ComPtr<IOPCServer> server;
  EXPECT_TRUE(FAILED(CoCreateInstance(
      CLSID_Server, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
      reinterpret_cast<void**>(server.GetAddressOf()))));
}

TEST_F(ServerLoopTest, LocalServerQuitsFiveSecondsAfterTheLastRelease) {
  ASSERT_TRUE(StartLoop(/*service_mode=*/false));
  com::ComPtr<IOPCServer> server = Connect();
  ASSERT_TRUE(server);
  AddAndRemoveGroup(server.Get());
  // A client holding its server keeps the process, however long.
  EXPECT_EQ(AdvanceUntilReturned(20000), 20000u);
  EXPECT_FALSE(returned_);
  server.Reset();
  const DWORD passed = AdvanceUntilReturned(60000);
  ASSERT_TRUE(WaitFor([this] { return returned_.load(); }));
  EXPECT_GE(passed, kShutdownTimeoutMs);
  EXPECT_EQ(result_, S_OK);
  loop_.join();
  // The class objects are gone with the loop.
  com::ComPtr<IOPCServer> late;
  EXPECT_TRUE(FAILED(CoCreateInstance(
      CLSID_Server, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
      reinterpret_cast<void**>(late.GetAddressOf()))));
  EXPECT_EQ(ProcessDevice(), nullptr);
}

TEST_F(ServerLoopTest, ServiceKeepsRunningWithoutClientsUntilStopped) {
  ASSERT_TRUE(StartLoop(/*service_mode=*/true));
  com::ComPtr<IOPCServer> server = Connect();
  ASSERT_TRUE(server);
  server.Reset();
  EXPECT_EQ(AdvanceUntilReturned(30000), 30000u);
  EXPECT_FALSE(returned_);
  QuitServerLoop();
  ASSERT_TRUE(WaitFor([this] { return returned_.load(); }));
  EXPECT_EQ(result_, S_OK);
}

TEST_F(ServerLoopTest, TraceLevelZeroWritesNoFile) {
  SetLoggingLevel("0");
  ASSERT_TRUE(StartLoop(/*service_mode=*/true));
  com::ComPtr<IOPCServer> server = Connect();
  ASSERT_TRUE(server);
  AddAndRemoveGroup(server.Get());
  server.Reset();
  QuitServerLoop();
  ASSERT_TRUE(WaitFor([this] { return returned_.load(); }));
  EXPECT_FALSE(std::filesystem::exists(work_dir_ + "/" + kTraceFileName));
}

TEST_F(ServerLoopTest, TraceLevelFourWritesDoneAndThreadLinesButNoSteps) {
  SetLoggingLevel("4");
  ASSERT_TRUE(StartLoop(/*service_mode=*/true));
  com::ComPtr<IOPCServer> server = Connect();
  ASSERT_TRUE(server);
  AddAndRemoveGroup(server.Get());
  server.Reset();
  QuitServerLoop();
  ASSERT_TRUE(WaitFor([this] { return returned_.load(); }));
  const std::string log = TraceFile();
  EXPECT_NE(log.find("CServer::FinalConstruct: Done"), std::string::npos)
      << log;
  EXPECT_NE(log.find("CServer::AddGroup: Done"), std::string::npos) << log;
  EXPECT_NE(log.find("UpdateThread: Starting"), std::string::npos) << log;
  EXPECT_NE(log.find("UpdateThread: Done"), std::string::npos) << log;
  EXPECT_NE(log.find("AsyncThread: Starting"), std::string::npos) << log;
  EXPECT_EQ(log.find("CServer::FinalConstruct: Creating Device"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("CServer::AddGroup: Create New Group"), std::string::npos)
      << log;
}

}  // namespace
}  // namespace kavex::server
