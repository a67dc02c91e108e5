#include "platform/com/activation.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <thread>

#include "platform/com/bstr.h"
#include "platform/com/guid.h"
#include "platform/com/scoped_registry_root_for_test.h"
#include "platform/com/task_memory.h"
#include "platform/com/test_module/test_widget.h"
#include "platform/registry/registry.h"

namespace kavex::com {
namespace {

struct ITestThing : IUnknown {
  virtual HRESULT Id(int* id) = 0;
};
KAVEX_DECLARE_IID(ITestThing, "{2F6E8A10-4444-4C2B-9E2F-0A0B0C0D0E01}");

constexpr CLSID kThingClsid =
    GuidLiteral("{2F6E8A10-4444-4C2B-9E2F-0A0B0C0D0E02}");

class CThing : public ComObject<CThing, ITestThing> {
 public:
  HRESULT Id(int* id) override {
    *id = 7;
    return S_OK;
  }
};

struct RegsvrResult {
  int exit_code;
  std::string output;
};

// Runs the tool as a subprocess; it inherits KAVEX_REGISTRY_ROOT.
RegsvrResult RunRegsvr(const std::string& args) {
  std::string command = std::string(KAVEX_REGSVR_PATH) + " " + args + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  RegsvrResult result{-1, ""};
  if (pipe == nullptr) return result;
  char buffer[256];
  while (fgets(buffer, sizeof buffer, pipe) != nullptr) result.output += buffer;
  int status = pclose(pipe);
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

bool ModuleLoaded(const char* path) {
  void* handle = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) return false;
  dlclose(handle);  // NOLOAD took a reference when it found the module
  return true;
}

void SetClassModule(const CLSID& clsid, const std::string& path) {
  HKEY key = nullptr;
  std::string sub = "CLSID\\" + GuidToString(clsid) + "\\InprocServer32";
  ASSERT_EQ(ERROR_SUCCESS,
            RegCreateKeyExA(HKEY_CLASSES_ROOT, sub.c_str(), 0, nullptr, 0,
                            KEY_WRITE, nullptr, &key, nullptr));
  RegSetValueExA(key, nullptr, 0, REG_SZ,
                 reinterpret_cast<const BYTE*>(path.c_str()),
                 static_cast<DWORD>(path.size() + 1));
  RegCloseKey(key);
}

class ActivationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  }
  void TearDown() override { CoUninitialize(); }
  ScopedRegistryRootForTest registry_;
};

