#include "server/program/registration.h"

#include <string>

#include "platform/base/results.h"
#include "platform/registry/registry.h"
#include "platform/service/service_install.h"
#include "platform/service/service_names.h"
#include "server/objects/enum_item_attributes.h"
#include "server/objects/group_object.h"
#include "server/objects/server_callback.h"
#include "server/objects/server_module.h"
#include "server/objects/server_object.h"

namespace kavex::server {
namespace {

constexpr LCID kCategoryLcid = 0x409;
constexpr CATID kServerCategories[] = {CATID_OPCDAServer10,
                                       CATID_OPCDAServer20};
struct CategoryText {
  const CATID* catid;
  const char* description;
};
constexpr CategoryText kCategoryTexts[] = {
    {&CATID_OPCDAServer10, "OPC Data Access Servers Version 1.0"},
    {&CATID_OPCDAServer20, "OPC Data Access Servers Version 2.0"}};

// Server and Group belong to the program's type library; ServerCallback and
// EnumOPCItemAttributes name the AppID's GUID as theirs, as they always
// have: clients that look the classes up find them where they used to be.
const com::ClassEntry* BuildClasses() {
  static com::ClassEntry classes[4];
  static bool built = [] {
    auto table = ServerClasses();
    for (size_t i = 0; i < table.size() && i < 4; ++i) {
      classes[i] = table[i].entry;
      classes[i].description = table[i].description;
      classes[i].prog_id = table[i].prog_id;
      classes[i].version_independent_prog_id =
          table[i].version_independent_prog_id;
      classes[i].app_id = &APPID_KavexOPCServer;
      const CLSID& clsid = *table[i].entry.clsid;
      const bool own_library = clsid == CLSID_Server || clsid == CLSID_Group;
      classes[i].type_lib =
          own_library ? &LIBID_KavexOPCServerLib : &APPID_KavexOPCServer;
      if (clsid == CLSID_Server) {
        classes[i].opc_server_name = service::kServerServiceName;
        classes[i].implemented_categories = kServerCategories;
      }
    }
    return true;
  }();
  (void)built;
  return classes;
}

constexpr com::TypeLibEntry kTypeLib = {
    .libid = &LIBID_KavexOPCServerLib,
    .major_version = 1,
    .minor_version = 0,
    .lcid = 0,
    .name = "KavexOPCServer 1.0 Type Library",
    .help_dir = true};

std::string AppIdKey() {
  return "AppID\\" + com::GuidToString(APPID_KavexOPCServer);
}

std::string CategoryKey(REFCATID catid) {
  return "Component Categories\\" + com::GuidToString(catid);
}

std::string LcidName(LCID lcid) {
  char name[16];
  snprintf(name, sizeof name, "%x", static_cast<unsigned>(lcid));
  return name;
}

HRESULT FromWin32(LONG err) {
  return err == ERROR_SUCCESS ? S_OK
                              : HRESULT_FROM_WIN32(static_cast<DWORD>(err));
}

// Deletes "LocalService" from the AppID key; a missing key or value counts
// as deleted.
HRESULT DeleteLocalService() {
  HKEY key = nullptr;
  LONG err = RegOpenKeyExA(HKEY_CLASSES_ROOT, AppIdKey().c_str(), 0,
                           KEY_SET_VALUE, &key);
  if (err == ERROR_FILE_NOT_FOUND) return S_OK;
  if (err != ERROR_SUCCESS) return FromWin32(err);
  err = RegDeleteValueA(key, kLocalServiceValue);
  RegCloseKey(key);
  return err == ERROR_FILE_NOT_FOUND ? S_OK : FromWin32(err);
}

HRESULT SetLocalService() {
  HKEY key = nullptr;
  LONG err = RegCreateKeyExA(HKEY_CLASSES_ROOT, AppIdKey().c_str(), 0, nullptr,
                             0, KEY_SET_VALUE, nullptr, &key, nullptr);
  if (err != ERROR_SUCCESS) return FromWin32(err);
  const std::string name = service::kServerServiceName;
  err = RegSetValueExA(key, kLocalServiceValue, 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(name.c_str()),
                       static_cast<DWORD>(name.size() + 1));
  RegCloseKey(key);
  return FromWin32(err);
}

// Whether some class under HKCR\CLSID lists `catid` as implemented.
bool CategoryStillImplemented(REFCATID catid) {
  HKEY clsids = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID", 0, KEY_READ, &clsids) !=
      ERROR_SUCCESS)
    return false;
  const std::string sub =
      "\\Implemented Categories\\" + com::GuidToString(catid);
  bool found = false;
  for (DWORD i = 0; !found; ++i) {
    char name[256];
    DWORD size = sizeof name;
    if (RegEnumKeyExA(clsids, i, name, &size, nullptr, nullptr, nullptr,
                      nullptr) != ERROR_SUCCESS)
      break;
    HKEY implemented = nullptr;
    if (RegOpenKeyExA(clsids, (name + sub).c_str(), 0, KEY_READ,
                      &implemented) == ERROR_SUCCESS) {
      RegCloseKey(implemented);
      found = true;
    }
  }
  RegCloseKey(clsids);
  return found;
}

}  // namespace

