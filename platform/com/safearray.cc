#include "platform/com/safearray.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "platform/com/bstr.h"
#include "platform/com/unknown.h"
#include "platform/com/variant.h"

namespace kavex::com {
namespace {

// The element type is kept in the 4 bytes in front of the descriptor, where
// code that knows the OLE Automation layout looks for it; the block in front
// keeps the descriptor 16-byte aligned.
constexpr size_t kHeader = 16;
// Most bytes of element storage one array may take.
constexpr uint64_t kMaxDataBytes = uint64_t{1} << 40;
constexpr ULONG kMaxLocks = 0xFFFF;

USHORT FeaturesOf(VARTYPE vt) {
  switch (vt) {
    case VT_BSTR:
      return FADF_BSTR;
    case VT_VARIANT:
      return FADF_VARIANT;
    case VT_UNKNOWN:
      return FADF_UNKNOWN;
    case VT_DISPATCH:
      return FADF_DISPATCH;
    default:
      return 0;
  }
}

DWORD* VartypeSlot(const SAFEARRAY* psa) {
  return reinterpret_cast<DWORD*>(const_cast<SAFEARRAY*>(psa)) - 1;
}

// Creation-order dimension `d` (0-based) is stored at the mirrored place.
const SAFEARRAYBOUND& Bound(const SAFEARRAY* psa, UINT d) {
  return psa->rgsabound[psa->cDims - 1 - d];
}

uint64_t ElementCount(const SAFEARRAY* psa) {
  uint64_t n = 1;
  for (UINT d = 0; d < psa->cDims; ++d) n *= psa->rgsabound[d].cElements;
  return n;
}

char* ElementAt(const SAFEARRAY* psa, uint64_t i) {
  return static_cast<char*>(psa->pvData) + i * psa->cbElements;
}

HRESULT CellOffset(const SAFEARRAY* psa, const LONG* rgIndices,
                   uint64_t* cell) {
  uint64_t offset = 0, stride = 1;
  for (UINT d = 0; d < psa->cDims; ++d) {
    const SAFEARRAYBOUND& b = Bound(psa, d);
    const int64_t rel = int64_t{rgIndices[d]} - b.lLbound;
    if (rel < 0 || rel >= int64_t{b.cElements}) return DISP_E_BADINDEX;
    offset += static_cast<uint64_t>(rel) * stride;
    stride *= b.cElements;
  }
  *cell = offset;
  return S_OK;
}

// Releases what the elements [first, last) own and zeroes them.
void ClearElements(SAFEARRAY* psa, uint64_t first, uint64_t last) {
  if (!psa->pvData) return;
  for (uint64_t i = first; i < last; ++i) {
    void* p = ElementAt(psa, i);
    if (psa->fFeatures & FADF_BSTR) {
      SysFreeString(*static_cast<BSTR*>(p));
    } else if (psa->fFeatures & FADF_VARIANT) {
      VariantClear(static_cast<VARIANT*>(p));
    } else if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
      if (IUnknown* unk = *static_cast<IUnknown**>(p)) unk->Release();
    }
  }
  if (last > first)
    std::memset(ElementAt(psa, first), 0, (last - first) * psa->cbElements);
}

// Stores a copy of `value` (same convention as SafeArrayPutElement) in the
// zeroed or previously filled cell `dest`.
HRESULT StoreCopy(const SAFEARRAY* psa, void* dest, const void* value) {
  if (psa->fFeatures & FADF_BSTR) {
    const auto* text = static_cast<const OLECHAR*>(value);
    BSTR copy = nullptr;
    if (text) {
      copy = SysAllocStringByteLen(reinterpret_cast<const char*>(text),
                                   SysStringByteLen(text));
      if (!copy) return E_OUTOFMEMORY;
    }
    SysFreeString(*static_cast<BSTR*>(dest));
    *static_cast<BSTR*>(dest) = copy;
  } else if (psa->fFeatures & FADF_VARIANT) {
    return VariantCopy(static_cast<VARIANT*>(dest),
                       static_cast<const VARIANT*>(value));
  } else if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
    auto* unk = static_cast<IUnknown*>(const_cast<void*>(value));
    if (unk) unk->AddRef();
    IUnknown*& slot = *static_cast<IUnknown**>(dest);
    if (slot) slot->Release();
    slot = unk;
  } else {
    std::memcpy(dest, value, psa->cbElements);
  }
  return S_OK;
}

