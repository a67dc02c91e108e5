// The Windows base types: scalars, GUIDs and times, with the widths the
// components and their clients agree on (LONG is 32 bits here too).
#ifndef KAVEX_PLATFORM_BASE_TYPES_H_
#define KAVEX_PLATFORM_BASE_TYPES_H_

#include <cstddef>
#include <cstdint>

using BYTE = uint8_t;
using CHAR = char;
using SHORT = int16_t;
using USHORT = uint16_t;
using WORD = uint16_t;
using INT = int32_t;
using UINT = uint32_t;
using LONG = int32_t;
using ULONG = uint32_t;
using DWORD = uint32_t;
using LONGLONG = int64_t;
using ULONGLONG = uint64_t;
using FLOAT = float;
using DOUBLE = double;
using BOOL = int32_t;
using HRESULT = int32_t;
using SCODE = int32_t;
using LCID = uint32_t;
using LPVOID = void*;
using LPCVOID = const void*;

using WCHAR = char16_t;
using OLECHAR = char16_t;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using LPSTR = char*;
using LPCSTR = const char*;
// A length-prefixed UTF-16 string from SysAllocString; see bstr.h.
using BSTR = OLECHAR*;

using VARTYPE = uint16_t;
using VARIANT_BOOL = int16_t;
// Days since 30 December 1899, fraction = time of day.
using DATE = double;

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;
constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
inline bool operator==(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3)
    return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}
inline bool operator!=(const GUID& a, const GUID& b) { return !(a == b); }
using IID = GUID;
using CLSID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;
inline constexpr GUID GUID_NULL{0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

// 100-nanosecond intervals since 1 January 1601, UTC.
struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

namespace kavex {

inline uint64_t FileTimeToUInt64(const FILETIME& ft) {
  return (uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime;
}
inline FILETIME UInt64ToFileTime(uint64_t v) {
  return FILETIME{static_cast<DWORD>(v), static_cast<DWORD>(v >> 32)};
}

}  // namespace kavex

// 64-bit fixed point currency, value * 10000.
union CY {
  struct {
    uint32_t Lo;
    int32_t Hi;
  } s;
  int64_t int64;
};

#endif  // KAVEX_PLATFORM_BASE_TYPES_H_
