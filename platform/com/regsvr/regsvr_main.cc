// regsvr [/u] [/s] <module.so>: registers (or with /u unregisters) an
// in-process module by calling its DllRegisterServer (DllUnregisterServer).
// /s prints nothing. Exit status 0 on success, 1 on any failure.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/base/results.h"
#include "platform/com/activation.h"

namespace kavex::com {
namespace {

bool IsSwitch(const char* arg, char letter) {
  return (arg[0] == '/' || arg[0] == '-') &&
         (arg[1] == letter || arg[1] == letter - 'a' + 'A') && arg[2] == '\0';
}

int Usage() {
  std::fprintf(stderr, "usage: regsvr [/u] [/s] <module.so>\n");
  return 1;
}

int Main(int argc, char** argv) {
  bool unregister = false, silent = false;
  const char* module = nullptr;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    bool is_switch = (arg[0] == '/' || arg[0] == '-') && std::strlen(arg) == 2;
    if (is_switch && IsSwitch(arg, 'u')) {
      unregister = true;
    } else if (is_switch && IsSwitch(arg, 's')) {
      silent = true;
    } else if (is_switch || module != nullptr) {
      return Usage();
    } else {
      module = arg;
    }
  }
  if (module == nullptr) return Usage();
  const char* entry = unregister ? "DllUnregisterServer" : "DllRegisterServer";

  // A name without a slash would be looked up on the library path; the
  // module meant is the file named.
  std::string path =
      std::strchr(module, '/') ? module : "./" + std::string(module);
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    if (!silent)
      std::fprintf(stderr, "regsvr: cannot load %s: %s\n", module, dlerror());
    return 1;
  }
  auto function = reinterpret_cast<LPFNREGISTERSERVER>(dlsym(handle, entry));
  if (function == nullptr) {
    if (!silent)
      std::fprintf(stderr, "regsvr: %s has no entry point %s\n", module, entry);
    return 1;
  }
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  HRESULT hr = function();
  CoUninitialize();
  // The module is left loaded: threads it may have started end with us.
  if (FAILED(hr)) {
    if (!silent)
      std::fprintf(stderr, "regsvr: %s in %s failed: %s (0x%08X)\n", entry,
                   module, HResultName(hr), static_cast<unsigned>(hr));
    return 1;
  }
  if (!silent)
    std::printf("%s in %s succeeded: %s\n", entry, module, HResultName(hr));
  return 0;
}

}  // namespace
}  // namespace kavex::com

int main(int argc, char** argv) { return kavex::com::Main(argc, argv); }
