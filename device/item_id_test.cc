#include "device/item_id.h"

#include <gtest/gtest.h>

#include "platform/com/bstr.h"

namespace kavex::device {
namespace {

void ExpectSegments(std::string_view id, std::string_view first,
                    std::string_view second, std::string_view third) {
  const ItemIdSegments segments = SplitItemId(id);
  EXPECT_EQ(segments.first, first) << id;
  EXPECT_EQ(segments.second, second) << id;
  EXPECT_EQ(segments.third, third) << id;
}

TEST(SplitItemIdTest, SegmentsEndAtTheFirstTwoDots) {
  ExpectSegments("SW1.P3.rx_fcs_errors", "SW1", "P3", "rx_fcs_errors");
  ExpectSegments("SW1.ZRing.State", "SW1", "ZRing", "State");
  // The rest, dots included, is the third segment.
  ExpectSegments("SW1.P3.a.b", "SW1", "P3", "a.b");
  ExpectSegments("SW1..Speed", "SW1", "", "Speed");
  ExpectSegments("SW1.P3.", "SW1", "P3", "");
  EXPECT_EQ(SplitItemId("SW1.P3.Speed").first_two, "SW1.P3");
}

TEST(SplitItemIdTest, OneDotLeavesTheSecondEmptyNoDotLeavesAllEmpty) {
  ExpectSegments("SW1.Status", "SW1", "", "Status");
  EXPECT_TRUE(SplitItemId("SW1.Status").first_two.empty());
  ExpectSegments(".Speed", "", "", "Speed");
  ExpectSegments("SW1", "", "", "");
  ExpectSegments("", "", "", "");
}

TEST(ItemIdTextTest, NarrowsAsciiAndConvertsTheRest) {
  com::Bstr ascii(u"SW1.P1.Speed");
  EXPECT_EQ(ItemIdText(ascii.Get()).View(), "SW1.P1.Speed");
  EXPECT_TRUE(ItemIdText(ascii.Get()).Ascii());
  com::Bstr accented(u"Sch\u00e4ltr.P1.Speed");
  EXPECT_EQ(ItemIdText(accented.Get()).View(), "Sch\xc3\xa4ltr.P1.Speed");
  EXPECT_FALSE(ItemIdText(accented.Get()).Ascii());
  // The last character alone is beyond ASCII.
  EXPECT_FALSE(ItemIdText(std::u16string_view(u"SW1.P1.Spee\u0100")).Ascii());
  EXPECT_EQ(ItemIdText(nullptr).View(), "");
  // Longer than the inline buffer, and with an embedded NUL kept.
  std::u16string long_id(300, u'x');
  long_id[5] = u'\0';
  com::Bstr long_bstr{std::u16string_view(long_id)};
  const ItemIdText text(long_bstr.Get());
  const std::string_view view = text.View();
  ASSERT_EQ(view.size(), 300u);
  EXPECT_EQ(view[5], '\0');
}

}  // namespace
}  // namespace kavex::device
