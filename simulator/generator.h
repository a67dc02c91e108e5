// Turns a scenario into the stream of frames its switches send: every switch
// reports each of its ports once per report cycle, the ports' frames spread
// evenly over the cycle, counters growing with the configured load.
#ifndef KAVEX_SIMULATOR_GENERATOR_H_
#define KAVEX_SIMULATOR_GENERATOR_H_

#include <cstdint>
#include <vector>

#include "simulator/frame_writer.h"
#include "simulator/scenario.h"

namespace kavex::simulator {

// One frame of a switch's report cycle.
struct PortSlot {
  uint8_t port_byte = 0;
  int number = 0;      // the port the receiver derives; 0: it drops the frame
  uint16_t speed = 0;  // Mbit/s
};

// The frames of one report cycle in send order. Ports are numbered by chip
// (8 per chip) and index; types 2 and 3 send their extra ports on index 8 of
// chips 0 and 2, and (with cpu=1) types 1 to 3 also send an index-8 frame the
// receiver must drop.
std::vector<PortSlot> PortLayout(const SwitchSpec& sw);

class Generator {
 public:
  explicit Generator(const Scenario& scenario);

  // Calls emit(const std::vector<uint8_t>& frame) for every frame due within
  // elapsed_ms of the start, in time order. A switch more than ten cycles
  // behind skips ahead instead of sending the backlog.
  template <typename Emit>
  void EmitDue(uint64_t elapsed_ms, Emit&& emit) {
    SkipBacklog(elapsed_ms);
    while (!switches_.empty() && NextDueMs() <= elapsed_ms) {
      if (BuildNext()) emit(frame_);
    }
  }

  // When the next frame falls due (ms since the start).
  uint64_t NextDueMs() const;

  // The next frame in time order, whatever the time; silent switches are
  // skipped. Returns null when the scenario sends nothing at all.
  const std::vector<uint8_t>* NextFrame(uint64_t* due_ms = nullptr);

  // Frames per second the scenario sends (silence ignored).
  double FramesPerSecond() const;

 private:
  struct PortState {
    PortCounterValues counters;
    uint64_t last_cycle = 0;
  };
  struct SwitchState {
    SwitchSpec sw;
    std::vector<PortSlot> layout;
    std::vector<PortState> ports;
    uint64_t cycle = 0;
    size_t slot = 0;
    uint64_t DueMs() const {
      return cycle * sw.cycle_ms + slot * sw.cycle_ms / layout.size();
    }
  };

  size_t NextSwitch() const;
  // Advances the earliest switch by one frame; false when it was silent.
  bool BuildNext();
  void SkipBacklog(uint64_t elapsed_ms);

  MacAddress destination_;
  std::vector<SwitchState> switches_;
  std::vector<uint8_t> frame_;
};

}  // namespace kavex::simulator

#endif  // KAVEX_SIMULATOR_GENERATOR_H_
