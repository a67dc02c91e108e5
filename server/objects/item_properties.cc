#include "server/objects/item_properties.h"

#include <array>
#include <new>
#include <string_view>

#include "platform/com/bstr.h"
#include "platform/com/filetime.h"
#include "platform/com/task_memory.h"
#include "platform/opc/opc_error.h"
#include "platform/sync/clock.h"
#include "server/objects/task_array.h"
#include "server/objects/trace_log.h"

namespace kavex::server {
namespace {

constexpr std::array<const char16_t*, kStandardPropertyCount> kDescriptions = {
    u"Item Canonical DataType", u"Item Value",         u"Item Quality",
    u"Item Timestamp",          u"Item Access Rights", u"Server Scan Rate"};

constexpr SHORT kQualityGood = 0xC0;
constexpr SHORT kQualityBad = 0x00;

std::u16string_view ViewOf(LPCWSTR text) {
  return text != nullptr ? std::u16string_view(text) : std::u16string_view();
}

template <class Body>
HRESULT Guarded(Body&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_FAIL;
  }
}

// The item's canonical type and access rights from the device, after the
// call's trace line `step`. `id` is the BSTR copy the device is given.
HRESULT AskDevice(IKavexOPCDevice* device, const void* trace_object,
                  std::string_view step, LPWSTR item_id, com::Bstr* id,
                  VARTYPE* type, DWORD* rights) {
  if (device == nullptr) return E_POINTER;
  // The device takes a BSTR, whose length lies in front of the text: the
  // client's plain string is copied into one.
  *id = com::Bstr(item_id);
  if (item_id != nullptr && id->Get() == nullptr) return E_OUTOFMEMORY;
  Trace(kTraceStep, trace_object, S_OK, step, ViewOf(item_id));
  *type = VT_EMPTY;
  *rights = 0;
  return device->GetItemProperties(id->Get(), type, rights);
}

// Writes "<method>: Done" or "<method>: Error" for the call's result.
void TraceEnd(const void* trace_object, HRESULT hr, std::string_view method) {
  std::string message(method);
  if (FAILED(hr)) {
    Trace(kTraceError, trace_object, hr, message.append(": Error"));
  } else {
    Trace(kTraceDone, trace_object, S_OK, message.append(": Done"));
  }
}

}  // namespace

HRESULT QueryAvailableProperties(IKavexOPCDevice* device,
                                 const void* trace_object, LPWSTR item_id,
                                 DWORD* count, DWORD** property_ids,
                                 LPWSTR** descriptions, VARTYPE** data_types) {
  if (count != nullptr) *count = 0;
  if (property_ids != nullptr) *property_ids = nullptr;
  if (descriptions != nullptr) *descriptions = nullptr;
  if (data_types != nullptr) *data_types = nullptr;
  const HRESULT hr = Guarded([&]() -> HRESULT {
    if (count == nullptr || property_ids == nullptr ||
        descriptions == nullptr || data_types == nullptr) {
      return E_INVALIDARG;
    }
    com::Bstr id;
    VARTYPE canonical_type;
    DWORD rights;
    HRESULT hr = AskDevice(device, trace_object,
                           "CServer::QueryAvailableProperties: Get Item "
                           "Properties from Device for Item",
                           item_id, &id, &canonical_type, &rights);
    if (FAILED(hr)) return hr;
    Trace(kTraceStep, trace_object, S_OK,
          "CServer::QueryAvailableProperties: Return Standard OPC Properties");

    TaskArray<DWORD> ids;
    TaskArray<LPWSTR> texts;
    TaskArray<VARTYPE> types;
    if (!ids.Allocate(kStandardPropertyCount) ||
        !texts.Allocate(kStandardPropertyCount) ||
        !types.Allocate(kStandardPropertyCount))
      return E_OUTOFMEMORY;
    const VARTYPE kTypes[kStandardPropertyCount] = {
        VT_I2, canonical_type, VT_I2, VT_DATE, VT_I4, VT_R4};
    for (DWORD i = 0; i < kStandardPropertyCount; ++i) {
      ids[i] = i + 1;
      types[i] = kTypes[i];
      texts[i] = TaskStringCopy(kDescriptions[i]);
      if (texts[i] == nullptr) return E_OUTOFMEMORY;  // the copies go
    }
    *count = kStandardPropertyCount;
    *property_ids = ids.Release();
    *descriptions = texts.Release();
    *data_types = types.Release();
    return S_OK;
  });
  TraceEnd(trace_object, hr, "CServer::QueryAvailableProperties");
  return hr;
}