// Frees the descriptor and the element storage; elements must be cleared.
void FreeArray(SAFEARRAY* psa) {
  std::free(psa->pvData);
  std::free(reinterpret_cast<char*>(psa) - kHeader);
}

}  // namespace

ULONG ElementSize(VARTYPE vt) {
  switch (vt) {
    case VT_I1:
    case VT_UI1:
      return 1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
      return 2;
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_R4:
    case VT_ERROR:
      return 4;
    case VT_I8:
    case VT_UI8:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
      return 8;
    case VT_BSTR:
    case VT_UNKNOWN:
    case VT_DISPATCH:
      return sizeof(void*);
    case VT_VARIANT:
      return sizeof(VARIANT);
    default:
      return 0;
  }
}

}  // namespace kavex::com

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims,
                           const SAFEARRAYBOUND* rgsabound) {
  const ULONG size = kavex::com::ElementSize(vt);
  if (size == 0 || cDims == 0 || cDims > 0xFFFF || !rgsabound) return nullptr;
  uint64_t count = 1;
  for (UINT d = 0; d < cDims; ++d) {
    const SAFEARRAYBOUND& b = rgsabound[d];
    // The upper bound must be a LONG too.
    if (int64_t{b.lLbound} + b.cElements - 1 > INT32_MAX) return nullptr;
    count *= b.cElements;
    if (count * size > kavex::com::kMaxDataBytes) return nullptr;
  }
  const size_t descriptor =
      sizeof(SAFEARRAY) + (cDims - 1) * sizeof(SAFEARRAYBOUND);
  char* block =
      static_cast<char*>(std::calloc(1, kavex::com::kHeader + descriptor));
  if (!block) return nullptr;
  auto* psa = reinterpret_cast<SAFEARRAY*>(block + kavex::com::kHeader);
  psa->pvData = std::calloc(count ? count : 1, size);
  if (!psa->pvData) {
    std::free(block);
    return nullptr;
  }
  psa->cDims = static_cast<USHORT>(cDims);
  psa->fFeatures = FADF_HAVEVARTYPE | kavex::com::FeaturesOf(vt);
  psa->cbElements = size;
  psa->cLocks = 0;
  for (UINT d = 0; d < cDims; ++d) psa->rgsabound[cDims - 1 - d] = rgsabound[d];
  *kavex::com::VartypeSlot(psa) = vt;
  return psa;
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
  const SAFEARRAYBOUND bound{cElements, lLbound};
  return SafeArrayCreate(vt, 1, &bound);
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa) {
  if (!psa) return S_OK;
  if (std::atomic_ref<ULONG>(psa->cLocks).load() > 0)
    return DISP_E_ARRAYISLOCKED;
  kavex::com::ClearElements(psa, 0, kavex::com::ElementCount(psa));
  kavex::com::FreeArray(psa);
  return S_OK;
}

UINT SafeArrayGetDim(const SAFEARRAY* psa) { return psa ? psa->cDims : 0; }

UINT SafeArrayGetElemsize(const SAFEARRAY* psa) {
  return psa ? psa->cbElements : 0;
}

HRESULT SafeArrayGetLBound(const SAFEARRAY* psa, UINT nDim, LONG* plLbound) {
  if (!psa || !plLbound) return E_INVALIDARG;
  if (nDim == 0 || nDim > psa->cDims) return DISP_E_BADINDEX;
  *plLbound = kavex::com::Bound(psa, nDim - 1).lLbound;
  return S_OK;
}

