// The server loop serving the network, with real server objects on a
// scripted device and a real RPC client over loopback TCP, on the fake
// clock: remote references keep a local server, their release lets it end
// five seconds later; a client that dies with a group keeps its server
// object and group for three missed ping periods, then both are released
// and the local server ends; a wrong password is refused.
#include "server/program/network_host.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/com/activation.h"
#include "platform/com/enumerators.h"
#include "platform/com/scoped_registry_root_for_test.h"
#include "platform/dcom/dispatcher.h"
#include "platform/dcom/exporter.h"
#include "platform/dcom/testing/remote_activation.h"
#include "platform/opc/opc_da.h"
#include "platform/opc/opc_descriptions.h"
#include "platform/rpc/client.h"
#include "platform/rpc/ndr.h"
#include "platform/rpc/rpc_test_support.h"
#include "platform/service/service_names.h"
#include "platform/sync/clock.h"
#include "server/objects/group_object.h"
#include "server/objects/process_state.h"
#include "server/objects/server_object.h"
#include "server/objects/testing/scripted_device.h"
#include "server/program/lifetime_monitor.h"
#include "server/program/server_loop.h"

namespace kavex::server {
namespace {

using testing::ScriptedDevice;
using Clock = std::chrono::steady_clock;

// The client's side of the group's interface pointer: a stand-in object.
class StandInHook : public rpc::ObjrefHook {
 public:
  HRESULT Marshal(IUnknown*, REFIID, std::vector<uint8_t>*) override {
    return E_NOTIMPL;
  }
  HRESULT Unmarshal(std::span<const uint8_t> objref, REFIID,
                    IUnknown** object) override {
    received = !objref.empty();
    com::ComPtr<IEnumString> stand_in;
    HRESULT hr = com::CreateEnumString({}, stand_in.GetAddressOf());
    *object = stand_in.Detach();
    return hr;
  }
  bool received = false;
};

class NetworkLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sync::SetClockForTesting(&clock_);
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    ResetServerLoopForTesting();
    char pattern[] = "/tmp/kavex-network-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    const std::string accounts = dir_ + "/accounts";
    std::string error;
    ASSERT_EQ(rpc::testing::TestAccounts().Save(accounts, &error),
              ERROR_SUCCESS)
        << error;
    setenv("KAVEX_OPC_ACCOUNTS", accounts.c_str(), 1);
    unsetenv("CREDENTIALS_DIRECTORY");
  }
  void TearDown() override {
    clients_.clear();
    if (loop_.joinable()) {
      QuitServerLoop();
      loop_.join();
    }
    EXPECT_EQ(CServer::InstanceCount(), 0);
    EXPECT_EQ(CGroup::InstanceCount(), 0);
    EXPECT_EQ(ScriptedDevice::InstanceCount(), 0);
    unsetenv("KAVEX_OPC_ACCOUNTS");
    std::filesystem::remove_all(dir_);
    CoUninitialize();
    sync::SetClockForTesting(nullptr);
  }

