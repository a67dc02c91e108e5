// Unmodified node-opc-da (on node-dcom) against the server objects over
// DCOM: the real device plug-in on a simulated LAN big enough for
// multi-fragment browse replies, the DCOM host on ports 135 and 4135 of
// 127.0.0.1 inside a network namespace of the test's own, an account from
// a test accounts store. The client activates the Server class, reads its
// status, browses flat, adds a group (250 ms revised to 200), validates
// and adds items, reads from cache and device, removes items and group and
// ends. A wrong password is refused and the next correct client works.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/activation.h"
#include "platform/com/guid.h"
#include "platform/com/scoped_registry_root_for_test.h"
#include "platform/dcom/host.h"
#include "platform/registry/registry.h"
#include "server/objects/group_object.h"
#include "server/objects/process_state.h"
#include "server/objects/server_module.h"
#include "server/objects/server_object.h"
#include "server/objects/testing/server_fixture.h"
#include "tests/e2e/command_output.h"
#include "tests/e2e/dcom_site.h"
#include "tests/e2e/private_network.h"

namespace kavex::e2e {
namespace {

// The items the client reads: values that stay put while the simulated
// switches keep reporting, so the client's reads can be compared with the
// device's own.
const char* const kItems[] = {"SW1.P1.Link_Status", "SW1.Status",
                              "SW2.P3.Link_Status", "SW24.P24.Link_Status"};

// An in-process client's read from the device, printed as opc_da_flow.js
// prints the client's reads; "" while the device has no good value yet.
std::string DeviceRead() {
  com::ComPtr<IOPCServer> server;
  if (FAILED(CoCreateInstance(CLSID_Server, nullptr, CLSCTX_ALL,
                              IID_PPV_ARGS(server.GetAddressOf())))) {
    return "";
  }
  OPCHANDLE group_handle = 0;
  DWORD revised = 0;
  com::ComPtr<IOPCItemMgt> group;
  if (FAILED(server->AddGroup(
          u"check", TRUE, 1000, 1, nullptr, nullptr, 0, &group_handle, &revised,
          IID_IOPCItemMgt,
          reinterpret_cast<IUnknown**>(group.GetAddressOf())))) {
    return "";
  }
  std::vector<std::u16string> ids;
  for (const char* item : kItems) ids.emplace_back(item, item + strlen(item));
  std::vector<OPCITEMDEF> defs(ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    defs[i].szItemID = const_cast<LPWSTR>(ids[i].c_str());
    defs[i].bActive = TRUE;
    defs[i].hClient = static_cast<OPCHANDLE>(100 + i);
  }
  OPCITEMRESULT* results = nullptr;
  HRESULT* errors = nullptr;
  std::vector<OPCHANDLE> handles;
  if (group->AddItems(static_cast<DWORD>(defs.size()), defs.data(), &results,
                      &errors) == S_OK) {
    for (size_t i = 0; i < defs.size(); ++i) {
      handles.push_back(results[i].hServer);
    }
  }
  CoTaskMemFree(results);
  CoTaskMemFree(errors);
  std::vector<server::testing::ReadEntry> entries;
  std::string printed;
  if (handles.size() == defs.size() &&
      server::testing::SyncRead(group.Get(), OPC_DS_DEVICE, handles,
                                &entries) == S_OK) {
    for (const auto& e : entries) {
      if (e.quality != OPC_QUALITY_GOOD) return "";
      std::string value;
      if (e.value.vt == VT_BSTR) {
        std::u16string text(e.value.bstrVal);
        value = "\"" + std::string(text.begin(), text.end()) + "\"";
      } else if (e.value.vt == VT_I4) {
        value = std::to_string(e.value.lVal);
      } else {
        value = "vt" + std::to_string(e.value.vt);
      }
      printed += std::string(printed.empty() ? "[" : ",") +
                 "{\"handle\":" + std::to_string(e.client) +
                 ",\"error\":0,\"quality\":" + std::to_string(e.quality) +
                 ",\"value\":" + value + "}";
    }
    printed += "]";
  }
  group.Reset();
  server->RemoveGroup(group_handle, TRUE);
  return printed;
}

constexpr int kSwitches = 24;
constexpr int kPorts = 24;

void NodeBody() {
  ASSERT_EQ(system("ip link set lo up"), 0);
  const std::string node_dir =
      std::string(KAVEX_SOURCE_DIR) + "/tests/e2e/node";
  ASSERT_EQ(
      system(("test -d '" + node_dir + "/node_modules/node-opc-da'").c_str()),
      0)
      << "node-opc-da is missing (scripts/deps installs it)";

  com::ScopedRegistryRootForTest root;
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  ASSERT_NO_FATAL_FAILURE(RegisterSiteModules());
  ASSERT_NO_FATAL_FAILURE(
      DeclareSite(root.dir(), {"DcomLan", kSwitches, kPorts, 0}));
  ASSERT_EQ(server::CreateProcessDevice(), S_OK);
  // As the server program does; the in-process check creates the Server
  // class through them.
  std::vector<DWORD> cookies;
  ASSERT_EQ(server::RegisterServerClassObjects(CLSCTX_LOCAL_SERVER,
                                               REGCLS_MULTIPLEUSE, &cookies),
            S_OK);

  std::vector<com::ClassEntry> classes;
  for (const server::ServerClass& c : server::ServerClasses()) {
    classes.push_back(c.entry);
  }
  const rpc::AccountStore accounts = SiteAccounts();
  {
    dcom::DcomHost host({}, classes, &accounts);
    ASSERT_EQ(host.Start(), ERROR_SUCCESS);
    // The simulated switches report within a few seconds of real time.
    std::string expected;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while ((expected = DeviceRead()).empty() &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    ASSERT_NE(expected, "") << "the device never read good values";
    std::string clsid = com::GuidToString(CLSID_Server);
    clsid = clsid.substr(1, clsid.size() - 2);
    auto client = [&](const char* password, int* status) {
      return Run("cd '" + node_dir +
                     "' && timeout 120 node --openssl-legacy-provider "
                     "opc_da_flow.js 127.0.0.1 " +
                     clsid + " KAVEX opc " + password +
                     " SW1.P1.Link_Status SW1.Status SW2.P3.Link_Status "
                     "SW24.P24.Link_Status 2>&1",
                 status);
    };
    int status = -1;
    std::string out = client("secret", &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(Field(out, "status"), "") << out;
    // 250 ms is revised to 200 ms: AddGroup answers OPC_S_UNSUPPORTEDRATE.
    EXPECT_EQ(Field(out, "unsupported_rate"), "true") << out;
    EXPECT_EQ(Field(out, "added"), "[0,0,0,0]") << out;
    // From the device: exactly what the device's Read gives; from the
    // cache afterwards too, as the device read refreshed it.
    expected = DeviceRead();
    EXPECT_EQ(Field(out, "read_device"), expected) << out;
    EXPECT_EQ(Field(out, "read_cache_after"), expected) << out;
    EXPECT_EQ(Field(out, "groups_before_remove"), "1") << out;
    EXPECT_EQ(Field(out, "groups_after_remove"), "0") << out;
    EXPECT_EQ(Field(out, "removed"), "[0,0,0,0]") << out;
    EXPECT_EQ(Field(out, "done"), "true") << out;
    int browsed = atoi(Field(out, "browsed_count").c_str());
    EXPECT_GT(browsed, kSwitches * kPorts) << out;
    printf("%s", out.c_str());

    out = client("wrong", &status);
    EXPECT_EQ(status, 3) << out;
    out = client("secret", &status);
    EXPECT_EQ(status, 0) << out;

    // impacket activates through IRemoteSCMActivator (NTLMv2), calls
    // IOPCServer::GetStatus and releases the object through IRemUnknown,
    // added to its object connection by an alter_context that runs a new
    // NTLM exchange.
    ASSERT_EQ(system("/usr/bin/python3 -c 'import impacket' 2>/dev/null"), 0)
        << "python3-impacket is missing (scripts/deps installs it)";
    const std::string script = std::string(KAVEX_SOURCE_DIR) +
                               "/tests/e2e/impacket_dcom_activation.py";
    auto impacket = [&](const char* password, int* code) {
      return Run("timeout 120 /usr/bin/python3 " + script + " " + clsid +
                     " opc KAVEX " + password + " 2>&1",
                 code);
    };
    // node-opc-da leaves references the collector would take only
    // minutes later: what impacket adds must be gone when it ends.
    const long servers_before = server::CServer::InstanceCount();
    const size_t exported_before = host.exporter()->object_count();
    out = impacket("secret", &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("activated"), std::string::npos) << out;
    EXPECT_NE(out.find("vendor=found"), std::string::npos) << out;
    EXPECT_NE(out.find("hresult=00000000"), std::string::npos) << out;
    EXPECT_NE(out.find("released=00000000"), std::string::npos) << out;
    printf("%s", out.c_str());
    EXPECT_EQ(server::CServer::InstanceCount(), servers_before)
        << "the released server object is still alive";
    EXPECT_EQ(host.exporter()->object_count(), exported_before);
    printf("objects still exported: %zu\n", host.exporter()->object_count());
    host.Stop();
    // Stopping the host releases what clients still held.
    EXPECT_EQ(server::CServer::InstanceCount(), 0);
    EXPECT_EQ(server::CGroup::InstanceCount(), 0);
  }
  server::RevokeServerClassObjects(&cookies);
  server::SetProcessDevice(nullptr);
  CoUninitialize();
}

TEST(DcomNodeE2e, NodeOpcDaReadsTheSimulatedSite) {
  InPrivateNetwork(NodeBody);
}

}  // namespace
}  // namespace kavex::e2e
