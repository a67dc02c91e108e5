#include "platform/com/bstr_cache.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/bstr.h"

namespace kavex::com {
namespace {

std::u16string Text(size_t length, char16_t first) {
  std::u16string s(length, u'x');
  for (size_t i = 0; i < length; ++i) s[i] = static_cast<char16_t>(first + i);
  return s;
}

// Each thread gets a cache of its own: a fresh one starts empty.
void OnFreshThread(void (*body)()) {
  std::thread thread(body);
  thread.join();
}

TEST(BstrCacheTest, FreedBlockIsTakenByTheNextStringOfItsSizeOnly) {
  OnFreshThread([] {
    EXPECT_EQ(BstrCacheBytesForTesting(), 0u);
    // "abcdefgh": 4 + 16 + 2 bytes, the class of 17..32-byte blocks.
    BSTR first = SysAllocString(u"abcdefgh");
    SysFreeString(first);
    EXPECT_EQ(BstrCacheBytesForTesting(), 32u);
    // Another class goes to the heap and leaves the cached block.
    BSTR other = SysAllocString(u"a");
    EXPECT_NE(other, first);
    EXPECT_EQ(BstrCacheBytesForTesting(), 32u);
    // Same class, other length: the old block, written in full.
    BSTR zeroed = SysAllocStringLen(nullptr, 10);
    EXPECT_EQ(zeroed, first);
    EXPECT_EQ(BstrCacheBytesForTesting(), 0u);
    EXPECT_EQ(SysStringLen(zeroed), 10u);
    for (UINT i = 0; i <= 10; ++i) EXPECT_EQ(zeroed[i], 0) << i;
    SysFreeString(zeroed);
    BSTR odd = SysAllocStringByteLen("abcdefghijklmno", 15);
    EXPECT_EQ(odd, first);
    EXPECT_EQ(SysStringByteLen(odd), 15u);
    EXPECT_EQ(std::memcmp(odd, "abcdefghijklmno\0\0", 17), 0);
    SysFreeString(odd);
    SysFreeString(other);
    EXPECT_EQ(BstrCacheBytesForTesting(), 32u + 16u);
  });
}

TEST(BstrCacheTest, HoldsAtMostItsLimitAndNoLargeBlocks) {
  OnFreshThread([] {
    // 61 characters: a 128-byte block, the largest kept; 62 is not kept.
    const std::u16string largest = Text(61, u'A');
    const std::u16string larger = Text(62, u'A');
    BSTR big = SysAllocStringLen(larger.data(), 62);
    SysFreeString(big);
    EXPECT_EQ(BstrCacheBytesForTesting(), 0u);

    const size_t room = kBstrCacheMaxBytes / kBstrCacheMaxBlock;
    std::vector<BSTR> strings;
    for (size_t i = 0; i < room + 100; ++i)
      strings.push_back(SysAllocStringLen(largest.data(), 61));
    for (BSTR s : strings) {
      ASSERT_EQ(BstrView(s), largest);
      SysFreeString(s);
    }
    EXPECT_EQ(BstrCacheBytesForTesting(), kBstrCacheMaxBytes);
    // The cached blocks serve as many strings again, then the heap does.
    strings.clear();
    for (size_t i = 0; i < room + 100; ++i)
      strings.push_back(SysAllocStringLen(largest.data(), 61));
    EXPECT_EQ(BstrCacheBytesForTesting(), 0u);
    for (BSTR s : strings) EXPECT_EQ(BstrView(s), largest);
    for (BSTR s : strings) SysFreeString(s);
  });
}

// Strings made on one thread and freed on another, while both keep
// making and freeing their own: every string arrives intact, and each
// thread's cache goes back to the heap when it ends (the leak checker of
// the sanitizer build sees any block left behind).
TEST(BstrCacheTest, StringsCrossThreadsIntact) {
  constexpr int kStrings = 20000;
  std::mutex mu;
  std::condition_variable ready;
  std::deque<std::pair<int, BSTR>> queue;
  bool done = false;
  auto text_of = [](int n) {
    const std::u16string digits = text::Utf8ToUtf16(std::to_string(n));
    return std::u16string(static_cast<size_t>(n % 40), u'.') + digits;
  };
  std::thread maker([&] {
    for (int n = 0; n < kStrings; ++n) {
      const std::u16string text = text_of(n);
      // One of its own, freed here: its block is reused by the next ones.
      SysFreeString(SysAllocStringLen(text.data(), 3));
      BSTR s = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
      std::lock_guard<std::mutex> lock(mu);
      queue.emplace_back(n, s);
      ready.notify_one();
    }
    std::lock_guard<std::mutex> lock(mu);
    done = true;
    ready.notify_one();
  });
  int received = 0, damaged = 0;
  std::thread taker([&] {
    for (;;) {
      std::unique_lock<std::mutex> lock(mu);
      ready.wait(lock, [&] { return done || !queue.empty(); });
      if (queue.empty()) return;
      auto [n, s] = queue.front();
      queue.pop_front();
      lock.unlock();
      if (BstrView(s) != text_of(n)) ++damaged;
      // Reused at once by a string of this thread's own.
      SysFreeString(s);
      BSTR mine = SysAllocStringLen(u"0123456789", static_cast<UINT>(n % 11));
      if (BstrView(mine) != std::u16string_view(u"0123456789", n % 11))
        ++damaged;
      SysFreeString(mine);
      ++received;
    }
  });
  maker.join();
  taker.join();
  EXPECT_EQ(received, kStrings);
  EXPECT_EQ(damaged, 0);
}

#if defined(__SANITIZE_ADDRESS__)
// A cached block is poisoned: use after free and a second free are
// reported as they are without the cache.
TEST(BstrCacheDeathTest, UseAfterFreeOfACachedStringIsReported) {
  EXPECT_DEATH(
      {
        BSTR s = SysAllocString(u"cached");
        SysFreeString(s);
        volatile char16_t c = s[0];
        (void)c;
      },
      "use-after-poison");
  EXPECT_DEATH(
      {
        BSTR s = SysAllocString(u"twice");
        SysFreeString(s);
        SysFreeString(s);
      },
      "use-after-poison");
}
#endif

}  // namespace
}  // namespace kavex::com
