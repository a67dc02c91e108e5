#include "server/objects/enum_item_attributes.h"

#include "server/objects/com_error.h"
#include "server/objects/task_array.h"

namespace kavex::server {

HRESULT CEnumOPCItemAttributes::Create(std::vector<ItemAttributes> items,
                                       IEnumOPCItemAttributes** out) {
  if (out == nullptr) return E_INVALIDARG;
  *out = nullptr;
  return CreateInstance(IID_IEnumOPCItemAttributes,
                        reinterpret_cast<void**>(out),
                        com::EnumCursor<ItemAttributes>(std::move(items)));
}

HRESULT CEnumOPCItemAttributes::Next(ULONG celt,
                                     OPCITEMATTRIBUTES** ppItemArray,
                                     ULONG* pceltFetched) {
  return InterfaceCall(
      IID_IEnumOPCItemAttributes, u"CEnumOPCItemAttributes::Next", [&] {
        if (pceltFetched != nullptr) *pceltFetched = 0;
        if (ppItemArray == nullptr) ThrowHr(E_INVALIDARG);
        *ppItemArray = nullptr;
        if (pceltFetched == nullptr && celt > 1) ThrowHr(E_INVALIDARG);
        std::lock_guard<std::mutex> lock(mu_);
        auto [first, n] = cursor_.Take(celt);
        TaskArray<OPCITEMATTRIBUTES> out;
        bool ok = n == 0 || out.Allocate(n);
        for (ULONG i = 0; ok && i < n; ++i) {
          const ItemAttributes& from = first[i];
          OPCITEMATTRIBUTES& to = out[i];
          to.szAccessPath = TaskStringCopy(u"");
          to.szItemID = TaskStringCopy(from.item_id);
          to.bActive = from.active;
          to.hClient = from.client_handle;
          to.hServer = from.server_handle;
          to.dwAccessRights = from.access_rights;
          to.vtRequestedDataType = from.requested_type;
          to.vtCanonicalDataType = from.canonical_type;
          to.dwEUType = OPC_NOENUM;
          VariantInit(&to.vEUInfo);
          ok = to.szAccessPath != nullptr && to.szItemID != nullptr;
        }
        if (!ok) {
          cursor_.Unread(n);
          ThrowHr(E_OUTOFMEMORY);
        }
        *ppItemArray = out.Release();
        if (pceltFetched != nullptr) *pceltFetched = n;
        return n == celt ? S_OK : S_FALSE;
      });
}

HRESULT CEnumOPCItemAttributes::Skip(ULONG celt) {
  std::lock_guard<std::mutex> lock(mu_);
  cursor_.Skip(celt);  // stops at the end
  return S_OK;
}

HRESULT CEnumOPCItemAttributes::Reset() {
  std::lock_guard<std::mutex> lock(mu_);
  cursor_.Reset();
  return S_OK;
}

HRESULT CEnumOPCItemAttributes::Clone(
    IEnumOPCItemAttributes** ppEnumItemAttributes) {
  return InterfaceCall(
      IID_IEnumOPCItemAttributes, u"CEnumOPCItemAttributes::Clone", [&] {
        if (ppEnumItemAttributes == nullptr) ThrowHr(E_INVALIDARG);
        *ppEnumItemAttributes = nullptr;
        com::EnumCursor<ItemAttributes> copy = [this] {
          std::lock_guard<std::mutex> lock(mu_);
          return cursor_;
        }();
        return CreateInstance(IID_IEnumOPCItemAttributes,
                              reinterpret_cast<void**>(ppEnumItemAttributes),
                              std::move(copy));
      });
}

}  // namespace kavex::server
