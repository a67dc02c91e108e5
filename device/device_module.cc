// The device plug-in as an in-process component: the class factory of
// Device, the unload check, and self-registration under HKEY_CLASSES_ROOT.
#include <dlfcn.h>
#include <stdlib.h>

#include <string>

#include "device/device_object.h"
#include "device/device_runtime.h"
#include "platform/com/activation.h"
#include "platform/com/class_factory.h"
#include "platform/com/guid.h"
#include "platform/com/typelib.h"
#include "platform/registry/registry.h"
#include "server/contract/device_interfaces.h"

namespace kavex::device {
namespace {

const com::ClassEntry kClasses[] = {
    {&CLSID_Device, com::CreateClassFactory<CDevice>}};

constexpr char kClassName[] = "Device Class";
constexpr char kAppIdName[] = "KavexOPCDevice";
constexpr char kModuleAppIdKey[] = "AppID\\KavexOPCDevice.DLL";
constexpr char kTypeLibName[] = "KavexOPCDevice 1.0 Type Library";
constexpr WORD kTypeLibMajor = 1;
constexpr WORD kTypeLibMinor = 0;
constexpr LCID kTypeLibLcid = 0x409;

// The module's full path: loaders may have named it relatively.
std::string ModulePath() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&ModulePath), &info) == 0 ||
      info.dli_fname == nullptr)
    return {};
  char* full = realpath(info.dli_fname, nullptr);
  if (full == nullptr) return {};
  std::string path = full;
  free(full);
  return path;
}

std::string ClassKey() { return "CLSID\\" + com::GuidToString(CLSID_Device); }
std::string AppIdKey() {
  return "AppID\\" + com::GuidToString(APPID_KavexOPCDevice);
}

// Creates HKCR\<sub>; with `name` (null: the default value) sets it to
// `text`.
bool SetKey(const std::string& sub, const char* name = nullptr,
            const std::string* text = nullptr) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CLASSES_ROOT, sub.c_str(), 0, nullptr, 0, KEY_WRITE,
                      nullptr, &key, nullptr) != ERROR_SUCCESS)
    return false;
  LONG result = ERROR_SUCCESS;
  if (text != nullptr) {
    result = RegSetValueExA(key, name, 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(text->c_str()),
                            static_cast<DWORD>(text->size() + 1));
  }
  RegCloseKey(key);
  return result == ERROR_SUCCESS;
}
bool SetString(const std::string& sub, const char* name,
               const std::string& text) {
  return SetKey(sub, name, &text);
}

// Removing what is not there succeeds, so unregistering twice is harmless.
bool DeleteTree(const std::string& sub) {
  LONG result = RegDeleteTreeA(HKEY_CLASSES_ROOT, sub.c_str());
  return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}

HRESULT RegisterAppId() {
  const std::string app_id = com::GuidToString(APPID_KavexOPCDevice);
  bool ok = SetString(AppIdKey(), nullptr, kAppIdName) &&
            SetString(kModuleAppIdKey, "AppID", app_id);
  return ok ? S_OK : SELFREG_E_CLASS;
}

HRESULT UnregisterAppId() {
  // Only our two subkeys; the AppID key itself is shared.
  bool ok = DeleteTree(AppIdKey());
  ok = DeleteTree(kModuleAppIdKey) && ok;
  return ok ? S_OK : SELFREG_E_CLASS;
}

HRESULT RegisterClass(const std::string& path) {
  const std::string clsid = com::GuidToString(CLSID_Device);
  const std::string versioned = server::kDeviceProgIdVersioned;
  const std::string independent = server::kDeviceProgId;
  const std::string key = ClassKey();
  // The class key is replaced whole: nothing of an older registration stays.
  bool ok =
      !path.empty() && DeleteTree(key) &&
      SetString(versioned, nullptr, kClassName) &&
      SetString(versioned + "\\CLSID", nullptr, clsid) &&
      SetString(independent, nullptr, kClassName) &&
      SetString(independent + "\\CLSID", nullptr, clsid) &&
      SetString(independent + "\\CurVer", nullptr, versioned) &&
      SetString(key, nullptr, kClassName) &&
      SetString(key + "\\ProgID", nullptr, versioned) &&
      SetString(key + "\\VersionIndependentProgID", nullptr, independent) &&
      SetKey(key + "\\Programmable") &&
      SetString(key + "\\InprocServer32", nullptr, path) &&
      SetString(key + "\\InprocServer32", "ThreadingModel", "Free") &&
      SetString(key, "AppID", com::GuidToString(APPID_KavexOPCDevice)) &&
      SetString(key + "\\TypeLib", nullptr,
                com::GuidToString(LIBID_KavexOPCDeviceLib));
  return ok ? S_OK : SELFREG_E_CLASS;
}