  // Runs a local server's loop serving free loopback ports. Only what
  // remote clients hold counts as a lock (`local_locks` adds the server's
  // own objects): the scripted device is an object of this test program.
  bool StartLoop(bool local_locks, bool service_mode = false) {
    ServerLoopOptions options;
    options.service_mode = service_mode;
    options.serve_network = true;
    options.network_settings = [] {
      NetworkSettings settings;
      settings.activation_port = 0;
      settings.object_port = 0;
      return settings;
    };
    options.create_device = [] {
      com::ComPtr<ScriptedDevice> device;
      HRESULT hr = ScriptedDevice::CreateInstance(&device);
      if (SUCCEEDED(hr)) SetProcessDevice(device.Get());
      return hr;
    };
    options.lock_count = [local_locks] {
      return local_locks ? CServer::InstanceCount() + CGroup::InstanceCount()
                         : 0L;
    };
    options.on_listening = [this](uint16_t activation, uint16_t object) {
      activation_port_ = activation;
      object_port_ = object;
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

  // Moves the fake clock in `step_ms` steps, letting the program's threads
  // look between them, until `done` or `limit_ms` have passed; returns the
  // time passed.
  template <class Condition>
  DWORD AdvanceUntil(DWORD limit_ms, DWORD step_ms, Condition done) {
    DWORD passed = 0;
    while (!done() && passed < limit_ms) {
      clock_.Advance(step_ms);
      passed += step_ms;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return passed;
  }

  rpc::RpcClient* Client(const rpc::SyntaxId& interface, uint16_t port,
                         const char16_t* password = u"secret") {
    credentials_.push_back(std::make_unique<rpc::NtlmClientCredentials>(
        rpc::testing::TestCredentials(password)));
    rpc::ClientOptions options;
    options.credentials = credentials_.back().get();
    options.timeout_ms = 10000;
    clients_.push_back(std::make_unique<rpc::RpcClient>(options));
    rpc::RpcClient* client = clients_.back().get();
    EXPECT_EQ(client->Connect("127.0.0.1", port), ERROR_SUCCESS);
    EXPECT_EQ(client->Bind(interface), ERROR_SUCCESS);
    return client;
  }

  // Activates the Server class over the wire for IOPCServer.
  dcom::testing::Activation ActivateServer(rpc::RpcClient* client) {
    const IID iids[] = {IID_IOPCServer};
    std::vector<uint8_t> out;
    dcom::testing::Activation a;
    EXPECT_EQ(
        client->Call(0, 0, dcom::testing::ActivationRequest(CLSID_Server, iids),
                     &out, &a.fault),
        ERROR_SUCCESS);
    if (a.fault == 0) {
      EXPECT_TRUE(dcom::testing::ParseActivation(out, 1, &a));
    }
    return a;
  }

  // IOPCServer::AddGroup over the wire; the group's HRESULT.
  HRESULT AddGroup(rpc::RpcClient* client, const dcom::Ipid& server_ipid) {
    const com::MethodDescription* add =
        opc::FindInterfaceDescription("IOPCServer")->FindMethod("AddGroup");
    LPCWSTR name = u"remote";
    BOOL active = TRUE;
    DWORD rate = 1000;
    OPCHANDLE client_handle = 7;
    LONG* time_bias = nullptr;
    FLOAT* deadband = nullptr;
    DWORD lcid = 1033;
    OPCHANDLE server_handle = 0;
    DWORD revised = 0;
    IID iid = IID_IOPCItemMgt;
    IUnknown* group = nullptr;
    OPCHANDLE* server_handle_pointer = &server_handle;
    DWORD* revised_pointer = &revised;
    IUnknown** group_pointer = &group;
    void* args[] = {&name,
                    &active,
                    &rate,
                    &client_handle,
                    &time_bias,
                    &deadband,
                    &lcid,
                    &server_handle_pointer,
                    &revised_pointer,
                    &iid,
                    &group_pointer};
    StandInHook hook;
    std::vector<uint8_t> request = dcom::testing::OrpcHeader();
    EXPECT_EQ(rpc::EncodeRequest(add, args, &hook, &request),
              rpc::NdrStatus::kOk);
    std::vector<uint8_t> out;
    uint32_t fault = 1;
    EXPECT_EQ(client->Call(0, 3, request, &out, &fault, &server_ipid),
              ERROR_SUCCESS);
    EXPECT_EQ(fault, 0u);
    HRESULT result = E_FAIL;
    EXPECT_EQ(rpc::DecodeResponse(add, args, &hook, out, 8, &result),
              rpc::NdrStatus::kOk);
    EXPECT_TRUE(hook.received);
    if (group != nullptr) group->Release();
    return result;
  }

  // IRemUnknown::RemRelease of `refs` public references on `ipid`.
  void RemRelease(rpc::RpcClient* client, const dcom::Ipid& rem_unknown,
                  const dcom::Ipid& ipid, uint32_t refs) {
    std::vector<uint8_t> request = dcom::testing::OrpcHeader();
    rpc::WireWriter w(&request);
    w.U16(1);
    w.Align(4);
    w.U32(1);
    w.Guid(ipid);
    w.U32(refs);
    w.U32(0);
    std::vector<uint8_t> out;
    uint32_t fault = 1;
    ASSERT_EQ(client->Call(0, 5, request, &out, &fault, &rem_unknown),
              ERROR_SUCCESS);
    EXPECT_EQ(fault, 0u);
  }

  com::ScopedRegistryRootForTest registry_;
  sync::FakeClock clock_;
  std::string dir_;
  std::thread loop_;
  std::atomic<bool> serving_{false}, returned_{false};
  std::atomic<HRESULT> result_{E_UNEXPECTED};
  std::atomic<uint16_t> activation_port_{0}, object_port_{0};
  std::vector<std::unique_ptr<rpc::NtlmClientCredentials>> credentials_;
  std::vector<std::unique_ptr<rpc::RpcClient>> clients_;
};

const rpc::SyntaxId kIOPCServerSyntax = {IID_IOPCServer, 0, 0};

TEST_F(NetworkLoopTest, RemoteReferencesKeepALocalServerUntilReleased) {
  ASSERT_TRUE(StartLoop(/*local_locks=*/false));
  ASSERT_NE(activation_port_, 0);
  // Nobody yet: a wrong password is refused with access denied and
  // creates nothing.
  {
    rpc::RpcClient* bad =
        Client(dcom::kIActivation, activation_port_, u"wrong");
    const IID iids[] = {IID_IOPCServer};
    std::vector<uint8_t> out;
    uint32_t fault = 0;
    DWORD error =
        bad->Call(0, 0, dcom::testing::ActivationRequest(CLSID_Server, iids),
                  &out, &fault);
    EXPECT_TRUE(error != ERROR_SUCCESS || fault == rpc::kFaultAccessDenied)
        << error << " " << fault;
    EXPECT_EQ(CServer::InstanceCount(), 0);
  }
  rpc::RpcClient* activator = Client(dcom::kIActivation, activation_port_);
  dcom::testing::Activation a = ActivateServer(activator);
  ASSERT_EQ(a.fault, 0u);
  ASSERT_EQ(a.results.at(0), S_OK);
  EXPECT_EQ(CServer::InstanceCount(), 1);
  // The remote reference alone keeps the process, however long (pings
  // aside: two ping periods are well inside the collector's limit).
  EXPECT_EQ(AdvanceUntil(60000, 500, [this] { return returned_.load(); }),
            60000u);
  EXPECT_FALSE(returned_);

  rpc::RpcClient* objects = Client(dcom::kIRemUnknown, object_port_);
  RemRelease(objects, a.rem_unknown, a.objrefs.at(0).std.ipid,
             dcom::kPublicRefsPerObjref);
  EXPECT_TRUE(WaitFor([] { return CServer::InstanceCount() == 0; }));
  const DWORD passed =
      AdvanceUntil(60000, 100, [this] { return returned_.load(); });
  ASSERT_TRUE(WaitFor([this] { return returned_.load(); }));
  // Not before the shutdown time-out on the fake clock (how soon after
  // depends on when the monitor's thread gets to look: no upper bound).
  EXPECT_GE(passed, kShutdownTimeoutMs);
  EXPECT_EQ(result_, S_OK);
  loop_.join();
  EXPECT_EQ(ProcessDevice(), nullptr);
}

TEST_F(NetworkLoopTest, ADeadClientsGroupsGoAfterThreeMissedPings) {
  ASSERT_TRUE(StartLoop(/*local_locks=*/true));
  rpc::RpcClient* activator = Client(dcom::kIActivation, activation_port_);
  dcom::testing::Activation a = ActivateServer(activator);
  ASSERT_EQ(a.results.at(0), S_OK);
  rpc::RpcClient* calls = Client(kIOPCServerSyntax, object_port_);
  EXPECT_EQ(AddGroup(calls, a.objrefs.at(0).std.ipid), S_OK);
  EXPECT_EQ(CGroup::InstanceCount(), 1);
  // The client is killed: its connections drop without a release.
  clients_.clear();

  // Two ping periods and a half: still there.
  const DWORD inside =
      dcom::kPingPeriodMs * (dcom::kPingPeriodsBeforeRelease - 1) +
      dcom::kPingPeriodMs / 2;
  AdvanceUntil(inside, 1000, [] { return false; });
  EXPECT_EQ(CServer::InstanceCount(), 1);
  EXPECT_EQ(CGroup::InstanceCount(), 1);
  EXPECT_FALSE(returned_);

  // Past the third: the collector releases the server object, and its
  // group goes with it.
  const DWORD passed = AdvanceUntil(dcom::kPingPeriodMs * 2, 1000, [] {
    return CServer::InstanceCount() == 0 && CGroup::InstanceCount() == 0;
  });
  EXPECT_EQ(CServer::InstanceCount(), 0);
  EXPECT_EQ(CGroup::InstanceCount(), 0);
  EXPECT_GE(inside + passed,
            dcom::kPingPeriodMs * dcom::kPingPeriodsBeforeRelease);
  // And then, with nobody left, the local server ends.
  AdvanceUntil(60000, 100, [this] { return returned_.load(); });
  ASSERT_TRUE(WaitFor([this] { return returned_.load(); }));
  EXPECT_EQ(result_, S_OK);
}

TEST_F(NetworkLoopTest, AServiceStaysAfterItsClientsAndItsStopReleasesThem) {
  ASSERT_TRUE(StartLoop(/*local_locks=*/true, /*service_mode=*/true));
  rpc::RpcClient* first = Client(dcom::kIActivation, activation_port_);
  dcom::testing::Activation a = ActivateServer(first);
  ASSERT_EQ(a.results.at(0), S_OK);
  rpc::RpcClient* objects = Client(dcom::kIRemUnknown, object_port_);
  RemRelease(objects, a.rem_unknown, a.objrefs.at(0).std.ipid,
             dcom::kPublicRefsPerObjref);
  EXPECT_TRUE(WaitFor([] { return CServer::InstanceCount() == 0; }));
  EXPECT_EQ(AdvanceUntil(30000, 500, [this] { return returned_.load(); }),
            30000u);
  EXPECT_FALSE(returned_);
  // A client that still holds its object when the service is stopped: the
  // stop releases it with the network.
  dcom::testing::Activation held = ActivateServer(first);
  ASSERT_EQ(held.results.at(0), S_OK);
  EXPECT_EQ(CServer::InstanceCount(), 1);
  QuitServerLoop();
  ASSERT_TRUE(WaitFor([this] { return returned_.load(); }));
  EXPECT_EQ(result_, S_OK);
  EXPECT_EQ(CServer::InstanceCount(), 0);
  loop_.join();
}

TEST_F(NetworkLoopTest, RefusedAccountsFailTheStartAndSaySo) {
  const std::string accounts = dir_ + "/accounts";
  ASSERT_EQ(chmod(accounts.c_str(), 0644), 0);
  ServerLoopOptions options;
  options.serve_network = true;
  options.network_settings = [] {
    NetworkSettings settings;
    settings.activation_port = 0;
    settings.object_port = 0;
    return settings;
  };
  options.create_device = [] {
    com::ComPtr<ScriptedDevice> device;
    HRESULT hr = ScriptedDevice::CreateInstance(&device);
    if (SUCCEEDED(hr)) SetProcessDevice(device.Get());
    return hr;
  };
  bool serving = false;
  options.on_serving = [&] { serving = true; };
  EXPECT_EQ(RunServerLoop(options), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(serving);
  EXPECT_EQ(ProcessDevice(), nullptr);
}

TEST(NetworkClassTableTest, ServesTheServersOwnClassesAndTheBrowser) {
  std::vector<com::ClassEntry> classes = NetworkClassTable();
  bool server = false, browser = false;
  for (const com::ClassEntry& c : classes) {
    server |= *c.clsid == CLSID_Server;
    browser |= *c.clsid == CLSID_OpcServerList;
  }
  EXPECT_TRUE(server);
  EXPECT_TRUE(browser);
}

TEST(NetworkClassTableTest, TheUnitsCredentialIsTheDefaultAccountsFile) {
  // Two layers name the same file: the unit's credential and the logon's
  // default.
  EXPECT_STREQ(service::kServerAccountsPath, rpc::kDefaultAccountsPath);
}

}  // namespace
}  // namespace kavex::server
