// GUID text form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (upper-case hex when
// printed, either case when parsed) and new GUIDs.
#ifndef KAVEX_PLATFORM_COM_GUID_H_
#define KAVEX_PLATFORM_COM_GUID_H_

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "platform/base/results.h"
#include "platform/base/types.h"

namespace kavex::com {

// Characters of the text form including the braces, without the NUL.
constexpr int kGuidStringLength = 38;

namespace internal {

constexpr int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace internal

// Parses "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" at compile time; a malformed
// literal stops the build (the throw is not a constant expression). The way
// headers write the GUIDs they declare:
//   inline constexpr CLSID CLSID_Foo = kavex::com::GuidLiteral("{...}");
constexpr GUID GuidLiteral(const char (&s)[kGuidStringLength + 1]) {
  auto hex = [&s](int pos, int digits) {
    uint32_t value = 0;
    for (int i = 0; i < digits; ++i) {
      int d = internal::HexDigit(s[pos + i]);
      if (d < 0) throw "malformed GUID literal";
      value = value << 4 | static_cast<uint32_t>(d);
    }
    return value;
  };
  if (s[0] != '{' || s[9] != '-' || s[14] != '-' || s[19] != '-' ||
      s[24] != '-' || s[37] != '}')
    throw "malformed GUID literal";
  GUID g{hex(1, 8),
         static_cast<uint16_t>(hex(10, 4)),
         static_cast<uint16_t>(hex(15, 4)),
         {}};
  g.Data4[0] = static_cast<uint8_t>(hex(20, 2));
  g.Data4[1] = static_cast<uint8_t>(hex(22, 2));
  for (int i = 0; i < 6; ++i)
    g.Data4[2 + i] = static_cast<uint8_t>(hex(25 + 2 * i, 2));
  return g;
}

std::string GuidToString(const GUID& guid);
// False (and *guid untouched) unless `text` is exactly the braced form.
bool GuidFromString(std::string_view text, GUID* guid);
std::u16string GuidToU16String(const GUID& guid);
bool GuidFromU16String(std::u16string_view text, GUID* guid);

// Ordering and hashing so GUIDs can key standard containers.
struct GuidLess {
  bool operator()(const GUID& a, const GUID& b) const;
};
struct GuidHash {
  size_t operator()(const GUID& g) const;
};

}  // namespace kavex::com

// Writes the braced form and a NUL into `out`; returns the characters written
// including the NUL (39), or 0 when `max` is too small.
int StringFromGUID2(REFGUID guid, LPOLESTR out, int max);
// *out from CoTaskMemAlloc; the caller frees it with CoTaskMemFree.
HRESULT StringFromCLSID(REFCLSID clsid, LPOLESTR* out);
HRESULT StringFromIID(REFIID iid, LPOLESTR* out);
// The braced form, or a ProgID as CLSIDFromProgID resolves it;
// CO_E_CLASSSTRING when it is neither.
HRESULT CLSIDFromString(LPCOLESTR text, CLSID* clsid);
// E_INVALIDARG unless `text` is the braced form.
HRESULT IIDFromString(LPCOLESTR text, IID* iid);
// A random (version 4) GUID.
HRESULT CoCreateGuid(GUID* guid);

inline bool IsEqualGUID(REFGUID a, REFGUID b) { return a == b; }
inline bool IsEqualIID(REFIID a, REFIID b) { return a == b; }
inline bool IsEqualCLSID(REFCLSID a, REFCLSID b) { return a == b; }

#endif  // KAVEX_PLATFORM_COM_GUID_H_
