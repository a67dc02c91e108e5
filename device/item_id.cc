#include "device/item_id.h"

#include "platform/com/bstr.h"

namespace kavex::device {

ItemIdSegments SplitItemId(std::string_view id) {
  const size_t first_dot = id.find('.');
  if (first_dot == std::string_view::npos) return {};
  ItemIdSegments segments;
  segments.first = id.substr(0, first_dot);
  const size_t second_dot = id.find('.', first_dot + 1);
  if (second_dot == std::string_view::npos) {
    segments.third = id.substr(first_dot + 1);
    return segments;
  }
  segments.second = id.substr(first_dot + 1, second_dot - first_dot - 1);
  segments.third = id.substr(second_dot + 1);
  segments.first_two = id.substr(0, second_dot);
  return segments;
}

ItemIdText::ItemIdText(BSTR id) : ItemIdText(com::BstrView(id)) {}

ItemIdText::ItemIdText(std::u16string_view text) {
  if (text.size() <= sizeof inline_) {
    // No early exit: the loop then narrows many characters at a time.
    char16_t any = 0;
    for (size_t i = 0; i < text.size(); ++i) {
      inline_[i] = static_cast<char>(text[i]);
      any |= text[i];
    }
    if (any < 0x80) {
      view_ = std::string_view(inline_, text.size());
      ascii_ = true;
      return;
    }
  }
  heap_ = text::Utf16ToUtf8(text);
  view_ = heap_;
}

}  // namespace kavex::device
