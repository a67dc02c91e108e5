// The server objects as a client meets them: the real device plug-in on a
// simulated adapter as the process's device, the server's class objects
// registered in this process and its ProgIDs in a private registry, and a
// client on a thread of its own that creates "KavexOPCServer.Server"
// through the component runtime, adds groups and items, browses, reads
// and writes.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/activation.h"
#include "platform/com/enumerators.h"
#include "platform/com/guid.h"
#include "platform/com/scoped_registry_root_for_test.h"
#include "platform/pkio/testing/testing_support.h"
#include "platform/registry/registry.h"
#include "platform/sync/clock.h"
#include "platform/sync/waitable_timer.h"
#include "server/objects/process_state.h"
#include "server/objects/server_module.h"
#include "server/objects/server_object.h"
#include "server/objects/testing/server_fixture.h"
#include "simulator/simulated_adapters.h"

namespace kavex::server {
namespace {

constexpr char kModulePath[] = KAVEX_DEVICE_MODULE_PATH;

void SetString(HKEY root, const std::string& sub, const char* name,
               const std::string& text) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(root, sub.c_str(), 0, nullptr, 0, KEY_WRITE,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, name, 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(text.c_str()),
                           static_cast<DWORD>(text.size() + 1)),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

HRESULT CallModuleEntry(const char* entry) {
  void* handle = dlopen(kModulePath, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return E_FAIL;
  auto function = reinterpret_cast<LPFNREGISTERSERVER>(dlsym(handle, entry));
  const HRESULT hr = function ? function() : E_FAIL;
  dlclose(handle);
  return hr;
}

std::vector<std::u16string> Names(IEnumString* e) {
  std::vector<std::u16string> names;
  LPOLESTR name = nullptr;
  while (e->Next(1, &name, nullptr) == S_OK) {
    names.emplace_back(name);
    CoTaskMemFree(name);
  }
  return names;
}

class ServerComponentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sync::SetClockForTesting(&clock_);
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    ASSERT_EQ(CallModuleEntry("DllRegisterServer"), S_OK);
    ASSERT_TRUE(pkio::testing::DeclareFrameSourceModule(
        simulator::kFrameSourceValue, KAVEX_SIMULATED_ADAPTERS_MODULE));
    // One 8-port switch "SW1" on a simulated LAN, numeric items.
    SetString(HKEY_LOCAL_MACHINE,
              "SOFTWARE\\Kavex OPC\\Pkiolib\\Simulated\\ServerLan", "Scenario",
              "switch 02.C4.7D.00.00.01 type=1 ports=8 ip=10.0.0.5 ring=1 "
              "ringflags=13 load=20 down=4 errors=3");
    std::string xml =
        "<ROOT DataFormat=\"Integer\">\n"
        " <ADAPTER Name=\"\\Device\\Simulated\\ServerLan\" Active=\"Yes\" "
        "Timeout=\"20\">\n"
        "  <SWITCH Model=\"T8\" Address=\"02.C4.7D.00.00.01\" Alias=\"SW1\" "
        "Type=\"1\">\n";
    for (int n = 1; n <= 8; ++n) {
      xml += "   <Port Number=\"" + std::to_string(n) + "\" Alias=\"P" +
             std::to_string(n) + "\" Disabled=\"No\" Exists=\"Yes\"/>\n";
    }
    xml += "  </SWITCH>\n </ADAPTER>\n</ROOT>\n";
    const std::string path = root_.dir() + "/Kavex OPC.xml";
    std::ofstream(path) << xml;
    SetString(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kavex OPC", "Configuration File",
              path);

    // As the server program starts: the device, then the class objects.
    ASSERT_EQ(CreateProcessDevice(), S_OK);
    ASSERT_EQ(RegisterServerClassObjects(CLSCTX_LOCAL_SERVER,
                                         REGCLS_MULTIPLEUSE, &cookies_),
              S_OK);
    for (const ServerClass& c : ServerClasses()) {
      const std::string clsid = com::GuidToString(*c.entry.clsid);
      SetString(HKEY_CLASSES_ROOT, c.prog_id, nullptr, c.description);
      SetString(HKEY_CLASSES_ROOT, std::string(c.prog_id) + "\\CLSID", nullptr,
                clsid);
      SetString(HKEY_CLASSES_ROOT, c.version_independent_prog_id, nullptr,
                c.description);
      SetString(HKEY_CLASSES_ROOT,
                std::string(c.version_independent_prog_id) + "\\CurVer",
                nullptr, c.prog_id);
    }
  }

