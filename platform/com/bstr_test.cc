#include "platform/com/bstr.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>

namespace kavex::com {
namespace {

TEST(BstrTest, LayoutIsByteCountCharactersAndTerminator) {
  BSTR b = SysAllocString(u"abc");
  ASSERT_NE(b, nullptr);
  uint32_t prefix;
  std::memcpy(&prefix, reinterpret_cast<char*>(b) - 4, 4);
  EXPECT_EQ(prefix, 6u);
  EXPECT_EQ(SysStringLen(b), 3u);
  EXPECT_EQ(SysStringByteLen(b), 6u);
  EXPECT_EQ(b[3], u'\0');
  SysFreeString(b);
}

TEST(BstrTest, NullIsAValidEmptyString) {
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysStringByteLen(nullptr), 0u);
  SysFreeString(nullptr);
  EXPECT_TRUE(BstrView(nullptr).empty());

  Bstr null_string;
  Bstr empty(u"");
  EXPECT_NE(empty.Get(), nullptr);  // "" is allocated, unlike null
  EXPECT_EQ(null_string, empty);
  EXPECT_TRUE(null_string.Empty());
  EXPECT_EQ(null_string.Copy(), nullptr);
  EXPECT_EQ(null_string.ToUtf8(), "");
}

TEST(BstrTest, EmbeddedNulsSurviveCopies) {
  const char16_t text[] = {u'a', 0, u'b', 0, u'c'};
  BSTR b = SysAllocStringLen(text, 5);
  ASSERT_EQ(SysStringLen(b), 5u);
  Bstr owner;
  owner.Attach(b);
  Bstr copy = owner;
  EXPECT_NE(copy.Get(), owner.Get());
  EXPECT_EQ(copy.View(), std::u16string_view(text, 5));
  BSTR raw = copy.Copy();
  EXPECT_EQ(SysStringLen(raw), 5u);
  SysFreeString(raw);
  // Only the prefix tells the length; a cut at the first NUL would differ.
  EXPECT_NE(copy, Bstr(u"a"));
  EXPECT_EQ(copy.ToUtf8(), std::string("a\0b\0c", 5));
}

TEST(BstrTest, ByteLengthStringsKeepOddCounts) {
  BSTR b = SysAllocStringByteLen("xyz", 3);
  EXPECT_EQ(SysStringByteLen(b), 3u);
  EXPECT_EQ(SysStringLen(b), 1u);
  EXPECT_EQ(std::memcmp(b, "xyz\0\0", 5), 0);
  SysFreeString(b);

  BSTR zeroed = SysAllocStringLen(nullptr, 4);
  for (int i = 0; i <= 4; ++i) EXPECT_EQ(zeroed[i], 0);
  SysFreeString(zeroed);
}

TEST(BstrTest, ReAllocAcceptsItsOwnTail) {
  BSTR b = SysAllocString(u"hello world");
  ASSERT_TRUE(SysReAllocString(&b, b + 6));
  EXPECT_EQ(BstrView(b), u"world");
  ASSERT_TRUE(SysReAllocStringLen(&b, b, 3));
  EXPECT_EQ(BstrView(b), u"wor");
  ASSERT_TRUE(SysReAllocString(&b, nullptr));
  EXPECT_NE(b, nullptr);
  EXPECT_EQ(SysStringLen(b), 0u);
  SysFreeString(b);
  EXPECT_FALSE(SysReAllocString(nullptr, u"x"));
}

TEST(BstrTest, OwnershipMovesWithDetachAttachAndOut) {
  Bstr a(u"one");
  BSTR raw = a.Detach();
  EXPECT_EQ(a.Get(), nullptr);
  Bstr b;
  b.Attach(raw);
  EXPECT_EQ(b.View(), u"one");

  BSTR* out = b.Out();  // frees "one"
  EXPECT_EQ(*out, nullptr);
  *out = SysAllocString(u"two");
  EXPECT_EQ(b.View(), u"two");

  Bstr moved = std::move(b);
  EXPECT_EQ(moved.View(), u"two");
  EXPECT_EQ(b.Get(), nullptr);  // NOLINT(bugprone-use-after-move)
  moved = moved;
  EXPECT_EQ(moved.View(), u"two");
}

TEST(BstrTest, OrdersOrdinallyForMaps) {
  std::map<Bstr, int> names;
  names[Bstr(u"b")] = 2;
  names[Bstr(u"B")] = 1;
  names[Bstr(u"a")] = 3;
  names[Bstr(u"\u00e9")] = 4;
  std::u16string order;
  for (auto& [name, value] : names) order += name.View();
  EXPECT_EQ(order, u"Bab\u00e9");
}

TEST(Utf8Test, RoundTripsEveryPlane) {
  const std::string text =
      "A\u00e9\u20ac\U0001F600z";  // 1-, 2-, 3- and 4-byte forms
  const std::u16string wide = text::Utf8ToUtf16(text);
  EXPECT_EQ(wide, u"A\u00e9\u20ac\U0001F600z");
  EXPECT_EQ(wide.size(), 6u);  // the emoji is a surrogate pair
  EXPECT_EQ(text::Utf16ToUtf8(wide), text);

  Bstr b = Bstr::FromUtf8(text);
  EXPECT_EQ(b.Length(), 6u);
  EXPECT_EQ(b.ToUtf8(), text);
  EXPECT_EQ(text::Utf8ToUtf16(std::string("\0x", 2)),
            std::u16string(u"\0x", 2));
}

TEST(Utf8Test, MalformedInputBecomesReplacementCharacters) {
  struct Case {
    std::string in;
    std::u16string out;
  } cases[] = {
      {"\x80", u"\uFFFD"},  // stray continuation
      {"a\xFF"
       "b",
       u"a\uFFFDb"},                                      // never valid
      {"\xC0\xAF", u"\uFFFD\uFFFD"},                      // overlong '/'
      {"\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},            // overlong 3-byte
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},            // encoded surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
      {"\xE2\x82", u"\uFFFD"},  // truncated at the end
      {"\xE2\x82"
       "A",
       u"\uFFFDA"},                 // truncated, text resumes
      {"\xF0\x9F\x98", u"\uFFFD"},  // truncated 4-byte
  };
  for (const Case& c : cases)
    EXPECT_EQ(text::Utf8ToUtf16(c.in), c.out) << "input of " << c.in.size();
}

TEST(Utf8Test, UnpairedSurrogatesBecomeReplacementCharacters) {
  const std::u16string lone_high = {u'x', char16_t(0xD83D), u'y'};
  EXPECT_EQ(text::Utf16ToUtf8(lone_high), "x\xEF\xBF\xBDy");
  const std::u16string reversed = {char16_t(0xDE00), char16_t(0xD83D)};
  EXPECT_EQ(text::Utf16ToUtf8(reversed), "\xEF\xBF\xBD\xEF\xBF\xBD");
  const std::u16string trailing_high = {char16_t(0xD83D)};
  EXPECT_EQ(text::Utf16ToUtf8(trailing_high), "\xEF\xBF\xBD");
}

}  // namespace
}  // namespace kavex::com
