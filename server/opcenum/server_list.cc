#include "server/opcenum/server_list.h"

#include <algorithm>
#include <string>

#include "platform/com/activation.h"
#include "platform/com/com_object.h"
#include "platform/com/component_categories.h"
#include "platform/com/guid.h"
#include "platform/opc/opc_common.h"
#include "platform/registry/registry.h"
#include "platform/text/utf.h"
#include "server/objects/task_array.h"

namespace kavex::server {

namespace {

constexpr ULONG kAnyCategory = static_cast<ULONG>(-1);

class Key {
 public:
  Key(HKEY parent, const std::string& sub) {
    if (RegOpenKeyExA(parent, sub.c_str(), 0, KEY_READ, &key_) !=
        ERROR_SUCCESS) {
      key_ = nullptr;
    }
  }
  ~Key() {
    if (key_) RegCloseKey(key_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  explicit operator bool() const { return key_ != nullptr; }
  HKEY get() const { return key_; }

  // The names of the subkeys.
  std::vector<std::string> Subkeys() const {
    std::vector<std::string> names;
    for (DWORD i = 0; key_; ++i) {
      char name[256];
      DWORD size = sizeof name;
      if (RegEnumKeyExA(key_, i, name, &size, nullptr, nullptr, nullptr,
                        nullptr) != ERROR_SUCCESS) {
        break;
      }
      names.emplace_back(name, size);
    }
    return names;
  }

  // A REG_SZ value ("" for the default one); false when absent.
  bool String(const char* name, std::string* out) const {
    if (!key_) return false;
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(key_, name, nullptr, &type, nullptr, &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ) {
      return false;
    }
    std::string text(size, '\0');
    if (RegQueryValueExA(key_, name, nullptr, &type,
                         reinterpret_cast<BYTE*>(text.data()),
                         &size) != ERROR_SUCCESS) {
      return false;
    }
    text.resize(std::min<size_t>(size, text.size()));
    while (!text.empty() && text.back() == '\0') text.pop_back();
    *out = std::move(text);
    return true;
  }

 private:
  HKEY key_ = nullptr;
};

// The CATIDs listed as subkeys of `key` (those that parse as GUIDs).
std::vector<CATID> Categories(const Key& key) {
  std::vector<CATID> out;
  for (const std::string& name : key.Subkeys()) {
    CATID catid;
    if (com::GuidFromString(name, &catid)) out.push_back(catid);
  }
  return out;
}

bool Contains(const std::vector<CATID>& list, REFCATID catid) {
  return std::find(list.begin(), list.end(), catid) != list.end();
}

std::vector<CLSID> ClassesOf(ULONG implemented_count, const CATID* implemented,
                             ULONG required_count, const CATID* required) {
  std::vector<CATID> wanted;
  if (implemented_count != kAnyCategory) {
    Key categories(HKEY_CLASSES_ROOT, "Component Categories");
    const std::vector<CATID> recorded = Categories(categories);
    for (ULONG i = 0; i < implemented_count; ++i) {
      if (Contains(recorded, implemented[i])) wanted.push_back(implemented[i]);
    }
    if (wanted.empty()) return {};
  }
  std::vector<CATID> allowed(required, required + (required_count == kAnyCategory
                                                       ? 0
                                                       : required_count));
  std::vector<CLSID> classes;
  Key clsids(HKEY_CLASSES_ROOT, "CLSID");
  for (const std::string& name : clsids.Subkeys()) {
    CLSID clsid;
    if (!com::GuidFromString(name, &clsid)) continue;
    if (implemented_count != kAnyCategory) {
      Key key(clsids.get(), name + "\\Implemented Categories");
      const std::vector<CATID> has = Categories(key);
      if (std::none_of(wanted.begin(), wanted.end(),
                       [&](const CATID& c) { return Contains(has, c); })) {
        continue;
      }
    }
    if (required_count != kAnyCategory) {
      Key key(clsids.get(), name + "\\Required Categories");
      const std::vector<CATID> needs = Categories(key);
      if (std::any_of(needs.begin(), needs.end(), [&](const CATID& c) {
            return !Contains(allowed, c);
          })) {
        continue;
      }
    }
    if (!Contains(classes, clsid)) classes.push_back(clsid);
  }
  return classes;
}

// The GUID enumerator both interfaces hand out.
class GuidEnumerator
    : public com::ComObject<GuidEnumerator, IOPCEnumGUID, IEnumGUID> {
 public:
  void Init(std::vector<GUID> guids, size_t position) {
    guids_ = std::move(guids);
    position_ = position;
  }

  HRESULT Next(ULONG celt, GUID* elements, ULONG* fetched) override {
    if (!elements || (celt > 1 && !fetched)) return E_POINTER;
    ULONG n = 0;
    while (n < celt && position_ < guids_.size()) {
      elements[n++] = guids_[position_++];
    }
    if (fetched) *fetched = n;
    return n == celt ? S_OK : S_FALSE;
  }
  HRESULT Skip(ULONG celt) override {
    size_t left = guids_.size() - position_;
    position_ += std::min<size_t>(celt, left);
    return celt <= left ? S_OK : S_FALSE;
  }
  HRESULT Reset() override {
    position_ = 0;
    return S_OK;
  }
  HRESULT Clone(IOPCEnumGUID** clone) override { return CloneAs(clone); }
  HRESULT Clone(IEnumGUID** clone) override { return CloneAs(clone); }

 private:
  template <class Interface>
  HRESULT CloneAs(Interface** clone) {
    if (!clone) return E_POINTER;
    *clone = nullptr;
    com::ComPtr<GuidEnumerator> copy;
    HRESULT hr = GuidEnumerator::CreateInstance(&copy);
    if (FAILED(hr)) return hr;
    copy->Init(guids_, position_);
    return copy->QueryInterface(com::IidOf<Interface>(),
                                reinterpret_cast<void**>(clone));
  }

  std::vector<GUID> guids_;
  size_t position_ = 0;
};

// A task-allocated copy of a registry text; null (and S_OK) when absent.
HRESULT TaskText(const Key& key, const char* name, LPOLESTR* out) {
  *out = nullptr;
  std::string text;
  if (!key.String(name, &text)) return S_OK;
  *out = TaskStringCopy(text::Utf8ToUtf16(text));
  return *out ? S_OK : E_OUTOFMEMORY;
}

class CServerList
    : public com::ComObject<CServerList, IOPCServerList2, IOPCServerList> {
 public:
  static HRESULT CreateInstance(REFIID iid, void** out) {
    return com::ComObject<CServerList, IOPCServerList2,
                          IOPCServerList>::CreateInstance(iid, out);
  }

  HRESULT EnumClassesOfCategories(ULONG implemented_count,
                                  CATID* implemented, ULONG required_count,
                                  CATID* required,
                                  IOPCEnumGUID** out) override {
    return Enumerate(implemented_count, implemented, required_count, required,
                     out);
  }
  HRESULT EnumClassesOfCategories(ULONG implemented_count,
                                  CATID* implemented, ULONG required_count,
                                  CATID* required, IEnumGUID** out) override {
    return Enumerate(implemented_count, implemented, required_count, required,
                     out);
  }

  HRESULT GetClassDetails(REFCLSID clsid, LPOLESTR* prog_id,
                          LPOLESTR* user_type,
                          LPOLESTR* version_independent) override {
    if (!prog_id || !user_type || !version_independent) return E_POINTER;
    *prog_id = *user_type = *version_independent = nullptr;
    Key key(HKEY_CLASSES_ROOT, "CLSID\\" + com::GuidToString(clsid));
    if (!key) return REGDB_E_CLASSNOTREG;
    Key prog(key.get(), "ProgID");
    Key independent(key.get(), "VersionIndependentProgID");
    HRESULT hr = TaskText(prog, "", prog_id);
    if (SUCCEEDED(hr)) hr = TaskText(key, "", user_type);
    if (SUCCEEDED(hr)) hr = TaskText(independent, "", version_independent);
    if (FAILED(hr)) {
      for (LPOLESTR* p : {prog_id, user_type, version_independent}) {
        CoTaskMemFree(*p);
        *p = nullptr;
      }
    }
    return hr;
  }

  HRESULT GetClassDetails(REFCLSID clsid, LPOLESTR* prog_id,
                          LPOLESTR* user_type) override {
    if (!prog_id || !user_type) return E_POINTER;
    LPOLESTR versioned = nullptr, independent = nullptr;
    HRESULT hr = GetClassDetails(clsid, &versioned, user_type, &independent);
    if (FAILED(hr)) {
      *prog_id = nullptr;
      return hr;
    }
    if (independent) {
      *prog_id = independent;
      CoTaskMemFree(versioned);
    } else {
      *prog_id = versioned;
    }
    return S_OK;
  }

  HRESULT CLSIDFromProgID(LPCOLESTR prog_id, CLSID* clsid) override {
    if (!prog_id || !clsid) return E_POINTER;
    return ::CLSIDFromProgID(prog_id, clsid);
  }

 private:
  template <class Interface>
  HRESULT Enumerate(ULONG implemented_count, const CATID* implemented,
                    ULONG required_count, const CATID* required,
                    Interface** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (implemented_count == 0) return E_INVALIDARG;
    if ((implemented_count != kAnyCategory && !implemented) ||
        (required_count != kAnyCategory && required_count != 0 && !required)) {
      return E_POINTER;
    }
    com::ComPtr<GuidEnumerator> e;
    HRESULT hr = GuidEnumerator::CreateInstance(&e);
    if (FAILED(hr)) return hr;
    e->Init(ClassesOf(implemented_count, implemented, required_count,
                      required),
            0);
    return e->QueryInterface(com::IidOf<Interface>(),
                             reinterpret_cast<void**>(out));
  }
};

}  // namespace

void AddServerListClass(std::vector<com::ClassEntry>* classes) {
  classes->push_back({.clsid = &CLSID_OpcServerList,
                      .create_factory = &com::CreateClassFactory<CServerList>,
                      .description = "OpcServerList Class"});
}

}  // namespace kavex::server
