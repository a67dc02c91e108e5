#include "server/objects/group_object.h"

#include <vector>

#include "platform/opc/opc_error.h"
#include "platform/sync/clock.h"
#include "server/objects/com_error.h"
#include "server/objects/enum_item_attributes.h"
#include "server/objects/server_object.h"
#include "server/objects/task_array.h"
#include "server/objects/trace_log.h"

namespace kavex::server {

bool IsGroupLocale(DWORD lcid) {
  return lcid == 0 || lcid == 1033 || lcid == 2048;
}

HRESULT ReviseUpdateRate(DWORD requested, DWORD* revised) {
  DWORD rate = requested / 100 * 100;
  if (rate < 100) rate = 100;
  *revised = rate;
  return rate == requested ? S_OK : OPC_S_UNSUPPORTEDRATE;
}

bool IsPercentDeadband(FLOAT deadband) {
  return deadband >= 0.0f && deadband <= 100.0f;
}

namespace {

// A client call on a group: E_FAIL once the group is removed, the thread's
// error info and the call's error line on failure.
template <class Body>
HRESULT GroupCall(CGroup* group, REFIID iid, std::u16string_view source,
                  const char* error_line, Body&& body) {
  const HRESULT hr = InterfaceCall(iid, source, [&] {
    if (group->removed()) ThrowHr(E_FAIL);
    return body();
  });
  if (FAILED(hr) && error_line != nullptr)
    Trace(kTraceError, group, hr, error_line);
  return hr;
}

// A VARIANT of this type holds memory or a reference VariantClear frees.
bool OwnsData(VARTYPE vt) {
  return vt == VT_BSTR || vt == VT_UNKNOWN || vt == VT_DISPATCH ||
         vt == VT_VARIANT || vt == VT_RECORD || (vt & VT_ARRAY) != 0;
}

FILETIME Now() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  return now;
}

}  // namespace

CGroup::CGroup() {
  callback_point_ = AddConnectionPoint(IID_IOPCDataCallback);
  // A new sink, and every sink already there, gets all active items.
  callback_point_->SetOnAdvise([this](DWORD) { SendForcedDataChange(); });
}

HRESULT CGroup::FinalConstruct() {
  Trace(kTraceStep, this, S_OK,
        "CGroup::FinalConstruct: Initialize Critical Sections");
  Trace(kTraceDone, this, S_OK, "CGroup::FinalConstruct: Done");
  return S_OK;
}

void CGroup::FinalRelease() {
  Trace(kTraceStep, this, S_OK, "CGroup::FinalRelease: Remove All Items");
  {
    std::unique_lock<std::shared_mutex> lock(items_mu_);
    items_.ForEach([this](ItemRecord& record) { Unregister(record); });
    items_.Clear();
  }
  std::map<DWORD, Connection> connections;
  {
    std::lock_guard<std::mutex> lock(advise_mu_);
    connections.swap(connections_);
  }
  connections.clear();
  callback_point_->DisconnectAll();
  Trace(kTraceStep, this, S_OK,
        "CGroup::FinalRelease: Delete Critical Sections");
  Trace(kTraceDone, this, S_OK, "CGroup::FinalRelease: Done");
}

void CGroup::SetOwner(std::shared_ptr<GroupOwner> owner,
                      std::shared_ptr<ItemRegistry> registry) {
  owner_ = std::move(owner);
  registry_ = std::move(registry);
}

void CGroup::SetActive(bool active) {
  std::lock_guard<std::mutex> lock(state_mu_);
  active_.store(active, std::memory_order_release);
}

HRESULT CGroup::SetUpdateRate(DWORD requested) {
  std::lock_guard<std::mutex> lock(state_mu_);
  return ReviseUpdateRate(requested, &update_rate_);
}

void CGroup::SetGroupName(std::u16string name) {
  std::lock_guard<std::mutex> lock(state_mu_);
  name_ = std::move(name);
}

void CGroup::SetTimeBias(LONG bias) {
  std::lock_guard<std::mutex> lock(state_mu_);
  time_bias_ = bias;
}

void CGroup::SetLocale(DWORD lcid) {
  std::lock_guard<std::mutex> lock(state_mu_);
  locale_ = lcid;
}

void CGroup::SetPercentDeadband(FLOAT deadband) {
  std::lock_guard<std::mutex> lock(state_mu_);
  percent_deadband_ = deadband;
}

void CGroup::SetClientGroupHandle(OPCHANDLE handle) {
  std::lock_guard<std::mutex> lock(state_mu_);
  client_handle_ = handle;
}

