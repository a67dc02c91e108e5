#include "device/port_usage.h"

#include "device/velto_frame.h"

namespace kavex::device {
namespace {

// The steps, where the frame handler's ComputeUsage can inline them.
float Capacity(uint16_t speed, uint32_t elapsed_ms) {
  const uint32_t k = speed / 10u;
  const float per_percent = static_cast<float>(k) * 10'000'000.0f *
                            (static_cast<float>(elapsed_ms) / 1000.0f) / 8.0f /
                            100.0f;
  if (static_cast<float>(k) * 50'000.0f > per_percent)
    return static_cast<float>(k) * 70'000.0f;
  return per_percent;
}

float Direction(uint64_t now, uint64_t previous, float per_percent) {
  if (!(per_percent > 0)) return 0;
  const float percent =
      static_cast<float>(static_cast<int64_t>(now - previous)) / per_percent;
  if (!(percent < per_percent)) return per_percent;
  if (percent < 0) return 0;
  return percent;
}

}  // namespace

float CapacityPerPercent(uint16_t speed, uint32_t elapsed_ms) {
  return Capacity(speed, elapsed_ms);
}

float DirectionPercent(uint64_t now, uint64_t previous, float per_percent) {
  return Direction(now, previous, per_percent);
}

void ComputeUsage(const UsageSample& sample, UsageState* state) {
  const float per_percent = Capacity(sample.speed, sample.elapsed_ms);
  const float tx =
      Direction(sample.tx_octets, state->previous_tx_octets, per_percent);
  const float rx =
      Direction(sample.rx_octets, state->previous_rx_octets, per_percent);
  state->previous_tx_octets = sample.tx_octets;
  state->previous_rx_octets = sample.rx_octets;

  float usage;
  if (!(sample.status & kStatusEnabled)) {
    usage = 0;
  } else if (sample.status & kStatusFullDuplex) {
    usage = tx > rx ? tx : rx;
  } else {
    usage = tx + rx;
  }

  if (state->last_good_usage > 100 || state->last_good_usage < 0) {
    state->last_good_usage = 0;
  }
  if (usage >= 0 && usage <= 100) {
    state->last_good_usage = usage;
  } else {
    usage = state->last_good_usage;
  }
  state->usage = usage;
}

}  // namespace kavex::device
