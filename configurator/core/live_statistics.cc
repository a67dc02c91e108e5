#include "configurator/core/live_statistics.h"

#include <cstdio>
#include <cstring>

#include "device/port_usage.h"
#include "device/velto_frame.h"

namespace kavex::configurator {
namespace {

std::u16string Ascii(const char* text) {
  return std::u16string(text, text + std::strlen(text));
}

}  // namespace

void UpdateLiveStatistics(ConfigSwitch* sw, const uint8_t* frame, size_t len,
                          uint32_t tick) {
  const uint8_t port_byte = device::PortByte(frame, len);
  device::PortNumberState numbering;
  std::memcpy(numbering.chip_present, sw->chip_present,
              sizeof numbering.chip_present);
  sw->heard = true;
  const int number = device::ResolvePortNumber(&numbering, sw->runtime_type,
                                               port_byte,
                                               /*use_cycle_lock=*/false);
  std::memcpy(sw->chip_present, numbering.chip_present,
              sizeof sw->chip_present);
  if (number == 0) return;

  ConfigPort* port = nullptr;
  for (ConfigPort& p : sw->ports) {
    if (p.number == number) {
      port = &p;
      break;
    }
  }
  if (port == nullptr) return;
  PortLive& live = port->live;
  live.frame_tick = tick;
  const uint32_t elapsed = tick - live.computed_tick;
  if (elapsed <= kLiveIntervalMs) return;

  // The switch was just heard: its silence starts again from nothing.
  sw->live.seconds = 0;
  live.computed_tick = tick;
  live.status = device::StatusByte(frame, len);
  live.port_byte = port_byte;
  std::memcpy(live.counters.bytes.data(), device::CountersBytes(frame, len),
              device::kPortCountersSize);
  live.stale = false;
  live.seconds = 0;

  const device::FrameInfo info = device::DecodeFrameInfo(frame, len);
  sw->live.ipv4_address = info.ipv4_address;
  sw->live.ring_version = info.ring_version;
  sw->live.ring_flags = static_cast<uint8_t>((sw->live.ring_flags & 0xF0) |
                                             (info.ring_flags & 0x0F));
  std::memcpy(sw->live.config_text, info.config_text,
              sizeof sw->live.config_text);
  live.speed = info.port_speed != 0
                   ? info.port_speed
                   : device::DefaultPortSpeed(live.status, sw->runtime_type,
                                              number);

  device::UsageSample sample;
  sample.speed = live.speed;
  sample.elapsed_ms = elapsed;
  sample.status = live.status;
  sample.tx_octets = device::TxOctets(live.counters);
  sample.rx_octets = device::RxOctets(live.counters);
  device::ComputeUsage(sample, &live.usage);
  live.updated = true;
}

bool SwitchOffline(const ConfigSwitch& sw, DWORD timeout) {
  return sw.live.seconds > static_cast<int64_t>(timeout);
}

void AgeLivePorts(ConfigSwitch* sw, DWORD timeout) {
  for (ConfigPort& port : sw->ports) {
    if (port.live.seconds > static_cast<int64_t>(timeout)) {
      port.live.stale = true;
      port.live.updated = true;
    }
    ++port.live.seconds;
  }
}

void MarkPortsStale(ConfigSwitch* sw) {
  for (ConfigPort& port : sw->ports) {
    port.live.stale = true;
    port.live.updated = true;
  }
}

std::u16string RingStateText(uint8_t ring_flags) {
  switch ((ring_flags >> 2) & 3) {
    case 0:
      return u"Fault";
    case 1:
      return u"Partial Fault (low port rx error)";
    case 2:
      return u"Partial Fault (high port rx error)";
    default:
      return u"Ok";
  }
}

void ShowIpAndRing(const SwitchLive& live, RingControls* controls) {
  const uint32_t ip = live.ipv4_address;
  controls->ip_address.visible = ip != 0;
  if (ip != 0) {
    char text[16];
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", int(ip & 0xFF),
                  int(ip >> 8 & 0xFF), int(ip >> 16 & 0xFF),
                  int(ip >> 24 & 0xFF));
    controls->ip_address.text = Ascii(text);
  }
  if (live.ring_version == 0) {
    controls->ring_version.visible = false;
    controls->ring_manager.visible = false;
    controls->ring_member.visible = false;
    controls->ring_state.visible = false;
    return;
  }
  char version[4];
  std::snprintf(version, sizeof version, "%d", int{live.ring_version});
  controls->ring_version.text = Ascii(version);
  controls->ring_version.visible = true;
  const bool manager = live.ring_flags & 1;
  controls->ring_manager.text = manager ? u"Yes" : u"No";
  controls->ring_manager.visible = true;
  controls->ring_state.visible = manager;
  if (manager) controls->ring_state.text = RingStateText(live.ring_flags);
  controls->ring_member.text = (live.ring_flags & 2) ? u"Yes" : u"No";
  controls->ring_member.visible = true;
}

void HideIpAndRing(RingControls* controls) {
  controls->ip_address.visible = false;
  controls->ring_version.visible = false;
  controls->ring_manager.visible = false;
  controls->ring_member.visible = false;
  controls->ring_state.visible = false;
}

}  // namespace kavex::configurator
