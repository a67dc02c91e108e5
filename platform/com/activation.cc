#include "platform/com/activation.h"

#include <atomic>
#include <cstring>
#include <vector>

#include "platform/com/activation_internal.h"
#include "platform/com/guid.h"
#include "platform/com/task_memory.h"
#include "platform/text/utf.h"
#include "platform/registry/registry.h"

namespace kavex::com {
namespace {

// Threads with COM initialised, and how many of them chose the
// multithreaded mode (whose presence lets other threads join implicitly).
std::atomic<int> initialised_threads{0};
std::atomic<int> multithreaded_threads{0};

struct ThreadApartment {
  int count = 0;
  DWORD mode = COINIT_MULTITHREADED;

  void Leave() {
    if (mode == COINIT_MULTITHREADED) --multithreaded_threads;
    --initialised_threads;
    count = 0;
  }
  // A thread that ends without its CoUninitialize calls still leaves.
  ~ThreadApartment() {
    if (count > 0) Leave();
  }
};
thread_local ThreadApartment apartment;

bool InitialisedForCaller() {
  return apartment.count > 0 || multithreaded_threads.load() > 0;
}

struct KeyCloser {
  HKEY key = nullptr;
  ~KeyCloser() {
    if (key != nullptr) RegCloseKey(key);
  }
};

}  // namespace

namespace internal {

bool ReadClassesRootString(const std::string& sub, const char* name,
                           std::string* out) {
  KeyCloser key;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, sub.c_str(), 0, KEY_READ, &key.key) !=
      ERROR_SUCCESS)
    return false;
  DWORD type = REG_NONE, size = 0;
  if (RegQueryValueExA(key.key, name, nullptr, &type, nullptr, &size) !=
          ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ))
    return false;
  std::vector<char> data(size + 1, '\0');
  if (RegQueryValueExA(key.key, name, nullptr, &type,
                       reinterpret_cast<BYTE*>(data.data()),
                       &size) != ERROR_SUCCESS)
    return false;
  out->assign(data.data(), strnlen(data.data(), size));
  return true;
}

}  // namespace internal

}  // namespace kavex::com

HRESULT CoInitializeEx(void* /*reserved*/, DWORD coinit) {
  DWORD mode = coinit & COINIT_APARTMENTTHREADED;
  if (kavex::com::apartment.count > 0) {
    if (kavex::com::apartment.mode != mode) return RPC_E_CHANGED_MODE;
    ++kavex::com::apartment.count;
    return S_FALSE;
  }
  kavex::com::apartment.count = 1;
  kavex::com::apartment.mode = mode;
  ++kavex::com::initialised_threads;
  if (mode == COINIT_MULTITHREADED) ++kavex::com::multithreaded_threads;
  return S_OK;
}

HRESULT CoInitialize(void* reserved) {
  return CoInitializeEx(reserved, COINIT_APARTMENTTHREADED);
}

void CoUninitialize() {
  if (kavex::com::apartment.count == 0) return;
  if (--kavex::com::apartment.count > 0) return;
  kavex::com::apartment.Leave();
  if (kavex::com::initialised_threads.load() == 0)
    kavex::com::internal::FreeUnusedModules();
}