void CGroup::SetServerGroupHandle(OPCHANDLE handle) {
  std::lock_guard<std::mutex> lock(state_mu_);
  server_handle_ = handle;
}

void CGroup::SetDevice(com::ComPtr<IKavexOPCDevice> device) {
  device_ = std::move(device);
  device_reads_.Reset();
  if (device_)
    device_->QueryInterface(
        IID__IKavexOPCDeviceReads,
        reinterpret_cast<void**>(device_reads_.GetAddressOf()));
}

std::u16string CGroup::name() const {
  std::lock_guard<std::mutex> lock(state_mu_);
  return name_;
}

OPCHANDLE CGroup::server_handle() const {
  std::lock_guard<std::mutex> lock(state_mu_);
  return server_handle_;
}

DWORD CGroup::update_rate() const {
  std::lock_guard<std::mutex> lock(state_mu_);
  return update_rate_;
}

ULONG CGroup::ReferenceCount() {
  const ULONG with_ours = AddRef();
  Release();
  return with_ours - 1;
}

size_t CGroup::ItemCount() {
  std::shared_lock<std::shared_mutex> lock(items_mu_);
  return items_.size();
}

void CGroup::Unregister(ItemRecord& record) {
  if (registry_) registry_->Unregister(&record);
}

void CGroup::CacheGoodValue(ItemRecord& record, const VARIANT& value,
                            const FILETIME& now) {
  record.timestamp = now;
  record.quality = OPC_QUALITY_GOOD;
  const HRESULT hr = VariantCopy(&record.value, &value);
  if (FAILED(hr)) {
    record.value.vt = VT_ERROR;
    record.value.scode = hr;
  }
}

void CGroup::Change(ItemRecord& record, const VARIANT& value,
                    const FILETIME& now) {
  if (TraceEnabled(kTraceStep))
    Trace(kTraceStep, this, S_OK, "CGroup::Change: Start", name());
  {
    std::lock_guard<std::mutex> lock(value_mu_);
    CacheGoodValue(record, value, now);
  }
  if (TraceEnabled(kTraceDone))
    Trace(kTraceDone, this, S_OK, "CGroup::Change: Done", name());
}

HRESULT CGroup::AskDevice(ItemRecord& record, VARIANT* value) {
  if (TraceEnabled(kTraceStep))
    Trace(kTraceStep, this, S_OK, "CGroup::ReadDevice: Start", record.id());
  if (!record.readable()) return OPC_E_BADRIGHTS;
  return device_ ? device_->Read(record.item_id, value) : E_FAIL;
}

void CGroup::CacheDeviceAnswer(ItemRecord& record, HRESULT answer,
                               VARIANT* value, const FILETIME& now) {
  if (SUCCEEDED(answer)) {
    // The read value is ours: it moves into the cache.
    record.timestamp = now;
    // Most cached values own nothing: the call to clear them is saved.
    if (OwnsData(record.value.vt)) VariantClear(&record.value);
    record.value = *value;
    record.quality = OPC_QUALITY_GOOD;
  } else {
    VariantClear(value);
    record.quality = OPC_QUALITY_BAD;
  }
  value->vt = VT_EMPTY;
  if (TraceEnabled(kTraceDone))
    Trace(kTraceDone, this, answer, "CGroup::ReadDevice: Done", record.id());
}

HRESULT CGroup::ReadDevice(ItemRecord& record) {
  const FILETIME now = Now();
  com::Variant value;
  const HRESULT hr = AskDevice(record, &value);
  std::lock_guard<std::mutex> lock(value_mu_);
  CacheDeviceAnswer(record, hr, &value, now);
  return hr;
}

HRESULT CGroup::WriteDevice(ItemRecord& record, const VARIANT& value) {
  Trace(kTraceStep, this, S_OK, "CGroup::WriteDevice: Start", record.id());
  com::Variant copy;
  // A value that cannot be copied fails the item: as a VT_ERROR it would
  // reach a numeric item as the number of its error code.
  HRESULT hr = VariantCopy(&copy, &value);
  if (!record.writable()) {
    hr = OPC_E_BADRIGHTS;
  } else if (SUCCEEDED(hr)) {
    hr = copy.ChangeType(record.canonical_type);
    if (SUCCEEDED(hr))
      hr = device_ ? device_->Write(record.item_id, copy) : E_FAIL;
  }
  if (SUCCEEDED(hr)) {
    // The cache takes the value the device was given, in the item's
    // canonical type, so cache reads keep answering in the type AddItems
    // reported.
    const FILETIME now = Now();
    std::lock_guard<std::mutex> lock(value_mu_);
    CacheGoodValue(record, copy, now);
  }
  Trace(kTraceDone, this, hr, "CGroup::WriteDevice: Done", record.id());
  return hr;
}

