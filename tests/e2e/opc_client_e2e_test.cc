// kavex-opc-client, as a process, against the real server objects over
// DCOM: the device plug-in on a simulated LAN, the server program's own
// registration (so the server browser lists it), the DCOM host on ports
// 135 and 4135 of 127.0.0.1 inside a network namespace of the test's own.
// The client reads the status, browses, reads from device and cache (equal
// to what the device's Read gives in process), watches a few polls, is
// told clearly about an unknown item, a read-only item, a wrong password
// and a closed port, and lists the servers; impacket asks the server
// browser too. A scripted device with a writable item takes a write.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <map>
#include <sstream>
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
#include "server/objects/testing/scripted_device.h"
#include "server/objects/testing/server_fixture.h"
#include "server/opcenum/server_list.h"
#include "server/program/registration.h"
#include "tests/e2e/command_output.h"
#include "tests/e2e/dcom_site.h"
#include "tests/e2e/private_network.h"
#include "tools/opc_client/value_text.h"

namespace kavex::e2e {
namespace {

// Runs kavex-opc-client with `args` (stderr merged).
std::string Client(const std::string& args, int* status) {
  return Run(std::string("timeout 120 ") + KAVEX_OPC_CLIENT +
                 " --user opc --domain KAVEX " + args + " 2>&1",
             status);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// "ITEM value=V type=T quality=Q" of a read line (the time dropped).
std::string WithoutTime(const std::string& line) {
  return line.substr(0, line.find(" time="));
}

const char* const kItems[] = {"SW1.P1.Link_Status", "SW1.Status",
                              "SW2.P3.Link_Status", "SW24.P24.Link_Status"};

// The items' values as an in-process client reads them from the device,
// printed as kavex-opc-client prints them; empty while any is not good.
std::vector<std::string> DeviceRead() {
  std::vector<std::string> lines;
  com::ComPtr<IOPCServer> server;
  if (FAILED(CoCreateInstance(CLSID_Server, nullptr, CLSCTX_ALL,
                              IID_PPV_ARGS(server.GetAddressOf())))) {
    return lines;
  }
  OPCHANDLE group_handle = 0;
  DWORD revised = 0;
  com::ComPtr<IOPCItemMgt> group;
  if (FAILED(server->AddGroup(
          u"check", TRUE, 1000, 1, nullptr, nullptr, 0, &group_handle, &revised,
          IID_IOPCItemMgt,
          reinterpret_cast<IUnknown**>(group.GetAddressOf())))) {
    return lines;
  }
  std::vector<std::u16string> ids;
  for (const char* item : kItems) ids.emplace_back(item, item + strlen(item));
  std::vector<OPCITEMDEF> defs(ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    defs[i].szItemID = const_cast<LPWSTR>(ids[i].c_str());
    defs[i].bActive = TRUE;
    defs[i].hClient = static_cast<OPCHANDLE>(i + 1);
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
  if (handles.size() == defs.size() &&
      server::testing::SyncRead(group.Get(), OPC_DS_DEVICE, handles,
                                &entries) == S_OK) {
    for (size_t i = 0; i < entries.size(); ++i) {
      const auto& e = entries[i];
      if (e.quality != OPC_QUALITY_GOOD) {
        lines.clear();
        break;
      }
      lines.push_back(std::string(kItems[i]) +
                      " value=" + opc_client::FormatValue(e.value) +
                      " type=" + opc_client::TypeName(e.value.vt) +
                      " quality=" + opc_client::FormatQuality(e.quality));
    }
  }
  group.Reset();
  server->RemoveGroup(group_handle, TRUE);
  return lines;
}

constexpr int kSwitches = 24;
constexpr int kPorts = 24;

// The server program's classes and the server browser, as a DcomHost
// serves them.
std::vector<com::ClassEntry> ClassTable() {
  std::vector<com::ClassEntry> classes;
  for (const server::ServerClass& c : server::ServerClasses()) {
    classes.push_back(c.entry);
  }
  server::AddServerListClass(&classes);
  return classes;
}

void SiteBody() {
  ASSERT_EQ(system("ip link set lo up"), 0);
  com::ScopedRegistryRootForTest root;
  // The registration removes an installed service first: a fake manager.
  std::string services = root.dir() + "/services";
  ASSERT_EQ(system(("mkdir -p '" + services + "'").c_str()), 0);
  setenv("KAVEX_SERVICE_MANAGER", ("fake:" + services).c_str(), 1);
  ASSERT_EQ(server::RegisterServerProgram("/usr/sbin/kavex-opc-server", false),
            S_OK);
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  ASSERT_NO_FATAL_FAILURE(RegisterSiteModules());
  ASSERT_NO_FATAL_FAILURE(
      DeclareSite(root.dir(), {"ClientLan", kSwitches, kPorts, 1}));
  ASSERT_EQ(server::CreateProcessDevice(), S_OK);
  std::vector<DWORD> cookies;
  ASSERT_EQ(server::RegisterServerClassObjects(CLSCTX_LOCAL_SERVER,
                                               REGCLS_MULTIPLEUSE, &cookies),
            S_OK);
  const std::vector<com::ClassEntry> classes = ClassTable();
  const rpc::AccountStore accounts = SiteAccounts();
  {
    dcom::DcomHost host({}, classes, &accounts);
    ASSERT_EQ(host.Start(), ERROR_SUCCESS);
    std::vector<std::string> expected;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while ((expected = DeviceRead()).empty() &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    ASSERT_FALSE(expected.empty()) << "the device never read good values";
    std::string items;
    for (const char* item : kItems) items += std::string(" ") + item;

    int status = -1;
    std::string out = Client("--password secret status", &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("\nstate=running\n"), std::string::npos) << out;
    EXPECT_NE(out.find("vendor=Kavex"), std::string::npos) << out;
    EXPECT_NE(out.find("\ncurrent_time=20"), std::string::npos) << out;

    // The password from the environment this time.
    out = Run(std::string("KAVEX_OPC_PASSWORD=secret timeout 120 ") +
                  KAVEX_OPC_CLIENT + " --user opc --domain KAVEX browse 2>&1",
              &status);
    EXPECT_EQ(status, 0) << out.substr(0, 2000);
    std::vector<std::string> browsed = Lines(out);
    EXPECT_GT(browsed.size(), size_t{kSwitches * kPorts});
    for (const char* item : kItems) {
      EXPECT_NE(std::find(browsed.begin(), browsed.end(), item),
                browsed.end())
          << item;
    }

    // From the device: exactly what the device's Read gives.
    out = Client("--password secret read" + items, &status);
    EXPECT_EQ(status, 0) << out;
    std::vector<std::string> lines = Lines(out);
    ASSERT_EQ(lines.size(), std::size(kItems)) << out;
    expected = DeviceRead();
    for (size_t i = 0; i < lines.size(); ++i) {
      EXPECT_EQ(WithoutTime(lines[i]), expected.at(i)) << out;
      EXPECT_NE(lines[i].find(" time=20"), std::string::npos) << lines[i];
    }
    // From the cache, polled: the group's updates bring the same values.
    out = Client(
        "--password secret watch --interval 300 --count 4 --source cache" +
            items,
        &status);
    EXPECT_EQ(status, 0) << out;
    lines = Lines(out);
    ASSERT_EQ(lines.size(), 4 * std::size(kItems)) << out;
    expected = DeviceRead();
    for (size_t i = 0; i < std::size(kItems); ++i) {
      const std::string& last = lines[3 * std::size(kItems) + i];
      EXPECT_EQ(last.rfind("poll=4 ", 0), 0u) << last;
      EXPECT_EQ(WithoutTime(last.substr(7)), expected.at(i)) << out;
    }

    // Clear failures: an unknown item, a read-only item, a wrong password,
    // a port nobody listens on.
    out = Client("--password secret read SW1.Status SW1.Nope", &status);
    EXPECT_EQ(status, 1) << out;
    EXPECT_NE(out.find("unknown item 'SW1.Nope'"), std::string::npos) << out;
    EXPECT_NE(out.find("SW1.Nope error=0xC0040007 OPC_E_UNKNOWNITEMID"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("SW1.Status value="), std::string::npos) << out;
    out = Client("--password secret write SW1.Status=1", &status);
    EXPECT_EQ(status, 1) << out;
    EXPECT_NE(out.find("item 'SW1.Status' cannot be written"),
              std::string::npos)
        << out;
    out = Client("--password wrong status", &status);
    EXPECT_EQ(status, 3) << out;
    EXPECT_NE(out.find("access denied: 127.0.0.1 refused the logon of "
                       "KAVEX\\opc"),
              std::string::npos)
        << out;
    out = Client("--password secret --port 1 status", &status);
    EXPECT_EQ(status, 4) << out;
    EXPECT_NE(out.find("cannot reach 127.0.0.1 port 1"), std::string::npos)
        << out;

    // The server browser lists the server; a ProgID finds its class.
    const std::string clsid = com::GuidToString(CLSID_Server);
    out = Client("--password secret servers", &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("KavexOPCServer.Server\t" + clsid +
                       "\tKavexOPCServer.Server.1\tServer Class\n"),
              std::string::npos)
        << out;
    out = Client("--password secret --server KavexOPCServer.Server status",
                 &status);
    EXPECT_EQ(status, 0) << out;
    out = Client("--password secret --server Nobody.Server status", &status);
    EXPECT_EQ(status, 5) << out;
    EXPECT_NE(out.find("knows no such ProgID"), std::string::npos) << out;

    ASSERT_EQ(system("/usr/bin/python3 -c 'import impacket' 2>/dev/null"), 0)
        << "python3-impacket is missing (scripts/deps installs it)";
    out = Run("timeout 120 /usr/bin/python3 " +
                  std::string(KAVEX_SOURCE_DIR) +
                  "/tests/e2e/impacket_opcenum.py " +
                  clsid.substr(1, clsid.size() - 2) +
                  " KavexOPCServer.Server opc KAVEX secret 2>&1",
              &status);
    EXPECT_EQ(status, 0) << out;
    for (const char* want :
         {"activated", "enum=objref", "enum_hresult=00000000", "progid=found",
          "details_hresult=00000000", "clsid=match",
          "progid_hresult=00000000"}) {
      EXPECT_NE(out.find(want), std::string::npos) << want << "\n" << out;
    }
    printf("%s", out.c_str());
    // Every client released what it held, but impacket, which stops
    // pinging instead: stopping the host releases that.
    host.Stop();
    EXPECT_EQ(server::CServer::InstanceCount(), 0);
    EXPECT_EQ(server::CGroup::InstanceCount(), 0);
  }
  server::RevokeServerClassObjects(&cookies);
  server::SetProcessDevice(nullptr);
  CoUninitialize();
  unsetenv("KAVEX_SERVICE_MANAGER");
}

void WriteBody() {
  ASSERT_EQ(system("ip link set lo up"), 0);
  com::ScopedRegistryRootForTest root;
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  com::ComPtr<server::testing::ScriptedDevice> device;
  ASSERT_EQ(server::testing::ScriptedDevice::CreateInstance(&device), S_OK);
  server::testing::ScriptedDevice::Item item;
  item.type = VT_I4;
  item.rights = OPC_READABLE | OPC_WRITEABLE;
  item.value = com::Variant(LONG{5});
  device->SetItem(u"W.I4", item);
  item.rights = OPC_READABLE;
  device->SetItem(u"R.I4", item);
  server::SetProcessDevice(device.Get());
  std::vector<DWORD> cookies;
  ASSERT_EQ(server::RegisterServerClassObjects(CLSCTX_LOCAL_SERVER,
                                               REGCLS_MULTIPLEUSE, &cookies),
            S_OK);
  const std::vector<com::ClassEntry> classes = ClassTable();
  const rpc::AccountStore accounts = SiteAccounts();
  {
    dcom::DcomHost host({}, classes, &accounts);
    ASSERT_EQ(host.Start(), ERROR_SUCCESS);
    int status = -1;
    std::string out = Client("--password secret write W.I4=12", &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(out, "W.I4 written\n");
    EXPECT_EQ(device->writes(), 1);
    out = Client("--password secret read W.I4", &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(out.rfind("W.I4 value=12 type=VT_I4 quality=0xC0 good time=", 0),
              0u)
        << out;
    // Text that is no number, and a read-only item: per-item errors.
    out = Client("--password secret write W.I4=twelve R.I4=3", &status);
    EXPECT_EQ(status, 1) << out;
    EXPECT_NE(out.find("the value 'twelve' does not suit item 'W.I4'"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("R.I4 error=0xC0040006 OPC_E_BADRIGHTS"),
              std::string::npos)
        << out;
    EXPECT_EQ(device->writes(), 1);
    EXPECT_EQ(host.exporter()->object_count(), 0u);
    host.Stop();
  }
  server::RevokeServerClassObjects(&cookies);
  server::SetProcessDevice(nullptr);
  device.Reset();
  CoUninitialize();
}

TEST(OpcClientE2e, ReadsTheSimulatedSiteAndListsTheServer) {
  InPrivateNetwork(SiteBody);
}

TEST(OpcClientE2e, WritesAWritableItem) { InPrivateNetwork(WriteBody); }

}  // namespace
}  // namespace kavex::e2e
