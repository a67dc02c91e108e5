// regsvr [/u] [/s] <module.so>: registers (or with /u unregisters) an
// in-process module by calling its DllRegisterServer (DllUnregisterServer).
// /s prints nothing. Exit status 0 on success, 1 on any failure. A module
// named without a directory is the file of that name in the current
// directory, else the one in the library directory beside regsvr's own
// (../lib/kavex-opc installed, ../lib in the build tree).
#include <dlfcn.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/base/results.h"
#include "platform/com/activation.h"
#include "platform/com/module_registration.h"

namespace kavex::com {
namespace {

bool IsSwitch(const char* arg, char letter) {
  return (arg[0] == '/' || arg[0] == '-') &&
         (arg[1] == letter || arg[1] == letter - 'a' + 'A') && arg[2] == '\0';
}

constexpr char kUsage[] =
    "usage: regsvr [/u] [/s] <module.so>\n"
    "Registers a component module (calls its DllRegisterServer), or with /u\n"
    "unregisters it (DllUnregisterServer); /s prints nothing. A module named\n"
    "without a directory is looked up in the current directory, then in the\n"
    "library directory, e.g. regsvr libkavex-opc-device.so.\n";

int Usage() {
  std::fputs(kUsage, stderr);
  return 1;
}

bool IsFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The file a module name stands for (see the top of this file).
std::string ModuleFile(const std::string& module) {
  if (module.find('/') != std::string::npos) return module;
  if (IsFile(module)) return "./" + module;
  const std::string program = ProgramPath();
  const std::string dir = program.substr(0, program.rfind('/') + 1);
  for (const char* lib : {"../lib/kavex-opc/", "../lib/"}) {
    if (dir.empty()) break;
    const std::string candidate = dir + lib + module;
    if (IsFile(candidate)) return candidate;
  }
  return "./" + module;
}

int Main(int argc, char** argv) {
  bool unregister = false, silent = false;
  const char* module = nullptr;
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("regsvr %s\n", KAVEX_VERSION);
    return 0;
  }
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg[0] == '-' && arg[1] == '-') return Usage();  // no long options
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

  // dlopen would look a bare name up on the library path: name a file.
  const std::string path = ModuleFile(module);
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
