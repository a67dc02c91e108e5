// UTF-8 <-> UTF-16 conversion for the text that crosses the component
// boundary. Malformed input never fails: each ill-formed sequence (stray
// continuation byte, overlong form, encoded surrogate, value above U+10FFFF,
// truncated sequence, unpaired surrogate) becomes one U+FFFD.
#ifndef KAVEX_PLATFORM_TEXT_UTF_H_
#define KAVEX_PLATFORM_TEXT_UTF_H_

#include <string>
#include <string_view>

namespace kavex::text {

std::string Utf16ToUtf8(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view text);

}  // namespace kavex::text

#endif  // KAVEX_PLATFORM_TEXT_UTF_H_
