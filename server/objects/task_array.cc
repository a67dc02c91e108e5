#include "server/objects/task_array.h"

namespace kavex::server {

LPWSTR TaskStringCopy(std::u16string_view text) {
  const size_t bytes = (text.size() + 1) * sizeof(char16_t);
  auto* out = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
  if (out == nullptr) return nullptr;
  if (!text.empty())
    std::memcpy(out, text.data(), text.size() * sizeof(char16_t));
  out[text.size()] = u'\0';
  return out;
}

}  // namespace kavex::server