HRESULT GetItemProperties(IKavexOPCDevice* device, const void* trace_object,
                          LPWSTR item_id, DWORD count, DWORD* property_ids,
                          VARIANT** data, HRESULT** errors) {
  if (data != nullptr) *data = nullptr;
  if (errors != nullptr) *errors = nullptr;
  const HRESULT hr = Guarded([&]() -> HRESULT {
    if (property_ids == nullptr || data == nullptr || errors == nullptr ||
        count == 0) {
      return E_INVALIDARG;
    }
    com::Bstr id;
    VARTYPE canonical_type;
    DWORD rights;
    HRESULT hr = AskDevice(device, trace_object,
                           "CServer::QueryAvailableProperties: Get Item "
                           "Properties from Device for Item",
                           item_id, &id, &canonical_type, &rights);
    if (FAILED(hr)) return hr;
    Trace(kTraceStep, trace_object, S_OK,
          "CServer::QueryAvailableProperties: Return Requested Item "
          "Properties");

    // A count too large for the arrays is refused before the client's
    // property IDs are read.
    TaskArray<VARIANT> values;
    TaskArray<HRESULT> results;
    if (!values.Allocate(count) || !results.Allocate(count))
      return E_OUTOFMEMORY;
    bool any_failed = false;
    for (DWORD i = 0; i < count; ++i) {
      VARIANT& value = values[i];
      VariantInit(&value);
      HRESULT result = S_OK;
      switch (property_ids[i]) {
        case 1:
          value.vt = VT_I2;
          value.iVal = static_cast<SHORT>(canonical_type);
          break;
        case 2:
          result = device->Read(id.Get(), &value);
          if (FAILED(result)) {
            VariantClear(&value);
            VariantInit(&value);
          }
          break;
        case 3: {
          com::Variant fresh;
          value.vt = VT_I2;
          value.iVal = SUCCEEDED(device->Read(id.Get(), &fresh)) ? kQualityGood
                                                                 : kQualityBad;
          break;
        }
        case 4: {
          FILETIME now;
          GetSystemTimeAsFileTime(&now);
          DATE date;
          if (FileTimeToVariantTime(&now, &date)) {
            value.vt = VT_DATE;
            value.date = date;
          } else {
            result = E_FAIL;  // a clock beyond what a DATE can hold
          }
          break;
        }
        case 5:
          value.vt = VT_I4;
          value.lVal = static_cast<LONG>(rights);
          break;
        case 6:
          value.vt = VT_R4;
          value.fltVal = kServerScanRate;
          break;
        default:
          result = OPC_E_INVALID_PID;
          break;
      }
      results[i] = result;
      any_failed |= FAILED(result);
    }
    *data = values.Release();
    *errors = results.Release();
    return any_failed ? S_FALSE : S_OK;
  });
  TraceEnd(trace_object, hr, "CServer::GetItemProperties");
  return hr;
}

HRESULT LookupItemIDs(IKavexOPCDevice* device, const void* trace_object,
                      LPWSTR item_id, DWORD count, DWORD* property_ids,
                      LPWSTR** new_item_ids, HRESULT** errors) {
  if (new_item_ids != nullptr) *new_item_ids = nullptr;
  if (errors != nullptr) *errors = nullptr;
  const HRESULT hr = Guarded([&]() -> HRESULT {
    if (property_ids == nullptr || new_item_ids == nullptr ||
        errors == nullptr || count == 0) {
      return E_INVALIDARG;
    }
    com::Bstr id;
    VARTYPE canonical_type;
    DWORD rights;
    HRESULT hr = AskDevice(
        device, trace_object,
        "CServer::LookupItemIDs: Get Item Properties from Device for Item",
        item_id, &id, &canonical_type, &rights);
    if (FAILED(hr)) return hr;
    Trace(kTraceStep, trace_object, S_OK,
          "CServer::LookupItemIDs: Return Requested ItemIDs");

    TaskArray<LPWSTR> ids;
    TaskArray<HRESULT> results;
    if (!ids.Allocate(count) || !results.Allocate(count)) return E_OUTOFMEMORY;
    for (DWORD i = 0; i < count; ++i) {
      ids[i] = nullptr;
      results[i] = OPC_E_INVALID_PID;
    }
    *new_item_ids = ids.Release();
    *errors = results.Release();
    return S_FALSE;
  });
  TraceEnd(trace_object, hr, "CServer::LookupItemIDs");
  return hr;
}

HRESULT GetErrorString(const void* trace_object, HRESULT error, LCID /*locale*/,
                       LPWSTR* text) {
  if (text != nullptr) *text = nullptr;
  HRESULT hr = S_OK;
  if (text == nullptr) {
    hr = E_INVALIDARG;
  } else {
    *text = TaskStringCopy(opc::OpcResultTextOf(error));
    if (*text == nullptr) hr = E_OUTOFMEMORY;
  }
  TraceEnd(trace_object, hr, "CServer::GetErrorString");
  return hr;
}

}  // namespace kavex::server
