// The configurator's in-memory mapping: per network adapter, the switches
// it monitors and their ports, as the configuration file stores them.
#ifndef KAVEX_CONFIGURATOR_CORE_CONFIG_MODEL_H_
#define KAVEX_CONFIGURATOR_CORE_CONFIG_MODEL_H_

#include <cstdint>
#include <string>
#include <vector>

#include "device/port_counters.h"
#include "device/port_usage.h"
#include "device/velto_frame.h"
#include "platform/base/types.h"

namespace kavex::configurator {

// Seconds of silence before a switch counts as gone, when none is set.
constexpr DWORD kDefaultSwitchTimeout = 20;

// What the live views show of a port, from its latest computed frame.
struct PortLive {
  uint8_t status = 0;  // the frame's status byte (device::kStatus*)
  uint8_t port_byte = 0;
  device::PortCounters counters;
  uint16_t speed = 0;      // Mbit/s
  device::UsageState usage;  // usage and the octet counts it is measured from
  uint32_t computed_tick = 0;  // ticks of the last computation and frame
  uint32_t frame_tick = 0;
  int32_t seconds = 0;  // since the last computation, counted by the views
  bool stale = false;
  bool updated = false;  // a view has something new to show
  bool listed = false;
};

struct ConfigPort {
  BYTE number = 0;
  std::u16string alias;
  bool hidden = false;  // "Disabled": not published by the device
  bool exists = false;

  PortLive live{};  // never stored
};

// What the live views show of a switch.
struct SwitchLive {
  uint32_t ipv4_address = 0;  // first octet in the low byte
  uint8_t ring_version = 0;
  uint8_t ring_flags = 0;
  char config_text[device::kConfigTextSize + 1] = {};
  int32_t seconds = 0;  // since the last computation, counted by the views
  bool offline_shown = false;
};

struct ConfigSwitch {
  std::u16string address;  // "02.C4.7D.1A.2B.3C"
  std::u16string alias;
  std::u16string model;  // the model's configuration text
  BYTE type = 0;
  std::vector<ConfigPort> ports;

  // Run-time state, never stored.
  BYTE runtime_type = 0;
  bool heard = false;  // a frame arrived, or the switch was mapped
  bool chip_present[3] = {false, false, false};
  SwitchLive live{};
};

struct ConfigAdapter {
  std::u16string friendly_name;
  std::u16string ndis_name;  // "\Device\eth0": the key in the file
  bool active = false;
  DWORD timeout = kDefaultSwitchTimeout;
  std::vector<ConfigSwitch> switches;
};

}  // namespace kavex::configurator

#endif  // KAVEX_CONFIGURATOR_CORE_CONFIG_MODEL_H_