HRESULT CoGetClassObject(REFCLSID clsid, DWORD clsctx, void* /*server_info*/,
                         REFIID iid, void** out) {
  if (out == nullptr) return E_INVALIDARG;
  *out = nullptr;
  if (!kavex::com::InitialisedForCaller()) return CO_E_NOTINITIALIZED;
  if ((clsctx & CLSCTX_ALL) == 0) return E_INVALIDARG;
  HRESULT hr =
      kavex::com::internal::GetRegisteredClassObject(clsid, clsctx, iid, out);
  if (hr != REGDB_E_CLASSNOTREG) return hr;
  // Another process cannot be started as a server here, so only modules
  // loaded into this process serve what the process has not registered.
  if ((clsctx & CLSCTX_INPROC_SERVER) == 0) return REGDB_E_CLASSNOTREG;
  std::string path;
  if (!kavex::com::internal::ReadClassesRootString(
          "CLSID\\" + kavex::com::GuidToString(clsid) + "\\InprocServer32",
          nullptr, &path) ||
      path.empty())
    return REGDB_E_CLASSNOTREG;
  return kavex::com::internal::GetModuleClassObject(path, clsid, iid, out);
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD clsctx,
                         REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  kavex::com::ComPtr<IClassFactory> factory;
  HRESULT hr =
      CoGetClassObject(clsid, clsctx, nullptr, IID_IClassFactory,
                       reinterpret_cast<void**>(factory.GetAddressOf()));
  if (FAILED(hr)) return hr;
  return factory->CreateInstance(outer, iid, out);
}

HRESULT CLSIDFromProgID(LPCOLESTR prog_id, CLSID* clsid) {
  if (prog_id == nullptr || clsid == nullptr) return E_INVALIDARG;
  std::string name = kavex::text::Utf16ToUtf8(prog_id);
  // CurVer chains are short; the bound stops a loop in a damaged registry.
  for (int depth = 0; depth < 8 && !name.empty(); ++depth) {
    if (name.find('\\') != std::string::npos) break;
    std::string text;
    if (kavex::com::internal::ReadClassesRootString(name + "\\CLSID", nullptr,
                                                    &text))
      return kavex::com::GuidFromString(text, clsid) ? S_OK : CO_E_CLASSSTRING;
    if (!kavex::com::internal::ReadClassesRootString(name + "\\CurVer", nullptr,
                                                     &text))
      break;
    name = text;
  }
  return CO_E_CLASSSTRING;
}

HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* prog_id) {
  if (prog_id == nullptr) return E_INVALIDARG;
  *prog_id = nullptr;
  std::string text;
  if (!kavex::com::internal::ReadClassesRootString(
          "CLSID\\" + kavex::com::GuidToString(clsid) + "\\ProgID", nullptr,
          &text) ||
      text.empty())
    return REGDB_E_CLASSNOTREG;
  std::u16string wide = kavex::text::Utf8ToUtf16(text);
  size_t bytes = (wide.size() + 1) * sizeof(OLECHAR);
  *prog_id = static_cast<LPOLESTR>(CoTaskMemAlloc(bytes));
  if (*prog_id == nullptr) return E_OUTOFMEMORY;
  std::memcpy(*prog_id, wide.c_str(), bytes);
  return S_OK;
}

namespace kavex::com {
namespace {

HRESULT TaskString(const GUID& guid, LPOLESTR* out) {
  if (out == nullptr) return E_INVALIDARG;
  *out = static_cast<LPOLESTR>(
      CoTaskMemAlloc((kGuidStringLength + 1) * sizeof(OLECHAR)));
  if (*out == nullptr) return E_OUTOFMEMORY;
  StringFromGUID2(guid, *out, kGuidStringLength + 1);
  return S_OK;
}

}  // namespace
}  // namespace kavex::com

// The GUID functions that allocate or consult the registry live here, with
// the rest of what needs the registry.
HRESULT StringFromCLSID(REFCLSID clsid, LPOLESTR* out) {
  return kavex::com::TaskString(clsid, out);
}

HRESULT StringFromIID(REFIID iid, LPOLESTR* out) {
  return kavex::com::TaskString(iid, out);
}

HRESULT CLSIDFromString(LPCOLESTR text, CLSID* clsid) {
  if (text == nullptr || clsid == nullptr) return E_INVALIDARG;
  std::u16string_view view(text);
  if (kavex::com::GuidFromU16String(view, clsid)) return S_OK;
  if (!view.empty() && view[0] == u'{') return CO_E_CLASSSTRING;
  return FAILED(CLSIDFromProgID(text, clsid)) ? CO_E_CLASSSTRING : S_OK;
}
