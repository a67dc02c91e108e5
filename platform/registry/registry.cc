#include "platform/registry/registry.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/registry/hive.h"
#include "platform/registry/hive_file.h"
#include "platform/registry/text_conversion.h"

namespace kavex::registry {
enum class HiveId { kLocalMachine, kClassesRoot };
}  // namespace kavex::registry

// An open key: its hive and the path of names from the hive's top, in the
// case they are stored with. Handles are resolved by path at every call, so
// they survive other processes rewriting the file.
struct RegistryKey {
  kavex::registry::HiveId hive;
  std::vector<std::string> path;
};

namespace kavex::registry {
namespace {

RegistryKey local_machine_key{HiveId::kLocalMachine, {}};
RegistryKey classes_root_key{HiveId::kClassesRoot, {}};

}  // namespace
}  // namespace kavex::registry

HKEY const HKEY_LOCAL_MACHINE = &kavex::registry::local_machine_key;
HKEY const HKEY_CLASSES_ROOT = &kavex::registry::classes_root_key;

namespace kavex::registry {
namespace {

using Path = std::vector<std::string>;

// One lock for the whole registry of this process; calls are short and
// rare compared with the file I/O behind them. Never destroyed, so late
// callers during exit still find it.
struct State {
  std::mutex mu;
  std::unordered_map<RegistryKey*, std::unique_ptr<RegistryKey>> open_keys;
  std::map<std::string, std::unique_ptr<HiveFile>> files;
};

State& GetState() {
  static State* state = new State;
  return *state;
}

// Read at every call, so a test may point each case at a fresh directory.
std::string RootDirectory() {
  const char* root = getenv("KAVEX_REGISTRY_ROOT");
  return root != nullptr && *root != '\0' ? root : "/etc/kavex-opc/registry";
}

HiveFile& FileForLocked(HiveId hive) {
  bool hklm = hive == HiveId::kLocalMachine;
  std::string path = RootDirectory() + (hklm ? "/HKLM.reg" : "/HKCR.reg");
  auto& file = GetState().files[path];
  if (!file) {
    file = std::make_unique<HiveFile>(
        path, std::string("Kavex OPC registry hive ") +
                  (hklm ? "HKEY_LOCAL_MACHINE" : "HKEY_CLASSES_ROOT"));
  }
  return *file;
}

const RegistryKey* ResolveLocked(HKEY key) {
  if (key == HKEY_LOCAL_MACHINE || key == HKEY_CLASSES_ROOT) return key;
  auto& open = GetState().open_keys;
  return open.count(key) ? key : nullptr;
}

template <class K>
K* Walk(K* key, const Path& path, size_t count) {
  for (size_t i = 0; key != nullptr && i < count; ++i)
    key = key->FindSubkey(path[i]);
  return key;
}
template <class K>
K* Walk(K* key, const Path& path) {
  return Walk(key, path, path.size());
}

// Splits `sub` (null = empty) and checks its key names.
LONG ParseSubPath(const char* sub, Path* parts) {
  if (!SplitKeyPath(sub != nullptr ? sub : "", parts))
    return ERROR_BAD_PATHNAME;
  for (const std::string& part : *parts)
    if (!IsValidKeyName(part)) return ERROR_BAD_PATHNAME;
  return ERROR_SUCCESS;
}

HKEY NewHandleLocked(HiveId hive, const Key& root, const Path& path) {
  auto key = std::make_unique<RegistryKey>(RegistryKey{hive, {}});
  const Key* node = &root;
  for (const std::string& name : path) {
    node = node->FindSubkey(name);
    key->path.push_back(node->name());
  }
  HKEY handle = key.get();
  GetState().open_keys.emplace(handle, std::move(key));
  return handle;
}

// Runs `fn(file, key)` with the current content of an open key.
template <class Fn>
LONG ReadKey(HKEY handle, Fn fn) {
  std::lock_guard<std::mutex> lock(GetState().mu);
  const RegistryKey* key = ResolveLocked(handle);
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  HiveFile& file = FileForLocked(key->hive);
  LONG rc = file.Refresh();
  if (rc != ERROR_SUCCESS) return rc;
  const Key* node = Walk(&file.root(), key->path);
  if (node == nullptr) return ERROR_KEY_DELETED;
  return fn(file, *node);
}

// Runs `fn(node)` on the open key inside a locked rewrite of its hive.
template <class Fn>
LONG ModifyKey(HKEY handle, Fn fn) {
  std::lock_guard<std::mutex> lock(GetState().mu);
  const RegistryKey* key = ResolveLocked(handle);
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  Path path = key->path;
  return FileForLocked(key->hive).Modify([&](Key& root) -> LONG {
    Key* node = Walk(&root, path);
    if (node == nullptr) return ERROR_KEY_DELETED;
    return fn(*node);
  });
}

bool IsText(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ; }

// Copies `bytes` under the size protocol of RegQueryValueEx.
LONG CopyData(const std::vector<BYTE>& bytes, BYTE* data, DWORD* cb) {
  DWORD size = static_cast<DWORD>(bytes.size());
  if (data == nullptr) {
    if (cb != nullptr) *cb = size;
    return ERROR_SUCCESS;
  }
  if (cb == nullptr) return ERROR_INVALID_PARAMETER;
  if (*cb < size) {
    *cb = size;
    return ERROR_MORE_DATA;
  }
  if (size > 0) memcpy(data, bytes.data(), size);
  *cb = size;
  return ERROR_SUCCESS;
}

// The data of a value as the A or W caller sees it.
std::vector<BYTE> DataFor(const Value& value, bool wide) {
  return wide && IsText(value.type) ? NarrowToWideBytes(value.data)
                                    : value.data;
}

// Copies a name under the size protocol of RegEnumKeyEx (characters).
template <class Char>
LONG CopyName(const std::basic_string<Char>& name, Char* out, DWORD* cch) {
  if (out == nullptr || cch == nullptr) return ERROR_INVALID_PARAMETER;
  if (*cch < name.size() + 1) return ERROR_MORE_DATA;
  std::copy(name.begin(), name.end(), out);
  out[name.size()] = 0;
  *cch = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

template <class Char>
std::basic_string<Char> NameAs(const std::string& name);
template <>
std::string NameAs<char>(const std::string& name) {
  return name;
}
template <>
std::u16string NameAs<char16_t>(const std::string& name) {
  return text::Utf8ToUtf16(name);
}

}  // namespace

LONG OpenKey(HKEY handle, const char* sub, HKEY* out) {
  if (out == nullptr) return ERROR_INVALID_PARAMETER;
  *out = nullptr;
  Path parts;
  if (LONG rc = ParseSubPath(sub, &parts); rc != ERROR_SUCCESS) return rc;
  std::lock_guard<std::mutex> lock(GetState().mu);
  const RegistryKey* key = ResolveLocked(handle);
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  HiveFile& file = FileForLocked(key->hive);
  if (LONG rc = file.Refresh(); rc != ERROR_SUCCESS) return rc;
  if (Walk(&file.root(), key->path) == nullptr) return ERROR_KEY_DELETED;
  Path full = key->path;
  full.insert(full.end(), parts.begin(), parts.end());
  if (Walk(&file.root(), full) == nullptr) return ERROR_FILE_NOT_FOUND;
  *out = NewHandleLocked(key->hive, file.root(), full);
  return ERROR_SUCCESS;
}

LONG CreateKey(HKEY handle, const char* sub, HKEY* out, DWORD* disposition) {
  if (out == nullptr) return ERROR_INVALID_PARAMETER;
  *out = nullptr;
  Path parts;
  if (LONG rc = ParseSubPath(sub, &parts); rc != ERROR_SUCCESS) return rc;
  std::lock_guard<std::mutex> lock(GetState().mu);
  const RegistryKey* key = ResolveLocked(handle);
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  HiveFile& file = FileForLocked(key->hive);
  Path full = key->path;
  full.insert(full.end(), parts.begin(), parts.end());
  bool created = false;
  // Opening an existing key needs no write (and no file lock).
  LONG rc = file.Refresh();
  if (rc == ERROR_SUCCESS && Walk(&file.root(), full) == nullptr) {
    rc = file.Modify([&](Key& root) -> LONG {
      Key* node = Walk(&root, full, key->path.size());
      if (node == nullptr) return ERROR_KEY_DELETED;
      for (const std::string& part : parts) {
        Key* next = node->FindSubkey(part);
        if (next == nullptr) {
          next = node->AddSubkey(part);
          created = true;
        }
        node = next;
      }
      return created ? ERROR_SUCCESS : kUnchanged;
    });
  }
  if (rc != ERROR_SUCCESS) return rc;
  if (Walk(&file.root(), full) == nullptr) return ERROR_KEY_DELETED;
  *out = NewHandleLocked(key->hive, file.root(), full);
  if (disposition != nullptr)
    *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

LONG QueryValue(HKEY handle, const char* name, bool wide, DWORD* type,
                BYTE* data, DWORD* cb) {
  return ReadKey(handle, [&](HiveFile&, const Key& node) -> LONG {
    const Value* value = node.FindValue(name != nullptr ? name : "");
    if (value == nullptr) return ERROR_FILE_NOT_FOUND;
    if (type != nullptr) *type = value->type;
    return CopyData(DataFor(*value, wide), data, cb);
  });
}

LONG SetValue(HKEY handle, const char* name, DWORD type,
              std::vector<BYTE> bytes) {
  std::string value_name = name != nullptr ? name : "";
  return ModifyKey(handle, [&](Key& node) -> LONG {
    const Value* old = node.FindValue(value_name);
    if (old != nullptr && old->type == type && old->data == bytes)
      return kUnchanged;
    node.SetValue(value_name, type, std::move(bytes));
    return ERROR_SUCCESS;
  });
}

LONG DeleteValue(HKEY handle, const char* name) {
  std::string value_name = name != nullptr ? name : "";
  return ModifyKey(handle, [&](Key& node) -> LONG {
    return node.RemoveValue(value_name) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
  });
}

LONG DeleteKey(HKEY handle, const char* sub, bool tree) {
  Path parts;
  if (LONG rc = ParseSubPath(sub, &parts); rc != ERROR_SUCCESS) return rc;
  if (parts.empty() && tree) {
    // A whole tree without a sub key: empty the key, keep it.
    return ModifyKey(handle, [](Key& node) -> LONG {
      if (node.subkeys().empty() && node.values().empty()) return kUnchanged;
      node.Clear();
      return ERROR_SUCCESS;
    });
  }
  std::lock_guard<std::mutex> lock(GetState().mu);
  const RegistryKey* key = ResolveLocked(handle);
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  Path full = key->path;
  full.insert(full.end(), parts.begin(), parts.end());
  if (full.empty()) return ERROR_ACCESS_DENIED;  // the hive itself
  return FileForLocked(key->hive).Modify([&](Key& root) -> LONG {
    if (Walk(&root, key->path) == nullptr) return ERROR_KEY_DELETED;
    Key* parent = Walk(&root, full, full.size() - 1);
    Key* target = parent ? parent->FindSubkey(full.back()) : nullptr;
    if (target == nullptr) return ERROR_FILE_NOT_FOUND;
    if (!tree && !target->subkeys().empty()) return ERROR_ACCESS_DENIED;
    parent->RemoveSubkey(full.back());
    return ERROR_SUCCESS;
  });
}

template <class Char>
LONG EnumKey(HKEY handle, DWORD index, Char* name, DWORD* cch_name, Char* cls,
             DWORD* cch_class, FILETIME* last_write) {
  return ReadKey(handle, [&](HiveFile&, const Key& node) -> LONG {
    if (index >= node.subkeys().size()) return ERROR_NO_MORE_ITEMS;
    LONG rc =
        CopyName(NameAs<Char>(node.subkeys()[index]->name()), name, cch_name);
    if (rc != ERROR_SUCCESS) return rc;
    if (cls != nullptr && cch_class != nullptr && *cch_class > 0) cls[0] = 0;
    if (cch_class != nullptr) *cch_class = 0;
    if (last_write != nullptr) *last_write = FILETIME{0, 0};
    return ERROR_SUCCESS;
  });
}

template <class Char>
LONG EnumValue(HKEY handle, DWORD index, Char* name, DWORD* cch_name,
               DWORD* type, BYTE* data, DWORD* cb) {
  return ReadKey(handle, [&](HiveFile&, const Key& node) -> LONG {
    if (index >= node.values().size()) return ERROR_NO_MORE_ITEMS;
    const Value& value = node.values()[index];
    LONG rc = CopyName(NameAs<Char>(value.name), name, cch_name);
    if (rc != ERROR_SUCCESS) return rc;
    if (type != nullptr) *type = value.type;
    return CopyData(DataFor(value, sizeof(Char) == 2), data, cb);
  });
}

namespace {

// Null stays null: it means "the key itself" or "the default value".
struct Narrow {
  explicit Narrow(const char16_t* wide) : is_null(wide == nullptr) {
    if (wide != nullptr) text = text::Utf16ToUtf8(wide);
  }
  const char* get() const { return is_null ? nullptr : text.c_str(); }
  bool is_null;
  std::string text;
};

}  // namespace
}  // namespace kavex::registry

LONG RegOpenKeyExA(HKEY key, const char* sub, DWORD, REGSAM, HKEY* out) {
  return kavex::registry::OpenKey(key, sub, out);
}
LONG RegOpenKeyExW(HKEY key, const char16_t* sub, DWORD, REGSAM, HKEY* out) {
  return kavex::registry::OpenKey(key, kavex::registry::Narrow(sub).get(), out);
}

LONG RegCreateKeyExA(HKEY key, const char* sub, DWORD, char*, DWORD, REGSAM,
                     void*, HKEY* out, DWORD* disposition) {
  return kavex::registry::CreateKey(key, sub, out, disposition);
}
LONG RegCreateKeyExW(HKEY key, const char16_t* sub, DWORD, char16_t*, DWORD,
                     REGSAM, void*, HKEY* out, DWORD* disposition) {
  return kavex::registry::CreateKey(key, kavex::registry::Narrow(sub).get(),
                                    out, disposition);
}

LONG RegQueryValueExA(HKEY key, const char* name, DWORD*, DWORD* type,
                      BYTE* data, DWORD* cb) {
  return kavex::registry::QueryValue(key, name, false, type, data, cb);
}
LONG RegQueryValueExW(HKEY key, const char16_t* name, DWORD*, DWORD* type,
                      BYTE* data, DWORD* cb) {
  return kavex::registry::QueryValue(key, kavex::registry::Narrow(name).get(),
                                     true, type, data, cb);
}

LONG RegSetValueExA(HKEY key, const char* name, DWORD, DWORD type,
                    const BYTE* data, DWORD cb) {
  if (data == nullptr && cb > 0) return ERROR_INVALID_PARAMETER;
  return kavex::registry::SetValue(key, name, type,
                                   std::vector<BYTE>(data, data + cb));
}
LONG RegSetValueExW(HKEY key, const char16_t* name, DWORD, DWORD type,
                    const BYTE* data, DWORD cb) {
  if (data == nullptr && cb > 0) return ERROR_INVALID_PARAMETER;
  std::vector<BYTE> bytes(data, data + cb);
  if (kavex::registry::IsText(type))
    bytes = kavex::registry::WideBytesToNarrow(bytes);
  return kavex::registry::SetValue(key, kavex::registry::Narrow(name).get(),
                                   type, std::move(bytes));
}

LONG RegDeleteValueA(HKEY key, const char* name) {
  return kavex::registry::DeleteValue(key, name);
}
LONG RegDeleteValueW(HKEY key, const char16_t* name) {
  return kavex::registry::DeleteValue(key, kavex::registry::Narrow(name).get());
}

LONG RegDeleteKeyA(HKEY key, const char* sub) {
  if (sub == nullptr) return ERROR_INVALID_PARAMETER;
  return kavex::registry::DeleteKey(key, sub, false);
}
LONG RegDeleteKeyW(HKEY key, const char16_t* sub) {
  if (sub == nullptr) return ERROR_INVALID_PARAMETER;
  return kavex::registry::DeleteKey(key, kavex::registry::Narrow(sub).get(),
                                    false);
}

LONG RegDeleteTreeA(HKEY key, const char* sub) {
  return kavex::registry::DeleteKey(key, sub, true);
}
LONG RegDeleteTreeW(HKEY key, const char16_t* sub) {
  return kavex::registry::DeleteKey(key, kavex::registry::Narrow(sub).get(),
                                    true);
}

LONG RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* cch_name, DWORD*,
                   char* cls, DWORD* cch_class, FILETIME* last_write) {
  return kavex::registry::EnumKey(key, index, name, cch_name, cls, cch_class,
                                  last_write);
}
LONG RegEnumKeyExW(HKEY key, DWORD index, char16_t* name, DWORD* cch_name,
                   DWORD*, char16_t* cls, DWORD* cch_class,
                   FILETIME* last_write) {
  return kavex::registry::EnumKey(key, index, name, cch_name, cls, cch_class,
                                  last_write);
}

LONG RegEnumValueA(HKEY key, DWORD index, char* name, DWORD* cch_name, DWORD*,
                   DWORD* type, BYTE* data, DWORD* cb) {
  return kavex::registry::EnumValue(key, index, name, cch_name, type, data, cb);
}
LONG RegEnumValueW(HKEY key, DWORD index, char16_t* name, DWORD* cch_name,
                   DWORD*, DWORD* type, BYTE* data, DWORD* cb) {
  return kavex::registry::EnumValue(key, index, name, cch_name, type, data, cb);
}

LONG RegQueryInfoKeyA(HKEY key, DWORD* subkeys, DWORD* max_subkey_len,
                      DWORD* values, DWORD* max_value_name_len,
                      DWORD* max_value_len) {
  return kavex::registry::ReadKey(
      key,
      [&](kavex::registry::HiveFile&,
          const kavex::registry::Key& node) -> LONG {
        size_t longest_key = 0, longest_name = 0, longest_data = 0;
        for (const auto& sub : node.subkeys())
          longest_key = std::max(longest_key, sub->name().size());
        for (const kavex::registry::Value& value : node.values()) {
          longest_name = std::max(longest_name, value.name.size());
          longest_data = std::max(longest_data, value.data.size());
        }
        if (subkeys) *subkeys = static_cast<DWORD>(node.subkeys().size());
        if (max_subkey_len) *max_subkey_len = static_cast<DWORD>(longest_key);
        if (values) *values = static_cast<DWORD>(node.values().size());
        if (max_value_name_len)
          *max_value_name_len = static_cast<DWORD>(longest_name);
        if (max_value_len) *max_value_len = static_cast<DWORD>(longest_data);
        return ERROR_SUCCESS;
      });
}

LONG RegCloseKey(HKEY key) {
  if (key == HKEY_LOCAL_MACHINE || key == HKEY_CLASSES_ROOT)
    return ERROR_SUCCESS;
  std::lock_guard<std::mutex> lock(kavex::registry::GetState().mu);
  auto& open = kavex::registry::GetState().open_keys;
  auto it = open.find(key);
  if (it == open.end()) return ERROR_INVALID_HANDLE;
  open.erase(it);
  return ERROR_SUCCESS;
}
