#include "platform/com/clipboard_format.h"

#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/text/utf.h"

namespace kavex::com {
namespace {

constexpr UINT kFirstFormat = 0xC000;
constexpr size_t kMaxFormats = 0x10000 - kFirstFormat;

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

struct Formats {
  std::mutex mu;
  std::vector<std::string> names;  // index = format - kFirstFormat
};
Formats& GetFormats() {
  static Formats* formats = new Formats;  // lives until exit
  return *formats;
}

}  // namespace
}  // namespace kavex::com

UINT RegisterClipboardFormatA(const char* name) {
  if (name == nullptr || *name == '\0') return 0;
  kavex::com::Formats& formats = kavex::com::GetFormats();
  std::lock_guard<std::mutex> lock(formats.mu);
  for (size_t i = 0; i < formats.names.size(); ++i)
    if (kavex::com::SameName(formats.names[i], name))
      return kavex::com::kFirstFormat + static_cast<UINT>(i);
  if (formats.names.size() >= kavex::com::kMaxFormats) return 0;
  try {
    formats.names.emplace_back(name);
  } catch (...) {
    return 0;
  }
  return kavex::com::kFirstFormat + static_cast<UINT>(formats.names.size() - 1);
}

UINT RegisterClipboardFormatW(const WCHAR* name) {
  if (name == nullptr) return 0;
  return RegisterClipboardFormatA(kavex::text::Utf16ToUtf8(name).c_str());
}

int GetClipboardFormatNameA(UINT format, char* out, int max) {
  if (out == nullptr || max <= 0) return 0;
  kavex::com::Formats& formats = kavex::com::GetFormats();
  std::lock_guard<std::mutex> lock(formats.mu);
  if (format < kavex::com::kFirstFormat ||
      format - kavex::com::kFirstFormat >= formats.names.size())
    return 0;
  const std::string& name = formats.names[format - kavex::com::kFirstFormat];
  size_t n = name.size() < static_cast<size_t>(max - 1)
                 ? name.size()
                 : static_cast<size_t>(max - 1);
  std::memcpy(out, name.data(), n);
  out[n] = '\0';
  return static_cast<int>(n);
}
