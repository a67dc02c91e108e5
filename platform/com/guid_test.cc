#include "platform/com/guid.h"

#include <gtest/gtest.h>

#include <set>

#include "platform/com/unknown.h"

namespace kavex::com {
namespace {

constexpr GUID kSample = GuidLiteral("{1A23B247-C9CF-43F5-A7AE-6B1FF4BDB52A}");

TEST(GuidTest, TextFormRoundTrips) {
  EXPECT_EQ(0x1A23B247u, kSample.Data1);
  EXPECT_EQ(0xC9CF, kSample.Data2);
  EXPECT_EQ(0xA7, kSample.Data4[0]);
  EXPECT_EQ(0x2A, kSample.Data4[7]);
  EXPECT_EQ("{1A23B247-C9CF-43F5-A7AE-6B1FF4BDB52A}", GuidToString(kSample));
  GUID parsed{};
  ASSERT_TRUE(
      GuidFromString("{1a23b247-c9cf-43f5-a7ae-6b1ff4bdb52a}", &parsed));
  EXPECT_EQ(kSample, parsed);
  EXPECT_EQ("{00000000-0000-0000-C000-000000000046}",
            GuidToString(IID_IUnknown));

  OLECHAR text[39];
  EXPECT_EQ(0, StringFromGUID2(kSample, text, 38));
  ASSERT_EQ(39, StringFromGUID2(kSample, text, 39));
  EXPECT_EQ(u"{1A23B247-C9CF-43F5-A7AE-6B1FF4BDB52A}", std::u16string(text));
  IID iid{};
  ASSERT_EQ(S_OK, IIDFromString(text, &iid));
  EXPECT_EQ(kSample, iid);
}

TEST(GuidTest, MalformedTextIsRejected) {
  const char* bad[] = {
      "",
      "1A23B247-C9CF-43F5-A7AE-6B1FF4BDB52A",     // no braces
      "{1A23B247-C9CF-43F5-A7AE-6B1FF4BDB52A",    // one brace
      "{1A23B247-C9CF-43F5-A7AE-6B1FF4BDB52AA}",  // too long
      "{1A23B247-C9CF-43F5-A7AE6-B1FF4BDB52A}",   // dash misplaced
      "{1A23B24G-C9CF-43F5-A7AE-6B1FF4BDB52A}",   // not hex
      "{+A23B247-C9CF-43F5-A7AE-6B1FF4BDB52A}",
      "{1A23B247-C9CF-43F5-A7AE-6B1FF4BDB52A}\n",
  };
  for (const char* text : bad) {
    GUID g = kSample;
    EXPECT_FALSE(GuidFromString(text, &g)) << text;
    EXPECT_EQ(kSample, g) << text;
  }
  IID iid;
  EXPECT_EQ(E_INVALIDARG, IIDFromString(u"{not a guid}", &iid));
  EXPECT_EQ(E_INVALIDARG, IIDFromString(nullptr, &iid));
  EXPECT_FALSE(
      GuidFromString("{1A23B247-C9CF-43F5-A7AE-6B1FF4BDB52A}", nullptr));
}

TEST(GuidTest, CreatedGuidsAreUniqueVersion4) {
  std::set<GUID, GuidLess> seen;
  for (int i = 0; i < 1000; ++i) {
    GUID g;
    ASSERT_EQ(S_OK, CoCreateGuid(&g));
    EXPECT_EQ(0x4000, g.Data3 & 0xF000);
    EXPECT_EQ(0x80, g.Data4[0] & 0xC0);
    EXPECT_TRUE(seen.insert(g).second);
  }
  EXPECT_NE(GuidHash{}(kSample), GuidHash{}(IID_IUnknown));
}

}  // namespace
}  // namespace kavex::com