TEST(CoInitializeTest, ModesArePerThreadAndCounted) {
  std::thread([] {
    // No thread of the process is initialised yet.
    void* out = nullptr;
    EXPECT_EQ(
        CO_E_NOTINITIALIZED,
        CoCreateInstance(kThingClsid, nullptr, CLSCTX_ALL, IID_IUnknown, &out));
    EXPECT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    EXPECT_EQ(S_FALSE, CoInitialize(nullptr));
    EXPECT_EQ(RPC_E_CHANGED_MODE,
              CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    CoUninitialize();
    CoUninitialize();
    // Fully uninitialised: a new mode may be chosen.
    EXPECT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    // Another thread joins the multithreaded mode without initialising.
    std::thread([] {
      void* out = nullptr;
      EXPECT_EQ(REGDB_E_CLASSNOTREG,
                CoCreateInstance(kThingClsid, nullptr, CLSCTX_INPROC_SERVER,
                                 IID_IUnknown, &out));
    }).join();
    CoUninitialize();
  }).join();
}

TEST_F(ActivationTest, TestModuleRegisteredCreatedAndUnloaded) {
  const char* module = KAVEX_TEST_MODULE_PATH;
  RegsvrResult reg = RunRegsvr(module);
  ASSERT_EQ(0, reg.exit_code) << reg.output;
  EXPECT_NE(std::string::npos, reg.output.find("DllRegisterServer"));
  EXPECT_NE(std::string::npos, reg.output.find("S_OK"));

  CLSID clsid{};
  ASSERT_EQ(S_OK, CLSIDFromProgID(u"KavexTest.Widget", &clsid));
  EXPECT_EQ(CLSID_TestWidget, clsid);
  ASSERT_EQ(S_OK, CLSIDFromString(u"KavexTest.Widget.1", &clsid));
  EXPECT_EQ(CLSID_TestWidget, clsid);
  LPOLESTR prog_id = nullptr;
  ASSERT_EQ(S_OK, ProgIDFromCLSID(clsid, &prog_id));
  EXPECT_EQ(u"KavexTest.Widget.1", std::u16string(prog_id));
  CoTaskMemFree(prog_id);

  long own_locks = ModuleLockCount();
  EXPECT_FALSE(ModuleLoaded(module));
  {
    ComPtr<ITestWidget> widget;
    ASSERT_EQ(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_ALL,
                                     IID_PPV_ARGS(widget.GetAddressOf())));
    LONG sum = 0;
    ASSERT_EQ(S_OK, widget->Add(40, 2, &sum));
    EXPECT_EQ(42, sum);
    ComPtr<ITestWidget> second;
    ASSERT_EQ(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER,
                                     IID_PPV_ARGS(second.GetAddressOf())));
    LONG live = 0;
    second->LiveWidgets(&live);
    EXPECT_EQ(2, live);
    // The module's objects count in the module, not in this program.
    EXPECT_EQ(own_locks, ModuleLockCount());
    EXPECT_TRUE(ModuleLoaded(module));
    CoFreeUnusedLibraries();
    EXPECT_TRUE(ModuleLoaded(module));  // objects alive: it stays
  }
  CoFreeUnusedLibraries();
  EXPECT_FALSE(ModuleLoaded(module));

  // Aggregation is refused by the module's factory.
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(S_OK, CoGetClassObject(clsid, CLSCTX_INPROC_SERVER, nullptr,
                                   IID_PPV_ARGS(factory.GetAddressOf())));
  void* out = nullptr;
  EXPECT_EQ(CLASS_E_NOAGGREGATION,
            factory->CreateInstance(factory.Get(), IID_ITestWidget, &out));
  CoFreeUnusedLibraries();
  EXPECT_TRUE(ModuleLoaded(module));  // a held class object keeps it too
  factory.Reset();

  RegsvrResult unreg = RunRegsvr(std::string("/u /s ") + module);
  ASSERT_EQ(0, unreg.exit_code) << unreg.output;
  EXPECT_EQ("", unreg.output);
  EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromProgID(u"KavexTest.Widget", &clsid));
  EXPECT_EQ(REGDB_E_CLASSNOTREG,
            CoCreateInstance(CLSID_TestWidget, nullptr, CLSCTX_ALL,
                             IID_ITestWidget, &out));
}

TEST_F(ActivationTest, LastUninitializeUnloadsIdleModules) {
  ASSERT_EQ(0,
            RunRegsvr(std::string("/s ") + KAVEX_TEST_MODULE_PATH).exit_code);
  ComPtr<ITestWidget> widget;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_TestWidget, nullptr, CLSCTX_ALL,
                                   IID_PPV_ARGS(widget.GetAddressOf())));
  widget.Reset();
  EXPECT_TRUE(ModuleLoaded(KAVEX_TEST_MODULE_PATH));
  CoUninitialize();
  EXPECT_FALSE(ModuleLoaded(KAVEX_TEST_MODULE_PATH));
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);  // for TearDown
}

