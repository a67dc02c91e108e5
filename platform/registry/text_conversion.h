// Stored string bytes between the A and W forms of the registry functions.
#ifndef KAVEX_PLATFORM_REGISTRY_TEXT_CONVERSION_H_
#define KAVEX_PLATFORM_REGISTRY_TEXT_CONVERSION_H_

#include <string>
#include <string_view>
#include <vector>

#include "platform/base/types.h"
#include "platform/text/utf.h"

namespace kavex::registry {

// Stored 8-bit/UTF-8 string bytes as UTF-16LE bytes, and back (an odd
// trailing byte is dropped).
std::vector<BYTE> NarrowToWideBytes(const std::vector<BYTE>& narrow);
std::vector<BYTE> WideBytesToNarrow(const std::vector<BYTE>& wide);

}  // namespace kavex::registry

#endif  // KAVEX_PLATFORM_REGISTRY_TEXT_CONVERSION_H_