HRESULT UnregisterClass() {
  // Only the class's own key; the CLSID key itself is shared.
  bool ok = DeleteTree(server::kDeviceProgIdVersioned);
  ok = DeleteTree(server::kDeviceProgId) && ok;
  ok = DeleteTree(ClassKey()) && ok;
  return ok ? S_OK : SELFREG_E_CLASS;
}

HRESULT RegisterTypeLibrary(const std::string& path) {
  const std::string help_dir = path.substr(0, path.find_last_of('/') + 1);
  HRESULT hr = com::RegisterTypeLibInfo(
      LIBID_KavexOPCDeviceLib, kTypeLibMajor, kTypeLibMinor, kTypeLibLcid,
      kTypeLibName, path.c_str(), help_dir.c_str());
  if (SUCCEEDED(hr)) {
    hr = com::RegisterTypeLibInterface(
        com::IidOf<IKavexOPCDevice>(), "IKavexOPCDevice",
        LIBID_KavexOPCDeviceLib, kTypeLibMajor, kTypeLibMinor);
  }
  if (SUCCEEDED(hr)) {
    hr = com::RegisterTypeLibInterface(
        com::IidOf<_IKavexOPCDeviceEvents>(), "_IKavexOPCDeviceEvents",
        LIBID_KavexOPCDeviceLib, kTypeLibMajor, kTypeLibMinor);
  }
  return hr;
}

HRESULT UnregisterTypeLibrary() {
  HRESULT hr = com::UnRegisterTypeLibInfo(
      LIBID_KavexOPCDeviceLib, kTypeLibMajor, kTypeLibMinor, kTypeLibLcid);
  if (hr == TYPE_E_LIBNOTREGISTERED) hr = S_OK;
  HRESULT interfaces =
      com::UnRegisterTypeLibInterface(com::IidOf<IKavexOPCDevice>());
  if (SUCCEEDED(interfaces)) {
    interfaces =
        com::UnRegisterTypeLibInterface(com::IidOf<_IKavexOPCDeviceEvents>());
  }
  return FAILED(hr) ? hr : interfaces;
}

HRESULT FirstFailure(HRESULT first, HRESULT second) {
  return FAILED(first) ? first : second;
}

// The receive and timer threads run this module's code; it may go only
// once no object holds the device and the device has fully stopped.
HRESULT CanUnloadNow() {
  if (com::ModuleCanUnloadNow() != S_OK || DeviceRuntime::Alive())
    return S_FALSE;
  return S_OK;
}

HRESULT RegisterServer() {
  const std::string path = ModulePath();
  HRESULT hr = RegisterAppId();
  if (SUCCEEDED(hr)) hr = RegisterClass(path);
  if (SUCCEEDED(hr)) hr = RegisterTypeLibrary(path);
  return hr;
}

HRESULT UnregisterServer() {
  HRESULT hr = UnregisterClass();
  hr = FirstFailure(hr, UnregisterTypeLibrary());
  return FirstFailure(hr, UnregisterAppId());
}

}  // namespace
}  // namespace kavex::device

KAVEX_MODULE_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID iid,
                                              void** out) {
  return kavex::com::GetClassObjectFromTable(kavex::device::kClasses, clsid,
                                             iid, out);
}

KAVEX_MODULE_EXPORT HRESULT DllCanUnloadNow() {
  return kavex::device::CanUnloadNow();
}

KAVEX_MODULE_EXPORT HRESULT DllRegisterServer() {
  return kavex::device::RegisterServer();
}

KAVEX_MODULE_EXPORT HRESULT DllUnregisterServer() {
  return kavex::device::UnregisterServer();
}
