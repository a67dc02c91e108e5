#include "configurator/core/config_rules.h"

#include <gtest/gtest.h>

namespace kavex::configurator {
namespace {

TEST(ConfigRulesTest, AdapterNameNeedsABackslashAfterTheFirstCharacter) {
  EXPECT_TRUE(AdapterNameMatches(u"\\Device\\eth0", u"\\Device\\eth0"));
  EXPECT_TRUE(AdapterNameMatches(u"\\DEVICE\\ETH0", u"\\device\\eth0"));
  EXPECT_TRUE(AdapterNameMatches(u"a\\b", u"A\\B"));
  EXPECT_FALSE(AdapterNameMatches(u"eth0", u"eth0"));      // no backslash
  EXPECT_FALSE(AdapterNameMatches(u"\\eth0", u"\\eth0"));  // only a leading one
  EXPECT_FALSE(AdapterNameMatches(u"\\Device\\eth0", u"\\Device\\eth1"));
  EXPECT_FALSE(AdapterNameMatches(u"\\Device\\eth0", u"\\Device\\eth00"));
  EXPECT_FALSE(AdapterNameMatches(u"", u""));
  // Case is ignored for Latin letters only, as the adapter names are.
  EXPECT_FALSE(AdapterNameMatches(u"\\Device\\Ä", u"\\Device\\ä"));
}

TEST(ConfigRulesTest, ModelFromAliasTakesFirstCatalogModelAfterPositionZero) {
  const std::vector<std::u16string> models = {u"VX-8", u"VX", u"RX-16"};
  EXPECT_EQ(ModelFromAlias(u"Line1_VX_1A2B3C", models), u"VX");
  EXPECT_EQ(ModelFromAlias(u"Hall_VX-8_00", models), u"VX-8");  // catalog order
  EXPECT_EQ(ModelFromAlias(u"VX_1A2B3C", models), u"");     // starts with it
  EXPECT_EQ(ModelFromAlias(u"VX-8 then VX", models), u"");  // first find at 0
  EXPECT_EQ(ModelFromAlias(u"Plain", models), u"");
  EXPECT_EQ(ModelFromAlias(u"xRX-16", {}), u"");
  EXPECT_EQ(ModelFromAlias(u"abc", {u""}), u"");  // "" occurs at 0 only
}

TEST(ConfigRulesTest, PortNumbersReadLikeAtoiAndKeepTheLowByte) {
  EXPECT_EQ(ParsePortNumber(u"7"), 7);
  EXPECT_EQ(ParsePortNumber(u"  12abc"), 12);
  EXPECT_EQ(ParsePortNumber(u"300"), 44);
  EXPECT_EQ(ParsePortNumber(u"+5"), 5);
  EXPECT_EQ(ParsePortNumber(u"-1"), 255);
  EXPECT_EQ(ParsePortNumber(u""), 0);
  EXPECT_EQ(ParsePortNumber(u"x1"), 0);
  // Overlong numbers wrap rather than overflow: 2^32 + 44.
  EXPECT_EQ(ParsePortNumber(u"4294967340"), 44);
}

TEST(ConfigRulesTest, LastModifiedUsesTwelveHourClock) {
  SYSTEMTIME t{2016, 7, 1, 4, 15, 5, 9, 0};
  EXPECT_EQ(FormatLastModified(t), u"07/04/2016 03:05:09 PM");
  t.wHour = 0;
  EXPECT_EQ(FormatLastModified(t), u"07/04/2016 12:05:09 AM");
  t.wHour = 12;
  EXPECT_EQ(FormatLastModified(t), u"07/04/2016 12:05:09 PM");
  t.wHour = 11;
  EXPECT_EQ(FormatLastModified(t), u"07/04/2016 11:05:09 AM");
}

}  // namespace
}  // namespace kavex::configurator
