// Item identifiers: dot-separated texts naming the device's values.
//
//   A.name     a switch item       (A the switch alias)
//   A.ZRing.name  a ring item
//   A.P.name   a port item         (P the port alias)
//
// The first dot ends the first segment, the next dot the second, and the
// rest, dots included, is the third. So an alias containing a dot can never
// be addressed.
#ifndef KAVEX_DEVICE_ITEM_ID_H_
#define KAVEX_DEVICE_ITEM_ID_H_

#include <string>
#include <string_view>

#include "platform/base/types.h"

namespace kavex::device {

// The path delimiter the device reports.
inline constexpr char kItemPathDelimiter[] = ".";

struct ItemIdSegments {
  std::string_view first;   // switch alias
  std::string_view second;  // port alias, "ZRing", or empty
  std::string_view third;   // item name
  // "A.B", the first two segments with their dot, when the identifier has
  // two dots; else empty. It names a port.
  std::string_view first_two;
};

// With one dot the second segment is empty and the rest is the third; with
// no dot all three are empty.
ItemIdSegments SplitItemId(std::string_view id);

// An item ID received as a BSTR, as UTF-8 text. Identifiers are nearly
// always ASCII; those are narrowed into an inline buffer without touching
// the heap, since a read costs little more than this conversion.
class ItemIdText {
 public:
  explicit ItemIdText(BSTR id);
  explicit ItemIdText(std::u16string_view id);
  ItemIdText(const ItemIdText&) = delete;
  ItemIdText& operator=(const ItemIdText&) = delete;

  std::string_view View() const { return view_; }
  // Whether every character was ASCII, so that the text has the same
  // characters as the identifier received.
  bool Ascii() const { return ascii_; }

 private:
  char inline_[128];
  std::string heap_;
  std::string_view view_;
  bool ascii_ = false;
};

}  // namespace kavex::device

#endif  // KAVEX_DEVICE_ITEM_ID_H_
