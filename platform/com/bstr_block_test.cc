#include "platform/com/bstr_block.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/com/bstr.h"
#include "platform/com/variant.h"

namespace kavex::com {
namespace {

TEST(BstrBlockTest, StringsReadAsBstrsAndStayPutWhileTheBlockGrows) {
  BstrBlock block;
  std::vector<std::u16string> texts;
  std::vector<BSTR> strings;
  // Enough strings of every length 0..300 to take many chunks, each with
  // its own contents (embedded NULs included).
  for (int n = 0; n < 20000; ++n) {
    std::u16string text(static_cast<size_t>(n % 301), u'a');
    for (size_t i = 0; i < text.size(); ++i)
      text[i] = static_cast<char16_t>((n + i) % 7 == 0 ? 0 : u'a' + (n + i) % 26);
    texts.push_back(text);
    strings.push_back(
        block.Add(text.data(), static_cast<UINT>(text.size())));
    ASSERT_NE(strings.back(), nullptr);
  }
  EXPECT_GT(block.ReservedBytes(), size_t{4} << 20);
  for (size_t n = 0; n < strings.size(); ++n) {
    const BSTR s = strings[n];
    ASSERT_EQ(reinterpret_cast<uintptr_t>(s) % 4, 0u) << n;
    ASSERT_EQ(SysStringLen(s), texts[n].size()) << n;
    ASSERT_EQ(BstrView(s), texts[n]) << n;
    ASSERT_EQ(s[texts[n].size()], u'\0') << n;
  }
  // A copy made from one is an ordinary string of its own.
  VARIANT lent;
  lent.vt = VT_BSTR;
  lent.bstrVal = strings[300];
  Variant copy;
  ASSERT_EQ(VariantCopy(&copy, &lent), S_OK);
  EXPECT_NE(copy.bstrVal, strings[300]);
  EXPECT_EQ(BstrView(copy.bstrVal), texts[300]);
}

TEST(BstrBlockTest, NullCharactersAreZerosAndOversizeIsRefused) {
  BstrBlock block;
  BSTR zeroed = block.Add(nullptr, 5);
  ASSERT_NE(zeroed, nullptr);
  EXPECT_EQ(SysStringLen(zeroed), 5u);
  for (int i = 0; i <= 5; ++i) EXPECT_EQ(zeroed[i], 0);
  BSTR empty = block.Add(u"", 0);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(SysStringLen(empty), 0u);
  EXPECT_EQ(empty[0], 0);
  EXPECT_EQ(block.Add(nullptr, 0x40000000u), nullptr);
  EXPECT_EQ(block.Add(nullptr, 0xFFFFFFFFu), nullptr);
  // The block still works after a refusal.
  BSTR after = block.Add(u"after", 5);
  EXPECT_EQ(BstrView(after), u"after");
  EXPECT_EQ(BstrView(zeroed), std::u16string(5, u'\0'));
}

}  // namespace
}  // namespace kavex::com
