// IOPCSyncIO of CGroup, and the client-value rules.
#include "server/objects/sync_io.h"

#include <cstring>
#include <memory>
#include <vector>

#include "platform/opc/opc_error.h"
#include "platform/sync/clock.h"
#include "server/objects/com_error.h"
#include "server/objects/group_object.h"
#include "server/objects/task_array.h"
#include "server/objects/trace_log.h"

namespace kavex::server {

namespace {

// `length` characters at `text` as a string of `texts`, or of its own.
BSTR NewText(const OLECHAR* text, UINT length, com::BstrBlock* texts) {
  return texts != nullptr ? texts->Add(text, length)
                          : SysAllocStringLen(text, length);
}

}  // namespace

HRESULT ClientValue(const ItemRecord& record, VARIANT* out,
                    com::BstrBlock* texts) {
  VariantInit(out);
  if (!record.readable()) return OPC_E_BADRIGHTS;
  const VARTYPE requested = record.requested_type;
  if (record.value.vt == VT_BSTR &&
      (requested == VT_EMPTY || requested == VT_BSTR)) {
    // The common text case, without VariantCopy's general steps. Clients
    // get a string they can read, not the cache's null one.
    const BSTR text = record.value.bstrVal;
    out->bstrVal = text != nullptr ? NewText(text, SysStringLen(text), texts)
                                   : NewText(u"", 0, texts);
    if (out->bstrVal == nullptr) return E_OUTOFMEMORY;
    out->vt = VT_BSTR;
    return S_OK;
  }
  HRESULT hr = VariantCopy(out, &record.value);
  if (FAILED(hr)) return hr;
  // Clients get a string they can read, not the cache's null one.
  if (out->vt == VT_BSTR && out->bstrVal == nullptr) {
    out->bstrVal = SysAllocStringLen(u"", 0);
    if (out->bstrVal == nullptr) {
      out->vt = VT_EMPTY;
      return E_OUTOFMEMORY;
    }
  }
  if (record.requested_type != VT_EMPTY && record.requested_type != out->vt) {
    hr = VariantChangeType(out, out, 0, record.requested_type);
    if (FAILED(hr)) {
      VariantClear(out);
      return hr;
    }
  }
  if (texts != nullptr && out->vt == VT_BSTR) {
    // A string made above moves into `texts`.
    const BSTR made = out->bstrVal;
    out->bstrVal = texts->Add(made, SysStringLen(made));
    SysFreeString(made);
    if (out->bstrVal == nullptr) {
      out->vt = VT_EMPTY;
      return E_OUTOFMEMORY;
    }
  }
  return S_OK;
}

WORD ClientQuality(const ItemRecord& record, bool group_active,
                   OPCDATASOURCE source) {
  if (source == OPC_DS_CACHE && !(record.active && group_active))
    return OPC_QUALITY_OUT_OF_SERVICE;
  return record.quality;
}

namespace {

// One entry of a read from the cache: the caller holds the item-value
// lock. Returns the entry's error.
HRESULT FillState(const ItemRecord& record, bool group_active,
                  OPCDATASOURCE source, OPCITEMSTATE* state) {
  state->hClient = record.client_handle;
  state->ftTimeStamp = record.timestamp;
  state->wQuality = ClientQuality(record, group_active, source);
  return ClientValue(record, &state->vDataValue);
}

void TraceReadItem(const CGroup* group, const ItemRecord& record) {
  if (TraceEnabled(kTraceDetail))
    Trace(kTraceDetail, group, S_OK, "CGroup::Read (Sync): Read item",
          record.id());
}

}  // namespace

HRESULT CGroup::Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                     OPCITEMSTATE** ppItemValues, HRESULT** ppErrors) {
  const HRESULT hr = InterfaceCall(IID_IOPCSyncIO, u"CGroup::Read", [&] {
    if (removed()) ThrowHr(E_FAIL);
    if (ppItemValues != nullptr) *ppItemValues = nullptr;
    if (ppErrors != nullptr) *ppErrors = nullptr;
    if (phServer == nullptr || ppItemValues == nullptr || ppErrors == nullptr ||
        dwCount == 0 || (dwSource != OPC_DS_CACHE && dwSource != OPC_DS_DEVICE))
      ThrowHr(E_INVALIDARG);
    Trace(kTraceStep, this, S_OK, "CGroup::Read (Sync): Allocate Results");
    TaskArray<OPCITEMSTATE> states;
    TaskArray<HRESULT> errors;
    if (!states.Allocate(dwCount) || !errors.Allocate(dwCount))
      ThrowHr(E_OUTOFMEMORY);
    Trace(kTraceStep, this, S_OK, "CGroup::Read (Sync): Loop through items");
    HRESULT overall = S_OK;
    auto fail = [&](DWORD i, HRESULT error) {
      errors[i] = error;
      overall = S_FALSE;
    };
    if (dwSource == OPC_DS_CACHE) {
      // A cache read never calls the device: one pass under the locks.
      std::shared_lock<std::shared_mutex> items(items_mu_);
      const bool group_active = active();
      std::lock_guard<std::mutex> values(value_mu_);
      for (DWORD i = 0; i < dwCount; ++i) {
        const ItemRecord* record = items_.Find(phServer[i]);
        if (record == nullptr) {
          fail(i, OPC_E_INVALIDHANDLE);
          continue;
        }
        TraceReadItem(this, *record);
        const HRESULT error =
            FillState(*record, group_active, OPC_DS_CACHE, &states[i]);
        if (FAILED(error)) fail(i, error);
      }
    } else {
      // The device is called outside the group's locks, so the records
      // are held while it answers; one removed meanwhile is still read.
      std::vector<std::shared_ptr<ItemRecord>> records(dwCount);
      {
        std::shared_lock<std::shared_mutex> items(items_mu_);
        for (DWORD i = 0; i < dwCount; ++i) {
          records[i] = items_.FindShared(phServer[i]);
          if (!records[i]) errors[i] = OPC_E_INVALIDHANDLE;
        }
      }
      overall = ReadFromDevice(records, states.get(), errors.get());
    }
    Trace(kTraceStep, this, S_OK, "CGroup::Read (Sync): Loop Done");
    *ppItemValues = states.Release();
    *ppErrors = errors.Release();
    Trace(kTraceDone, this, overall, "CGroup::Read (Sync): Done");
    return overall;
  });
  if (FAILED(hr)) Trace(kTraceError, this, hr, "CGroup::Read (Sync): Error");
  return hr;
}