HRESULT SafeArrayGetUBound(const SAFEARRAY* psa, UINT nDim, LONG* plUbound) {
  if (!psa || !plUbound) return E_INVALIDARG;
  if (nDim == 0 || nDim > psa->cDims) return DISP_E_BADINDEX;
  const SAFEARRAYBOUND& b = kavex::com::Bound(psa, nDim - 1);
  // An empty dimension has upper bound lLbound - 1, as clients expect.
  *plUbound = static_cast<LONG>(int64_t{b.lLbound} + b.cElements - 1);
  return S_OK;
}

HRESULT SafeArrayGetVartype(const SAFEARRAY* psa, VARTYPE* pvt) {
  if (!psa || !pvt) return E_INVALIDARG;
  if (psa->fFeatures & FADF_HAVEVARTYPE) {
    *pvt = static_cast<VARTYPE>(*kavex::com::VartypeSlot(psa));
  } else if (psa->fFeatures & FADF_BSTR) {
    *pvt = VT_BSTR;
  } else if (psa->fFeatures & FADF_VARIANT) {
    *pvt = VT_VARIANT;
  } else if (psa->fFeatures & FADF_UNKNOWN) {
    *pvt = VT_UNKNOWN;
  } else if (psa->fFeatures & FADF_DISPATCH) {
    *pvt = VT_DISPATCH;
  } else {
    return E_INVALIDARG;
  }
  return S_OK;
}

HRESULT SafeArrayLock(SAFEARRAY* psa) {
  if (!psa) return E_INVALIDARG;
  std::atomic_ref<ULONG> locks(psa->cLocks);
  if (locks.fetch_add(1) >= kavex::com::kMaxLocks) {
    locks.fetch_sub(1);
    return E_UNEXPECTED;
  }
  return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY* psa) {
  if (!psa) return E_INVALIDARG;
  std::atomic_ref<ULONG> locks(psa->cLocks);
  ULONG current = locks.load();
  do {
    if (current == 0) return E_UNEXPECTED;
  } while (!locks.compare_exchange_weak(current, current - 1));
  return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData) {
  if (!psa || !ppvData) return E_INVALIDARG;
  const HRESULT hr = SafeArrayLock(psa);
  if (FAILED(hr)) return hr;
  *ppvData = psa->pvData;
  return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) { return SafeArrayUnlock(psa); }

HRESULT SafeArrayPtrOfIndex(SAFEARRAY* psa, const LONG* rgIndices, void** ppv) {
  if (!psa || !rgIndices || !ppv) return E_INVALIDARG;
  uint64_t cell;
  const HRESULT hr = kavex::com::CellOffset(psa, rgIndices, &cell);
  if (FAILED(hr)) return hr;
  *ppv = kavex::com::ElementAt(psa, cell);
  return S_OK;
}

HRESULT SafeArrayPutElement(SAFEARRAY* psa, const LONG* rgIndices,
                            const void* pv) {
  if (!psa || !rgIndices) return E_INVALIDARG;
  // Only strings and interfaces may be null.
  if (!pv && !(psa->fFeatures & (FADF_BSTR | FADF_UNKNOWN | FADF_DISPATCH)))
    return E_INVALIDARG;
  void* cell;
  HRESULT hr = SafeArrayPtrOfIndex(psa, rgIndices, &cell);
  if (FAILED(hr)) return hr;
  hr = SafeArrayLock(psa);
  if (FAILED(hr)) return hr;
  hr = kavex::com::StoreCopy(psa, cell, pv);
  SafeArrayUnlock(psa);
  return hr;
}

HRESULT SafeArrayGetElement(SAFEARRAY* psa, const LONG* rgIndices, void* pv) {
  if (!psa || !rgIndices || !pv) return E_INVALIDARG;
  void* cell;
  HRESULT hr = SafeArrayPtrOfIndex(psa, rgIndices, &cell);
  if (FAILED(hr)) return hr;
  hr = SafeArrayLock(psa);
  if (FAILED(hr)) return hr;
  // The destination is uninitialised: zero it so StoreCopy frees nothing.
  if (psa->fFeatures & FADF_VARIANT)
    VariantInit(static_cast<VARIANT*>(pv));
  else if (psa->fFeatures & (FADF_BSTR | FADF_UNKNOWN | FADF_DISPATCH))
    *static_cast<void**>(pv) = nullptr;
  const void* value = cell;
  if (psa->fFeatures & (FADF_BSTR | FADF_UNKNOWN | FADF_DISPATCH))
    value = *static_cast<void* const*>(cell);
  hr = kavex::com::StoreCopy(psa, pv, value);
  SafeArrayUnlock(psa);
  return hr;
}

