// VARIANT: the self-describing value of OLE Automation, with its life cycle
// (VariantInit/Clear/Copy), type coercion (VariantChangeType) and comparison
// (VarCmp). The layout is the 16-byte one clients put in memory and streams.
//
// Conversions follow OLE Automation as clients see it with the US English
// locale (0x409) whatever LCID is passed:
//  - out-of-range numbers give DISP_E_OVERFLOW, text that is not a number
//    DISP_E_TYPEMISMATCH, an unknown type DISP_E_BADVARTYPE;
//  - reals become integers by rounding half to even (2.5 -> 2, -2.5 -> -2);
//  - numeric text may have blanks around it, a sign, a decimal point and an
//    exponent; BOOL also reads "True"/"False" (any case);
//  - VARIANT_BOOL is -1/0, text "-1"/"0" ("True"/"False" with
//    VARIANT_ALPHABOOL); reals print with up to 15 (R8)
//    or 7 (R4) significant digits ("1.5", "0.1", "1E+20");
//  - DATE text is "M/D/YYYY h:mm:ss AM/PM"; the date is left out for day 0
//    (30 Dec 1899) and the time for midnight, so 0 is "12:00:00 AM" and 1 is
//    "12/31/1899". Parsing also takes YYYY-MM-DD and 24-hour times;
//  - EMPTY becomes 0, "" or False; NULL only converts to NULL; VT_ERROR only
//    to and from itself and VT_I4.
#ifndef KAVEX_PLATFORM_COM_VARIANT_H_
#define KAVEX_PLATFORM_COM_VARIANT_H_

#include <string>
#include <string_view>

#include "platform/base/results.h"
#include "platform/base/types.h"
#include "platform/com/bstr.h"

struct IUnknown;
struct IDispatch;
struct SAFEARRAY;

enum VARENUM : VARTYPE {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_CY = 6,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_DECIMAL = 14,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_VOID = 24,
  VT_HRESULT = 25,
  VT_PTR = 26,
  VT_SAFEARRAY = 27,
  VT_CARRAY = 28,
  VT_USERDEFINED = 29,
  VT_LPSTR = 30,
  VT_LPWSTR = 31,
  VT_RECORD = 36,
  VT_FILETIME = 64,
  VT_BLOB = 65,
  VT_CLSID = 72,
  VT_VECTOR = 0x1000,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
  VT_RESERVED = 0x8000,
  VT_TYPEMASK = 0x0FFF,
};

struct VARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    LONGLONG llVal;
    LONG lVal;
    BYTE bVal;
    SHORT iVal;
    FLOAT fltVal;
    DOUBLE dblVal;
    VARIANT_BOOL boolVal;
    SCODE scode;
    CY cyVal;
    DATE date;
    BSTR bstrVal;
    IUnknown* punkVal;
    IDispatch* pdispVal;
    SAFEARRAY* parray;
    CHAR cVal;
    USHORT uiVal;
    ULONG ulVal;
    ULONGLONG ullVal;
    INT intVal;
    UINT uintVal;
    // VT_BYREF forms: the variant points at a value it does not own.
    BYTE* pbVal;
    SHORT* piVal;
    LONG* plVal;
    LONGLONG* pllVal;
    FLOAT* pfltVal;
    DOUBLE* pdblVal;
    VARIANT_BOOL* pboolVal;
    SCODE* pscode;
    CY* pcyVal;
    DATE* pdate;
    BSTR* pbstrVal;
    IUnknown** ppunkVal;
    IDispatch** ppdispVal;
    SAFEARRAY** pparray;
    VARIANT* pvarVal;
    void* byref;
    CHAR* pcVal;
    USHORT* puiVal;
    ULONG* pulVal;
    ULONGLONG* pullVal;
    INT* pintVal;
    UINT* puintVal;
  };
};
static_assert(sizeof(VARIANT) == 16, "clients and streams expect 16 bytes");
using VARIANTARG = VARIANT;

// VariantChangeType flags.
constexpr USHORT VARIANT_NOVALUEPROP = 0x01;
constexpr USHORT VARIANT_ALPHABOOL = 0x02;
constexpr USHORT VARIANT_NOUSEROVERRIDE = 0x04;
constexpr USHORT VARIANT_LOCALBOOL = 0x10;