HRESULT CGroup::ReadFromDevice(
    const std::vector<std::shared_ptr<ItemRecord>>& records,
    OPCITEMSTATE* states, HRESULT* errors) {
  // One time for the whole call, taken before the device is asked: the
  // items are read within a fraction of the clock's resolution, and the
  // clock is not read a thousand times for it.
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  const size_t count = records.size();
  // The answers wait in the client's value slots for the cache, a batch at
  // a time when the device reads many items in one call. With step traces
  // each item is traced as it is read.
  if (TraceEnabled(kTraceStep)) {
    for (size_t i = 0; i < count; ++i) {
      if (!records[i]) continue;
      TraceReadItem(this, *records[i]);
      errors[i] = AskDevice(*records[i], &states[i].vDataValue);
    }
  } else {
    constexpr size_t kBatch = 256;
    ItemRecord* batch[kBatch];
    BSTR ids[kBatch];
    size_t positions[kBatch];
    VARIANT answers[kBatch];
    HRESULT results[kBatch];
    size_t filled = 0;
    auto flush = [&] {
      for (size_t j = 0; j < filled; ++j) answers[j].vt = VT_EMPTY;
      AskDeviceMany(filled, batch, ids, answers, results);
      for (size_t j = 0; j < filled; ++j) {
        states[positions[j]].vDataValue = answers[j];
        errors[positions[j]] = results[j];
      }
      filled = 0;
    };
    for (size_t i = 0; i < count; ++i) {
      if (!records[i]) continue;
      TraceReadItem(this, *records[i]);
      batch[filled] = records[i].get();
      positions[filled] = i;
      if (++filled == kBatch) flush();
    }
    if (filled != 0) flush();
  }
  HRESULT overall = S_OK;
  const bool group_active = active();
  std::lock_guard<std::mutex> values(value_mu_);
  for (size_t i = 0; i < count; ++i) {
    if (!records[i]) {
      overall = S_FALSE;
      continue;
    }
    ItemRecord& record = *records[i];
    VARIANT& answer = states[i].vDataValue;
    if (SUCCEEDED(errors[i]) && CacheTextInPlace(record, answer, now)) {
      // The answer is a fresh string equal to the cache: when the client
      // asked for the canonical text it is the client's value itself.
      const VARTYPE requested = record.requested_type;
      if (requested == VT_EMPTY || requested == VT_BSTR) {
        states[i].hClient = record.client_handle;
        states[i].ftTimeStamp = record.timestamp;
        states[i].wQuality =
            ClientQuality(record, group_active, OPC_DS_DEVICE);
        errors[i] = S_OK;
        continue;
      }
      VariantClear(&answer);
    } else {
      CacheDeviceAnswer(record, errors[i], &answer, now);
    }
    if (FAILED(errors[i])) {
      overall = S_FALSE;  // the entry's state stays zero
      continue;
    }
    errors[i] = FillState(record, group_active, OPC_DS_DEVICE, &states[i]);
    if (FAILED(errors[i])) overall = S_FALSE;
  }
  return overall;
}