TEST_F(ActivationTest, ActivationFailuresNameTheCause) {
  void* out = nullptr;
  EXPECT_EQ(
      REGDB_E_CLASSNOTREG,
      CoCreateInstance(kThingClsid, nullptr, CLSCTX_ALL, IID_IUnknown, &out));
  SetClassModule(kThingClsid, registry_.dir() + "/missing-module.so");
  EXPECT_EQ(CO_E_DLLNOTFOUND, CoCreateInstance(kThingClsid, nullptr, CLSCTX_ALL,
                                               IID_IUnknown, &out));
  // A library without DllGetClassObject: the runtime itself.
  Dl_info info{};
  ASSERT_NE(0, dladdr(reinterpret_cast<void*>(&CoCreateInstance), &info));
  SetClassModule(kThingClsid, info.dli_fname);
  EXPECT_EQ(CO_E_ERRORINDLL, CoCreateInstance(kThingClsid, nullptr, CLSCTX_ALL,
                                              IID_IUnknown, &out));
  // A file that is not a shared library.
  std::string junk = registry_.dir() + "/HKCR.reg";
  SetClassModule(kThingClsid, junk);
  EXPECT_EQ(CO_E_ERRORINDLL, CoCreateInstance(kThingClsid, nullptr, CLSCTX_ALL,
                                              IID_IUnknown, &out));
  EXPECT_EQ(nullptr, out);
  // A local-server request never loads a module.
  SetClassModule(kThingClsid, KAVEX_TEST_MODULE_PATH);
  EXPECT_EQ(REGDB_E_CLASSNOTREG,
            CoCreateInstance(kThingClsid, nullptr, CLSCTX_LOCAL_SERVER,
                             IID_IUnknown, &out));

  CLSID clsid;
  EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromProgID(u"No.Such.Class", &clsid));
  EXPECT_EQ(E_INVALIDARG, CLSIDFromProgID(nullptr, &clsid));
}

// A ProgID without a CLSID of its own leads to its class through CurVer;
// a CurVer loop ends.
TEST_F(ActivationTest, ProgIdFollowsCurVer) {
  auto set = [](const std::string& sub, const std::string& text) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExA(HKEY_CLASSES_ROOT, sub.c_str(), 0, nullptr, 0,
                              KEY_WRITE, nullptr, &key, nullptr));
    RegSetValueExA(key, nullptr, 0, REG_SZ,
                   reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>(text.size() + 1));
    RegCloseKey(key);
  };
  set("Kavex.Thing.2\\CLSID", GuidToString(kThingClsid));
  set("Kavex.Thing\\CurVer", "Kavex.Thing.2");
  CLSID clsid{};
  ASSERT_EQ(S_OK, CLSIDFromProgID(u"Kavex.Thing", &clsid));
  EXPECT_EQ(kThingClsid, clsid);
  set("Kavex.Loop.A\\CurVer", "Kavex.Loop.B");
  set("Kavex.Loop.B\\CurVer", "Kavex.Loop.A");
  EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromProgID(u"Kavex.Loop.A", &clsid));
}

TEST_F(ActivationTest, RegsvrHelpAndModulesByName) {
  RegsvrResult help = RunRegsvr("--help");
  EXPECT_EQ(0, help.exit_code);
  EXPECT_NE(std::string::npos, help.output.find("usage: regsvr"));
  RegsvrResult version = RunRegsvr("--version");
  EXPECT_EQ(0, version.exit_code);
  EXPECT_EQ("regsvr " KAVEX_VERSION "\n", version.output);
  // Long options are not module names.
  EXPECT_EQ(1, RunRegsvr("--helpme").exit_code);
  EXPECT_EQ(1, RunRegsvr("/s --help").exit_code);
  // A bare name is found in the library directory beside regsvr's.
  const std::string path = KAVEX_TEST_MODULE_PATH;
  const std::string name = path.substr(path.rfind('/') + 1);
  RegsvrResult by_name = RunRegsvr(name);
  EXPECT_EQ(0, by_name.exit_code) << by_name.output;
  EXPECT_EQ(0, RunRegsvr("/u /s " + name).exit_code);
  EXPECT_EQ(1, RunRegsvr("no-such-module.so").exit_code);
}

TEST_F(ActivationTest, RegsvrReportsFailures) {
  RegsvrResult none = RunRegsvr("");
  EXPECT_EQ(1, none.exit_code);
  EXPECT_NE(std::string::npos, none.output.find("usage"));
  EXPECT_EQ(1, RunRegsvr(registry_.dir() + "/missing.so").exit_code);
  EXPECT_EQ(1,
            RunRegsvr("/x " + std::string(KAVEX_TEST_MODULE_PATH)).exit_code);
  Dl_info info{};
  ASSERT_NE(0, dladdr(reinterpret_cast<void*>(&CoCreateInstance), &info));
  RegsvrResult no_entry = RunRegsvr(info.dli_fname);
  EXPECT_EQ(1, no_entry.exit_code);
  EXPECT_NE(std::string::npos, no_entry.output.find("DllRegisterServer"));
}

