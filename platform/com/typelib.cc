#include "platform/com/typelib.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/base/results.h"
#include "platform/com/guid.h"
#include "platform/registry/registry.h"

namespace kavex::com {
namespace {

// The automation (type-library) marshaller.
constexpr char kAutomationProxyStub[] =
    "{00020424-0000-0000-C000-000000000046}";
constexpr const char* kPlatform = sizeof(void*) == 8 ? "win64" : "win32";

std::string Hex(unsigned value) {
  char text[16];
  std::snprintf(text, sizeof text, "%x", value);
  return text;
}

std::string VersionKey(REFGUID libid, WORD major, WORD minor) {
  return "TypeLib\\" + GuidToString(libid) + "\\" + Hex(major) + "." +
         Hex(minor);
}

// Creates HKCR\<sub> and sets its value `name` (null = default) to `text`.
bool SetString(const std::string& sub, const char* name, const char* text) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CLASSES_ROOT, sub.c_str(), 0, nullptr, 0, KEY_WRITE,
                      nullptr, &key, nullptr) != ERROR_SUCCESS)
    return false;
  LONG result =
      RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                     static_cast<DWORD>(std::strlen(text) + 1));
  RegCloseKey(key);
  return result == ERROR_SUCCESS;
}

bool KeyExists(const std::string& sub) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, sub.c_str(), 0, KEY_READ, &key) !=
      ERROR_SUCCESS)
    return false;
  RegCloseKey(key);
  return true;
}

bool HasSubkeys(const std::string& sub) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, sub.c_str(), 0, KEY_READ, &key) !=
      ERROR_SUCCESS)
    return false;
  char name[256];
  DWORD size = sizeof name;
  bool any = RegEnumKeyExA(key, 0, name, &size, nullptr, nullptr, nullptr,
                           nullptr) == ERROR_SUCCESS;
  RegCloseKey(key);
  return any;
}

}  // namespace

HRESULT RegisterTypeLibInfo(REFGUID libid, WORD major, WORD minor, LCID lcid,
                            const char* name, const char* path,
                            const char* help_dir) {
  if (name == nullptr || path == nullptr) return E_INVALIDARG;
  std::string version = VersionKey(libid, major, minor);
  bool ok =
      SetString(version, nullptr, name) &&
      SetString(version + "\\FLAGS", nullptr, "0") &&
      SetString(version + "\\" + Hex(lcid) + "\\" + kPlatform, nullptr, path);
  if (ok && help_dir != nullptr)
    ok = SetString(version + "\\HELPDIR", nullptr, help_dir);
  return ok ? S_OK : REGDB_E_WRITEREGDB;
}

HRESULT UnRegisterTypeLibInfo(REFGUID libid, WORD major, WORD minor,
                              LCID /*lcid*/) {
  std::string version = VersionKey(libid, major, minor);
  if (!KeyExists(version)) return TYPE_E_LIBNOTREGISTERED;
  if (RegDeleteTreeA(HKEY_CLASSES_ROOT, version.c_str()) != ERROR_SUCCESS)
    return REGDB_E_WRITEREGDB;
  std::string library = "TypeLib\\" + GuidToString(libid);
  if (!HasSubkeys(library)) RegDeleteTreeA(HKEY_CLASSES_ROOT, library.c_str());
  return S_OK;
}

HRESULT RegisterTypeLibInterface(REFIID iid, const char* name, REFGUID libid,
                                 WORD major, WORD minor) {
  if (name == nullptr) return E_INVALIDARG;
  std::string key = "Interface\\" + GuidToString(iid);
  std::string lib = GuidToString(libid);
  std::string version = Hex(major) + "." + Hex(minor);
  bool ok =
      SetString(key, nullptr, name) &&
      SetString(key + "\\ProxyStubClsid32", nullptr, kAutomationProxyStub) &&
      SetString(key + "\\TypeLib", nullptr, lib.c_str()) &&
      SetString(key + "\\TypeLib", "Version", version.c_str());
  return ok ? S_OK : REGDB_E_WRITEREGDB;
}

HRESULT UnRegisterTypeLibInterface(REFIID iid) {
  std::string key = "Interface\\" + GuidToString(iid);
  LONG result = RegDeleteTreeA(HKEY_CLASSES_ROOT, key.c_str());
  return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND
             ? S_OK
             : REGDB_E_WRITEREGDB;
}

}  // namespace kavex::com