// IOPCGroupStateMgt.

HRESULT CGroup::GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName,
                         LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD* pLCID,
                         OPCHANDLE* phClientGroup, OPCHANDLE* phServerGroup) {
  const HRESULT hr =
      GroupCall(this, IID_IOPCGroupStateMgt, u"CGroup::GetState", nullptr, [&] {
        if (ppName != nullptr) *ppName = nullptr;
        if (pUpdateRate == nullptr || pActive == nullptr || ppName == nullptr ||
            pTimeBias == nullptr || pPercentDeadband == nullptr ||
            pLCID == nullptr || phClientGroup == nullptr ||
            phServerGroup == nullptr)
          ThrowHr(E_INVALIDARG);
        std::lock_guard<std::mutex> lock(state_mu_);
        LPWSTR name = TaskStringCopy(name_);
        if (name == nullptr) ThrowHr(E_OUTOFMEMORY);
        *pUpdateRate = update_rate_;
        *pActive = active() ? TRUE : FALSE;
        *ppName = name;
        *pTimeBias = time_bias_;
        *pPercentDeadband = percent_deadband_;
        *pLCID = locale_;
        *phClientGroup = client_handle_;
        *phServerGroup = server_handle_;
        return S_OK;
      });
  if (SUCCEEDED(hr))
    Trace(kTraceDone, this, hr, "CGroup::GetState: Done");
  else if (TraceEnabled(kTraceError))
    Trace(kTraceError, this, hr, "CGroup::GetState: Error", name());
  return hr;
}

HRESULT CGroup::SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate,
                         BOOL* pActive, LONG* pTimeBias,
                         FLOAT* pPercentDeadband, DWORD* pLCID,
                         OPCHANDLE* phClientGroup) {
  return GroupCall(
      this, IID_IOPCGroupStateMgt, u"CGroup::SetState", nullptr, [&] {
        // Each setting is applied in turn; one that is refused
        // leaves the earlier ones applied.
        HRESULT result = S_OK;
        if (pRequestedUpdateRate != nullptr)
          result = SetUpdateRate(*pRequestedUpdateRate);
        if (pRevisedUpdateRate != nullptr) {
          std::lock_guard<std::mutex> lock(state_mu_);
          *pRevisedUpdateRate = update_rate_;
        }
        if (pActive != nullptr) {
          bool activated;
          {
            std::lock_guard<std::mutex> lock(state_mu_);
            activated = !active() && *pActive != FALSE;
            active_.store(*pActive != FALSE, std::memory_order_release);
          }
          // Going active sends every active item at once.
          if (activated) SendForcedDataChange();
        }
        if (pTimeBias != nullptr) SetTimeBias(*pTimeBias);
        if (pPercentDeadband != nullptr) {
          if (!IsPercentDeadband(*pPercentDeadband)) ThrowHr(E_INVALIDARG);
          SetPercentDeadband(*pPercentDeadband);
        }
        if (pLCID != nullptr) {
          if (!IsGroupLocale(*pLCID)) ThrowHr(E_INVALIDARG);
          SetLocale(*pLCID);
        }
        if (phClientGroup != nullptr) SetClientGroupHandle(*phClientGroup);
        Trace(kTraceDone, this, result, "CGroup::SetState: Done");
        return result;
      });
}

HRESULT CGroup::SetName(LPCWSTR szName) {
  const HRESULT hr =
      GroupCall(this, IID_IOPCGroupStateMgt, u"CGroup::SetName",
                "CGroup::SetName: Error", [&] {
                  if (szName == nullptr) ThrowHr(E_INVALIDARG);
                  // The server renames under its group lock, which comes before
                  // this group's locks; none of them is held here.
                  if (!owner_) ThrowHr(E_FAIL);
                  return owner_->WithServer([&](CServer& server) {
                    return server.RenameGroup(this, szName);
                  });
                });
  if (SUCCEEDED(hr)) Trace(kTraceDone, this, hr, "CGroup::SetName: Done");
  return hr;
}

