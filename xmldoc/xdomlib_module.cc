// The library's component-server entry points. It has no creatable classes;
// registering it only records its (empty) type library, where installation
// tools look for it.
#include "platform/com/activation.h"
#include "platform/com/class_factory.h"
#include "platform/com/module_registration.h"
#include "platform/com/unknown.h"

namespace kavex::xmldoc {
namespace {

constexpr GUID kLibidXdomlibLib =
    com::GuidLiteral("{8E5C2B71-3D4A-4F19-A6C2-5B7E0D913F42}");

constexpr com::TypeLibEntry kTypeLib = {.libid = &kLibidXdomlibLib,
                                        .major_version = 1,
                                        .minor_version = 0,
                                        .lcid = 0,
                                        .name = "Xdomlib 1.0 Type Library"};

constexpr com::ModuleEntry kModule = {.type_lib = &kTypeLib};

}  // namespace
}  // namespace kavex::xmldoc

KAVEX_MODULE_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID iid,
                                              void** out) {
  return kavex::com::GetClassObjectFromTable(kavex::xmldoc::kModule.classes,
                                             clsid, iid, out);
}

KAVEX_MODULE_EXPORT HRESULT DllCanUnloadNow() {
  return kavex::com::ModuleCanUnloadNow();
}

KAVEX_MODULE_EXPORT HRESULT DllRegisterServer() {
  return kavex::com::RegisterModule(kavex::xmldoc::kModule,
                                    kavex::com::ModulePath());
}

KAVEX_MODULE_EXPORT HRESULT DllUnregisterServer() {
  return kavex::com::UnregisterModule(kavex::xmldoc::kModule);
}
