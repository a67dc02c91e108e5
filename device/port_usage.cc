#include "device/port_usage.h"

#include "device/velto_frame.h"

namespace kavex::device {
namespace {

// Percent of capacity `per_percent` (bytes per 1 %) that the octet counter
// grew by. A counter that went backwards (the switch restarted) counts 0.
float Percent(uint64_t now, uint64_t previous, float per_percent) {
  // Slow links (speed under 10 Mbit/s) have no capacity to measure against.
  if (!(per_percent > 0)) return 0;
  float percent =
      static_cast<float>(static_cast<int64_t>(now - previous)) / per_percent;
  if (!(percent < per_percent)) return per_percent;
  if (percent < 0) return 0;
  return percent;
}

}  // namespace

void ComputeUsage(const UsageSample& sample, UsageState* state) {
  const uint32_t k = sample.speed / 10;
  // Bytes the link carries in the interval per percent of its capacity.
  float per_percent = static_cast<float>(k) * 10'000'000.0f *
                      (static_cast<float>(sample.elapsed_ms) / 1000.0f) / 8.0f /
                      100.0f;
  // Short intervals would overstate bursts; they use a fixed floor instead.
  if (static_cast<float>(k) * 50'000.0f > per_percent) {
    per_percent = static_cast<float>(k) * 70'000.0f;
  }
  const float tx =
      Percent(sample.tx_octets, state->previous_tx_octets, per_percent);
  const float rx =
      Percent(sample.rx_octets, state->previous_rx_octets, per_percent);
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