bool CGroup::CacheTextInPlace(ItemRecord& record, const VARIANT& answer,
                              const FILETIME& now) {
  VARIANT& cached = record.value;
  if (answer.vt != VT_BSTR || cached.vt != VT_BSTR ||
      answer.bstrVal == nullptr || cached.bstrVal == nullptr)
    return false;
  const UINT length = SysStringLen(answer.bstrVal);
  if (SysStringLen(cached.bstrVal) != length) return false;
  if (length != 0)
    std::memcpy(cached.bstrVal, answer.bstrVal, 2 * size_t{length});
  record.timestamp = now;
  record.quality = OPC_QUALITY_GOOD;
  if (TraceEnabled(kTraceDone))
    Trace(kTraceDone, this, S_OK, "CGroup::ReadDevice: Done", record.id());
  return true;
}

HRESULT CGroup::Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                      HRESULT** ppErrors) {
  const HRESULT hr = InterfaceCall(IID_IOPCSyncIO, u"CGroup::Write", [&] {
    if (removed()) ThrowHr(E_FAIL);
    if (ppErrors != nullptr) *ppErrors = nullptr;
    if (phServer == nullptr || pItemValues == nullptr || ppErrors == nullptr ||
        dwCount == 0)
      ThrowHr(E_INVALIDARG);
    Trace(kTraceStep, this, S_OK, "CGroup::Write (Sync): Allocate Results");
    TaskArray<HRESULT> errors;
    if (!errors.Allocate(dwCount)) ThrowHr(E_OUTOFMEMORY);
    Trace(kTraceStep, this, S_OK, "CGroup::Write (Sync): Loop through items");
    std::vector<std::shared_ptr<ItemRecord>> records(dwCount);
    {
      std::shared_lock<std::shared_mutex> items(items_mu_);
      for (DWORD i = 0; i < dwCount; ++i)
        records[i] = items_.FindShared(phServer[i]);
    }
    HRESULT overall = S_OK;
    for (DWORD i = 0; i < dwCount; ++i) {
      HRESULT error = OPC_E_INVALIDHANDLE;
      if (records[i]) {
        Trace(kTraceStep, this, S_OK, "CGroup::Write (Sync): Write item");
        error = WriteDevice(*records[i], pItemValues[i]);
      }
      errors[i] = error;
      if (FAILED(error)) overall = S_FALSE;
    }
    Trace(kTraceStep, this, S_OK, "CGroup::Write (Sync): Loop Done");
    *ppErrors = errors.Release();
    Trace(kTraceDone, this, overall, "CGroup::Write (Sync): Done");
    return overall;
  });
  if (FAILED(hr)) Trace(kTraceError, this, hr, "CGroup::Write (Sync): Error");
  return hr;
}

}  // namespace kavex::server
