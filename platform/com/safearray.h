// SAFEARRAY: the self-describing array of OLE Automation. Arrays of BSTR,
// VARIANT and interface pointers own their elements: PutElement stores a copy,
// GetElement hands out a copy, Destroy frees them. Indices are checked
// (DISP_E_BADINDEX) and a locked array cannot be destroyed
// (DISP_E_ARRAYISLOCKED).
//
// As in OLE Automation, rgsabound lies in reverse order of the bounds given
// to SafeArrayCreate (rgsabound[0] is the last dimension), while rgIndices
// list the dimensions in creation order and the first dimension varies
// fastest in memory. For the usual one-dimensional array both read the same.
#ifndef KAVEX_PLATFORM_COM_SAFEARRAY_H_
#define KAVEX_PLATFORM_COM_SAFEARRAY_H_

#include "platform/base/results.h"
#include "platform/base/types.h"

struct SAFEARRAYBOUND {
  ULONG cElements;
  LONG lLbound;
};

struct SAFEARRAY {
  USHORT cDims;
  USHORT fFeatures;
  ULONG cbElements;
  ULONG cLocks;
  void* pvData;
  SAFEARRAYBOUND rgsabound[1];
};

// fFeatures bits.
constexpr USHORT FADF_AUTO = 0x0001;
constexpr USHORT FADF_STATIC = 0x0002;
constexpr USHORT FADF_EMBEDDED = 0x0004;
constexpr USHORT FADF_FIXEDSIZE = 0x0010;
constexpr USHORT FADF_RECORD = 0x0020;
constexpr USHORT FADF_HAVEIID = 0x0040;
constexpr USHORT FADF_HAVEVARTYPE = 0x0080;
constexpr USHORT FADF_BSTR = 0x0100;
constexpr USHORT FADF_UNKNOWN = 0x0200;
constexpr USHORT FADF_DISPATCH = 0x0400;
constexpr USHORT FADF_VARIANT = 0x0800;

namespace kavex::com {

// Bytes one element of type `vt` takes (also what a VARIANT of that scalar
// type holds in its union); 0 for a type no array can hold.
ULONG ElementSize(VARTYPE vt);

}  // namespace kavex::com

// Element types: I1, UI1, I2, UI2, I4, UI4, INT, UINT, I8, UI8, R4, R8, CY,
// DATE, BOOL, ERROR, BSTR, VARIANT, UNKNOWN, DISPATCH. Elements start zeroed
// (VARIANTs VT_EMPTY, BSTRs null). Null on a bad type, no dimensions or out
// of memory.
SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims,
                           const SAFEARRAYBOUND* rgsabound);
SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements);
HRESULT SafeArrayDestroy(SAFEARRAY* psa);  // null is S_OK
UINT SafeArrayGetDim(const SAFEARRAY* psa);
UINT SafeArrayGetElemsize(const SAFEARRAY* psa);
// nDim counts from 1 in creation order.
HRESULT SafeArrayGetLBound(const SAFEARRAY* psa, UINT nDim, LONG* plLbound);
HRESULT SafeArrayGetUBound(const SAFEARRAY* psa, UINT nDim, LONG* plUbound);
HRESULT SafeArrayGetVartype(const SAFEARRAY* psa, VARTYPE* pvt);
// `pv` is the BSTR itself for BSTR arrays, the IUnknown* for interface
// arrays, and points at the value otherwise (VARIANT* for VARIANT arrays).
HRESULT SafeArrayPutElement(SAFEARRAY* psa, const LONG* rgIndices,
                            const void* pv);
// Copies the element into *pv (BSTR*, VARIANT* treated as uninitialised,
// IUnknown** AddRef'ed, or the value's storage).
HRESULT SafeArrayGetElement(SAFEARRAY* psa, const LONG* rgIndices, void* pv);
HRESULT SafeArrayPtrOfIndex(SAFEARRAY* psa, const LONG* rgIndices, void** ppv);
HRESULT SafeArrayLock(SAFEARRAY* psa);
HRESULT SafeArrayUnlock(SAFEARRAY* psa);  // E_UNEXPECTED when not locked
// Locks the array and gives its element storage.
HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData);
HRESULT SafeArrayUnaccessData(SAFEARRAY* psa);
// Deep copy; a null source gives a null copy and S_OK.
HRESULT SafeArrayCopy(const SAFEARRAY* psa, SAFEARRAY** ppsaOut);
// Changes the last dimension's bounds, keeping the elements that remain and
// freeing the ones cut off. DISP_E_ARRAYISLOCKED when locked.
HRESULT SafeArrayRedim(SAFEARRAY* psa, const SAFEARRAYBOUND* psaboundNew);

#endif  // KAVEX_PLATFORM_COM_SAFEARRAY_H_
