// HKEY_CLASSES_ROOT as a set of lines, for tests that pin what registration
// writes: every key as "path", every value as "path|name=data" (the default
// value's name is empty, a string's terminating NUL is left out).
#ifndef KAVEX_PLATFORM_COM_REGISTRY_DUMP_FOR_TEST_H_
#define KAVEX_PLATFORM_COM_REGISTRY_DUMP_FOR_TEST_H_

#include <set>
#include <string>

#include "platform/registry/registry.h"

namespace kavex::com {

inline void DumpRegistryKey(HKEY key, const std::string& path,
                            std::set<std::string>* out) {
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD name_size = sizeof name;
    BYTE data[1024];
    DWORD data_size = sizeof data;
    DWORD type = 0;
    if (RegEnumValueA(key, i, name, &name_size, nullptr, &type, data,
                      &data_size) != ERROR_SUCCESS)
      break;
    std::string text(reinterpret_cast<char*>(data), data_size);
    if (!text.empty() && text.back() == '\0') text.pop_back();
    out->insert(path + "|" + name + "=" + text);
  }
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD name_size = sizeof name;
    if (RegEnumKeyExA(key, i, name, &name_size, nullptr, nullptr, nullptr,
                      nullptr) != ERROR_SUCCESS)
      break;
    const std::string sub = path.empty() ? name : path + "\\" + name;
    out->insert(sub);
    HKEY child = nullptr;
    if (RegOpenKeyExA(key, name, 0, KEY_READ, &child) != ERROR_SUCCESS) {
      out->insert(sub + " cannot be opened");
      continue;
    }
    DumpRegistryKey(child, sub, out);
    RegCloseKey(child);
  }
}

inline std::set<std::string> DumpClassesRoot() {
  std::set<std::string> lines;
  DumpRegistryKey(HKEY_CLASSES_ROOT, "", &lines);
  return lines;
}

}  // namespace kavex::com

#endif  // KAVEX_PLATFORM_COM_REGISTRY_DUMP_FOR_TEST_H_
