#include "platform/com/variant.h"

#include <cstring>
#include <utility>

#include "platform/com/safearray.h"
#include "platform/com/unknown.h"

namespace kavex::com {
namespace {

bool IsInterface(VARTYPE vt) { return vt == VT_UNKNOWN || vt == VT_DISPATCH; }

// Types a VARIANT may hold by value (alone or as an array element type).
bool IsKnownScalar(VARTYPE vt) {
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_I8:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UI8:
    case VT_INT:
    case VT_UINT:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_BSTR:
    case VT_BOOL:
    case VT_ERROR:
    case VT_UNKNOWN:
    case VT_DISPATCH:
      return true;
    default:
      return false;
  }
}

bool IsValidVartype(VARTYPE vt) {
  const VARTYPE base = vt & VT_TYPEMASK;
  if (vt & (VT_VECTOR | VT_RESERVED)) return false;
  if (vt & VT_ARRAY)
    return base != VT_EMPTY && base != VT_NULL &&
           (IsKnownScalar(base) || base == VT_VARIANT);
  if (vt & VT_BYREF)
    return base != VT_EMPTY && base != VT_NULL &&
           (IsKnownScalar(base) || base == VT_VARIANT);
  return IsKnownScalar(vt);
}

}  // namespace
}  // namespace kavex::com

void VariantInit(VARIANT* v) {
  v->vt = VT_EMPTY;
  v->wReserved1 = v->wReserved2 = v->wReserved3 = 0;
  v->llVal = 0;
}

HRESULT VariantClear(VARIANT* v) {
  if (!v) return E_INVALIDARG;
  if (!kavex::com::IsValidVartype(v->vt)) return DISP_E_BADVARTYPE;
  if (!(v->vt & VT_BYREF)) {
    if (v->vt & VT_ARRAY) {
      const HRESULT hr = SafeArrayDestroy(v->parray);
      if (FAILED(hr)) return hr;
    } else if (v->vt == VT_BSTR) {
      SysFreeString(v->bstrVal);
    } else if (kavex::com::IsInterface(v->vt) && v->punkVal) {
      v->punkVal->Release();
    }
  }
  VariantInit(v);
  return S_OK;
}

HRESULT VariantCopy(VARIANT* dest, const VARIANT* src) {
  if (!dest || !src) return E_INVALIDARG;
  if (dest == src) return S_OK;
  if (!kavex::com::IsValidVartype(src->vt)) return DISP_E_BADVARTYPE;
  HRESULT hr = VariantClear(dest);
  if (FAILED(hr)) return hr;
  VARIANT copy = *src;
  if (!(src->vt & VT_BYREF)) {
    if (src->vt & VT_ARRAY) {
      hr = SafeArrayCopy(src->parray, &copy.parray);
      if (FAILED(hr)) return hr;
    } else if (src->vt == VT_BSTR && src->bstrVal) {
      copy.bstrVal =
          SysAllocStringByteLen(reinterpret_cast<const char*>(src->bstrVal),
                                SysStringByteLen(src->bstrVal));
      if (!copy.bstrVal) return E_OUTOFMEMORY;
    } else if (kavex::com::IsInterface(src->vt) && src->punkVal) {
      src->punkVal->AddRef();
    }
  }
  *dest = copy;
  return S_OK;
}

HRESULT VariantCopyInd(VARIANT* dest, const VARIANT* src) {
  if (!dest || !src) return E_INVALIDARG;
  if (!(src->vt & VT_BYREF)) return VariantCopy(dest, src);
  if (!kavex::com::IsValidVartype(src->vt)) return DISP_E_BADVARTYPE;
  if (!src->byref) return E_INVALIDARG;
  const VARTYPE vt = src->vt & ~VT_BYREF;
  VARIANT value;
  VariantInit(&value);
  if (vt == VT_VARIANT) {
    // A reference to a variant that is itself a reference goes one level
    // only, as a client expects.
    value = *src->pvarVal;
  } else {
    value.vt = vt;
    const size_t size =
        (vt & VT_ARRAY) ? sizeof(SAFEARRAY*) : kavex::com::ElementSize(vt);
    std::memcpy(&value.llVal, src->byref, size);
  }
  if (dest == src) {
    // In place: the referenced value is copied before the reference goes.
    VARIANT copy;
    VariantInit(&copy);
    const HRESULT hr = VariantCopy(&copy, &value);
    if (FAILED(hr)) return hr;
    *dest = copy;
    return S_OK;
  }
  return VariantCopy(dest, &value);
}

namespace kavex::com {

Variant::Variant(const VARIANT& other) {
  VariantInit(this);
  if (FAILED(VariantCopy(this, &other))) {
    vt = VT_ERROR;
    scode = E_OUTOFMEMORY;
  }
}

Variant::Variant(Variant&& other) noexcept {
  VariantInit(this);
  Attach(&other);
}

Variant& Variant::operator=(const VARIANT& other) {
  if (this != &other && FAILED(VariantCopy(this, &other))) {
    VariantClear(this);
    vt = VT_ERROR;
    scode = E_OUTOFMEMORY;
  }
  return *this;
}

Variant& Variant::operator=(Variant&& other) noexcept {
  if (this != &other) Attach(&other);
  return *this;
}

Variant::Variant(bool value) {
  VariantInit(this);
  vt = VT_BOOL;
  boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
}

#define KAVEX_VARIANT_CTOR(Type, tag, member) \
  Variant::Variant(Type value) {              \
    VariantInit(this);                        \
    vt = tag;                                 \
    member = value;                           \
  }

KAVEX_VARIANT_CTOR(BYTE, VT_UI1, bVal)
KAVEX_VARIANT_CTOR(SHORT, VT_I2, iVal)
KAVEX_VARIANT_CTOR(LONG, VT_I4, lVal)
KAVEX_VARIANT_CTOR(LONGLONG, VT_I8, llVal)
KAVEX_VARIANT_CTOR(USHORT, VT_UI2, uiVal)
KAVEX_VARIANT_CTOR(ULONG, VT_UI4, ulVal)
KAVEX_VARIANT_CTOR(ULONGLONG, VT_UI8, ullVal)
KAVEX_VARIANT_CTOR(FLOAT, VT_R4, fltVal)
KAVEX_VARIANT_CTOR(DOUBLE, VT_R8, dblVal)
#undef KAVEX_VARIANT_CTOR

Variant::Variant(const OLECHAR* text) {
  VariantInit(this);
  vt = VT_BSTR;
  bstrVal = SysAllocString(text);
}

Variant::Variant(std::u16string_view text) {
  VariantInit(this);
  vt = VT_BSTR;
  bstrVal = Bstr(text).Detach();
}

Variant Variant::FromUtf8(std::string_view text) {
  return FromBstr(SysAllocStringUtf8(text));
}

Variant Variant::FromBstr(BSTR bstr) {
  Variant v;
  v.vt = VT_BSTR;
  v.bstrVal = bstr;
  return v;
}

Variant Variant::Error(SCODE code) {
  Variant v;
  v.vt = VT_ERROR;
  v.scode = code;
  return v;
}

Variant Variant::Null() {
  Variant v;
  v.vt = VT_NULL;
  return v;
}

void Variant::Detach(VARIANT* dest) {
  *dest = *this;
  VariantInit(this);
}

void Variant::Attach(VARIANT* src) {
  if (src == this) return;
  VariantClear(this);
  *static_cast<VARIANT*>(this) = *src;
  VariantInit(src);
}

}  // namespace kavex::com