HRESULT CGroup::CloneGroup(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) {
  return GroupCall(
      this, IID_IOPCGroupStateMgt, u"CGroup::CloneGroup", nullptr, [&] {
        if (ppUnk != nullptr) *ppUnk = nullptr;
        if (szName == nullptr || ppUnk == nullptr) ThrowHr(E_INVALIDARG);
        if (!owner_) ThrowHr(E_FAIL);
        DWORD rate;
        OPCHANDLE client_handle;
        LONG bias;
        FLOAT deadband;
        DWORD locale;
        {
          std::lock_guard<std::mutex> lock(state_mu_);
          rate = update_rate_;
          client_handle = client_handle_;
          bias = time_bias_;
          deadband = percent_deadband_;
          locale = locale_;
        }
        com::ComPtr<IUnknown> clone;
        OPCHANDLE clone_handle = 0;
        DWORD revised = 0;
        HRESULT hr = owner_->WithServer([&](CServer& server) {
          return server.AddGroup(szName, FALSE, rate, client_handle, &bias,
                                 &deadband, locale, &clone_handle, &revised,
                                 riid, clone.GetAddressOf());
        });
        ThrowIfFailed(hr);

        // The definitions of the items, in handle order; the records stay
        // referenced while the clone adds them.
        std::vector<std::shared_ptr<ItemRecord>> records;
        std::vector<OPCITEMDEF> definitions;
        {
          std::shared_lock<std::shared_mutex> items(items_mu_);
          std::lock_guard<std::mutex> values(value_mu_);
          records.reserve(items_.size());
          definitions.reserve(items_.size());
          items_.ForEach([&](ItemRecord& record) {
            records.push_back(items_.FindShared(record.handle));
            OPCITEMDEF definition{};
            definition.szAccessPath = const_cast<LPWSTR>(u"");
            definition.szItemID = record.item_id;
            definition.bActive = record.active ? TRUE : FALSE;
            definition.hClient = record.client_handle;
            definition.vtRequestedDataType = record.requested_type;
            definitions.push_back(definition);
          });
        }
        if (!definitions.empty()) {
          com::ComPtr<IOPCItemMgt> items;
          HRESULT added = clone.As(&items);
          if (SUCCEEDED(added)) {
            OPCITEMRESULT* results = nullptr;
            HRESULT* errors = nullptr;
            added = items->AddItems(static_cast<DWORD>(definitions.size()),
                                    definitions.data(), &results, &errors);
            CoTaskMemFree(results);
            CoTaskMemFree(errors);
          }
          if (FAILED(added)) {
            // The clone must not stay behind in the server without a client.
            items.Reset();
            clone.Reset();
            owner_->WithServer([&](CServer& server) {
              return server.RemoveGroup(clone_handle, TRUE);
            });
            ThrowHr(added);
          }
          hr = added;
        }
        *ppUnk = clone.Detach();
        return hr;
      });
}

// IOPCItemMgt.

HRESULT CGroup::CheckItems(bool add, DWORD count, const OPCITEMDEF* definitions,
                           OPCITEMRESULT** results_out, HRESULT** errors_out) {
  Trace(kTraceStep, this, S_OK,
        add ? "CGroup::AddItems: Allocate Results"
            : "CGroup::ValidateItems: Allocate Results");
  TaskArray<OPCITEMRESULT> results;
  TaskArray<HRESULT> errors;
  if (!results.Allocate(count) || !errors.Allocate(count))
    ThrowHr(E_OUTOFMEMORY);
  if (!device_) ThrowHr(E_FAIL);
  HRESULT overall = S_OK;
  std::unique_lock<std::shared_mutex> lock(items_mu_, std::defer_lock);
  if (add) {
    lock.lock();
    Trace(kTraceStep, this, S_OK, "CGroup::AddItems: Loop through Items");
    try {
      items_.ReserveMore(count);
    } catch (const std::bad_alloc&) {
      // The table then grows item by item.
    }
  }
  for (DWORD i = 0; i < count; ++i) {
    const OPCITEMDEF& definition = definitions[i];
    if (add && TraceEnabled(kTraceDetail)) {
      Trace(kTraceDetail, this, S_OK, "CGroup::AddItems: Add Item",
            definition.szItemID ? std::u16string_view(definition.szItemID)
                                : std::u16string_view());
    }
    HRESULT hr = S_OK;
    com::Bstr id(definition.szItemID);
    USHORT type = VT_EMPTY;
    ULONG rights = 0;
    if (definition.szItemID != nullptr && id.Get() == nullptr)
      hr = E_OUTOFMEMORY;
    else
      hr = device_->GetItemProperties(id.Get(), &type, &rights);
    OPCHANDLE handle = 0;
    if (SUCCEEDED(hr) && add) {
      handle = next_item_handle_++;
      try {
        auto record = std::make_shared<ItemRecord>(
            this, handle, std::move(id), type, rights,
            definition.vtRequestedDataType, definition.hClient,
            definition.bActive != FALSE);
        ItemRecord* raw = record.get();
        items_.Append(std::move(record));
        try {
          if (registry_) registry_->Register(raw);
        } catch (...) {
          items_.Take(handle);
          throw;
        }
      } catch (const std::bad_alloc&) {
        hr = E_OUTOFMEMORY;
      }
    }
    if (FAILED(hr)) {
      errors[i] = hr;
      overall = S_FALSE;
      continue;
    }
    results[i].hServer = handle;
    results[i].vtCanonicalDataType = type;
    results[i].dwAccessRights = rights;
    errors[i] = S_OK;
  }
  if (add) {
    Trace(kTraceStep, this, S_OK, "CGroup::AddItems: Loop Done");
    lock.unlock();
  }
  *results_out = results.Release();
  *errors_out = errors.Release();
  Trace(kTraceDone, this, overall,
        add ? "CGroup::AddItems: Done" : "CGroup::ValidateItems: Done");
  return overall;
}

