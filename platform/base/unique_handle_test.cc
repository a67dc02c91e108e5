#include "platform/base/unique_handle.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace kavex {
namespace {

std::vector<int> closed;

struct IntTraits {
  static int Invalid() { return -1; }
  static void Close(int h) { closed.push_back(h); }
};
using UniqueInt = BasicUniqueHandle<IntTraits>;

TEST(UniqueHandleTest, ClosesOnceWhenItGoesAndNeverTheInvalidValue) {
  closed.clear();
  {
    UniqueInt empty;
    UniqueInt a(3);
    UniqueInt b = std::move(a);  // ownership moves; a closes nothing
    EXPECT_FALSE(a.valid());
    EXPECT_EQ(b.get(), 3);
    b = UniqueInt(4);  // 3 closed when replaced
    EXPECT_EQ(closed, std::vector<int>{3});
    UniqueInt c(5);
    EXPECT_EQ(c.release(), 5);  // released: not closed
  }
  EXPECT_EQ(closed, (std::vector<int>{3, 4}));
}

TEST(UniqueHandleTest, ResetClosesTheOldHandle) {
  closed.clear();
  UniqueInt a(7);
  a.reset(8);
  a.reset();
  EXPECT_EQ(closed, (std::vector<int>{7, 8}));
  EXPECT_FALSE(a);
}

}  // namespace
}  // namespace kavex
