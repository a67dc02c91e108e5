#include "device/item_id.h"

#include "platform/com/bstr.h"

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

ItemIdText::ItemIdText(BSTR id) {
  const std::u16string_view text = BstrView(id);
  if (text.size() <= sizeof inline_) {
    size_t i = 0;
    for (; i < text.size() && text[i] < 0x80; ++i) {
      inline_[i] = static_cast<char>(text[i]);
    }
    if (i == text.size()) {
      view_ = std::string_view(inline_, i);
      return;
    }
  }
  heap_ = Utf16ToUtf8(text);
  view_ = heap_;
}
