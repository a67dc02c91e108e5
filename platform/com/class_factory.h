// IClassFactory and the factory every creatable class gets from ClassFactory.
// A module answers DllGetClassObject from a static table of its classes,
// which also says what registering them writes (module_registration.h):
//
//   namespace kavex::device {
//   const com::ClassEntry kClasses[] = {
//       {.clsid = &CLSID_Device,
//        .create_factory = com::CreateClassFactory<CDevice>,
//        .description = "Device Class",
//        .prog_id = "KavexOPCDevice.Device.1",
//        .version_independent_prog_id = "KavexOPCDevice.Device",
//        .threading_model = "Free"}};
//   }  // namespace kavex::device
//   KAVEX_MODULE_EXPORT HRESULT DllGetClassObject(REFCLSID c, REFIID i,
//                                                 void** o) {
//     return kavex::com::GetClassObjectFromTable(kavex::device::kClasses, c,
//                                                i, o);
//   }
//   KAVEX_MODULE_EXPORT HRESULT DllCanUnloadNow() {
//     return kavex::com::ModuleCanUnloadNow();
//   }
//
// Build a module with hidden visibility (CXX_VISIBILITY_PRESET hidden) so
// that only the entry points leave it and its templates bind inside it.
// Threads a module starts that outlive its objects hold ModuleLock() until
// they end: the module must not be unloaded under them.
#ifndef KAVEX_PLATFORM_COM_CLASS_FACTORY_H_
#define KAVEX_PLATFORM_COM_CLASS_FACTORY_H_

#include <cstddef>
#include <span>

#include "platform/com/com_object.h"
#include "platform/com/component_categories.h"
#include "platform/com/unknown.h"

struct IClassFactory : IUnknown {
  virtual HRESULT CreateInstance(IUnknown* outer, REFIID iid,
                                 void** object) = 0;
  virtual HRESULT LockServer(BOOL lock) = 0;
};
KAVEX_DECLARE_IID(IClassFactory, "{00000001-0000-0000-C000-000000000046}");

namespace kavex::com {

// Creates T (a ComObject) per request; aggregation is not supported.
// A factory is an object of its module like any other, so a client holding
// it keeps the module loaded; a program's class objects pass
// kLocksModule = false so that only clients' objects and LockServer count.
template <class T, bool kLocksModule = true>
class ClassFactory
    : public ComObject<ClassFactory<T, kLocksModule>, IClassFactory> {
 public:
  ClassFactory() {
    if (!kLocksModule) this->DoNotLockModule();
  }
  HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return T::CreateInstance(iid, object);
  }
  HRESULT LockServer(BOOL lock) override {
    if (lock)
      ModuleLock();
    else
      ModuleUnlock();
    return S_OK;
  }
  using ComObject<ClassFactory<T, kLocksModule>, IClassFactory>::CreateInstance;
};

template <class T>
HRESULT CreateClassFactory(REFIID iid, void** out) {
  return ClassFactory<T>::CreateInstance(iid, out);
}

// One creatable class of a module or a program: its class object, and what
// its registration writes under HKEY_CLASSES_ROOT. A null member writes
// nothing.
//
//   CLSID\{clsid} = description             the class key, replaced whole
//     "AppID" = {app_id}
//     ProgID = prog_id
//     VersionIndependentProgID = version_independent_prog_id
//     Programmable                           when programmable
//     InprocServer32 = the module's path     a module's class, with
//       "ThreadingModel" = threading_model
//     LocalServer32 = the program's path     a program's class
//     TypeLib = {type_lib}
//     Implemented Categories\{catid}         each implemented category
//   <prog_id> = description, CLSID = {clsid}
//   <version_independent_prog_id> = description, CLSID = {clsid},
//     CurVer = prog_id, OPC = opc_server_name
struct ClassEntry {
  const CLSID* clsid = nullptr;
  HRESULT (*create_factory)(REFIID iid, void** out) = nullptr;

  const char* description = nullptr;  // "Device Class"
  const char* prog_id = nullptr;      // versioned: "KavexOPCDevice.Device.1"
  const char* version_independent_prog_id = nullptr;
  // The "OPC" subkey that OPC browsers list servers by.
  const char* opc_server_name = nullptr;
  const char* threading_model = nullptr;  // in-process classes only
  const GUID* app_id = nullptr;
  const GUID* type_lib = nullptr;
  bool programmable = false;
  std::span<const CATID> implemented_categories = {};
};

// DllGetClassObject over a module's class table: E_INVALIDARG for a null
// output, CLASS_E_CLASSNOTAVAILABLE for a class the module does not have.
inline HRESULT GetClassObjectFromTable(std::span<const ClassEntry> table,
                                       REFCLSID clsid, REFIID iid, void** out) {
  if (out == nullptr) return E_INVALIDARG;
  *out = nullptr;
  for (const ClassEntry& entry : table)
    if (*entry.clsid == clsid) return entry.create_factory(iid, out);
  return CLASS_E_CLASSNOTAVAILABLE;
}

// DllCanUnloadNow of the calling module: S_OK when no object of it and no
// LockServer lock is outstanding.
KAVEX_MODULE_LOCAL inline HRESULT ModuleCanUnloadNow() {
  return ModuleLockCount() == 0 ? S_OK : S_FALSE;
}

}  // namespace kavex::com

#endif  // KAVEX_PLATFORM_COM_CLASS_FACTORY_H_
