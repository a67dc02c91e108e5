// IClassFactory and the factory every creatable class gets from ClassFactory.
// A module answers DllGetClassObject from a static table:
//
//   namespace kavex::device {
//   const com::ClassEntry kClasses[] = {
//       {&CLSID_Device, com::CreateClassFactory<CDevice>}};
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

#include "platform/com/com_object.h"
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

struct ClassEntry {
  const CLSID* clsid;
  HRESULT (*create_factory)(REFIID iid, void** out);
};

// DllGetClassObject over a module's class table: E_INVALIDARG for a null
// output, CLASS_E_CLASSNOTAVAILABLE for a class the module does not have.
template <size_t N>
HRESULT GetClassObjectFromTable(const ClassEntry (&table)[N], REFCLSID clsid,
                                REFIID iid, void** out) {
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
