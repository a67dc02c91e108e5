// BSTR: the length-prefixed UTF-16 string of OLE Automation. The allocation
// holds a 4-byte byte count, the characters and a terminating NUL; the BSTR
// points at the first character. A null BSTR is a valid empty string for every
// function here. Strings may contain embedded NULs: the prefix, not the
// terminator, gives the length.
#ifndef KAVEX_PLATFORM_COM_BSTR_H_
#define KAVEX_PLATFORM_COM_BSTR_H_

#include <compare>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/base/types.h"
#include "platform/text/utf.h"

// Copy of a NUL-terminated string; null in gives null out.
BSTR SysAllocString(const OLECHAR* psz);
// `cch` characters from `pch`; a null `pch` gives a zero-filled string.
BSTR SysAllocStringLen(const OLECHAR* pch, UINT cch);
// `len` bytes from `psz` (zero-filled when null) plus a NUL character.
BSTR SysAllocStringByteLen(const char* psz, UINT len);
// Replace *pbstr by a copy of `psz` (null = empty); `psz` may point into the
// old string. FALSE (old string kept) when out of memory or pbstr is null.
INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz);
INT SysReAllocStringLen(BSTR* pbstr, const OLECHAR* pch, UINT cch);
void SysFreeString(BSTR bstr);
// Characters (bytes / 2) and bytes, terminator excluded; 0 for null. Inline:
// every text comparison and in-place write of a tick asks for them.
inline UINT SysStringByteLen(const OLECHAR* bstr) {
  if (!bstr) return 0;
  // The byte count lives in the 4 bytes in front of the characters.
  uint32_t count;
  std::memcpy(&count, reinterpret_cast<const char*>(bstr) - sizeof count,
              sizeof count);
  return count;
}
inline UINT SysStringLen(const OLECHAR* bstr) {
  return SysStringByteLen(bstr) / sizeof(OLECHAR);
}

namespace kavex::com {

// A new BSTR holding `text` converted from UTF-8 (never null unless out of
// memory).
BSTR SysAllocStringUtf8(std::string_view text);
// Lays a string of `bytes` bytes out in `block` (at least `bytes` + 6
// bytes): the byte count, the characters copied from `data` (zeros when
// null), a NUL character. Returns the BSTR, which points past the count.
BSTR WriteBstrBlock(void* block, const void* data, size_t bytes);
// The characters of a BSTR, embedded NULs included.
inline std::u16string_view BstrView(const OLECHAR* bstr) {
  return bstr ? std::u16string_view(bstr, SysStringLen(bstr))
              : std::u16string_view();
}

// Owns one BSTR; frees it on destruction. Copies are deep.
class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(const OLECHAR* text) : bstr_(SysAllocString(text)) {}
  explicit Bstr(std::u16string_view text);
  static Bstr FromUtf8(std::string_view text);
  Bstr(const Bstr& other);
  Bstr& operator=(const Bstr& other);
  Bstr(Bstr&& other) noexcept : bstr_(other.Detach()) {}
  Bstr& operator=(Bstr&& other) noexcept;
  ~Bstr() { SysFreeString(bstr_); }

  BSTR Get() const { return bstr_; }
  UINT Length() const { return SysStringLen(bstr_); }
  bool Empty() const { return Length() == 0; }
  std::u16string_view View() const { return BstrView(bstr_); }
  std::string ToUtf8() const { return text::Utf16ToUtf8(View()); }

  // A new BSTR for the caller to free; null when this one is null, or when
  // out of memory.
  BSTR Copy() const;
  // Gives up ownership.
  BSTR Detach() {
    BSTR b = bstr_;
    bstr_ = nullptr;
    return b;
  }
  // Takes ownership, freeing the current string.
  void Attach(BSTR bstr);
  void Reset() { Attach(nullptr); }
  // For `BSTR*` out-parameters: frees the current string first.
  BSTR* Out() {
    Reset();
    return &bstr_;
  }

  // Ordinal comparison of the characters; null equals "".
  friend bool operator==(const Bstr& a, const Bstr& b) {
    return a.View() == b.View();
  }
  friend std::strong_ordering operator<=>(const Bstr& a, const Bstr& b) {
    return a.View() <=> b.View();
  }

 private:
  BSTR bstr_ = nullptr;
};

}  // namespace kavex::com

#endif  // KAVEX_PLATFORM_COM_BSTR_H_
