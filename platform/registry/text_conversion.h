// UTF-8 <-> UTF-16 for the registry's W functions. (The registry sits below
// the component runtime, so it carries its own small converter.)
#ifndef KAVEX_PLATFORM_REGISTRY_TEXT_CONVERSION_H_
#define KAVEX_PLATFORM_REGISTRY_TEXT_CONVERSION_H_

#include <string>
#include <string_view>
#include <vector>

#include "platform/com/types.h"

namespace kavex::registry {

// Invalid sequences become U+FFFD; embedded NULs are kept.
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

// Stored 8-bit/UTF-8 string bytes as UTF-16LE bytes, and back (an odd
// trailing byte is dropped).
std::vector<BYTE> NarrowToWideBytes(const std::vector<BYTE>& narrow);
std::vector<BYTE> WideBytesToNarrow(const std::vector<BYTE>& wide);

}  // namespace kavex::registry

#endif  // KAVEX_PLATFORM_REGISTRY_TEXT_CONVERSION_H_
