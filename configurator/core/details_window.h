// The switch details window ("Switch Details"): the live state of one
// mapped switch, refreshed by its one-second timer (timer 2): the alias, or
// "Offline" once the switch has been silent longer than the adapter's
// time-out; its IP address and ZRing information; and four side-by-side
// lists of its shown, existing ports: alias, link ("Up"/"Down"), speed in
// Mbit/s and duplex ("Full"/"Half"), "N/A" where nothing is known.
#ifndef KAVEX_CONFIGURATOR_CORE_DETAILS_WINDOW_H_
#define KAVEX_CONFIGURATOR_CORE_DETAILS_WINDOW_H_

#include "configurator/core/config_model.h"
#include "configurator/core/controls.h"
#include "configurator/core/live_statistics.h"

namespace kavex::configurator {

class MainWindowModel;

inline constexpr char16_t kNoPortInformation[] =
    u"No port information available";
inline constexpr DWORD kDetailsTimerMs = 1000;

struct SwitchDetailsState {
  TextControl alias;  // 1008
  // 1072 IP address, 1071 version, 1092 manager, 1095 member, 1096 state.
  RingControls ring;
  ListControl ports;   // 1067 "Ports:"
  ListControl link;    // 1070 "Link"
  ListControl speed;   // 1069 "Speed"
  ListControl duplex;  // 1068 "Duplex"
  bool closed = false;
};

class SwitchDetailsWindow {
 public:
  // Opened from the ports window of `sw`; `main` must outlive it.
  SwitchDetailsWindow(MainWindowModel* main, ConfigSwitch* sw);
  SwitchDetailsWindow(const SwitchDetailsWindow&) = delete;
  SwitchDetailsWindow& operator=(const SwitchDetailsWindow&) = delete;

  const SwitchDetailsState& state() const { return state_; }
  void OnTimer();
  void Close() { state_.closed = true; }

 private:
  void ShowPort(ConfigPort* port);

  MainWindowModel* const main_;
  ConfigSwitch* const sw_;
  SwitchDetailsState state_;
};

}  // namespace kavex::configurator

#endif  // KAVEX_CONFIGURATOR_CORE_DETAILS_WINDOW_H_
