#include "simulator/generator.h"

#include <algorithm>

namespace kavex::simulator {
namespace {

uint8_t OrdinaryPortByte(int number) {
  int chip = (number - 1) / 8, index = (number - 1) % 8;
  return static_cast<uint8_t>(index << 4 | chip);
}

uint16_t PortSpeed(const SwitchSpec& sw, int number) {
  bool gigabit = (sw.type == 3 && (number == 25 || number == 26)) ||
                 (sw.type == 4 && (number == 13 || number == 14)) ||
                 (sw.type == 5 && (number == 17 || number == 18));
  return gigabit ? 1000 : static_cast<uint16_t>(sw.speed);
}

bool LinkUp(const SwitchSpec& sw, int number, uint64_t at_ms) {
  if (number == 0) return false;
  if (std::find(sw.down_ports.begin(), sw.down_ports.end(), number) !=
      sw.down_ports.end()) {
    return false;
  }
  if (sw.flap_port == number && sw.flap_ms > 0) {
    return (at_ms / sw.flap_ms) % 2 == 0;
  }
  return true;
}

bool Silent(const SwitchSpec& sw, uint64_t at_ms) {
  if (!sw.silent || at_ms < sw.silent_from_ms) return false;
  return sw.silent_forever || at_ms < sw.silent_to_ms;
}

// Adds one cycle's traffic at the switch's load.
void Grow(const SwitchSpec& sw, int number, uint16_t speed, uint64_t cycles,
          PortCounterValues* c) {
  double factor =
      std::min(1.0, sw.load_percent / 100.0 * (1 + number % 4) / 2.5);
  double bytes = speed * 1e6 / 8 * sw.cycle_ms / 1000.0 * factor;
  uint64_t tx = static_cast<uint64_t>(bytes) * cycles;
  uint64_t rx = static_cast<uint64_t>(bytes * 0.8) * cycles;
  uint32_t tx_pkts = static_cast<uint32_t>(tx / 600);
  uint32_t rx_pkts = static_cast<uint32_t>(rx / 600);
  c->tx_octets += tx;
  c->rx_octets += rx;
  c->rx_good_octets += rx;
  c->tx_unicast += tx_pkts * 9 / 10;
  c->tx_multicast += tx_pkts * 7 / 100;
  c->tx_broadcast += tx_pkts * 3 / 100;
  c->rx_unicast += rx_pkts * 9 / 10;
  c->rx_multicast += rx_pkts * 7 / 100;
  c->rx_broadcast += rx_pkts * 3 / 100;
  uint32_t all = tx_pkts + rx_pkts;
  c->pkts_64 += all * 3 / 10;
  c->pkts_65to127 += all * 2 / 10;
  c->pkts_128to255 += all / 10;
  c->pkts_256to511 += all / 10;
  c->pkts_512to1023 += all / 10;
  c->pkts_1024to1522 += all * 2 / 10;
  c->rx_fcs_errors += static_cast<uint32_t>(sw.errors_per_cycle * cycles);
  if (!sw.full_duplex) c->tx_collisions += static_cast<uint32_t>(tx_pkts / 100);
}

}  // namespace

std::vector<PortSlot> PortLayout(const SwitchSpec& sw) {
  std::vector<PortSlot> slots;
  const bool extra_ports = sw.type == 2 || sw.type == 3;
  int ordinary = sw.ports;
  if (extra_ports && (sw.ports == 9 || sw.ports == 17)) --ordinary;
  if (extra_ports && sw.ports >= 25) ordinary = 24;
  for (int n = 1; n <= ordinary; ++n) {
    slots.push_back({OrdinaryPortByte(n), n, PortSpeed(sw, n)});
  }
  if (extra_ports) {
    if (sw.ports == 9 || sw.ports == 17 || sw.ports >= 25) {
      int n = sw.ports >= 25 ? 25 : sw.ports;
      slots.push_back({0x80, n, PortSpeed(sw, n)});
    }
    if (sw.ports == 26) slots.push_back({0x82, 26, PortSpeed(sw, 26)});
    // Chip 1's index 8 is dropped once chip 1 is known.
    if (sw.cpu_frame && sw.ports > 9) slots.push_back({0x81, 0, 100});
  } else if (sw.type == 1 && sw.cpu_frame) {
    slots.push_back({0x80, 0, 100});
  }
  return slots;
}

Generator::Generator(const Scenario& scenario)
    : destination_(scenario.destination) {
  for (const SwitchSpec& sw : scenario.switches) {
    SwitchState s;
    s.sw = sw;
    s.layout = PortLayout(sw);
    s.ports.resize(s.layout.size());
    if (!s.layout.empty()) switches_.push_back(std::move(s));
  }
}

size_t Generator::NextSwitch() const {
  size_t best = 0;
  for (size_t i = 1; i < switches_.size(); ++i) {
    if (switches_[i].DueMs() < switches_[best].DueMs()) best = i;
  }
  return best;
}

uint64_t Generator::NextDueMs() const {
  return switches_.empty() ? UINT64_MAX : switches_[NextSwitch()].DueMs();
}

void Generator::SkipBacklog(uint64_t elapsed_ms) {
  for (SwitchState& s : switches_) {
    uint64_t cycle_ms = s.sw.cycle_ms;
    if (s.DueMs() + 10 * cycle_ms < elapsed_ms) {
      s.cycle = elapsed_ms / cycle_ms - 1;
      s.slot = 0;
    }
  }
}

bool Generator::BuildNext() {
  SwitchState& s = switches_[NextSwitch()];
  const uint64_t at = s.DueMs();
  const PortSlot& slot = s.layout[s.slot];
  PortState& port = s.ports[s.slot];
  const uint64_t cycle = s.cycle;
  if (++s.slot == s.layout.size()) {
    s.slot = 0;
    ++s.cycle;
  }
  if (Silent(s.sw, at)) return false;

  const bool up = LinkUp(s.sw, slot.number, at);
  if (up && cycle > port.last_cycle) {
    Grow(s.sw, slot.number, slot.speed, cycle - port.last_cycle,
         &port.counters);
  }
  port.last_cycle = cycle;

  FrameContent c;
  c.destination = destination_;
  c.source = s.sw.address;
  c.info_version = s.sw.info_version;
  c.ip = s.sw.ip;
  c.ring_version = s.sw.ring_version;
  c.ring_flags = s.sw.ring_flags;
  if (s.sw.ring_flap_ms > 0 && (at / s.sw.ring_flap_ms) % 2 == 1) {
    c.ring_flags &= ~0x0C;  // ring state "Fault"
  }
  c.config_text = s.sw.config_text;
  c.extra_record = s.sw.extra_record;
  c.speed_record = slot.speed;
  c.port_byte = slot.port_byte;
  c.status = kStatusEnabled;
  if (up) c.status |= kStatusLinkUp;
  if (s.sw.full_duplex) c.status |= kStatusFullDuplex;
  if (slot.speed >= 100) c.status |= kStatus100Mbit;
  c.counters = port.counters;
  WriteFrame(c, &frame_);
  return true;
}

const std::vector<uint8_t>* Generator::NextFrame(uint64_t* due_ms) {
  // A scenario may be silent for a long time; give up after a full pass of
  // every switch's cycles without a frame.
  size_t budget = 0;
  for (const SwitchState& s : switches_) budget += s.layout.size() * 1000;
  for (size_t i = 0; i < budget; ++i) {
    uint64_t due = NextDueMs();
    if (BuildNext()) {
      if (due_ms != nullptr) *due_ms = due;
      return &frame_;
    }
  }
  return nullptr;
}

double Generator::FramesPerSecond() const {
  double fps = 0;
  for (const SwitchState& s : switches_) {
    fps += s.layout.size() * 1000.0 / s.sw.cycle_ms;
  }
  return fps;
}

}  // namespace kavex::simulator
