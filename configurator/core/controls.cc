#include "configurator/core/controls.h"

#include <algorithm>

namespace kavex::configurator {
namespace {

char16_t Fold(char16_t c) {
  return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
}

}  // namespace

bool ListOrderLess(std::u16string_view a, std::u16string_view b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    if (Fold(a[i]) != Fold(b[i])) return Fold(a[i]) < Fold(b[i]);
  }
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

bool EqualIgnoringLatinCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Fold(a[i]) != Fold(b[i])) return false;
  }
  return true;
}

std::u16string ListControl::SelectedText() const {
  return selection_ >= 0 ? items_[static_cast<size_t>(selection_)]
                         : std::u16string();
}

void ListControl::Select(int index) {
  selection_ = index >= 0 && static_cast<size_t>(index) < items_.size()
                   ? index
                   : -1;
}

int ListControl::Add(std::u16string text) {
  auto at = items_.end();
  if (sorted_) {
    // After equal items, as a sorted list box inserts.
    at = std::upper_bound(items_.begin(), items_.end(), text,
                          [](const std::u16string& a, const std::u16string& b) {
                            return ListOrderLess(a, b);
                          });
  }
  const int index = static_cast<int>(at - items_.begin());
  items_.insert(at, std::move(text));
  if (selection_ >= index) ++selection_;
  return index;
}

void ListControl::Clear() {
  items_.clear();
  selection_ = -1;
}

void ListControl::Remove(size_t index) {
  if (index >= items_.size()) return;
  items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(index));
  const int removed = static_cast<int>(index);
  if (selection_ == removed) {
    selection_ = -1;
  } else if (selection_ > removed) {
    --selection_;
  }
}

void ListControl::Replace(size_t index, std::u16string text) {
  if (index < items_.size()) items_[index] = std::move(text);
}

int ListControl::FindExact(std::u16string_view text) const {
  for (size_t i = 0; i < items_.size(); ++i) {
    if (items_[i] == text) return static_cast<int>(i);
  }
  return -1;
}

int ListControl::FindExactIgnoringCase(std::u16string_view text) const {
  for (size_t i = 0; i < items_.size(); ++i) {
    if (EqualIgnoringLatinCase(items_[i], text)) return static_cast<int>(i);
  }
  return -1;
}

int ListControl::FindPrefix(std::u16string_view prefix) const {
  for (size_t i = 0; i < items_.size(); ++i) {
    if (std::u16string_view(items_[i]).substr(0, prefix.size()) == prefix)
      return static_cast<int>(i);
  }
  return -1;
}

size_t ListControl::longest_item() const {
  size_t longest = 0;
  for (const std::u16string& item : items_)
    longest = std::max(longest, item.size());
  return longest;
}

}  // namespace kavex::configurator