const com::ModuleEntry& ServerProgramModule() {
  static const com::ModuleEntry module = {
      .server = com::ServerKind::kLocalServer,
      .classes = std::span<const com::ClassEntry>(BuildClasses(),
                                                  ServerClasses().size()),
      .app_id = &APPID_KavexOPCServer,
      .app_id_name = "KavexOPCServer",
      .app_id_file = "KavexOPCServer.EXE",
      .type_lib = &kTypeLib};
  return module;
}

HRESULT RegisterComponentCategory(REFCATID catid, LCID lcid,
                                  const char* description) {
  HKEY key = nullptr;
  LONG err = RegCreateKeyExA(HKEY_CLASSES_ROOT, CategoryKey(catid).c_str(), 0,
                             nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
  if (err != ERROR_SUCCESS) return FromWin32(err);
  const std::string text = description;
  err = RegSetValueExA(key, LcidName(lcid).c_str(), 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(text.c_str()),
                       static_cast<DWORD>(text.size() + 1));
  RegCloseKey(key);
  return FromWin32(err);
}

HRESULT UnregisterComponentCategory(REFCATID catid, LCID lcid) {
  if (CategoryStillImplemented(catid)) return S_OK;
  HKEY key = nullptr;
  LONG err = RegOpenKeyExA(HKEY_CLASSES_ROOT, CategoryKey(catid).c_str(), 0,
                           KEY_READ | KEY_SET_VALUE, &key);
  if (err == ERROR_FILE_NOT_FOUND) return S_OK;
  if (err != ERROR_SUCCESS) return FromWin32(err);
  err = RegDeleteValueA(key, LcidName(lcid).c_str());
  DWORD subkeys = 0, values = 0;
  RegQueryInfoKeyA(key, &subkeys, nullptr, &values, nullptr, nullptr);
  RegCloseKey(key);
  if (err != ERROR_SUCCESS && err != ERROR_FILE_NOT_FOUND)
    return FromWin32(err);
  if (subkeys == 0 && values == 0) {
    err = RegDeleteKeyA(HKEY_CLASSES_ROOT, CategoryKey(catid).c_str());
    if (err != ERROR_SUCCESS && err != ERROR_FILE_NOT_FOUND)
      return FromWin32(err);
  }
  return S_OK;
}

HRESULT RegisterServerProgram(const std::string& program_path,
                              bool as_service) {
  // Registration always removes the service first, so /Service on a machine
  // where it exists re-creates it with this program's path.
  HRESULT hr = service::UninstallService(service::kServerServiceName);
  if (FAILED(hr)) return hr;
  hr = com::RegisterModule(ServerProgramModule(), program_path);
  if (FAILED(hr)) return hr;
  hr = DeleteLocalService();
  if (FAILED(hr)) return hr;
  for (const CategoryText& c : kCategoryTexts) {
    hr = RegisterComponentCategory(*c.catid, kCategoryLcid, c.description);
    if (FAILED(hr)) return hr;
  }
  if (!as_service) return S_OK;
  hr = SetLocalService();
  if (FAILED(hr)) return hr;
  return service::InstallService(service::kServerServiceName, program_path);
}

HRESULT UnregisterServerProgram() {
  HRESULT first = S_OK;
  auto keep = [&first](HRESULT hr) {
    if (FAILED(hr) && SUCCEEDED(first)) first = hr;
  };
  keep(service::UninstallService(service::kServerServiceName));
  // "LocalService" goes before the AppID entries, which are removed only
  // once they hold nothing of anyone else's; the classes go before the
  // categories, which stay while another class implements them.
  keep(DeleteLocalService());
  keep(com::UnregisterModule(ServerProgramModule()));
  for (const CategoryText& c : kCategoryTexts)
    keep(UnregisterComponentCategory(*c.catid, kCategoryLcid));
  return first;
}

}  // namespace kavex::server
