#include "platform/pkio/frame_source.h"

#include <dlfcn.h>

#include <cstring>
#include <mutex>
#include <set>
#include <utility>

#include "platform/base/results.h"
#include "platform/log/logger.h"
#include "platform/pkio/real_adapter.h"
#include "platform/registry/registry.h"

namespace kavex::pkio {
namespace {

constexpr char kCategory[] = "pkio";

struct SourceTable {
  std::mutex mu;  // sources
  std::vector<const FrameSourceType*> sources;
  // Held while declared modules are looked at and loaded, so that a thread
  // finding a declaration another thread is loading waits for the source.
  std::mutex load_mu;
  std::set<std::string> modules_tried;    // paths, loaded or not; load_mu
  std::set<std::string> values_reported;  // refused declarations; load_mu
};

SourceTable& Table() {
  // Never destroyed: adapters may be opened and closed while the process
  // exits.
  static SourceTable* table = [] {
    auto* t = new SourceTable;
    t->sources.push_back(EthernetFrameSource());
    return t;
  }();
  return *table;
}

bool ValidType(const FrameSourceType* type) {
  return type != nullptr && type->ndis_prefix != nullptr &&
         type->ndis_prefix[0] != '\0' && type->enumerate != nullptr &&
         type->open != nullptr;
}

// origin names where the table came from, for the log.
bool Add(const FrameSourceType* type, const std::string& origin) {
  if (!ValidType(type)) {
    log::Logf(log::Level::kError, kCategory,
              "%s: the frame source table is incomplete; not used",
              origin.c_str());
    return false;
  }
  SourceTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mu);
  for (const FrameSourceType* present : table.sources) {
    if (present == type) return true;
    if (std::strcmp(present->ndis_prefix, type->ndis_prefix) == 0) {
      log::Logf(log::Level::kError, kCategory,
                "%s: the adapters named \"%s...\" are served already (by %s); "
                "not used",
                origin.c_str(), type->ndis_prefix,
                present->name != nullptr ? present->name : "another source");
      return false;
    }
  }
  table.sources.push_back(type);
  return true;
}

// The module paths declared in the registry, in declaration order. A value
// that is no module path is reported the first time it is seen. Called
// under load_mu.
std::vector<std::string> DeclaredModules(SourceTable& table) {
  std::vector<std::string> paths;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kFrameSourcesKey, 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return paths;
  }
  auto refuse = [&table](const std::string& name, const char* why) {
    if (table.values_reported.insert(name).second) {
      log::Logf(log::Level::kError, kCategory, "HKLM\\%s \"%s\": %s; ignored",
                kFrameSourcesKey, name.c_str(), why);
    }
  };
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD name_size = sizeof name;
    DWORD type = 0;
    char data[4096];
    DWORD size = sizeof data - 1;
    const LONG rc = RegEnumValueA(key, i, name, &name_size, nullptr, &type,
                                  reinterpret_cast<BYTE*>(data), &size);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc == ERROR_MORE_DATA) {
      refuse(std::to_string(i), "too long for a module path");
      continue;
    }
    if (rc != ERROR_SUCCESS) break;
    if (type != REG_SZ && type != REG_EXPAND_SZ) {
      refuse(name, "a module path is REG_SZ");
      continue;
    }
    data[size] = '\0';
    std::string path(data);  // up to the first NUL
    if (path.empty()) {
      refuse(name, "empty");
      continue;
    }
    paths.push_back(std::move(path));
  }
  RegCloseKey(key);
  return paths;
}

void LoadModule(const std::string& path) {
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    const char* why = dlerror();
    log::Logf(log::Level::kError, kCategory,
              "frame source module %s cannot be loaded: %s", path.c_str(),
              why != nullptr ? why : "unknown reason");
    return;
  }
  // Kept loaded for the rest of the process (see the header).
  auto entry =
      reinterpret_cast<FrameSourceEntry>(dlsym(module, kFrameSourceEntry));
  if (entry == nullptr) {
    log::Logf(log::Level::kError, kCategory,
              "frame source module %s has no %s function; not used",
              path.c_str(), kFrameSourceEntry);
    return;
  }
  const FrameSourceType* type = entry(kFrameSourceVersion);
  if (type == nullptr) {
    log::Logf(log::Level::kError, kCategory,
              "frame source module %s does not serve version %u; not used",
              path.c_str(), static_cast<unsigned>(kFrameSourceVersion));
    return;
  }
  if (Add(type, "frame source module " + path)) {
    log::Logf(log::Level::kDebug, kCategory,
              "frame source module %s serves \"%s...\"", path.c_str(),
              type->ndis_prefix);
  }
}

void LoadDeclared() {
  SourceTable& table = Table();
  std::lock_guard<std::mutex> lock(table.load_mu);
  for (const std::string& path : DeclaredModules(table)) {
    if (!table.modules_tried.insert(path).second) continue;
    LoadModule(path);
  }
}

}  // namespace

bool AddFrameSource(const FrameSourceType* type) {
  return Add(type, type != nullptr && type->name != nullptr
                       ? std::string(type->name)
                       : std::string("a frame source"));
}

std::vector<const FrameSourceType*> FrameSources() {
  LoadDeclared();
  SourceTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mu);
  return table.sources;
}

const FrameSourceType* FindFrameSource(const std::string& ndis_name) {
  const FrameSourceType* best = nullptr;
  size_t best_length = 0;
  for (const FrameSourceType* type : FrameSources()) {
    const size_t length = std::strlen(type->ndis_prefix);
    if (length > best_length &&
        ndis_name.compare(0, length, type->ndis_prefix) == 0) {
      best = type;
      best_length = length;
    }
  }
  return best;
}

}  // namespace kavex::pkio