  void TearDown() override {
    RevokeServerClassObjects(&cookies_);
    SetProcessDevice(nullptr);
    EXPECT_EQ(CServer::InstanceCount(), 0);
    EXPECT_EQ(CGroup::InstanceCount(), 0);
    EXPECT_EQ(CServerCallback::InstanceCount(), 0);
    CoFreeUnusedLibraries();
    void* module = dlopen(kModulePath, RTLD_NOW | RTLD_NOLOAD);
    EXPECT_EQ(module, nullptr) << "the device module stayed loaded";
    if (module != nullptr) dlclose(module);
    CoUninitialize();
    sync::SetClockForTesting(nullptr);
  }

  // Lets simulated time pass until `done`, a fifth of a second per step,
  // with a moment of real time for the device's threads to follow each
  // step. The switches' 20 s time-out then lasts 100 steps, so a capture
  // thread that a loaded machine holds back for a moment does not see its
  // switch age out meanwhile.
  bool AdvanceUntil(const std::function<bool()>& done) {
    for (int step = 0; step < 10000; ++step) {
      if (done()) return true;
      clock_.Advance(200);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
  }

  com::ScopedRegistryRootForTest root_;
  sync::FakeClock clock_{50'000};
  std::vector<DWORD> cookies_;
};

TEST_F(ServerComponentTest, ClientOnAnotherThreadServesTheDevicesItems) {
  std::thread client([this] {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    {
      CLSID clsid{};
      ASSERT_EQ(CLSIDFromProgID(kServerProgId, &clsid), S_OK);
      EXPECT_EQ(clsid, CLSID_Server);
      com::ComPtr<IOPCServer> server;
      ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_ALL,
                                 IID_PPV_ARGS(server.GetAddressOf())),
                S_OK);

      // The update thread ticks once as it starts, then every 100 ms of
      // the injected clock, which stands still until the device reads
      // below. Once that first tick is past, no tick polls the group
      // before them (on a slow machine the thread may start late).
      auto* object = dynamic_cast<CServer*>(server.Get());
      ASSERT_NE(object, nullptr);  // in process, the object itself
      const auto deadline =
          std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (object->UpdateCountForTesting() == 0 &&
             std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      ASSERT_GT(object->UpdateCountForTesting(), 0u);

      // Browsing the device's item tree.
      com::ComPtr<IOPCBrowseServerAddressSpace> browse;
      ASSERT_EQ(server.As(&browse), S_OK);
      com::ComPtr<IEnumString> names;
      ASSERT_EQ(browse->BrowseOPCItemIDs(OPC_BRANCH, u"", VT_EMPTY, 0,
                                         names.GetAddressOf()),
                S_OK);
      EXPECT_EQ(Names(names.Get()), std::vector<std::u16string>{u"SW1"});
      ASSERT_EQ(browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, u"SW1"), S_OK);
      ASSERT_EQ(browse->BrowseOPCItemIDs(OPC_BRANCH, u"", VT_EMPTY, 0,
                                         names.ReleaseAndGetAddressOf()),
                S_OK);
      EXPECT_EQ(Names(names.Get()),
                (std::vector<std::u16string>{u"P1", u"P2", u"P3", u"P4", u"P5",
                                             u"P6", u"P7", u"P8", u"ZRing"}));
      LPWSTR id = nullptr;
      ASSERT_EQ(browse->GetItemID(const_cast<LPWSTR>(u"Status"), &id), S_OK);
      EXPECT_EQ(std::u16string(id), u"SW1.Status");
      CoTaskMemFree(id);

      // A group with items of the device.
      OPCHANDLE group_handle = 0;
      DWORD revised = 0;
      com::ComPtr<IOPCItemMgt> group;
      ASSERT_EQ(
          server->AddGroup(u"", TRUE, 250, 1, nullptr, nullptr, 0,
                           &group_handle, &revised, IID_IOPCItemMgt,
                           reinterpret_cast<IUnknown**>(group.GetAddressOf())),
          OPC_S_UNSUPPORTEDRATE);
      EXPECT_EQ(group_handle, 0u);
      EXPECT_EQ(revised, 200u);
      const std::u16string ids[] = {u"SW1.P1.Link_Status", u"SW1.Status",
                                    u"SW1.P1.rx_fcs_errors", u".P1",
                                    u"SW1.P99.Link_Status"};
      OPCITEMDEF definitions[5] = {};
      for (int i = 0; i < 5; ++i) {
        definitions[i].szItemID = const_cast<LPWSTR>(ids[i].c_str());
        definitions[i].bActive = TRUE;
        definitions[i].hClient = 10 + i;
      }
      definitions[0].vtRequestedDataType = VT_I4;
      definitions[1].vtRequestedDataType = VT_BSTR;
      definitions[2].vtRequestedDataType = VT_I4;
      OPCITEMRESULT* results = nullptr;
      HRESULT* errors = nullptr;
      ASSERT_EQ(group->AddItems(5, definitions, &results, &errors), S_FALSE);
      EXPECT_EQ(errors[0], S_OK);
      EXPECT_EQ(results[0].hServer, 0u);
      EXPECT_EQ(results[0].dwAccessRights, OPC_READABLE);
      EXPECT_EQ(results[0].vtCanonicalDataType, VT_I4);
      EXPECT_EQ(errors[2], S_OK);
      EXPECT_EQ(results[2].hServer, 2u);
      // The device refuses an empty first segment, and takes an ID that
      // names nothing, which then fails to read.
      EXPECT_EQ(errors[3], E_FAIL);
      EXPECT_EQ(errors[4], S_OK);
      EXPECT_EQ(results[4].hServer, 3u);
      CoTaskMemFree(results);
      CoTaskMemFree(errors);

      // Before the first read: uncertain, the zero of the type.
      std::vector<testing::ReadEntry> entries;
      ASSERT_EQ(testing::SyncRead(group.Get(), OPC_DS_CACHE, {0}, &entries),
                S_OK);
      EXPECT_EQ(entries[0].quality, OPC_QUALITY_UNCERTAIN);
      EXPECT_EQ(entries[0].value.vt, VT_I4);
      EXPECT_EQ(entries[0].value.lVal, 0);
      // Device reads follow the frames of the simulated switch.
      EXPECT_TRUE(AdvanceUntil([&] {
        return SUCCEEDED(testing::SyncRead(group.Get(), OPC_DS_DEVICE,
                                           {0, 1, 2}, &entries)) &&
               entries[0].error == S_OK && entries[0].value.lVal == 1 &&
               entries[2].value.lVal > 0;
      }));
      EXPECT_EQ(entries[0].quality, OPC_QUALITY_GOOD);
      EXPECT_EQ(entries[0].client, 10u);
      // The switch status asked for as text.
      EXPECT_EQ(entries[1].value.vt, VT_BSTR);
      ASSERT_EQ(testing::SyncRead(group.Get(), OPC_DS_DEVICE, {3}, &entries),
                S_FALSE);
      EXPECT_EQ(entries[0].error, static_cast<HRESULT>(0xC0040007));
      ASSERT_EQ(testing::SyncRead(group.Get(), OPC_DS_CACHE, {3}, &entries),
                S_OK);
      EXPECT_EQ(entries[0].quality, OPC_QUALITY_BAD);
      ASSERT_EQ(testing::SyncRead(group.Get(), OPC_DS_CACHE, {0}, &entries),
                S_OK);
      EXPECT_EQ(entries[0].value.lVal, 1);

      // The device's items are read-only.
      std::vector<HRESULT> write_errors;
      ASSERT_EQ(testing::SyncWrite(group.Get(), {0}, {com::Variant(LONG{0})},
                                   &write_errors),
                S_FALSE);
      EXPECT_EQ(write_errors[0], OPC_E_BADRIGHTS);

      // Item properties and error texts.
      com::ComPtr<IOPCItemProperties> properties;
      ASSERT_EQ(server.As(&properties), S_OK);
      DWORD property_ids[] = {1, 7};
      VARIANT* data = nullptr;
      HRESULT* property_errors = nullptr;
      ASSERT_EQ(properties->GetItemProperties(
                    const_cast<LPWSTR>(u"SW1.P1.Link_Status"), 2, property_ids,
                    &data, &property_errors),
                S_FALSE);
      EXPECT_EQ(property_errors[0], S_OK);
      EXPECT_EQ(data[0].vt, VT_I2);
      EXPECT_EQ(data[0].iVal, VT_I4);
      EXPECT_EQ(property_errors[1], static_cast<HRESULT>(0xC0040203));
      for (int i = 0; i < 2; ++i) VariantClear(&data[i]);
      CoTaskMemFree(data);
      CoTaskMemFree(property_errors);
      LPWSTR text = nullptr;
      ASSERT_EQ(server->GetErrorString(OPC_E_BADRIGHTS, 0, &text), S_OK);
      EXPECT_EQ(std::u16string(text),
                u"The Item's Access Rights do not allow the operation.");
      CoTaskMemFree(text);

      // A second client's server object shares the device.
      com::ComPtr<IOPCServer> second;
      ASSERT_EQ(CoCreateInstance(CLSID_Server, nullptr, CLSCTX_ALL,
                                 IID_PPV_ARGS(second.GetAddressOf())),
                S_OK);
      EXPECT_EQ(CServer::InstanceCount(), 2);
      EXPECT_EQ(server->RemoveGroup(group_handle, FALSE), OPC_S_INUSE);
    }
    CoUninitialize();
  });
  client.join();
}

}  // namespace
}  // namespace kavex::server
