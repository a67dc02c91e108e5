#include "platform/registry/text_conversion.h"

#include "platform/text/utf.h"

namespace kavex::registry {

std::vector<BYTE> NarrowToWideBytes(const std::vector<BYTE>& narrow) {
  std::u16string wide = text::Utf8ToUtf16(std::string_view(
      reinterpret_cast<const char*>(narrow.data()), narrow.size()));
  std::vector<BYTE> out;
  out.reserve(wide.size() * 2);
  for (char16_t unit : wide) {
    out.push_back(static_cast<BYTE>(unit & 0xFF));
    out.push_back(static_cast<BYTE>(unit >> 8));
  }
  return out;
}

std::vector<BYTE> WideBytesToNarrow(const std::vector<BYTE>& wide) {
  std::u16string units;
  for (size_t i = 0; i + 1 < wide.size(); i += 2)
    units.push_back(static_cast<char16_t>(wide[i] | (wide[i + 1] << 8)));
  std::string narrow = text::Utf16ToUtf8(units);
  return std::vector<BYTE>(narrow.begin(), narrow.end());
}

}  // namespace kavex::registry
