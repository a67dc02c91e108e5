#include "platform/log/logger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace kavex::log {
namespace {

TEST(LoggerTest, LinesBelowTheSinksLevelAreDropped) {
  Recorder recorder;
  ScopedSink scoped(recorder.sink(Level::kWarning));
  Logf(Level::kInfo, "pkio", "not %s", "kept");
  Logf(Level::kError, "pkio", "cannot open %s: %d", "eth9", 2);
  Log(Level::kWarning, "registry", "hive damaged");
  EXPECT_FALSE(Enabled(Level::kDebug));
  EXPECT_TRUE(Enabled(Level::kError));
  std::vector<Recorder::Line> lines = recorder.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].level, Level::kError);
  EXPECT_EQ(lines[0].category, "pkio");
  EXPECT_EQ(lines[0].message, "cannot open eth9: 2");
  EXPECT_EQ(lines[1].category, "registry");
}

TEST(LoggerTest, LongMessagesAreCutNotOverrun) {
  Recorder recorder;
  ScopedSink scoped(recorder.sink());
  std::string big(10000, 'x');
  Logf(Level::kInfo, "test", "%s", big.c_str());
  ASSERT_EQ(recorder.lines().size(), 1u);
  EXPECT_EQ(recorder.lines()[0].message.size(), 4095u);
}

// A sink that counts its lines and how often it was cleared.
struct CountingSink {
  std::atomic<int> lines{0};
  std::atomic<int> clears{0};
  Sink sink() {
    Sink s;
    s.log = [](void* c, Level, const char*, const char*) {
      ++static_cast<CountingSink*>(c)->lines;
    };
    s.clear = [](void* c) { ++static_cast<CountingSink*>(c)->clears; };
    s.context = this;
    s.level = Level::kDebug;
    return s;
  }
};

TEST(LoggerTest, SinksReplacedWhileThreadsLogLoseNoLineAndClearOnce) {
  constexpr int kThreads = 4;
  constexpr int kLinesEach = 5000;
  constexpr int kSinks = 50;
  std::vector<CountingSink> sinks(kSinks);
  SetSink(sinks[0].sink());
  std::atomic<bool> go{false};
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&] {
      while (!go) std::this_thread::yield();
      for (int i = 0; i < kLinesEach; ++i) Logf(Level::kInfo, "t", "%d", i);
    });
  }
  go = true;
  for (int i = 1; i < kSinks; ++i) {
    SetSink(sinks[i].sink());
    std::this_thread::yield();
  }
  for (std::thread& w : writers) w.join();
  ResetSink();
  int total = 0;
  for (CountingSink& s : sinks) {
    total += s.lines;
    EXPECT_EQ(s.clears.load(), 1);
  }
  EXPECT_EQ(total, kThreads * kLinesEach);
}

TEST(LoggerTest, NullSinkDiscards) {
  SetSink(Sink{});
  Logf(Level::kError, "test", "into the void");
  ResetSink();
  SUCCEED();
}

}  // namespace
}  // namespace kavex::log
