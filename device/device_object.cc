#include "device/device_object.h"

#include <new>
#include <string>
#include <utility>
#include <vector>

#include "device/device_runtime.h"
#include "device/item_id.h"
#include "platform/com/bstr.h"
#include "platform/com/safearray.h"

namespace kavex::device {
namespace {

// Nothing thrown inside may leave an interface method.
template <class F>
HRESULT Guarded(F body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_FAIL;
  }
}

}  // namespace

CDevice::CDevice()
    : events_(AddConnectionPoint(com::IidOf<_IKavexOPCDeviceEvents>())) {}

CDevice::CDevice(std::shared_ptr<const SwitchTable> table)
    : table_(std::move(table)),
      events_(AddConnectionPoint(com::IidOf<_IKavexOPCDeviceEvents>())) {}

HRESULT CDevice::FinalConstruct() {
  return Guarded([this]() -> HRESULT {
    if (table_ == nullptr) {
      std::shared_ptr<DeviceRuntime> runtime;
      if (FAILED(DeviceRuntime::Acquire(&runtime)) || runtime == nullptr)
        return E_FAIL;
      // The table pointer owns the runtime: the device runs as long as an
      // object needs its table.
      const SwitchTable* table = &runtime->table();
      table_ = std::shared_ptr<const SwitchTable>(std::move(runtime), table);
    }
    items_ = std::make_unique<ItemNamespace>(*table_);
    return S_OK;
  });
}

void CDevice::FinalRelease() {
  // Subscribers are released before the device stops.
  events_->DisconnectAll();
}

HRESULT CDevice::get_ItemIDs(VARIANT* pVal) {
  if (pVal == nullptr) return E_POINTER;
  return Guarded([&]() -> HRESULT {
    const std::vector<std::string> ids = items_->ItemIds();
    SAFEARRAY* array =
        SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(ids.size()));
    if (array == nullptr) return E_OUTOFMEMORY;
    BSTR* elements = nullptr;
    if (FAILED(
            SafeArrayAccessData(array, reinterpret_cast<void**>(&elements)))) {
      SafeArrayDestroy(array);
      return E_FAIL;
    }
    bool complete = true;
    for (size_t i = 0; i < ids.size() && complete; ++i) {
      elements[i] = com::SysAllocStringUtf8(ids[i]);
      complete = elements[i] != nullptr;
    }
    SafeArrayUnaccessData(array);
    if (!complete) {
      SafeArrayDestroy(array);  // frees the strings made so far
      return E_OUTOFMEMORY;
    }
    // An [out] parameter: what it held is not ours to free.
    pVal->vt = VT_ARRAY | VT_BSTR;
    pVal->parray = array;
    return S_OK;
  });
}

HRESULT CDevice::get_PathDelimiter(BSTR* pVal) {
  if (pVal == nullptr) return E_POINTER;
  SysFreeString(*pVal);
  *pVal = com::SysAllocStringUtf8(kItemPathDelimiter);
  return *pVal != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT CDevice::GetItemProperties(BSTR sItemID, USHORT* vtDataType,
                                   ULONG* dwAccessRights) {
  return Guarded([&] {
    return items_->GetItemProperties(ItemIdText(sItemID).View(), vtDataType,
                                     dwAccessRights);
  });
}

HRESULT CDevice::Read(BSTR sItemID, VARIANT* vValue) {
  return Guarded([&] { return items_->Read(com::BstrView(sItemID), vValue); });
}

HRESULT CDevice::ReadItems(DWORD dwCount, BSTR* psItemIDs, VARIANT* pvValues,
                           HRESULT* phrResults) {
  if (dwCount == 0) return S_OK;
  if (psItemIDs == nullptr || pvValues == nullptr || phrResults == nullptr)
    return E_POINTER;
  // Each item's failures are its own result; nothing else throws.
  items_->ReadMany(dwCount, psItemIDs, pvValues, phrResults);
  return S_OK;
}

HRESULT CDevice::Write(BSTR, VARIANT) {
  return E_FAIL;  // every item is read-only
}

}  // namespace kavex::device
