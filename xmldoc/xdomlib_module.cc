// The library's component-server entry points. It has no creatable classes;
// registering it only records its (empty) type library, where installation
// tools look for it.
#include <dlfcn.h>

#include <string>

#include "platform/com/activation.h"
#include "platform/com/class_factory.h"
#include "platform/com/typelib.h"
#include "platform/com/unknown.h"

namespace kavex::xmldoc {
namespace {

constexpr GUID kLibidXdomlibLib =
    com::GuidLiteral("{8E5C2B71-3D4A-4F19-A6C2-5B7E0D913F42}");
constexpr char kTypeLibName[] = "Xdomlib 1.0 Type Library";

std::string ModulePath() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&ModulePath), &info) == 0 ||
      info.dli_fname == nullptr)
    return {};
  return info.dli_fname;
}

HRESULT RegisterServer() {
  std::string path = ModulePath();
  if (path.empty()) return SELFREG_E_TYPELIB;
  HRESULT hr = com::RegisterTypeLibInfo(kLibidXdomlibLib, 1, 0, 0, kTypeLibName,
                                        path.c_str());
  return FAILED(hr) ? SELFREG_E_TYPELIB : S_OK;
}

HRESULT UnregisterServer() {
  HRESULT hr = com::UnRegisterTypeLibInfo(kLibidXdomlibLib, 1, 0, 0);
  return FAILED(hr) && hr != TYPE_E_LIBNOTREGISTERED ? SELFREG_E_TYPELIB : S_OK;
}

}  // namespace
}  // namespace kavex::xmldoc

KAVEX_MODULE_EXPORT HRESULT DllGetClassObject(REFCLSID, REFIID, void** out) {
  if (out != nullptr) *out = nullptr;
  return CLASS_E_CLASSNOTAVAILABLE;
}

KAVEX_MODULE_EXPORT HRESULT DllCanUnloadNow() {
  return kavex::com::ModuleCanUnloadNow();
}

KAVEX_MODULE_EXPORT HRESULT DllRegisterServer() {
  return kavex::xmldoc::RegisterServer();
}

KAVEX_MODULE_EXPORT HRESULT DllUnregisterServer() {
  return kavex::xmldoc::UnregisterServer();
}
