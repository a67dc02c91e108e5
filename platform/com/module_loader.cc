// In-process modules: loaded with dlopen on first use, kept loaded while
// their DllCanUnloadNow answers S_FALSE.
#include <dlfcn.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <string>

#include "platform/com/activation.h"
#include "platform/com/activation_internal.h"

namespace kavex::com {
namespace {

struct Module {
  void* handle;
  LPFNGETCLASSOBJECT get_class_object;
  LPFNCANUNLOADNOW can_unload_now;  // may be null: such a module stays
};

// Recursive: a module's DllGetClassObject may itself create objects. The
// lock is held while a module's entry points run so that no other thread
// unloads it between its load and its first class object.
struct Modules {
  std::recursive_mutex mu;
  std::map<std::string, Module> loaded;
};
Modules& GetModules() {
  static Modules* modules = new Modules;  // used until exit
  return *modules;
}

}  // namespace

namespace internal {

HRESULT GetModuleClassObject(const std::string& path, REFCLSID clsid,
                             REFIID iid, void** out) {
  Modules& modules = GetModules();
  std::lock_guard<std::recursive_mutex> lock(modules.mu);
  auto it = modules.loaded.find(path);
  if (it == modules.loaded.end()) {
    if (path.find('/') != std::string::npos && access(path.c_str(), F_OK) != 0)
      return CO_E_DLLNOTFOUND;
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr)
      return path.find('/') == std::string::npos ? CO_E_DLLNOTFOUND
                                                 : CO_E_ERRORINDLL;
    auto get = reinterpret_cast<LPFNGETCLASSOBJECT>(
        dlsym(handle, "DllGetClassObject"));
    if (get == nullptr) {
      dlclose(handle);
      return CO_E_ERRORINDLL;
    }
    auto can_unload =
        reinterpret_cast<LPFNCANUNLOADNOW>(dlsym(handle, "DllCanUnloadNow"));
    it = modules.loaded.emplace(path, Module{handle, get, can_unload}).first;
  }
  return it->second.get_class_object(clsid, iid, out);
}

void FreeUnusedModules() {
  Modules& modules = GetModules();
  std::lock_guard<std::recursive_mutex> lock(modules.mu);
  for (auto it = modules.loaded.begin(); it != modules.loaded.end();) {
    Module& module = it->second;
    if (module.can_unload_now != nullptr && module.can_unload_now() == S_OK) {
      dlclose(module.handle);
      it = modules.loaded.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace internal

}  // namespace kavex::com

void CoFreeUnusedLibraries() { kavex::com::internal::FreeUnusedModules(); }
