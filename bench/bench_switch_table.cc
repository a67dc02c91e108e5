// Cost of one received frame in the switch table, for a site of 1 and of
// 1000 switches with 28 ports each.
//
// BM_FrameThrottled: every frame is for a port inside its 2-second window,
//   the common case (switches send far more often than the table takes).
// BM_FrameAccepted: every frame is taken: decode, lock, update, usage and
//   publish. The clock moves 2001 ms at each read so no port is throttled.
//
// Frames arrive the way switches send them: each switch sends its report
// cycle, one frame per port, and the cycles of the switches follow each
// other. The *Interleaved cases show the worst case, port 1 of every switch,
// then port 2 of every switch and so on, where every frame lands on records
// far from the previous frame's. A ring of receive buffers is refilled a few
// frames ahead of the one handled, as the driver fills posted reads; only
// the source address and the port byte change.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "device/switch_table.h"
#include "device/testing/switch_table_fixtures.h"
#include "device/testing/velto_frame_builder.h"
#include "platform/sync/clock.h"

namespace kavex::bench {
namespace {

constexpr int kPortsPerSwitch = 28;

// A tick source that moves by `step` milliseconds at every read.
class SteppingClock : public sync::Clock {
 public:
  uint32_t TickCount() override { return tick_ += step_; }
  uint64_t FileTimeNow() override { return 0; }
  void set_step(uint32_t step) { step_ = step; }

 private:
  uint32_t tick_ = 100'000;
  uint32_t step_ = 0;
};

enum class Order { kSwitchCycles, kInterleaved };

struct Site {
  Site(int switch_count, Order visit_order) : table(&clock) {
    device::AdapterEntry adapter;
    for (int s = 0; s < switch_count; ++s) {
      char address[18];
      std::snprintf(address, sizeof address, "02.C4.7D.%02X.%02X.%02X",
                    (s >> 16) & 0xFF, (s >> 8) & 0xFF, s & 0xFF);
      adapter.switches.push_back(device::MakeSwitch(
          address, "SW" + std::to_string(s), 0, kPortsPerSwitch));
    }
    table.Install(std::move(adapter), "String");

    const std::vector<uint8_t> frame =
        device::VeltoFrameBuilder()
            .Status(device::kStatusLinkUp | device::kStatusEnabled |
                    device::kStatusFullDuplex | device::kStatus100Mbit)
            .Counter("tx_octets", 123'456'789)
            .Counter("rx_octets", 987'654'321)
            .Info(3, 0x0A00A8C0, 1, 0x0D, "T28-PLUS")
            .PortSpeedRecord(100)
            .Build();
    buffers.assign(kBuffers, frame);
    for (int i = 0; i < switch_count * kPortsPerSwitch; ++i) {
      const bool cycles = visit_order == Order::kSwitchCycles;
      const int s = cycles ? i / kPortsPerSwitch : i % switch_count;
      const int p = cycles ? i % kPortsPerSwitch : i / switch_count;
      order.push_back({static_cast<uint32_t>(s),
                       static_cast<uint8_t>((p % 8) << 4 | p / 8)});
    }
    for (size_t i = 0; i < kFillAhead; ++i) Fill(i);
    // The first round starts every switch's cycle; the second closes its
    // cycle lock and takes every port, so all ports are now in their window.
    for (size_t i = 0; i < 2 * order.size(); ++i) Send();
  }

  // Writes visit `i`'s frame into its receive buffer.
  void Fill(size_t i) {
    const Visit& visit = order[i % order.size()];
    std::vector<uint8_t>& frame = buffers[i % kBuffers];
    frame[9] = static_cast<uint8_t>(visit.switch_index >> 16);
    frame[10] = static_cast<uint8_t>(visit.switch_index >> 8);
    frame[11] = static_cast<uint8_t>(visit.switch_index);
    frame[frame.size() - device::kPortTrailerSize] = visit.port_byte;
  }

  // Handles the next frame and refills a buffer a few frames ahead.
  device::FrameResult Send() {
    Fill(next + kFillAhead);
    const std::vector<uint8_t>& frame = buffers[next++ % kBuffers];
    return table.HandleFrame(frame.data(), frame.size());
  }

  static constexpr size_t kBuffers = 8;
  static constexpr size_t kFillAhead = 4;
  struct Visit {
    uint32_t switch_index;
    uint8_t port_byte;
  };
  SteppingClock clock;
  device::SwitchTable table;
  std::vector<std::vector<uint8_t>> buffers;
  std::vector<Visit> order;
  size_t next = 0;
};

void RunFrames(benchmark::State& state, uint32_t clock_step,
               device::FrameResult expected,
               Order order = Order::kSwitchCycles) {
  Site site(static_cast<int>(state.range(0)), order);
  site.clock.set_step(clock_step);
  size_t unexpected = 0;
  for (auto _ : state) unexpected += site.Send() != expected;
  if (unexpected != 0) state.SkipWithError("a frame took the other path");
  state.SetItemsProcessed(state.iterations());
}

void BM_FrameThrottled(benchmark::State& state) {
  RunFrames(state, 0, device::FrameResult::kThrottled);
}

void BM_FrameAccepted(benchmark::State& state) {
  RunFrames(state, 2001, device::FrameResult::kAccepted);
}

void BM_FrameThrottledInterleaved(benchmark::State& state) {
  RunFrames(state, 0, device::FrameResult::kThrottled, Order::kInterleaved);
}

void BM_FrameAcceptedInterleaved(benchmark::State& state) {
  RunFrames(state, 2001, device::FrameResult::kAccepted, Order::kInterleaved);
}

// On a shared machine the fastest repetition is the figure to compare:
// run with --benchmark_repetitions=N to get it.
double Fastest(const std::vector<double>& times) {
  return *std::min_element(times.begin(), times.end());
}

BENCHMARK(BM_FrameThrottled)
    ->Arg(1)
    ->Arg(1000)
    ->ComputeStatistics("min", Fastest);
BENCHMARK(BM_FrameAccepted)
    ->Arg(1)
    ->Arg(1000)
    ->ComputeStatistics("min", Fastest);
BENCHMARK(BM_FrameThrottledInterleaved)
    ->Arg(1000)
    ->ComputeStatistics("min", Fastest);
BENCHMARK(BM_FrameAcceptedInterleaved)
    ->Arg(1000)
    ->ComputeStatistics("min", Fastest);

}  // namespace
}  // namespace kavex::bench

BENCHMARK_MAIN();
