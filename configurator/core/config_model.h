// The configurator's in-memory mapping: per network adapter, the switches
// it monitors and their ports, as the configuration file stores them.
#ifndef KAVEX_CONFIGURATOR_CORE_CONFIG_MODEL_H_
#define KAVEX_CONFIGURATOR_CORE_CONFIG_MODEL_H_

#include <string>
#include <vector>

#include "platform/base/types.h"

namespace kavex::configurator {

// Seconds of silence before a switch counts as gone, when none is set.
constexpr DWORD kDefaultSwitchTimeout = 20;

struct ConfigPort {
  BYTE number = 0;
  std::u16string alias;
  bool hidden = false;  // "Disabled": not published by the device
  bool exists = false;
};

struct ConfigSwitch {
  std::u16string address;  // "02.C4.7D.1A.2B.3C"
  std::u16string alias;
  std::u16string model;  // the model's configuration text
  BYTE type = 0;
  std::vector<ConfigPort> ports;

  // Run-time state, never stored.
  BYTE runtime_type = 0;
  bool heard = false;
  bool chip_present[3] = {false, false, false};
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
