// libkavex-simulated-adapters.so: the simulated adapters' frame source as a
// module the driver library loads (platform/pkio/frame_source.h). Its
// DllRegisterServer declares it under the library's "Frame Sources" key with
// the module's own path; DllUnregisterServer removes the declaration.
#include <dlfcn.h>
#include <stdlib.h>

#include <string>

#include "platform/base/results.h"
#include "platform/pkio/frame_source.h"
#include "platform/registry/registry.h"
#include "simulator/simulated_adapters.h"

namespace kavex::simulator {
namespace {

// The module's full path: loaders may have named it relatively.
std::string ModulePath() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&ModulePath), &info) == 0 ||
      info.dli_fname == nullptr) {
    return {};
  }
  char* full = realpath(info.dli_fname, nullptr);
  if (full == nullptr) return {};
  std::string path = full;
  free(full);
  return path;
}

HRESULT Register() {
  const std::string path = ModulePath();
  if (path.empty()) return SELFREG_E_CLASS;
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, pkio::kFrameSourcesKey, 0, nullptr, 0,
                      KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return SELFREG_E_CLASS;
  }
  const LONG result =
      RegSetValueExA(key, kFrameSourceValue, 0, REG_SZ,
                     reinterpret_cast<const BYTE*>(path.c_str()),
                     static_cast<DWORD>(path.size() + 1));
  RegCloseKey(key);
  return result == ERROR_SUCCESS ? S_OK : SELFREG_E_CLASS;
}

HRESULT Unregister() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, pkio::kFrameSourcesKey, 0, KEY_WRITE,
                    &key) != ERROR_SUCCESS) {
    return S_OK;  // nothing declared
  }
  const LONG result = RegDeleteValueA(key, kFrameSourceValue);
  RegCloseKey(key);
  return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND
             ? S_OK
             : SELFREG_E_CLASS;
}

}  // namespace
}  // namespace kavex::simulator

extern "C" {

__attribute__((visibility("default"))) const kavex::pkio::FrameSourceType*
Pkio_GetFrameSource(DWORD version) {
  if (version != kavex::pkio::kFrameSourceVersion) return nullptr;
  return kavex::simulator::SimulatedFrameSource();
}

__attribute__((visibility("default"))) HRESULT DllRegisterServer() {
  return kavex::simulator::Register();
}

__attribute__((visibility("default"))) HRESULT DllUnregisterServer() {
  return kavex::simulator::Unregister();
}

}  // extern "C"
