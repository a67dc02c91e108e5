// The plug-in as the server meets it: registered in a private registry,
// created by ProgID through the component runtime, reading frames of a
// simulated adapter, and unloaded once released.
#include <dirent.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <thread>

#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "platform/com/guid.h"
#include "platform/com/registry_dump_for_test.h"
#include "platform/com/safearray.h"
#include "platform/com/scoped_registry_root_for_test.h"
#include "platform/com/variant.h"
#include "platform/pkio/testing/testing_support.h"
#include "platform/registry/registry.h"
#include "platform/sync/clock.h"
#include "platform/sync/handle.h"
#include "platform/sync/waitable_timer.h"
#include "server/contract/device_interfaces.h"

namespace kavex::device {
namespace {

constexpr char kModulePath[] = KAVEX_DEVICE_MODULE_PATH;

std::set<std::string> ClassesRoot() { return com::DumpClassesRoot(); }

void SetString(const char* sub, const char* name, const std::string& text) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, sub, 0, nullptr, 0, KEY_WRITE,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, name, 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(text.c_str()),
                           static_cast<DWORD>(text.size() + 1)),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

bool ModuleLoaded() {
  void* handle = dlopen(kModulePath, RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) return false;
  dlclose(handle);
  return true;
}

int ThreadCount() {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (dirent* entry = readdir(dir))
      if (entry->d_name[0] != '.') ++count;
    closedir(dir);
  }
  return count;
}

// Waitable timers share one service thread, started by the first timer
// ever armed and kept for the life of the process; started here, it does
// not count as a thread the device left behind.
void StartTimerService() {
  HANDLE timer = CreateWaitableTimerA(nullptr, TRUE, nullptr);
  const int64_t due = -10'000'000;
  SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE);
  CancelWaitableTimer(timer);
  CloseHandle(timer);
}