HRESULT SafeArrayCopy(const SAFEARRAY* psa, SAFEARRAY** ppsaOut) {
  if (!ppsaOut) return E_INVALIDARG;
  *ppsaOut = nullptr;
  if (!psa) return S_OK;
  VARTYPE vt;
  if (FAILED(SafeArrayGetVartype(psa, &vt))) {
    // A plain array of values: the element size says enough.
    switch (psa->cbElements) {
      case 1:
        vt = VT_UI1;
        break;
      case 2:
        vt = VT_UI2;
        break;
      case 4:
        vt = VT_UI4;
        break;
      case 8:
        vt = VT_UI8;
        break;
      default:
        return E_INVALIDARG;
    }
  }
  SAFEARRAYBOUND bounds[1];
  SAFEARRAYBOUND* creation = bounds;
  std::unique_ptr<SAFEARRAYBOUND[]> many;
  if (psa->cDims > 1) {
    many.reset(new (std::nothrow) SAFEARRAYBOUND[psa->cDims]);
    if (!many) return E_OUTOFMEMORY;
    creation = many.get();
  }
  for (UINT d = 0; d < psa->cDims; ++d) creation[d] = kavex::com::Bound(psa, d);
  SAFEARRAY* copy = SafeArrayCreate(vt, psa->cDims, creation);
  if (!copy) return E_OUTOFMEMORY;
  const uint64_t count = kavex::com::ElementCount(psa);
  if (copy->fFeatures &
      (FADF_BSTR | FADF_VARIANT | FADF_UNKNOWN | FADF_DISPATCH)) {
    for (uint64_t i = 0; i < count; ++i) {
      const void* value = kavex::com::ElementAt(psa, i);
      if (!(copy->fFeatures & FADF_VARIANT))
        value = *static_cast<void* const*>(value);
      const HRESULT hr =
          kavex::com::StoreCopy(copy, kavex::com::ElementAt(copy, i), value);
      if (FAILED(hr)) {
        SafeArrayDestroy(copy);
        return hr;
      }
    }
  } else if (count) {
    std::memcpy(copy->pvData, psa->pvData, count * psa->cbElements);
  }
  *ppsaOut = copy;
  return S_OK;
}

HRESULT SafeArrayRedim(SAFEARRAY* psa, const SAFEARRAYBOUND* psaboundNew) {
  if (!psa || !psaboundNew) return E_INVALIDARG;
  if (std::atomic_ref<ULONG>(psa->cLocks).load() > 0)
    return DISP_E_ARRAYISLOCKED;
  if (int64_t{psaboundNew->lLbound} + psaboundNew->cElements - 1 > INT32_MAX)
    return E_INVALIDARG;
  // The last dimension varies slowest, so changing it keeps every other
  // element where it is.
  const uint64_t old_count = kavex::com::ElementCount(psa);
  uint64_t slice = 1;
  for (UINT d = 1; d < psa->cDims; ++d) slice *= psa->rgsabound[d].cElements;
  const uint64_t new_count = slice * psaboundNew->cElements;
  if (new_count * psa->cbElements > kavex::com::kMaxDataBytes)
    return E_OUTOFMEMORY;
  if (new_count > old_count) {
    void* data = std::realloc(psa->pvData, new_count * psa->cbElements);
    if (!data) return E_OUTOFMEMORY;
    psa->pvData = data;
    std::memset(kavex::com::ElementAt(psa, old_count), 0,
                (new_count - old_count) * psa->cbElements);
  } else {
    kavex::com::ClearElements(psa, new_count, old_count);
  }
  psa->rgsabound[0] = *psaboundNew;
  return S_OK;
}
