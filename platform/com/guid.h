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

// Characters of the text form including the braces, without the NUL.
constexpr int kGuidStringLength = 38;

std::string GuidToString(const GUID& guid);
// False (and *guid untouched) unless `text` is exactly the braced form.
bool GuidFromString(std::string_view text, GUID* guid);
std::u16string GuidToU16String(const GUID& guid);
bool GuidFromU16String(std::u16string_view text, GUID* guid);

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

// Ordering and hashing so GUIDs can key standard containers.
struct GuidLess {
  bool operator()(const GUID& a, const GUID& b) const;
};
struct GuidHash {
  size_t operator()(const GUID& g) const;
};

#endif  // KAVEX_PLATFORM_COM_GUID_H_