HRESULT CallEntry(const char* entry) {
  void* handle = dlopen(kModulePath, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return E_FAIL;
  auto function = reinterpret_cast<LPFNREGISTERSERVER>(dlsym(handle, entry));
  HRESULT hr = function ? function() : E_FAIL;
  dlclose(handle);
  return hr;
}

class DeviceComponentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sync::SetClockForTesting(&clock_);
    StartTimerService();
    threads_before_ = ThreadCount();
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  }
  void TearDown() override {
    CoUninitialize();
    sync::SetClockForTesting(nullptr);
  }

  // A simulated LAN with one 8-port switch, and a configuration that maps
  // it under "SW1" on that adapter.
  void Configure(const std::string& data_format) {
    ASSERT_TRUE(pkio::testing::DeclareFrameSourceModule(
        "Simulated", KAVEX_SIMULATED_ADAPTERS_MODULE));
    SetString("SOFTWARE\\Kavex OPC\\Pkiolib\\Simulated\\TestLan", "Scenario",
              "switch 02.C4.7D.00.00.01 type=1 ports=8 ip=10.0.0.5 "
              "ring=1 ringflags=13 load=20 down=4 errors=3");
    std::string xml =
        "<ROOT DataFormat=\"" + data_format +
        "\">\n"
        " <ADAPTER Name=\"\\Device\\Simulated\\TestLan\" Active=\"Yes\" "
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
    SetString("SOFTWARE\\Kavex OPC", "Configuration File", path);
  }

  HRESULT CreateDevice(com::ComPtr<IKavexOPCDevice>* device) {
    CLSID clsid{};
    HRESULT hr = CLSIDFromProgID(u"KavexOPCDevice.Device", &clsid);
    if (FAILED(hr)) return hr;
    EXPECT_EQ(clsid, CLSID_Device);
    return CoCreateInstance(
        clsid, nullptr, CLSCTX_ALL, com::IidOf<IKavexOPCDevice>(),
        reinterpret_cast<void**>(device->ReleaseAndGetAddressOf()));
  }

  std::string ReadText(IKavexOPCDevice* device, const char16_t* id) {
    com::Bstr bstr(id);
    com::Variant value;
    if (device->Read(bstr.Get(), &value) != S_OK) return "failed";
    if (value.ChangeType(VT_BSTR) != S_OK) return "not text";
    return text::Utf16ToUtf8(com::BstrView(value.bstrVal));
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

  // Releasing the last object stops the device: the module may go and its
  // threads are gone.
  void ExpectUnloads() {
    CoFreeUnusedLibraries();
    EXPECT_FALSE(ModuleLoaded());
    EXPECT_EQ(ThreadCount(), threads_before_);
  }

  com::ScopedRegistryRootForTest root_;
  sync::FakeClock clock_{50'000};
  int threads_before_ = 0;
};

TEST_F(DeviceComponentTest, RegistrationWritesExactlyItsKeys) {
  ASSERT_EQ(CallEntry("DllRegisterServer"), S_OK);
  const std::string path = std::filesystem::canonical(kModulePath).string();
  const std::string clsid = "CLSID\\{1A23B247-C9CF-43F5-A7AE-6B1FF4BDB52A}";
  const std::string app_id = "{43F6BC7B-7CD0-464C-BBAD-5B25A5E89027}";
  const std::string lib = "TypeLib\\{9815A65A-DD46-44B9-A088-819C3D10C058}";
  const std::string device =
      "Interface\\{67A0279B-3337-4BC2-AA79-56C802EAA72F}";
  const std::string events =
      "Interface\\{9B739684-14D2-447F-865E-28E21576139A}";
  const std::string automation = "{00020424-0000-0000-C000-000000000046}";
  const std::string dir = path.substr(0, path.rfind('/') + 1);
  const std::set<std::string> expected = {
      "AppID",
      "AppID\\" + app_id,
      "AppID\\" + app_id + "|=KavexOPCDevice",
      "AppID\\KavexOPCDevice.DLL",
      "AppID\\KavexOPCDevice.DLL|AppID=" + app_id,
      "KavexOPCDevice.Device.1",
      "KavexOPCDevice.Device.1|=Device Class",
      "KavexOPCDevice.Device.1\\CLSID",
      "KavexOPCDevice.Device.1\\CLSID|={1A23B247-C9CF-43F5-A7AE-6B1FF4BDB52A}",
      "KavexOPCDevice.Device",
      "KavexOPCDevice.Device|=Device Class",
      "KavexOPCDevice.Device\\CLSID",
      "KavexOPCDevice.Device\\CLSID|={1A23B247-C9CF-43F5-A7AE-6B1FF4BDB52A}",
      "KavexOPCDevice.Device\\CurVer",
      "KavexOPCDevice.Device\\CurVer|=KavexOPCDevice.Device.1",
      "CLSID",
      clsid,
      clsid + "|=Device Class",
      clsid + "|AppID=" + app_id,
      clsid + "\\ProgID",
      clsid + "\\ProgID|=KavexOPCDevice.Device.1",
      clsid + "\\VersionIndependentProgID",
      clsid + "\\VersionIndependentProgID|=KavexOPCDevice.Device",
      clsid + "\\Programmable",
      clsid + "\\InprocServer32",
      clsid + "\\InprocServer32|=" + path,
      clsid + "\\InprocServer32|ThreadingModel=Free",
      clsid + "\\TypeLib",
      clsid + "\\TypeLib|={9815A65A-DD46-44B9-A088-819C3D10C058}",
      "TypeLib",
      lib,
      lib + "\\1.0",
      lib + "\\1.0|=KavexOPCDevice 1.0 Type Library",
      lib + "\\1.0\\FLAGS",
      lib + "\\1.0\\FLAGS|=0",
      lib + "\\1.0\\409",
      lib + "\\1.0\\409\\win64",
      lib + "\\1.0\\409\\win64|=" + path,
      lib + "\\1.0\\HELPDIR",
      lib + "\\1.0\\HELPDIR|=" + dir,
      "Interface",
      device,
      device + "|=IKavexOPCDevice",
      device + "\\ProxyStubClsid32",
      device + "\\ProxyStubClsid32|=" + automation,
      device + "\\TypeLib",
      device + "\\TypeLib|={9815A65A-DD46-44B9-A088-819C3D10C058}",
      device + "\\TypeLib|Version=1.0",
      events,
      events + "|=_IKavexOPCDeviceEvents",
      events + "\\ProxyStubClsid32",
      events + "\\ProxyStubClsid32|=" + automation,
      events + "\\TypeLib",
      events + "\\TypeLib|={9815A65A-DD46-44B9-A088-819C3D10C058}",
      events + "\\TypeLib|Version=1.0",
  };
  EXPECT_EQ(ClassesRoot(), expected);

  // Registering again replaces the class key whole.
  HKEY stale = nullptr;
  ASSERT_EQ(
      RegCreateKeyExA(HKEY_CLASSES_ROOT, (clsid + "\\LocalServer32").c_str(), 0,
                      nullptr, 0, KEY_WRITE, nullptr, &stale, nullptr),
      ERROR_SUCCESS);
  RegCloseKey(stale);
  ASSERT_EQ(CallEntry("DllRegisterServer"), S_OK);
  EXPECT_EQ(ClassesRoot(), expected);

  // Unregistering leaves only the shared parent keys, and may be repeated.
  ASSERT_EQ(CallEntry("DllUnregisterServer"), S_OK);
  const std::set<std::string> parents = {"AppID", "CLSID", "Interface",
                                         "TypeLib"};
  EXPECT_EQ(ClassesRoot(), parents);
  EXPECT_EQ(CallEntry("DllUnregisterServer"), S_OK);
  EXPECT_EQ(ClassesRoot(), parents);
}

TEST_F(DeviceComponentTest, ClassObjectAndUnloadCheck) {
  void* module = dlopen(kModulePath, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr);
  auto get_class_object =
      reinterpret_cast<LPFNGETCLASSOBJECT>(dlsym(module, "DllGetClassObject"));
  auto can_unload =
      reinterpret_cast<LPFNCANUNLOADNOW>(dlsym(module, "DllCanUnloadNow"));
  ASSERT_NE(get_class_object, nullptr);
  ASSERT_NE(can_unload, nullptr);
  // Nothing else leaves the module.
  EXPECT_EQ(dlsym(module, "_ZN7CDevice4ReadEPDsP7VARIANT"), nullptr);

  com::ComPtr<IClassFactory> factory;
  EXPECT_EQ(
      get_class_object(CLSID_Device, com::IidOf<IClassFactory>(), nullptr),
      E_INVALIDARG);
  EXPECT_EQ(get_class_object(CLSID_ServerCallback, com::IidOf<IClassFactory>(),
                             reinterpret_cast<void**>(factory.GetAddressOf())),
            CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(can_unload(), S_OK);
  ASSERT_EQ(get_class_object(CLSID_Device, com::IidOf<IClassFactory>(),
                             reinterpret_cast<void**>(factory.GetAddressOf())),
            S_OK);
  EXPECT_EQ(can_unload(), S_FALSE);
  factory->LockServer(TRUE);
  factory.Reset();
  EXPECT_EQ(can_unload(), S_FALSE);
  ASSERT_EQ(get_class_object(CLSID_Device, com::IidOf<IClassFactory>(),
                             reinterpret_cast<void**>(factory.GetAddressOf())),
            S_OK);
  factory->LockServer(FALSE);
  factory.Reset();
  EXPECT_EQ(can_unload(), S_OK);
  dlclose(module);
}

TEST_F(DeviceComponentTest, FramesOfASimulatedAdapterFlowIntoReads) {
  ASSERT_EQ(CallEntry("DllRegisterServer"), S_OK);
  Configure("String");
  {
    com::ComPtr<IKavexOPCDevice> device;
    ASSERT_EQ(CreateDevice(&device), S_OK);
    EXPECT_TRUE(ModuleLoaded());

    com::Variant ids;
    ASSERT_EQ(device->get_ItemIDs(&ids), S_OK);
    LONG upper = 0;
    SafeArrayGetUBound(ids.parray, 1, &upper);
    EXPECT_EQ(upper + 1, 354);

    ASSERT_TRUE(AdvanceUntil([&] {
      return ReadText(device.Get(), u"SW1.Status") == "Online" &&
             ReadText(device.Get(), u"SW1.P1.Link_Status") == "Up" &&
             ReadText(device.Get(), u"SW1.P4.Link_Status") == "Down" &&
             ReadText(device.Get(), u"SW1.P1.rx_fcs_errors") != "0";
    })) << ReadText(device.Get(), u"SW1.P1.Link_Status");
    EXPECT_EQ(ReadText(device.Get(), u"SW1.Status"), "Online");
    EXPECT_EQ(ReadText(device.Get(), u"SW1.IP_Address"), "10.0.0.5");
    EXPECT_EQ(ReadText(device.Get(), u"SW1.P1.Speed"), "100");
    EXPECT_EQ(ReadText(device.Get(), u"SW1.P1.Duplex"), "Full");
    EXPECT_EQ(ReadText(device.Get(), u"SW1.P4.Speed"), "N/A");
    EXPECT_EQ(ReadText(device.Get(), u"SW1.ZRing.Version"), "1");
    EXPECT_EQ(ReadText(device.Get(), u"SW1.ZRing.State"), "Ok");
    // The counters keep moving.
    const std::string errors = ReadText(device.Get(), u"SW1.P1.rx_fcs_errors");
    EXPECT_TRUE(AdvanceUntil([&] {
      return ReadText(device.Get(), u"SW1.P1.rx_fcs_errors") != errors;
    }));
  }
  ExpectUnloads();
}

TEST_F(DeviceComponentTest, SecondDeviceSharesTheRunningOne) {
  ASSERT_EQ(CallEntry("DllRegisterServer"), S_OK);
  Configure("Integer");
  com::ComPtr<IKavexOPCDevice> first, second;
  ASSERT_EQ(CreateDevice(&first), S_OK);
  ASSERT_EQ(CreateDevice(&second), S_OK);
  ASSERT_TRUE(AdvanceUntil(
      [&] { return ReadText(second.Get(), u"SW1.P2.Link_Status") == "1"; }));
  first.Reset();
  // The device keeps running for the other object.
  CoFreeUnusedLibraries();
  EXPECT_TRUE(ModuleLoaded());
  const std::string errors = ReadText(second.Get(), u"SW1.P2.rx_fcs_errors");
  EXPECT_TRUE(AdvanceUntil([&] {
    return ReadText(second.Get(), u"SW1.P2.rx_fcs_errors") != errors;
  }));
  second.Reset();
  ExpectUnloads();
}

TEST_F(DeviceComponentTest, FailedStartUpFailsTheCreation) {
  ASSERT_EQ(CallEntry("DllRegisterServer"), S_OK);
  Configure("String");
  // The configured file is gone.
  std::filesystem::remove(root_.dir() + "/Kavex OPC.xml");
  com::ComPtr<IKavexOPCDevice> device;
  EXPECT_EQ(CreateDevice(&device), E_FAIL);
  EXPECT_EQ(device.Get(), nullptr);
  ExpectUnloads();
}

}  // namespace
}  // namespace kavex::device