HRESULT CGroup::AddItems(DWORD dwCount, OPCITEMDEF* pItemArray,
                         OPCITEMRESULT** ppAddResults, HRESULT** ppErrors) {
  return GroupCall(this, IID_IOPCItemMgt, u"CGroup::AddItems",
                   "CGroup::AddItems: Error", [&] {
                     if (ppAddResults != nullptr) *ppAddResults = nullptr;
                     if (ppErrors != nullptr) *ppErrors = nullptr;
                     if (dwCount == 0 || pItemArray == nullptr ||
                         ppAddResults == nullptr || ppErrors == nullptr)
                       ThrowHr(E_INVALIDARG);
                     return CheckItems(true, dwCount, pItemArray, ppAddResults,
                                       ppErrors);
                   });
}

HRESULT CGroup::ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray,
                              BOOL /*bBlobUpdate*/,
                              OPCITEMRESULT** ppValidationResults,
                              HRESULT** ppErrors) {
  return GroupCall(this, IID_IOPCItemMgt, u"CGroup::ValidateItems",
                   "CGroup::ValidateItems: Error", [&] {
                     if (ppValidationResults != nullptr)
                       *ppValidationResults = nullptr;
                     if (ppErrors != nullptr) *ppErrors = nullptr;
                     if (dwCount == 0 || pItemArray == nullptr ||
                         ppValidationResults == nullptr || ppErrors == nullptr)
                       ThrowHr(E_INVALIDARG);
                     return CheckItems(false, dwCount, pItemArray,
                                       ppValidationResults, ppErrors);
                   });
}

HRESULT CGroup::RemoveItems(DWORD dwCount, OPCHANDLE* phServer,
                            HRESULT** ppErrors) {
  return GroupCall(
      this, IID_IOPCItemMgt, u"CGroup::RemoveItems",
      "CGroup::RemoveItems: Error", [&] {
        if (ppErrors != nullptr) *ppErrors = nullptr;
        if (dwCount == 0 || phServer == nullptr || ppErrors == nullptr)
          ThrowHr(E_INVALIDARG);
        Trace(kTraceStep, this, S_OK, "CGroup::RemoveItems: Allocate Results");
        TaskArray<HRESULT> errors;
        if (!errors.Allocate(dwCount)) ThrowHr(E_OUTOFMEMORY);
        HRESULT overall = S_OK;
        {
          std::unique_lock<std::shared_mutex> lock(items_mu_);
          Trace(kTraceStep, this, S_OK,
                "CGroup::RemoveItems: Loop through Items");
          for (DWORD i = 0; i < dwCount; ++i) {
            std::shared_ptr<ItemRecord> record = items_.Take(phServer[i]);
            if (!record) {
              errors[i] = OPC_E_INVALIDHANDLE;
              overall = S_FALSE;
              continue;
            }
            Unregister(*record);
            errors[i] = S_OK;
          }
          items_.Compact();
          Trace(kTraceStep, this, S_OK,
                "CGroup::RemoveItems: Loop through Items Done");
        }
        *ppErrors = errors.Release();
        Trace(kTraceDone, this, overall, "CGroup::RemoveItems: Done");
        return overall;
      });
}

