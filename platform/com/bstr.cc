#include "platform/com/bstr.h"

#include <cstring>

#include "platform/com/bstr_cache.h"

namespace kavex::com {
namespace {

// The byte count lives in the 4 bytes in front of the characters.
constexpr size_t kPrefix = sizeof(uint32_t);
// Longest string in bytes; keeps every size computation below far from
// overflow and the count positive as an INT.
constexpr size_t kMaxBytes = 0x7FFFFFF0;

uint32_t* PrefixOf(const OLECHAR* bstr) {
  return reinterpret_cast<uint32_t*>(
      reinterpret_cast<char*>(const_cast<OLECHAR*>(bstr)) - kPrefix);
}

// The block of a string of `bytes` bytes: prefix, characters, terminator.
size_t BlockSize(size_t bytes) { return kPrefix + bytes + 2; }

// A new string of `bytes` bytes copied from `data` (zeros when null), plus a
// NUL character.
BSTR Allocate(const void* data, size_t bytes) {
  if (bytes > kMaxBytes) return nullptr;
  void* block = AllocateBstrBlock(BlockSize(bytes));
  if (!block) return nullptr;
  return WriteBstrBlock(block, data, bytes);
}

size_t Wcslen(const OLECHAR* s) {
  size_t n = 0;
  while (s[n]) ++n;
  return n;
}

}  // namespace

BSTR WriteBstrBlock(void* block, const void* data, size_t bytes) {
  const uint32_t count = static_cast<uint32_t>(bytes);
  std::memcpy(block, &count, kPrefix);
  char* chars = static_cast<char*>(block) + kPrefix;
  if (data)
    std::memcpy(chars, data, bytes);
  else
    std::memset(chars, 0, bytes);
  chars[bytes] = chars[bytes + 1] = 0;
  return reinterpret_cast<BSTR>(chars);
}

}  // namespace kavex::com

BSTR SysAllocString(const OLECHAR* psz) {
  if (!psz) return nullptr;
  return kavex::com::Allocate(psz, kavex::com::Wcslen(psz) * sizeof(OLECHAR));
}

BSTR SysAllocStringLen(const OLECHAR* pch, UINT cch) {
  return kavex::com::Allocate(pch, size_t{cch} * sizeof(OLECHAR));
}

BSTR SysAllocStringByteLen(const char* psz, UINT len) {
  return kavex::com::Allocate(psz, len);
}

INT SysReAllocStringLen(BSTR* pbstr, const OLECHAR* pch, UINT cch) {
  if (!pbstr) return FALSE;
  // Allocate before freeing: `pch` may point into the old string.
  BSTR fresh = SysAllocStringLen(pch, cch);
  if (!fresh) return FALSE;
  SysFreeString(*pbstr);
  *pbstr = fresh;
  return TRUE;
}

INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz) {
  const UINT len = psz ? static_cast<UINT>(kavex::com::Wcslen(psz)) : 0;
  return SysReAllocStringLen(pbstr, psz ? psz : u"", len);
}

void SysFreeString(BSTR bstr) {
  if (!bstr) return;
  uint32_t* block = kavex::com::PrefixOf(bstr);
  uint32_t count;
  std::memcpy(&count, block, kavex::com::kPrefix);
  kavex::com::FreeBstrBlock(block, kavex::com::BlockSize(count));
}

namespace kavex::com {

BSTR SysAllocStringUtf8(std::string_view text) {
  const std::u16string wide = text::Utf8ToUtf16(text);
  return Allocate(wide.data(), wide.size() * sizeof(OLECHAR));
}

Bstr::Bstr(std::u16string_view text)
    : bstr_(Allocate(text.data(), text.size() * sizeof(OLECHAR))) {}

Bstr Bstr::FromUtf8(std::string_view text) {
  Bstr b;
  b.bstr_ = SysAllocStringUtf8(text);
  return b;
}

Bstr::Bstr(const Bstr& other) : bstr_(other.Copy()) {}

Bstr& Bstr::operator=(const Bstr& other) {
  if (this != &other) Attach(other.Copy());
  return *this;
}

Bstr& Bstr::operator=(Bstr&& other) noexcept {
  if (this != &other) Attach(other.Detach());
  return *this;
}

BSTR Bstr::Copy() const {
  if (!bstr_) return nullptr;
  return Allocate(bstr_, SysStringByteLen(bstr_));
}

void Bstr::Attach(BSTR bstr) {
  if (bstr == bstr_) return;
  SysFreeString(bstr_);
  bstr_ = bstr;
}

}  // namespace kavex::com
