// Cost of one received frame in the switch table, for a site of 1 and of
// 1000 switches with 28 ports each.
//
// BM_FrameThrottled: every frame is for a port inside its 2-second window,
//   the common case (switches send far more often than the table takes).
// BM_FrameAccepted: every frame is taken: decode, lock, update, usage and
//   publish. The clock moves 2001 ms at each read so no port is throttled.
//
// Frames visit the ports the way many switches interleave on a LAN: port 1
// of every switch, then port 2 of every switch, and so on; the frame buffer
// is reused and only its source address and port byte change, as a receive
// buffer would be refilled.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "device/switch_table.h"
#include "device/testing/switch_table_fixtures.h"
#include "device/testing/velto_frame_builder.h"
#include "platform/sync/clock.h"

namespace {

constexpr int kPortsPerSwitch = 28;

// A tick source that moves by `step` milliseconds at every read.
class SteppingClock : public Clock {
 public:
  uint32_t TickCount() override { return tick_ += step_; }
  uint64_t FileTimeNow() override { return 0; }
  void set_step(uint32_t step) { step_ = step; }

 private:
  uint32_t tick_ = 100'000;
  uint32_t step_ = 0;
};

struct Site {
  explicit Site(int switch_count) : table(&clock) {
    AdapterEntry adapter;
    for (int s = 0; s < switch_count; ++s) {
      char address[18];
      std::snprintf(address, sizeof address, "02.C4.7D.%02X.%02X.%02X",
                    (s >> 16) & 0xFF, (s >> 8) & 0xFF, s & 0xFF);
      adapter.switches.push_back(
          MakeSwitch(address, "SW" + std::to_string(s), 0, kPortsPerSwitch));
    }
    table.Install(std::move(adapter), "String");

    frame = VeltoFrameBuilder()
                .Status(kStatusLinkUp | kStatusEnabled | kStatusFullDuplex |
                        kStatus100Mbit)
                .Counter("tx_octets", 123'456'789)
                .Counter("rx_octets", 987'654'321)
                .Info(3, 0x0A00A8C0, 1, 0x0D, "T28-PLUS")
                .PortSpeedRecord(100)
                .Build();
    for (int p = 0; p < kPortsPerSwitch; ++p) {
      for (int s = 0; s < switch_count; ++s) {
        order.push_back({static_cast<uint32_t>(s),
                         static_cast<uint8_t>((p % 8) << 4 | p / 8)});
      }
    }
    // The first round starts every switch's cycle; the second closes its
    // cycle lock and takes every port, so all ports are now in their window.
    for (int round = 0; round < 2; ++round) {
      for (size_t i = 0; i < order.size(); ++i) Send(i);
    }
  }

  FrameResult Send(size_t i) {
    const Visit& visit = order[i];
    frame[9] = static_cast<uint8_t>(visit.switch_index >> 16);
    frame[10] = static_cast<uint8_t>(visit.switch_index >> 8);
    frame[11] = static_cast<uint8_t>(visit.switch_index);
    frame[frame.size() - kPortTrailerSize] = visit.port_byte;
    return table.HandleFrame(frame.data(), frame.size());
  }

  struct Visit {
    uint32_t switch_index;
    uint8_t port_byte;
  };
  SteppingClock clock;
  SwitchTable table;
  std::vector<uint8_t> frame;
  std::vector<Visit> order;
};

void RunFrames(benchmark::State& state, uint32_t clock_step,
               FrameResult expected) {
  Site site(static_cast<int>(state.range(0)));
  site.clock.set_step(clock_step);
  size_t i = 0;
  size_t unexpected = 0;
  for (auto _ : state) {
    unexpected += site.Send(i) != expected;
    if (++i == site.order.size()) i = 0;
  }
  if (unexpected != 0) state.SkipWithError("a frame took the other path");
  state.SetItemsProcessed(state.iterations());
}

void BM_FrameThrottled(benchmark::State& state) {
  RunFrames(state, 0, FrameResult::kThrottled);
}

void BM_FrameAccepted(benchmark::State& state) {
  RunFrames(state, 2001, FrameResult::kAccepted);
}

BENCHMARK(BM_FrameThrottled)->Arg(1)->Arg(1000);
BENCHMARK(BM_FrameAccepted)->Arg(1)->Arg(1000);

}  // namespace

BENCHMARK_MAIN();