// VarCmp results (returned as the HRESULT) and flags.
constexpr HRESULT VARCMP_LT = 0;
constexpr HRESULT VARCMP_EQ = 1;
constexpr HRESULT VARCMP_GT = 2;
constexpr HRESULT VARCMP_NULL = 3;
constexpr ULONG NORM_IGNORECASE = 0x1;

constexpr LCID LOCALE_USER_DEFAULT = 0x0400;
constexpr LCID LOCALE_SYSTEM_DEFAULT = 0x0800;

void VariantInit(VARIANT* v);
// Frees what the variant owns (BSTR, array, interface reference) and leaves
// it VT_EMPTY. DISP_E_ARRAYISLOCKED (variant unchanged) for a locked array,
// DISP_E_BADVARTYPE for a type it does not know.
HRESULT VariantClear(VARIANT* v);
// Clears `dest`, then deep-copies `src` (BSTRs and arrays duplicated,
// interfaces AddRef'ed; VT_BYREF variants copy the pointer). On failure
// `dest` is left VT_EMPTY.
HRESULT VariantCopy(VARIANT* dest, const VARIANT* src);
// As VariantCopy, but a VT_BYREF source is copied as the value it points to.
HRESULT VariantCopyInd(VARIANT* dest, const VARIANT* src);
// Converts `src` to `vt` into `dest` (cleared first); dest == src converts in
// place. On failure `dest` is unchanged.
HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, USHORT flags,
                          VARTYPE vt);
HRESULT VariantChangeTypeEx(VARIANT* dest, const VARIANT* src, LCID lcid,
                            USHORT flags, VARTYPE vt);
// Compares two variants: VARCMP_LT/EQ/GT, VARCMP_NULL when either is NULL,
// or a failure code. Numbers compare by value across types, strings
// ordinally (flags NORM_IGNORECASE: ignoring the case of Latin letters); a
// string against a number is read as a number when it is one, otherwise the
// number's text is compared with it. EMPTY equals 0 and "".
HRESULT VarCmp(const VARIANT* left, const VARIANT* right, LCID lcid,
               ULONG flags);
HRESULT VarBstrCmp(const OLECHAR* left, const OLECHAR* right, LCID lcid,
                   ULONG flags);

namespace kavex::com {

// Owns the contents of one VARIANT; `&v` passes it where a VARIANT* is
// expected. Copies are deep (a failed copy leaves VT_ERROR E_OUTOFMEMORY).
class Variant : public VARIANT {
 public:
  Variant() { VariantInit(this); }
  Variant(const VARIANT& other);  // NOLINT: implicit like the value it holds
  Variant(const Variant& other) : Variant(static_cast<const VARIANT&>(other)) {}
  Variant(Variant&& other) noexcept;
  Variant& operator=(const VARIANT& other);
  Variant& operator=(const Variant& other) {
    return *this = static_cast<const VARIANT&>(other);
  }
  Variant& operator=(Variant&& other) noexcept;
  ~Variant() { VariantClear(this); }

  explicit Variant(bool value);
  explicit Variant(BYTE value);
  explicit Variant(SHORT value);
  explicit Variant(LONG value);
  explicit Variant(LONGLONG value);
  explicit Variant(USHORT value);
  explicit Variant(ULONG value);
  explicit Variant(ULONGLONG value);
  explicit Variant(FLOAT value);
  explicit Variant(DOUBLE value);
  explicit Variant(const OLECHAR* text);  // VT_BSTR (null -> null BSTR)
  // Narrow text would silently become a VT_BOOL; use FromUtf8.
  explicit Variant(const char* text) = delete;
  explicit Variant(std::u16string_view text);
  static Variant FromUtf8(std::string_view text);
  // Takes ownership of `bstr` as VT_BSTR.
  static Variant FromBstr(BSTR bstr);
  // VT_ERROR carrying `scode`.
  static Variant Error(SCODE scode);
  static Variant Null();

  HRESULT Clear() { return VariantClear(this); }
  HRESULT Copy(const VARIANT* src) { return VariantCopy(this, src); }
  HRESULT ChangeType(VARTYPE vt, USHORT flags = 0) {
    return VariantChangeType(this, this, flags, vt);
  }
  // Moves the contents to `dest` (not cleared first), leaving this empty.
  void Detach(VARIANT* dest);
  // Takes the contents of `src` (leaving it VT_EMPTY), clearing this first.
  void Attach(VARIANT* src);
};

}  // namespace kavex::com

#endif  // KAVEX_PLATFORM_COM_VARIANT_H_