TEST_F(ActivationTest, ClassObjectsSuspendResumeAndRevoke) {
  ComPtr<ClassFactory<CThing, false>> factory;
  ASSERT_EQ(S_OK, (ClassFactory<CThing, false>::CreateInstance(&factory)));
  DWORD cookie = 0;
  ASSERT_EQ(S_OK, CoRegisterClassObject(
                      kThingClsid, factory->GetUnknown(), CLSCTX_LOCAL_SERVER,
                      REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED, &cookie));
  EXPECT_NE(0u, cookie);
  auto create = [](DWORD clsctx) {
    ComPtr<ITestThing> thing;
    HRESULT hr = CoCreateInstance(kThingClsid, nullptr, clsctx,
                                  IID_PPV_ARGS(thing.GetAddressOf()));
    if (SUCCEEDED(hr)) {
      int id = 0;
      thing->Id(&id);
      EXPECT_EQ(7, id);
    }
    return hr;
  };
  EXPECT_EQ(REGDB_E_CLASSNOTREG, create(CLSCTX_ALL));  // suspended
  ASSERT_EQ(S_OK, CoResumeClassObjects());
  EXPECT_EQ(S_OK, create(CLSCTX_ALL));
  EXPECT_EQ(S_OK, create(CLSCTX_LOCAL_SERVER));
  EXPECT_EQ(S_OK, create(CLSCTX_LOCAL_SERVER));  // multiple use
  EXPECT_EQ(REGDB_E_CLASSNOTREG, create(CLSCTX_INPROC_SERVER));

  // The server process count going back to zero suspends everything.
  EXPECT_EQ(1u, CoAddRefServerProcess());
  EXPECT_EQ(2u, CoAddRefServerProcess());
  EXPECT_EQ(1u, CoReleaseServerProcess());
  EXPECT_EQ(S_OK, create(CLSCTX_ALL));
  EXPECT_EQ(0u, CoReleaseServerProcess());
  EXPECT_EQ(REGDB_E_CLASSNOTREG, create(CLSCTX_ALL));
  ASSERT_EQ(S_OK, CoResumeClassObjects());
  CoSuspendClassObjects();
  EXPECT_EQ(REGDB_E_CLASSNOTREG, create(CLSCTX_ALL));
  CoResumeClassObjects();

  // A program's class objects do not keep the program's lock count up.
  long locks = ModuleLockCount();
  ASSERT_EQ(S_OK, CoRevokeClassObject(cookie));
  EXPECT_EQ(CO_E_OBJNOTREG, CoRevokeClassObject(cookie));
  EXPECT_EQ(REGDB_E_CLASSNOTREG, create(CLSCTX_ALL));
  factory.Reset();
  EXPECT_EQ(locks, ModuleLockCount());
  EXPECT_EQ(0, CThing::InstanceCount());

  // Single use: handed out once.
  ComPtr<ClassFactory<CThing, false>> single;
  ClassFactory<CThing, false>::CreateInstance(&single);
  ASSERT_EQ(S_OK, CoRegisterClassObject(kThingClsid, single->GetUnknown(),
                                        CLSCTX_INPROC_SERVER, REGCLS_SINGLEUSE,
                                        &cookie));
  EXPECT_EQ(S_OK, create(CLSCTX_INPROC_SERVER));
  EXPECT_EQ(REGDB_E_CLASSNOTREG, create(CLSCTX_INPROC_SERVER));
  CoRevokeClassObject(cookie);
}

TEST(GuidRegistryTest, StringFormsFromTheTaskAllocator) {
  LPOLESTR text = nullptr;
  ASSERT_EQ(S_OK, StringFromCLSID(CLSID_TestWidget, &text));
  EXPECT_EQ(u"{0B7F2C64-91D3-4A8E-B5C1-7E2D4F6A8B02}", std::u16string(text));
  CLSID back{};
  EXPECT_EQ(S_OK, CLSIDFromString(text, &back));
  EXPECT_EQ(CLSID_TestWidget, back);
  CoTaskMemFree(text);
  EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromString(u"{0B7F2C64-91D3}", &back));
}

}  // namespace
}  // namespace kavex::com
