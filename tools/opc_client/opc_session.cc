#include "tools/opc_client/opc_session.h"

#include <cstring>

#include "platform/com/bstr.h"
#include "platform/com/component_categories.h"
#include "platform/com/enumerators.h"
#include "platform/com/task_memory.h"
#include "platform/opc/opc_common.h"

namespace kavex::opc_client {

namespace {

constexpr ULONG kBatch = 256;

// An interface pointer an [out] parameter gave: its identity; the pointer
// is released (the client keeps the references).
HRESULT Adopt(IUnknown* pointer, dcom::RemoteInterface* out) {
  HRESULT hr = dcom::RemoteInterfaceOf(pointer, out);
  if (pointer) pointer->Release();
  return FAILED(hr) ? dcom::kCallFailed : S_OK;
}

std::u16string Take(LPOLESTR text) {
  std::u16string out = text ? text : u"";
  CoTaskMemFree(text);
  return out;
}

}  // namespace

ItemValue::ItemValue(ItemValue&& other) noexcept
    : error(other.error),
      value(other.value),
      quality(other.quality),
      timestamp(other.timestamp) {
  VariantInit(&other.value);
}

OpcSession::OpcSession(dcom::DcomClientOptions options) : client_(options) {}

OpcSession::~OpcSession() { Close(); }

HRESULT OpcSession::Connect(const std::string& host, uint16_t port,
                            const rpc::NtlmClientCredentials* credentials) {
  return client_.Connect(host, port, credentials);
}

HRESULT OpcSession::Query(const dcom::RemoteInterface& from, REFIID iid,
                          dcom::RemoteInterface* out) {
  return client_.QueryInterface(from, iid, out);
}

HRESULT OpcSession::Open(REFCLSID clsid) {
  std::vector<dcom::RemoteInterface> got;
  std::vector<HRESULT> results;
  const IID iid = IID_IOPCServer;
  HRESULT hr = client_.Activate(clsid, {&iid, 1}, &got, &results);
  if (FAILED(hr)) return hr;
  server_ = got[0];
  return S_OK;
}

HRESULT OpcSession::ListServers(std::vector<ServerEntry>* servers) {
  servers->clear();
  std::vector<dcom::RemoteInterface> got;
  std::vector<HRESULT> results;
  const IID iids[] = {IID_IOPCServerList2, IID_IOPCServerList};
  HRESULT hr = client_.Activate(CLSID_OpcServerList, iids, &got, &results);
  if (FAILED(hr)) return hr;
  const bool second = got[0].valid();
  const dcom::RemoteInterface& list = second ? got[0] : got[1];

  ULONG implemented = 2, required = 0;
  CATID categories[] = {CATID_OPCDAServer10, CATID_OPCDAServer20};
  CATID* categories_pointer = categories;
  CATID none[1] = {};
  CATID* none_pointer = none;
  IUnknown* enumerator = nullptr;
  IUnknown** enumerator_pointer = &enumerator;
  void* args[] = {&implemented, &categories_pointer, &required, &none_pointer,
                  &enumerator_pointer};
  HRESULT result = E_FAIL;
  hr = client_.Call(list, "EnumClassesOfCategories", args, &result);
  if (FAILED(hr)) return hr;
  if (FAILED(result)) return result;
  dcom::RemoteInterface guids;
  if (FAILED(hr = Adopt(enumerator, &guids))) return hr;

  std::vector<CLSID> clsids;
  for (;;) {
    ULONG celt = kBatch, fetched = 0;
    std::vector<GUID> batch(kBatch);
    GUID* batch_pointer = batch.data();
    ULONG* fetched_pointer = &fetched;
    void* next[] = {&celt, &batch_pointer, &fetched_pointer};
    hr = client_.Call(guids, "Next", next, &result);
    if (FAILED(hr)) return hr;
    if (FAILED(result)) return result;
    clsids.insert(clsids.end(), batch.begin(),
                  batch.begin() + std::min(fetched, kBatch));
    if (result != S_OK || fetched == 0) break;
  }
  client_.Release(guids);

  for (const CLSID& clsid : clsids) {
    ServerEntry entry;
    entry.clsid = clsid;
    IID c = clsid;
    LPOLESTR prog = nullptr, type = nullptr, independent = nullptr;
    LPOLESTR* prog_pointer = &prog;
    LPOLESTR* type_pointer = &type;
    LPOLESTR* independent_pointer = &independent;
    void* details2[] = {&c, &prog_pointer, &type_pointer,
                        &independent_pointer};
    void* details1[] = {&c, &prog_pointer, &type_pointer};
    hr = client_.Call(list, "GetClassDetails", second ? details2 : details1,
                      &result);
    if (FAILED(hr)) return hr;
    if (FAILED(result)) continue;  // unregistered meanwhile
    entry.versioned_prog_id = Take(prog);
    entry.description = Take(type);
    entry.prog_id = Take(independent);
    if (entry.prog_id.empty()) entry.prog_id = entry.versioned_prog_id;
    servers->push_back(std::move(entry));
  }
  return S_OK;
}

HRESULT OpcSession::ClassOfProgId(const std::u16string& prog_id,
                                  CLSID* clsid) {
  std::vector<dcom::RemoteInterface> got;
  std::vector<HRESULT> results;
  const IID iid = IID_IOPCServerList;
  HRESULT hr = client_.Activate(CLSID_OpcServerList, {&iid, 1}, &got,
                                &results);
  if (FAILED(hr)) return hr;
  LPCOLESTR text = prog_id.c_str();
  CLSID* out = clsid;
  void* args[] = {&text, &out};
  HRESULT result = E_FAIL;
  hr = client_.Call(got[0], "CLSIDFromProgID", args, &result);
  client_.Release(got[0]);
  return FAILED(hr) ? hr : result;
}

HRESULT OpcSession::Status(ServerStatus* status) {
  OPCSERVERSTATUS* s = nullptr;
  OPCSERVERSTATUS** s_pointer = &s;
  void* args[] = {&s_pointer};
  HRESULT result = E_FAIL;
  HRESULT hr = client_.Call(server_, "GetStatus", args, &result);
  if (FAILED(hr)) return hr;
  if (FAILED(result) || !s) return FAILED(result) ? result : E_FAIL;
  status->start_time = s->ftStartTime;
  status->current_time = s->ftCurrentTime;
  status->last_update_time = s->ftLastUpdateTime;
  status->state = s->dwServerState;
  status->group_count = s->dwGroupCount;
  status->bandwidth = s->dwBandWidth;
  status->major = s->wMajorVersion;
  status->minor = s->wMinorVersion;
  status->build = s->wBuildNumber;
  status->vendor = Take(s->szVendorInfo);
  CoTaskMemFree(s);
  return S_OK;
}

HRESULT OpcSession::BrowseNames(const dcom::RemoteInterface& browse,
                                OPCBROWSETYPE type,
                                const std::u16string& filter,
                                std::vector<std::u16string>* names) {
  names->clear();
  LPCWSTR criteria = filter.c_str();
  VARTYPE vt = VT_EMPTY;
  DWORD rights = 0;
  IUnknown* strings = nullptr;
  IUnknown** strings_pointer = &strings;
  void* args[] = {&type, &criteria, &vt, &rights, &strings_pointer};
  HRESULT result = E_FAIL;
  HRESULT hr = client_.Call(browse, "BrowseOPCItemIDs", args, &result);
  if (FAILED(hr)) return hr;
  if (FAILED(result)) return result;
  if (!strings) return S_OK;  // S_FALSE: nothing matched
  dcom::RemoteInterface e;
  if (FAILED(hr = Adopt(strings, &e))) return hr;
  for (;;) {
    ULONG celt = kBatch, fetched = 0;
    std::vector<LPOLESTR> batch(kBatch, nullptr);
    LPOLESTR* batch_pointer = batch.data();
    ULONG* fetched_pointer = &fetched;
    void* next[] = {&celt, &batch_pointer, &fetched_pointer};
    hr = client_.Call(e, "Next", next, &result);
    if (FAILED(hr)) break;
    for (ULONG i = 0; i < std::min(fetched, kBatch); ++i) {
      names->push_back(Take(batch[i]));
    }
    if (result != S_OK || fetched == 0) break;
  }
  client_.Release(e);
  return hr;
}

HRESULT OpcSession::Walk(const dcom::RemoteInterface& browse,
                         const std::u16string& filter, int depth,
                         std::vector<std::u16string>* ids) {
  // Deeper than any address space of ours: a server that loops is cut off.
  if (depth > kMaxBrowseDepth) return S_OK;
  std::vector<std::u16string> leaves, branches;
  HRESULT hr = BrowseNames(browse, OPC_LEAF, filter, &leaves);
  if (SUCCEEDED(hr)) hr = BrowseNames(browse, OPC_BRANCH, u"", &branches);
  if (FAILED(hr)) return hr;
  for (const std::u16string& leaf : leaves) {
    LPCWSTR name = leaf.c_str();
    LPWSTR id = nullptr;
    LPWSTR* id_pointer = &id;
    void* args[] = {&name, &id_pointer};
    HRESULT result = E_FAIL;
    hr = client_.Call(browse, "GetItemID", args, &result);
    if (FAILED(hr)) return hr;
    if (SUCCEEDED(result)) ids->push_back(Take(id));
  }
  for (const std::u16string& branch : branches) {
    OPCBROWSEDIRECTION direction = OPC_BROWSE_DOWN;
    LPCWSTR name = branch.c_str();
    void* down[] = {&direction, &name};
    HRESULT result = E_FAIL;
    hr = client_.Call(browse, "ChangeBrowsePosition", down, &result);
    if (FAILED(hr)) return hr;
    if (FAILED(result)) continue;
    hr = Walk(browse, filter, depth + 1, ids);
    if (FAILED(hr)) return hr;
    direction = OPC_BROWSE_UP;
    LPCWSTR empty = u"";
    void* up[] = {&direction, &empty};
    hr = client_.Call(browse, "ChangeBrowsePosition", up, &result);
    if (FAILED(hr)) return hr;
    if (FAILED(result)) return result;
  }
  return S_OK;
}

HRESULT OpcSession::Browse(const std::u16string& filter,
                           std::vector<std::u16string>* ids) {
  ids->clear();
  dcom::RemoteInterface browse;
  HRESULT hr = Query(server_, IID_IOPCBrowseServerAddressSpace, &browse);
  if (FAILED(hr)) return hr;
  OPCNAMESPACETYPE organization = OPC_NS_FLAT;
  OPCNAMESPACETYPE* organization_pointer = &organization;
  void* args[] = {&organization_pointer};
  HRESULT result = E_FAIL;
  hr = client_.Call(browse, "QueryOrganization", args, &result);
  if (SUCCEEDED(hr) && FAILED(result)) hr = result;
  if (SUCCEEDED(hr)) {
    if (organization == OPC_NS_FLAT) {
      // A flat space's names are its item IDs.
      hr = BrowseNames(browse, OPC_FLAT, filter, ids);
    } else {
      OPCBROWSEDIRECTION to = OPC_BROWSE_TO;
      LPCWSTR root = u"";
      void* top[] = {&to, &root};
      hr = client_.Call(browse, "ChangeBrowsePosition", top, &result);
      if (SUCCEEDED(hr) && FAILED(result)) hr = result;
      if (SUCCEEDED(hr)) hr = Walk(browse, filter, 0, ids);
    }
  }
  client_.Release(browse);
  return hr;
}

HRESULT OpcSession::AddItems(const std::vector<std::u16string>& ids,
                             DWORD update_rate, std::vector<HRESULT>* errors,
                             DWORD* revised_rate) {
  errors->clear();
  if (ids.empty()) return E_INVALIDARG;
  LPCWSTR name = u"kavex-opc-client";
  BOOL active = TRUE;
  OPCHANDLE client_group = 1;
  LONG* time_bias = nullptr;
  FLOAT* deadband = nullptr;
  DWORD lcid = 0;
  OPCHANDLE* handle_pointer = &group_handle_;
  DWORD revised = 0;
  DWORD* revised_pointer = &revised;
  IID iid = IID_IOPCItemMgt;
  IUnknown* group = nullptr;
  IUnknown** group_pointer = &group;
  void* args[] = {&name,           &active,       &update_rate,
                  &client_group,   &time_bias,    &deadband,
                  &lcid,           &handle_pointer, &revised_pointer,
                  &iid,            &group_pointer};
  HRESULT result = E_FAIL;
  HRESULT hr = client_.Call(server_, "AddGroup", args, &result);
  if (FAILED(hr)) return hr;
  if (FAILED(result)) return result;
  if (revised_rate) *revised_rate = revised;
  if (FAILED(hr = Adopt(group, &group_))) return hr;
  if (FAILED(hr = Query(group_, IID_IOPCSyncIO, &sync_io_))) return hr;

  std::vector<OPCITEMDEF> defs(ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    defs[i].szAccessPath = const_cast<LPWSTR>(u"");
    defs[i].szItemID = const_cast<LPWSTR>(ids[i].c_str());
    defs[i].bActive = TRUE;
    defs[i].hClient = static_cast<OPCHANDLE>(i + 1);
    defs[i].vtRequestedDataType = VT_EMPTY;
  }
  DWORD count = static_cast<DWORD>(ids.size());
  OPCITEMDEF* defs_pointer = defs.data();
  OPCITEMRESULT* results = nullptr;
  HRESULT* item_errors = nullptr;
  OPCITEMRESULT** results_pointer = &results;
  HRESULT** errors_pointer = &item_errors;
  void* add[] = {&count, &defs_pointer, &results_pointer, &errors_pointer};
  hr = client_.Call(group_, "AddItems", add, &result);
  if (FAILED(hr)) return hr;
  if (FAILED(result)) return result;
  handles_.assign(ids.size(), 0);
  add_errors_.assign(ids.size(), E_FAIL);
  for (size_t i = 0; i < ids.size(); ++i) {
    add_errors_[i] = item_errors ? item_errors[i] : E_FAIL;
    if (results && SUCCEEDED(add_errors_[i])) {
      handles_[i] = results[i].hServer;
    }
    if (results) CoTaskMemFree(results[i].pBlob);
  }
  CoTaskMemFree(results);
  CoTaskMemFree(item_errors);
  *errors = add_errors_;
  return result;
}

HRESULT OpcSession::Read(OPCDATASOURCE source,
                         std::vector<ItemValue>* values) {
  values->clear();
  values->resize(handles_.size());
  std::vector<OPCHANDLE> handles;
  std::vector<size_t> index;
  for (size_t i = 0; i < handles_.size(); ++i) {
    (*values)[i].error = add_errors_[i];
    if (SUCCEEDED(add_errors_[i])) {
      handles.push_back(handles_[i]);
      index.push_back(i);
    }
  }
  if (handles.empty()) return S_FALSE;
  DWORD count = static_cast<DWORD>(handles.size());
  OPCHANDLE* handles_pointer = handles.data();
  OPCITEMSTATE* states = nullptr;
  HRESULT* errors = nullptr;
  OPCITEMSTATE** states_pointer = &states;
  HRESULT** errors_pointer = &errors;
  void* args[] = {&source, &count, &handles_pointer, &states_pointer,
                  &errors_pointer};
  HRESULT result = E_FAIL;
  HRESULT hr = client_.Call(sync_io_, "Read", args, &result);
  if (FAILED(hr)) return hr;
  if (FAILED(result)) return result;
  for (size_t k = 0; k < index.size(); ++k) {
    ItemValue& v = (*values)[index[k]];
    v.error = errors ? errors[k] : E_FAIL;
    if (states) {
      v.quality = states[k].wQuality;
      v.timestamp = states[k].ftTimeStamp;
      v.value = states[k].vDataValue;  // moved: not cleared below
    }
  }
  CoTaskMemFree(states);
  CoTaskMemFree(errors);
  bool all = true;
  for (const ItemValue& v : *values) all = all && SUCCEEDED(v.error);
  return all ? S_OK : S_FALSE;
}

HRESULT OpcSession::Write(const std::vector<std::u16string>& texts,
                          std::vector<HRESULT>* out) {
  *out = add_errors_;
  if (texts.size() != handles_.size()) return E_INVALIDARG;
  std::vector<OPCHANDLE> handles;
  std::vector<VARIANT> values;
  std::vector<size_t> index;
  for (size_t i = 0; i < handles_.size(); ++i) {
    if (FAILED(add_errors_[i])) continue;
    handles.push_back(handles_[i]);
    VARIANT v;
    VariantInit(&v);
    // The server converts the text to the item's canonical type.
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(texts[i].c_str());
    values.push_back(v);
    index.push_back(i);
  }
  HRESULT hr = S_FALSE;
  if (!handles.empty()) {
    DWORD count = static_cast<DWORD>(handles.size());
    OPCHANDLE* handles_pointer = handles.data();
    VARIANT* values_pointer = values.data();
    HRESULT* errors = nullptr;
    HRESULT** errors_pointer = &errors;
    void* args[] = {&count, &handles_pointer, &values_pointer,
                    &errors_pointer};
    HRESULT result = E_FAIL;
    hr = client_.Call(sync_io_, "Write", args, &result);
    if (SUCCEEDED(hr) && FAILED(result)) hr = result;
    if (SUCCEEDED(hr)) {
      for (size_t k = 0; k < index.size(); ++k) {
        (*out)[index[k]] = errors ? errors[k] : E_FAIL;
      }
      hr = result;
    }
    CoTaskMemFree(errors);
  }
  for (VARIANT& v : values) VariantClear(&v);
  if (FAILED(hr)) return hr;
  for (HRESULT e : *out) {
    if (FAILED(e)) return S_FALSE;
  }
  return S_OK;
}

void OpcSession::Close() {
  if (group_.valid()) {
    client_.Release(sync_io_);
    client_.Release(group_);
    OPCHANDLE handle = group_handle_;
    BOOL force = TRUE;
    void* args[] = {&handle, &force};
    HRESULT result = E_FAIL;
    client_.Call(server_, "RemoveGroup", args, &result);
    group_ = {};
    sync_io_ = {};
  }
  server_ = {};
  client_.Close();
}

}  // namespace kavex::opc_client
