#include "device/port_usage.h"

#include <gtest/gtest.h>

#include <cmath>

#include "device/velto_frame.h"

namespace kavex::device {
namespace {

constexpr uint8_t kEnabled = kStatusEnabled | kStatusLinkUp;
constexpr uint8_t kFullDuplex = kEnabled | kStatusFullDuplex;

// A port whose previous computation saw `tx` and `rx` octets.
UsageState After(uint64_t tx, uint64_t rx) {
  UsageState state;
  state.previous_tx_octets = tx;
  state.previous_rx_octets = rx;
  return state;
}

TEST(ComputeUsageTest, ShortIntervalUsesTheMinimumCapacity) {
  // 100 Mbit/s over 2.5 s: 312,500 bytes per percent, under the 500,000
  // floor, so 700,000 applies: tx 0.5 %, rx 1.0 %.
  UsageSample sample{100, 2500, kFullDuplex, 1'350'000, 2'700'000};
  UsageState full = After(1'000'000, 2'000'000);
  ComputeUsage(sample, &full);
  EXPECT_FLOAT_EQ(full.usage, 1.0f);
  EXPECT_FLOAT_EQ(full.last_good_usage, 1.0f);
  EXPECT_EQ(full.previous_tx_octets, 1'350'000u);
  EXPECT_EQ(full.previous_rx_octets, 2'700'000u);

  sample.status = kEnabled;  // half duplex: both directions share the link
  UsageState half = After(1'000'000, 2'000'000);
  ComputeUsage(sample, &half);
  EXPECT_FLOAT_EQ(half.usage, 1.5f);

  sample.status = kFullDuplex & ~kStatusEnabled;
  UsageState disabled = After(1'000'000, 2'000'000);
  ComputeUsage(sample, &disabled);
  EXPECT_EQ(disabled.usage, 0.0f);
}

TEST(ComputeUsageTest, LongIntervalUsesTheLinkCapacity) {
  // 10 s at 100 Mbit/s: 1,250,000 bytes per percent.
  UsageState state = After(0, 0);
  ComputeUsage({100, 10'000, kFullDuplex, 12'500'000, 2'500'000}, &state);
  EXPECT_FLOAT_EQ(state.usage, 10.0f);

  // 10 Mbit/s half duplex adds both directions.
  UsageState slow = After(0, 0);
  ComputeUsage({10, 10'000, kEnabled, 125'000, 250'000}, &slow);
  EXPECT_FLOAT_EQ(slow.usage, 3.0f);

  // Gigabit: k = 100.
  UsageState fast = After(0, 0);
  ComputeUsage({1000, 8'000, kFullDuplex, 0, 50'000'000}, &fast);
  EXPECT_FLOAT_EQ(fast.usage, 5.0f);
}

TEST(ComputeUsageTest, CounterGoingBackwardsContributesNothing) {
  UsageState state = After(5'000'000, 1'000'000);
  // tx restarted from a small value; rx grew by 0.5 %.
  ComputeUsage({100, 2500, kEnabled, 1000, 1'350'000}, &state);
  EXPECT_FLOAT_EQ(state.usage, 0.5f);
  EXPECT_EQ(state.previous_tx_octets, 1000u);
}

TEST(ComputeUsageTest, UsageAbove100KeepsTheLastGoodValue) {
  UsageState state = After(0, 0);
  ComputeUsage({100, 2500, kFullDuplex, 1'400'000, 0}, &state);
  ASSERT_FLOAT_EQ(state.usage, 2.0f);
  // 71,000,000 more bytes in 2.5 s is over 100 %.
  ComputeUsage({100, 2500, kFullDuplex, 72'400'000, 0}, &state);
  EXPECT_FLOAT_EQ(state.usage, 2.0f);
  EXPECT_FLOAT_EQ(state.last_good_usage, 2.0f);
  // The counters still move on, so the next interval measures correctly.
  ComputeUsage({100, 2500, kFullDuplex, 72'400'000 + 2'100'000, 0}, &state);
  EXPECT_FLOAT_EQ(state.usage, 3.0f);
}

TEST(ComputeUsageTest, FirstFrameMeasuredFromZeroShowsZero) {
  UsageState state;
  ComputeUsage({100, 100'000, kFullDuplex, 900'000'000'000ULL, 0}, &state);
  EXPECT_EQ(state.usage, 0.0f);
}

TEST(ComputeUsageTest, OutOfRangeLastGoodValueIsReset) {
  UsageState state = After(0, 0);
  state.last_good_usage = 250.0f;
  ComputeUsage({100, 2500, kFullDuplex, 100'000'000, 0}, &state);
  EXPECT_EQ(state.usage, 0.0f);
  EXPECT_EQ(state.last_good_usage, 0.0f);
}

TEST(ComputeUsageTest, SpeedUnder10MbitGivesZeroNotNaN) {
  for (uint16_t speed : {0, 1, 9}) {
    UsageState state = After(0, 0);
    ComputeUsage({speed, 2500, kEnabled, 1000, 0}, &state);
    EXPECT_FALSE(std::isnan(state.usage)) << speed;
    EXPECT_EQ(state.usage, 0.0f) << speed;
  }
}

TEST(ComputeUsageTest, CapacityPerPercent) {
  // 100 Mbit/s over 2.5 s is 312,500 bytes per percent, under the floor of
  // 500,000: the fixed 700,000 applies. Over 10 s the link's own capacity.
  EXPECT_FLOAT_EQ(CapacityPerPercent(100, 2500), 700'000.0f);
  EXPECT_FLOAT_EQ(CapacityPerPercent(100, 4000), 500'000.0f);  // at the floor
  EXPECT_FLOAT_EQ(CapacityPerPercent(100, 10'000), 1'250'000.0f);
  EXPECT_FLOAT_EQ(CapacityPerPercent(1000, 2500), 7'000'000.0f);
  // k is speed / 10 in whole numbers: 19 Mbit/s counts as 10.
  EXPECT_FLOAT_EQ(CapacityPerPercent(19, 10'000), 125'000.0f);
  EXPECT_EQ(CapacityPerPercent(9, 10'000), 0.0f);
}

// Each direction is clamped: not less than t gives t, below 0 gives 0.
TEST(ComputeUsageTest, DirectionPercentClamps) {
  const float t = 700'000.0f;
  EXPECT_FLOAT_EQ(DirectionPercent(1'350'000, 1'000'000, t), 0.5f);
  // Growth of t * t bytes is t percent exactly: not less than t, so t.
  EXPECT_EQ(DirectionPercent(490'000'000'000ull, 0, t), t);
  EXPECT_EQ(DirectionPercent(490'000'000'000ull + 1'000'000'000, 0, t), t);
  EXPECT_EQ(DirectionPercent(~0ull >> 1, 0, t), t);
  EXPECT_LT(DirectionPercent(490'000'000'000ull - 700'000, 0, t), t);
  // Backwards, by a little or by a 64-bit wrap.
  EXPECT_EQ(DirectionPercent(1000, 5'000'000, t), 0.0f);
  EXPECT_EQ(DirectionPercent(0, ~0ull >> 1, t), 0.0f);
  // No capacity: nothing to measure against, and never NaN.
  EXPECT_EQ(DirectionPercent(1000, 0, 0.0f), 0.0f);
  EXPECT_EQ(DirectionPercent(0, 0, 0.0f), 0.0f);
}

}  // namespace
}  // namespace kavex::device
