// Port usage: the share of the link's capacity that a port used between two
// accepted frames, from the growth of its 64-bit octet counters. The device's
// switch table and the configurator's live view compute it the same way.
#ifndef KAVEX_DEVICE_PORT_USAGE_H_
#define KAVEX_DEVICE_PORT_USAGE_H_

#include <cstdint>

namespace kavex::device {

// What the computation keeps per port between frames.
struct UsageState {
  uint64_t previous_tx_octets = 0;
  uint64_t previous_rx_octets = 0;
  float usage = 0;            // percent
  float last_good_usage = 0;  // the last usage within 0..100
};

struct UsageSample {
  uint16_t speed = 0;       // Mbit/s
  uint32_t elapsed_ms = 0;  // since the port's previous computation
  uint8_t status = 0;       // the frame's status byte (enabled, duplex bits)
  uint64_t tx_octets = 0;
  uint64_t rx_octets = 0;
};

// The computation's two steps per direction, for its tests.
//
// t, the bytes per percent of the link's capacity over `elapsed_ms` at
// `speed` Mbit/s: k = speed / 10 (integer division), then
// k * 10,000,000 * (elapsed_ms / 1000) / 8 / 100, or k * 70,000 when that is
// less than k * 50,000 (short intervals would overstate bursts).
float CapacityPerPercent(uint16_t speed, uint32_t elapsed_ms);
// The percentage an octet counter's growth from `previous` to `now` is of
// `per_percent` (t): a counter that went backwards (the switch restarted)
// gives 0, a percentage not less than t gives t, a t that is not above 0
// (speed under 10 Mbit/s) gives 0.
float DirectionPercent(uint64_t now, uint64_t previous, float per_percent);

// Updates `state` with one sample. A usage outside 0..100 (the first sample
// measures from zero, a counter may jump) shows the last good usage instead.
void ComputeUsage(const UsageSample& sample, UsageState* state);

}  // namespace kavex::device

#endif  // KAVEX_DEVICE_PORT_USAGE_H_
