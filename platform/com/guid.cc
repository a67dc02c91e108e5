#include "platform/com/guid.h"

#include <cstdio>
#include <cstring>
#include <random>

namespace kavex::com {
namespace {

int Hex(char32_t c) {
  if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
  if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
  if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
  return -1;
}

template <class Char>
bool Parse(std::basic_string_view<Char> s, GUID* guid) {
  if (s.size() != kGuidStringLength || s[0] != '{' || s[9] != '-' ||
      s[14] != '-' || s[19] != '-' || s[24] != '-' || s[37] != '}')
    return false;
  bool ok = true;
  auto hex = [&](size_t pos, int digits) {
    uint32_t value = 0;
    for (int i = 0; i < digits; ++i) {
      int d = Hex(static_cast<char32_t>(s[pos + i]));
      if (d < 0) ok = false;
      value = value << 4 | static_cast<uint32_t>(d & 0xF);
    }
    return value;
  };
  GUID g{};
  g.Data1 = hex(1, 8);
  g.Data2 = static_cast<uint16_t>(hex(10, 4));
  g.Data3 = static_cast<uint16_t>(hex(15, 4));
  g.Data4[0] = static_cast<uint8_t>(hex(20, 2));
  g.Data4[1] = static_cast<uint8_t>(hex(22, 2));
  for (int i = 0; i < 6; ++i)
    g.Data4[2 + i] = static_cast<uint8_t>(hex(25 + 2 * i, 2));
  if (!ok) return false;
  *guid = g;
  return true;
}

std::u16string Widen(std::string_view s) { return {s.begin(), s.end()}; }

}  // namespace

std::string GuidToString(const GUID& g) {
  char text[kGuidStringLength + 1];
  std::snprintf(
      text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
      static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
      g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

bool GuidFromString(std::string_view text, GUID* guid) {
  return guid != nullptr && Parse(text, guid);
}

std::u16string GuidToU16String(const GUID& guid) {
  return Widen(GuidToString(guid));
}

bool GuidFromU16String(std::u16string_view text, GUID* guid) {
  return guid != nullptr && Parse(text, guid);
}

}  // namespace kavex::com

int StringFromGUID2(REFGUID guid, LPOLESTR out, int max) {
  if (out == nullptr || max < kavex::com::kGuidStringLength + 1) return 0;
  std::string text = kavex::com::GuidToString(guid);
  for (int i = 0; i < kavex::com::kGuidStringLength; ++i) out[i] = text[i];
  out[kavex::com::kGuidStringLength] = 0;
  return kavex::com::kGuidStringLength + 1;
}

HRESULT IIDFromString(LPCOLESTR text, IID* iid) {
  if (text == nullptr || iid == nullptr) return E_INVALIDARG;
  return kavex::com::GuidFromU16String(text, iid) ? S_OK : E_INVALIDARG;
}

HRESULT CoCreateGuid(GUID* guid) {
  if (guid == nullptr) return E_INVALIDARG;
  thread_local std::mt19937_64 generator{std::random_device{}()};
  uint64_t high = generator(), low = generator();
  uint8_t bytes[16];
  std::memcpy(bytes, &high, 8);
  std::memcpy(bytes + 8, &low, 8);
  bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122
  guid->Data1 = static_cast<uint32_t>(bytes[0]) << 24 | bytes[1] << 16 |
                bytes[2] << 8 | bytes[3];
  guid->Data2 = static_cast<uint16_t>(bytes[4] << 8 | bytes[5]);
  guid->Data3 = static_cast<uint16_t>(bytes[6] << 8 | bytes[7]);
  std::memcpy(guid->Data4, bytes + 8, 8);
  return S_OK;
}

namespace kavex::com {

bool GuidLess::operator()(const GUID& a, const GUID& b) const {
  if (a.Data1 != b.Data1) return a.Data1 < b.Data1;
  if (a.Data2 != b.Data2) return a.Data2 < b.Data2;
  if (a.Data3 != b.Data3) return a.Data3 < b.Data3;
  return std::memcmp(a.Data4, b.Data4, 8) < 0;
}

size_t GuidHash::operator()(const GUID& g) const {
  uint64_t a, b;
  static_assert(sizeof(GUID) == 16);
  std::memcpy(&a, &g, 8);
  std::memcpy(&b, reinterpret_cast<const uint8_t*>(&g) + 8, 8);
  return std::hash<uint64_t>{}(a ^ (b * 0x9E3779B97F4A7C15ull));
}

}  // namespace kavex::com
