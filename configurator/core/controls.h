// Controls as state: what a window shows, without a toolkit. A view draws
// these (texts, items, the selection, enabled and visible flags) and
// forwards the operator's actions to the window's operations; tests read
// them directly.
#ifndef KAVEX_CONFIGURATOR_CORE_CONTROLS_H_
#define KAVEX_CONFIGURATOR_CORE_CONTROLS_H_

#include <string>
#include <string_view>
#include <vector>

namespace kavex::configurator {

// A static text, an edit field or a button.
struct TextControl {
  std::u16string text;
  bool visible = true;
  bool enabled = true;
};

struct CheckControl {
  bool checked = false;
  bool visible = true;
  bool enabled = true;
};

// A list box, or the list of a drop-down box. A sorted list keeps its items
// in alphabetical order, ignoring the case of Latin letters, as the
// operator expects; adding an item keeps the selection on the item that was
// selected.
class ListControl {
 public:
  explicit ListControl(bool sorted = false) : sorted_(sorted) {}

  const std::vector<std::u16string>& items() const { return items_; }
  size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  const std::u16string& item(size_t index) const { return items_[index]; }
  bool sorted() const { return sorted_; }

  // -1 when nothing is selected.
  int selection() const { return selection_; }
  // The selected item; "" when nothing is selected.
  std::u16string SelectedText() const;
  // Out of range selects nothing.
  void Select(int index);

  // Inserts in order (sorted) or at the end; returns the item's index.
  int Add(std::u16string text);
  void Clear();
  void Remove(size_t index);
  void Replace(size_t index, std::u16string text);

  // The first item equal to `text`, exactly or ignoring the case of Latin
  // letters; the first item beginning with `prefix`. -1 when none.
  int FindExact(std::u16string_view text) const;
  int FindExactIgnoringCase(std::u16string_view text) const;
  int FindPrefix(std::u16string_view prefix) const;

  // The length in characters of the longest item: the view multiplies it
  // by its average character width for the horizontal extent.
  size_t longest_item() const;

  bool visible = true;
  bool enabled = true;

  bool operator==(const ListControl&) const = default;

 private:
  bool sorted_;
  std::vector<std::u16string> items_;
  int selection_ = -1;
};

// An editable drop-down box: a list and the text shown in its edit field,
// which selecting an item replaces and the operator may type over.
class ComboControl : public ListControl {
 public:
  explicit ComboControl(bool sorted = false) : ListControl(sorted) {}

  // Selects `index` and shows its text ("" for none).
  void Select(int index) {
    ListControl::Select(index);
    text = SelectedText();
  }
  // Selects the first item equal to `item_text`; false, with nothing
  // changed, when there is none.
  bool SelectExact(std::u16string_view item_text) {
    int index = FindExact(item_text);
    if (index < 0) return false;
    Select(index);
    return true;
  }
  void Clear() {
    ListControl::Clear();
    text.clear();
  }

  bool operator==(const ComboControl&) const = default;

  std::u16string text;
};

// Sorted lists order by this: Latin letters folded to lower case first,
// then the exact text.
bool ListOrderLess(std::u16string_view a, std::u16string_view b);
bool EqualIgnoringLatinCase(std::u16string_view a, std::u16string_view b);

}  // namespace kavex::configurator

#endif  // KAVEX_CONFIGURATOR_CORE_CONTROLS_H_
