// The test module: one class, the four entry points, registration keys.
#include <dlfcn.h>

#include <cstring>
#include <string>

#include "platform/com/activation.h"
#include "platform/com/class_factory.h"
#include "platform/com/com_object.h"
#include "platform/com/guid.h"
#include "platform/com/test_module/test_widget.h"
#include "platform/registry/registry.h"

namespace kavex::com {
namespace {

class CTestWidget : public ComObject<CTestWidget, ITestWidget> {
 public:
  HRESULT Add(LONG a, LONG b, LONG* sum) override {
    if (sum == nullptr) return E_POINTER;
    *sum = a + b;
    return S_OK;
  }
  HRESULT LiveWidgets(LONG* count) override {
    if (count == nullptr) return E_POINTER;
    *count = static_cast<LONG>(InstanceCount());
    return S_OK;
  }
};

const ClassEntry kClasses[] = {
    {&CLSID_TestWidget, CreateClassFactory<CTestWidget>}};

std::string ModulePath() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&ModulePath), &info) == 0 ||
      info.dli_fname == nullptr)
    return {};
  return info.dli_fname;
}

bool SetString(const std::string& sub, const char* name,
               const std::string& text) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CLASSES_ROOT, sub.c_str(), 0, nullptr, 0, KEY_WRITE,
                      nullptr, &key, nullptr) != ERROR_SUCCESS)
    return false;
  LONG result = RegSetValueExA(key, name, 0, REG_SZ,
                               reinterpret_cast<const BYTE*>(text.c_str()),
                               static_cast<DWORD>(text.size() + 1));
  RegCloseKey(key);
  return result == ERROR_SUCCESS;
}

std::string ClassKey() { return "CLSID\\" + GuidToString(CLSID_TestWidget); }

HRESULT RegisterServer() {
  std::string path = ModulePath();
  std::string clsid = GuidToString(CLSID_TestWidget);
  bool ok =
      !path.empty() &&
      SetString(kTestWidgetProgIdVersioned, nullptr, "Test Widget") &&
      SetString(std::string(kTestWidgetProgIdVersioned) + "\\CLSID", nullptr,
                clsid) &&
      SetString(kTestWidgetProgId, nullptr, "Test Widget") &&
      SetString(std::string(kTestWidgetProgId) + "\\CurVer", nullptr,
                kTestWidgetProgIdVersioned) &&
      SetString(ClassKey(), nullptr, "Test Widget") &&
      SetString(ClassKey() + "\\ProgID", nullptr, kTestWidgetProgIdVersioned) &&
      SetString(ClassKey() + "\\InprocServer32", nullptr, path) &&
      SetString(ClassKey() + "\\InprocServer32", "ThreadingModel", "Free");
  return ok ? S_OK : SELFREG_E_CLASS;
}

HRESULT UnregisterServer() {
  HRESULT hr = S_OK;
  for (std::string key : {ClassKey(), std::string(kTestWidgetProgId),
                          std::string(kTestWidgetProgIdVersioned)}) {
    LONG result = RegDeleteTreeA(HKEY_CLASSES_ROOT, key.c_str());
    if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND)
      hr = SELFREG_E_CLASS;
  }
  return hr;
}

}  // namespace
}  // namespace kavex::com

KAVEX_MODULE_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID iid,
                                              void** out) {
  return kavex::com::GetClassObjectFromTable(kavex::com::kClasses, clsid, iid,
                                             out);
}

KAVEX_MODULE_EXPORT HRESULT DllCanUnloadNow() {
  return kavex::com::ModuleCanUnloadNow();
}

KAVEX_MODULE_EXPORT HRESULT DllRegisterServer() {
  return kavex::com::RegisterServer();
}

KAVEX_MODULE_EXPORT HRESULT DllUnregisterServer() {
  return kavex::com::UnregisterServer();
}
