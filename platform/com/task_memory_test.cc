#include "platform/com/task_memory.h"

#include <gtest/gtest.h>

#include <cstring>

namespace kavex::com {
namespace {

TEST(TaskMemoryTest, ReallocKeepsContentsAndFreeTakesNull) {
  char* p = static_cast<char*>(CoTaskMemAlloc(4));
  ASSERT_NE(p, nullptr);
  std::memcpy(p, "abc", 4);
  p = static_cast<char*>(CoTaskMemRealloc(p, 1 << 16));
  ASSERT_NE(p, nullptr);
  EXPECT_STREQ(p, "abc");
  CoTaskMemFree(p);
  CoTaskMemFree(nullptr);
  void* tiny = CoTaskMemAlloc(0);
  EXPECT_NE(tiny, nullptr);
  EXPECT_EQ(CoTaskMemRealloc(tiny, 0), nullptr);  // freed
}

}  // namespace
}  // namespace kavex::com
