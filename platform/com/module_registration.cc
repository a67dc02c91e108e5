#include "platform/com/module_registration.h"

#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

#include <utility>
#include <vector>

#include "platform/base/results.h"
#include "platform/com/guid.h"
#include "platform/com/typelib.h"
#include "platform/registry/registry.h"

namespace kavex::com {
namespace {

// What unregistration does with a key of the script.
enum class Removal {
  kWritten,  // removes the values and subkeys written, then the key if empty
  kNever,    // a key every component shares: CLSID, AppID
  kWhole,    // replaced whole on registration, removed whole: a class key
};

// A key to write, as a tree: the registration script of a module.
struct ScriptKey {
  std::string name;
  Removal removal = Removal::kWritten;
  std::vector<std::pair<std::string, std::string>> values;  // "" = default
  std::vector<ScriptKey> subkeys;
};

ScriptKey Key(std::string name, const std::string* text = nullptr) {
  ScriptKey key{std::move(name), Removal::kWritten, {}, {}};
  if (text != nullptr) key.values.emplace_back("", *text);
  return key;
}
ScriptKey Key(std::string name, const char* text) {
  const std::string value = text;
  return Key(std::move(name), &value);
}

struct KeyCloser {
  HKEY key = nullptr;
  ~KeyCloser() {
    if (key != nullptr) RegCloseKey(key);
  }
};

// Only for a module with an AppID.
ScriptKey AppIdScript(const ModuleEntry& module) {
  ScriptKey root = Key("AppID");
  root.removal = Removal::kNever;
  const std::string app_id = GuidToString(*module.app_id);
  if (module.app_id_name != nullptr)
    root.subkeys.push_back(Key(app_id, module.app_id_name));
  if (module.app_id_file != nullptr) {
    ScriptKey file = Key(module.app_id_file);
    file.values.emplace_back("AppID", app_id);
    root.subkeys.push_back(std::move(file));
  }
  return root;
}

// The ProgID keys and the CLSID key of one class, in the order written.
std::vector<ScriptKey> ClassScript(const ModuleEntry& module,
                                   const ClassEntry& entry,
                                   const std::string& path) {
  const std::string clsid = GuidToString(*entry.clsid);
  const char* description = entry.description;
  auto prog_id_key = [&](const char* name) {
    ScriptKey key = description ? Key(name, description) : Key(name);
    key.subkeys.push_back(Key("CLSID", &clsid));
    return key;
  };
  std::vector<ScriptKey> script;
  if (entry.prog_id != nullptr) script.push_back(prog_id_key(entry.prog_id));
  if (entry.version_independent_prog_id != nullptr) {
    ScriptKey key = prog_id_key(entry.version_independent_prog_id);
    if (entry.prog_id != nullptr)
      key.subkeys.push_back(Key("CurVer", entry.prog_id));
    if (entry.opc_server_name != nullptr)
      key.subkeys.push_back(Key("OPC", entry.opc_server_name));
    script.push_back(std::move(key));
  }

  ScriptKey key = description ? Key(clsid, description) : Key(clsid);
  key.removal = Removal::kWhole;
  if (entry.app_id != nullptr)
    key.values.emplace_back("AppID", GuidToString(*entry.app_id));
  if (entry.prog_id != nullptr)
    key.subkeys.push_back(Key("ProgID", entry.prog_id));
  if (entry.version_independent_prog_id != nullptr) {
    key.subkeys.push_back(
        Key("VersionIndependentProgID", entry.version_independent_prog_id));
  }
  if (entry.programmable) key.subkeys.push_back(Key("Programmable"));
  if (module.server == ServerKind::kInprocServer) {
    ScriptKey server = Key("InprocServer32", &path);
    if (entry.threading_model != nullptr)
      server.values.emplace_back("ThreadingModel", entry.threading_model);
    key.subkeys.push_back(std::move(server));
  } else {
    key.subkeys.push_back(Key("LocalServer32", &path));
  }
  if (entry.type_lib != nullptr) {
    const std::string lib = GuidToString(*entry.type_lib);
    key.subkeys.push_back(Key("TypeLib", &lib));
  }
  if (!entry.implemented_categories.empty()) {
    ScriptKey categories = Key("Implemented Categories");
    for (const CATID& category : entry.implemented_categories)
      categories.subkeys.push_back(Key(GuidToString(category)));
    key.subkeys.push_back(std::move(categories));
  }
  ScriptKey root = Key("CLSID");
  root.removal = Removal::kNever;
  root.subkeys.push_back(std::move(key));
  script.push_back(std::move(root));
  return script;
}

bool Write(HKEY parent, const ScriptKey& script) {
  if (script.removal == Removal::kWhole) {
    const LONG result = RegDeleteTreeA(parent, script.name.c_str());
    if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) return false;
  }
  KeyCloser key;
  if (RegCreateKeyExA(parent, script.name.c_str(), 0, nullptr, 0, KEY_WRITE,
                      nullptr, &key.key, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  for (const auto& [name, text] : script.values) {
    if (RegSetValueExA(key.key, name.c_str(), 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(text.c_str()),
                       static_cast<DWORD>(text.size() + 1)) != ERROR_SUCCESS) {
      return false;
    }
  }
  for (const ScriptKey& subkey : script.subkeys) {
    if (!Write(key.key, subkey)) return false;
  }
  return true;
}

// True when value `name` of `key` is the text registration wrote.
bool HoldsText(HKEY key, const std::string& name, const std::string& text) {
  DWORD type = REG_NONE;
  DWORD size = 0;
  if (RegQueryValueExA(key, name.c_str(), nullptr, &type, nullptr, &size) !=
          ERROR_SUCCESS ||
      type != REG_SZ || size != text.size() + 1) {
    return false;
  }
  std::string data(size, '\0');
  return RegQueryValueExA(key, name.c_str(), nullptr, &type,
                          reinterpret_cast<BYTE*>(data.data()),
                          &size) == ERROR_SUCCESS &&
         data.compare(0, text.size(), text) == 0 && data.back() == '\0';
}

// Removing what is not there succeeds, so unregistering twice is harmless.
bool Remove(HKEY parent, const ScriptKey& script) {
  if (script.removal == Removal::kWhole) {
    const LONG result = RegDeleteTreeA(parent, script.name.c_str());
    return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
  }
  KeyCloser key;
  LONG result =
      RegOpenKeyExA(parent, script.name.c_str(), 0, KEY_ALL_ACCESS, &key.key);
  if (result == ERROR_FILE_NOT_FOUND) return true;
  if (result != ERROR_SUCCESS) return false;
  bool ok = true;
  for (const ScriptKey& subkey : script.subkeys)
    ok = Remove(key.key, subkey) && ok;
  if (script.removal == Removal::kNever) return ok;
  for (const auto& [name, text] : script.values) {
    if (!HoldsText(key.key, name, text)) continue;  // someone else's now
    result = RegDeleteValueA(key.key, name.c_str());
    ok = (result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND) && ok;
  }
  DWORD subkeys = 0, values = 0;
  result =
      RegQueryInfoKeyA(key.key, &subkeys, nullptr, &values, nullptr, nullptr);
  if (result != ERROR_SUCCESS) return false;
  if (subkeys != 0 || values != 0) return ok;  // holds what others added
  RegCloseKey(key.key);
  key.key = nullptr;
  result = RegDeleteKeyA(parent, script.name.c_str());
  return (result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND) && ok;
}

HRESULT RegisterTypeLibrary(const TypeLibEntry& lib, const std::string& path) {
  const std::string help_dir = path.substr(0, path.find_last_of('/') + 1);
  HRESULT hr = RegisterTypeLibInfo(
      *lib.libid, lib.major_version, lib.minor_version, lib.lcid, lib.name,
      path.c_str(), lib.help_dir ? help_dir.c_str() : nullptr);
  for (const TypeLibInterface& interface : lib.interfaces) {
    if (FAILED(hr)) break;
    hr = RegisterTypeLibInterface(*interface.iid, interface.name, *lib.libid,
                                  lib.major_version, lib.minor_version);
  }
  return FAILED(hr) ? SELFREG_E_TYPELIB : S_OK;
}

HRESULT UnregisterTypeLibrary(const TypeLibEntry& lib) {
  HRESULT hr = UnRegisterTypeLibInfo(*lib.libid, lib.major_version,
                                     lib.minor_version, lib.lcid);
  bool ok = SUCCEEDED(hr) || hr == TYPE_E_LIBNOTREGISTERED;
  for (const TypeLibInterface& interface : lib.interfaces)
    ok = SUCCEEDED(UnRegisterTypeLibInterface(*interface.iid)) && ok;
  return ok ? S_OK : SELFREG_E_TYPELIB;
}

HRESULT FirstFailure(HRESULT first, HRESULT second) {
  return FAILED(first) ? first : second;
}

}  // namespace

HRESULT RegisterModule(const ModuleEntry& module, const std::string& path) {
  if (path.empty()) return SELFREG_E_CLASS;
  if (module.app_id != nullptr &&
      !Write(HKEY_CLASSES_ROOT, AppIdScript(module)))
    return SELFREG_E_CLASS;
  for (const ClassEntry& entry : module.classes) {
    for (const ScriptKey& key : ClassScript(module, entry, path)) {
      if (!Write(HKEY_CLASSES_ROOT, key)) return SELFREG_E_CLASS;
    }
  }
  if (module.type_lib != nullptr)
    return RegisterTypeLibrary(*module.type_lib, path);
  return S_OK;
}

HRESULT UnregisterModule(const ModuleEntry& module) {
  bool classes_removed = true;
  for (const ClassEntry& entry : module.classes) {
    // The path is not needed to remove what it was written into.
    for (const ScriptKey& key : ClassScript(module, entry, std::string()))
      classes_removed = Remove(HKEY_CLASSES_ROOT, key) && classes_removed;
  }
  HRESULT hr = classes_removed ? S_OK : SELFREG_E_CLASS;
  if (module.type_lib != nullptr)
    hr = FirstFailure(hr, UnregisterTypeLibrary(*module.type_lib));
  const bool app_id_removed = module.app_id == nullptr ||
                              Remove(HKEY_CLASSES_ROOT, AppIdScript(module));
  return FirstFailure(hr, app_id_removed ? S_OK : SELFREG_E_CLASS);
}

std::string ModulePathOf(const void* address) {
  Dl_info info{};
  if (address == nullptr || dladdr(address, &info) == 0 ||
      info.dli_fname == nullptr || info.dli_fname[0] == '\0') {
    return {};
  }
  // Loaders may have named the file relatively or through a link.
  char* full = realpath(info.dli_fname, nullptr);
  if (full == nullptr) return {};
  std::string path = full;
  free(full);
  return path;
}

std::string ProgramPath() {
  std::vector<char> buffer(256);
  for (;;) {
    const ssize_t size =
        readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (size < 0) return {};
    if (static_cast<size_t>(size) < buffer.size())
      return std::string(buffer.data(), static_cast<size_t>(size));
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace kavex::com
