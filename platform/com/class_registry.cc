// Class objects registered by this process (CoRegisterClassObject).
#include <mutex>
#include <vector>

#include "platform/com/activation.h"
#include "platform/com/activation_internal.h"
#include "platform/com/com_ptr.h"

namespace kavex::com {
namespace {

struct Registration {
  DWORD cookie;
  CLSID clsid;
  ComPtr<IUnknown> object;
  DWORD clsctx;
  DWORD flags;
  bool used = false;  // a single-use object was handed out
};

struct ClassTable {
  std::mutex mu;
  std::vector<Registration> entries;
  DWORD next_cookie = 1;
  bool suspended = false;  // CoSuspendClassObjects / server process at 0
  ULONG server_process_refs = 0;
};
ClassTable& GetTable() {
  static ClassTable* table = new ClassTable;  // used until exit
  return *table;
}

// Suspended registrations wait for CoResumeClassObjects; REGCLS_SUSPENDED
// marks them so at registration time.
bool Available(const Registration& r) {
  return (r.flags & REGCLS_SUSPENDED) == 0 &&
         !(r.used &&
           (r.flags & (REGCLS_MULTIPLEUSE | REGCLS_MULTI_SEPARATE)) == 0);
}

}  // namespace

namespace internal {

HRESULT GetRegisteredClassObject(REFCLSID clsid, DWORD clsctx, REFIID iid,
                                 void** out) {
  ComPtr<IUnknown> object;
  {
    ClassTable& table = GetTable();
    std::lock_guard<std::mutex> lock(table.mu);
    if (table.suspended) return REGDB_E_CLASSNOTREG;
    for (Registration& r : table.entries) {
      if (r.clsid == clsid && (r.clsctx & clsctx) != 0 && Available(r)) {
        r.used = true;
        object = r.object;
        break;
      }
    }
  }
  if (!object) return REGDB_E_CLASSNOTREG;
  return object->QueryInterface(iid, out);
}

}  // namespace internal

}  // namespace kavex::com

HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* object, DWORD clsctx,
                              DWORD flags, DWORD* cookie) {
  if (cookie != nullptr) *cookie = 0;
  if (object == nullptr || cookie == nullptr) return E_INVALIDARG;
  kavex::com::ClassTable& table = kavex::com::GetTable();
  std::lock_guard<std::mutex> lock(table.mu);
  while (table.next_cookie == 0) ++table.next_cookie;
  table.entries.push_back(kavex::com::Registration{table.next_cookie, clsid,
                                                   object, clsctx, flags});
  *cookie = table.next_cookie++;
  return S_OK;
}

HRESULT CoRevokeClassObject(DWORD cookie) {
  // After the lock: its release may call back.
  kavex::com::ComPtr<IUnknown> released;
  kavex::com::ClassTable& table = kavex::com::GetTable();
  std::lock_guard<std::mutex> lock(table.mu);
  for (auto it = table.entries.begin(); it != table.entries.end(); ++it) {
    if (it->cookie == cookie) {
      released = std::move(it->object);
      table.entries.erase(it);
      return S_OK;
    }
  }
  return CO_E_OBJNOTREG;
}

HRESULT CoSuspendClassObjects() {
  kavex::com::ClassTable& table = kavex::com::GetTable();
  std::lock_guard<std::mutex> lock(table.mu);
  table.suspended = true;
  return S_OK;
}

HRESULT CoResumeClassObjects() {
  kavex::com::ClassTable& table = kavex::com::GetTable();
  std::lock_guard<std::mutex> lock(table.mu);
  table.suspended = false;
  for (kavex::com::Registration& r : table.entries)
    r.flags &= ~DWORD{REGCLS_SUSPENDED};
  return S_OK;
}

ULONG CoAddRefServerProcess() {
  kavex::com::ClassTable& table = kavex::com::GetTable();
  std::lock_guard<std::mutex> lock(table.mu);
  return ++table.server_process_refs;
}

ULONG CoReleaseServerProcess() {
  kavex::com::ClassTable& table = kavex::com::GetTable();
  std::lock_guard<std::mutex> lock(table.mu);
  if (table.server_process_refs == 0) return 0;
  if (--table.server_process_refs == 0) table.suspended = true;
  return table.server_process_refs;
}
