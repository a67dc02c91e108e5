// ComObject: the one way objects implement their interfaces here.
//
//   class CFoo : public ComObject<CFoo, IFoo, IBar> {
//    public:
//     HRESULT FinalConstruct();          // optional: runs after construction
//     void FinalRelease();               // optional: runs before destruction
//     ...IFoo and IBar methods...
//   };
//   ComPtr<CFoo> foo;
//   HRESULT hr = CFoo::CreateInstance(&foo, constructor_args...);
//
// The reference count is atomic (objects are free-threaded). QueryInterface
// answers IUnknown (always the same pointer, through the first interface) and
// each listed interface; a class that offers more (an interface reached
// through a member, a base interface of a listed one) adds
// `HRESULT QueryExtraInterface(REFIID, void**)`.
//
// Every live object holds a lock on the module (shared library or program)
// whose code implements it, so DllCanUnloadNow can tell when unloading is
// safe. The count is per module: it lives in a hidden-visibility variable,
// of which every shared library gets its own copy.
#ifndef KAVEX_PLATFORM_COM_COM_OBJECT_H_
#define KAVEX_PLATFORM_COM_COM_OBJECT_H_

#include <atomic>
#include <new>
#include <tuple>
#include <utility>

#include "platform/com/com_ptr.h"
#include "platform/com/unknown.h"

#define KAVEX_MODULE_LOCAL __attribute__((visibility("hidden")))

namespace kavex::com {

namespace internal {
KAVEX_MODULE_LOCAL inline std::atomic<long> module_lock_count{0};
}  // namespace internal

// Lock count of the calling module: live objects plus IClassFactory::LockServer
// locks. DllCanUnloadNow answers S_OK when it is zero.
KAVEX_MODULE_LOCAL inline long ModuleLock() {
  return ++internal::module_lock_count;
}
KAVEX_MODULE_LOCAL inline long ModuleUnlock() {
  return --internal::module_lock_count;
}
KAVEX_MODULE_LOCAL inline long ModuleLockCount() {
  return internal::module_lock_count.load();
}

// Live instances of one class, for tests that check every object is freed.
template <class T>
class InstanceCounter {
 public:
  static long Count() { return count_.load(); }

 protected:
  InstanceCounter() { ++count_; }
  InstanceCounter(const InstanceCounter&) { ++count_; }
  ~InstanceCounter() { --count_; }

 private:
  static inline std::atomic<long> count_{0};
};

template <class Derived, class First, class... Rest>
class ComObject : public First,
                  public Rest...,
                  public InstanceCounter<Derived> {
 public:
  // Creates the object with one reference owned by *out. A failing
  // FinalConstruct releases the object and returns its result.
  template <class... Args>
  static HRESULT CreateInstance(ComPtr<Derived>* out, Args&&... args) {
    if (out == nullptr) return E_POINTER;
    out->Reset();
    ComPtr<Derived> object;
    try {
      object = new Derived(std::forward<Args>(args)...);  // count 0 -> 1
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    } catch (...) {
      return E_FAIL;
    }
    HRESULT hr = object->FinalConstruct();
    if (FAILED(hr)) return hr;
    *out = std::move(object);
    return S_OK;
  }
  // Creates the object and hands out the interface `iid` (for factories).
  template <class... Args>
  static HRESULT CreateInstance(REFIID iid, void** out, Args&&... args) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    ComPtr<Derived> object;
    HRESULT hr = CreateInstance(&object, std::forward<Args>(args)...);
    if (FAILED(hr)) return hr;
    return object->QueryInterface(iid, out);
  }

  static long InstanceCount() { return InstanceCounter<Derived>::Count(); }

  HRESULT QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    void* found = nullptr;
    if (iid == IID_IUnknown) {
      found = static_cast<IUnknown*>(static_cast<First*>(this));
    } else if (iid == IidOf<First>()) {
      found = static_cast<First*>(this);
    } else {
      (void)((iid == IidOf<Rest>() ? (found = static_cast<Rest*>(this), true)
                                   : false) ||
             ...);
    }
    if (found == nullptr)
      return static_cast<Derived*>(this)->QueryExtraInterface(iid, out);
    static_cast<IUnknown*>(static_cast<First*>(this))->AddRef();
    *out = found;
    return S_OK;
  }
  ULONG AddRef() override {
    return refs_.fetch_add(1, std::memory_order_relaxed) + 1;
  }
  ULONG Release() override {
    ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) {
      // A reference held during FinalRelease keeps AddRef/Release pairs in it
      // from deleting the object twice.
      refs_.store(1, std::memory_order_relaxed);
      static_cast<Derived*>(this)->FinalRelease();
      delete this;
    }
    return left;
  }

  // Default hooks; a class declares its own to replace them.
  HRESULT FinalConstruct() { return S_OK; }
  void FinalRelease() {}
  HRESULT QueryExtraInterface(REFIID, void**) { return E_NOINTERFACE; }

  // The object's identity (its IUnknown), without a new reference.
  IUnknown* GetUnknown() { return static_cast<First*>(this); }

 protected:
  ComObject() { ModuleLock(); }
  ~ComObject() override {
    if (locks_module_) ModuleUnlock();
  }
  // For objects that must not keep their module alive by existing, such as
  // a program's registered class objects (the program ends when only they
  // remain).
  void DoNotLockModule() {
    if (locks_module_) ModuleUnlock();
    locks_module_ = false;
  }
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

 private:
  std::atomic<ULONG> refs_{0};
  bool locks_module_ = true;
};

}  // namespace kavex::com

#endif  // KAVEX_PLATFORM_COM_COM_OBJECT_H_