template <class Set>
HRESULT CGroup::ForEachHandle(DWORD count, const OPCHANDLE* handles,
                              HRESULT** errors_out, Set&& set) {
  TaskArray<HRESULT> errors;
  if (!errors.Allocate(count)) ThrowHr(E_OUTOFMEMORY);
  HRESULT overall = S_OK;
  {
    std::shared_lock<std::shared_mutex> items(items_mu_);
    std::lock_guard<std::mutex> values(value_mu_);
    for (DWORD i = 0; i < count; ++i) {
      ItemRecord* record = items_.Find(handles[i]);
      if (record == nullptr) {
        errors[i] = OPC_E_INVALIDHANDLE;
        overall = S_FALSE;
        continue;
      }
      set(*record, i);
      errors[i] = S_OK;
    }
  }
  *errors_out = errors.Release();
  return overall;
}

HRESULT CGroup::SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive,
                               HRESULT** ppErrors) {
  return GroupCall(
      this, IID_IOPCItemMgt, u"CGroup::SetActiveState", nullptr, [&] {
        if (ppErrors != nullptr) *ppErrors = nullptr;
        if (dwCount == 0 || phServer == nullptr || ppErrors == nullptr)
          ThrowHr(E_INVALIDARG);
        // No notification: the next update tick reads the items.
        return ForEachHandle(dwCount, phServer, ppErrors,
                             [&](ItemRecord& record, DWORD) {
                               record.active = bActive != FALSE;
                             });
      });
}

HRESULT CGroup::SetClientHandles(DWORD dwCount, OPCHANDLE* phServer,
                                 OPCHANDLE* phClient, HRESULT** ppErrors) {
  return GroupCall(this, IID_IOPCItemMgt, u"CGroup::SetClientHandles", nullptr,
                   [&] {
                     if (ppErrors != nullptr) *ppErrors = nullptr;
                     if (dwCount == 0 || phServer == nullptr ||
                         phClient == nullptr || ppErrors == nullptr)
                       ThrowHr(E_INVALIDARG);
                     return ForEachHandle(dwCount, phServer, ppErrors,
                                          [&](ItemRecord& record, DWORD i) {
                                            record.client_handle = phClient[i];
                                          });
                   });
}

HRESULT CGroup::SetDatatypes(DWORD dwCount, OPCHANDLE* phServer,
                             VARTYPE* pRequestedDatatypes, HRESULT** ppErrors) {
  return GroupCall(
      this, IID_IOPCItemMgt, u"CGroup::SetDatatypes", nullptr, [&] {
        if (ppErrors != nullptr) *ppErrors = nullptr;
        if (dwCount == 0 || phServer == nullptr ||
            pRequestedDatatypes == nullptr || ppErrors == nullptr)
          ThrowHr(E_INVALIDARG);
        // No type is refused here: a conversion that cannot be made shows
        // when the item is read.
        return ForEachHandle(dwCount, phServer, ppErrors,
                             [&](ItemRecord& record, DWORD i) {
                               record.requested_type = pRequestedDatatypes[i];
                             });
      });
}

HRESULT CGroup::CreateEnumerator(REFIID riid, LPUNKNOWN* ppUnk) {
  return GroupCall(
      this, IID_IOPCItemMgt, u"CGroup::CreateEnumerator", nullptr, [&] {
        if (ppUnk != nullptr) *ppUnk = nullptr;
        if (ppUnk == nullptr || riid != IID_IEnumOPCItemAttributes)
          ThrowHr(E_INVALIDARG);
        std::vector<ItemAttributes> snapshot;
        {
          std::shared_lock<std::shared_mutex> items(items_mu_);
          std::lock_guard<std::mutex> values(value_mu_);
          snapshot.reserve(items_.size());
          items_.ForEach([&](const ItemRecord& record) {
            ItemAttributes a;
            a.item_id = record.id();
            a.active = record.active ? TRUE : FALSE;
            a.client_handle = record.client_handle;
            a.server_handle = record.handle;
            a.access_rights = record.access_rights;
            a.requested_type = record.requested_type;
            a.canonical_type = record.canonical_type;
            snapshot.push_back(std::move(a));
          });
        }
        IEnumOPCItemAttributes* enumerator = nullptr;
        ThrowIfFailed(
            CEnumOPCItemAttributes::Create(std::move(snapshot), &enumerator));
        *ppUnk = enumerator;  // its only interface: the same pointer
        return S_OK;
      });
}

}  // namespace kavex::server
