// The port counters window ("Port Counters"): one port of a mapped switch,
// chosen in its list of shown ports, with its link, speed ("%d Mbps"),
// duplex, enabled flag, usage (the bar at its integer part, the figure as
// "%4.2f") and all 35 published counters ("%u", the 64-bit octet counts by
// their low 32 bits), "NA" where nothing is known; the switch's IP address
// and ZRing information; "Offline" once the switch has been silent longer
// than the adapter's time-out. Refreshed by its one-second timer (timer 1).
#ifndef KAVEX_CONFIGURATOR_CORE_COUNTERS_WINDOW_H_
#define KAVEX_CONFIGURATOR_CORE_COUNTERS_WINDOW_H_

#include <array>
#include <cstddef>
#include <vector>

#include "configurator/core/config_model.h"
#include "configurator/core/controls.h"
#include "configurator/core/live_statistics.h"
#include "device/port_counters.h"

namespace kavex::configurator {

class MainWindowModel;

inline constexpr DWORD kCountersTimerMs = 1000;

// The counters' labels and control ids, in device::kPublishedCounters order.
struct CounterLabel {
  const char16_t* label;
  int id;
};
extern const std::array<CounterLabel, device::kPublishedCounterCount>
    kCounterLabels;

struct PortCountersState {
  TextControl alias;  // 1008
  // 1011 IP address, 1067 version, 1064 manager, 1065 member, 1066 state.
  RingControls ring;
  TextControl port;     // 1009
  TextControl speed;    // 1022
  TextControl duplex;   // 1023
  TextControl link;     // 1063
  TextControl enabled;  // 1025
  int progress = 0;     // 1027, 0 to 100
  TextControl usage;    // 1028
  ListControl ports;    // 1010
  std::array<TextControl, device::kPublishedCounterCount> counters;
  bool closed = false;
};

class PortCountersWindow {
 public:
  // Opened from the ports window of `sw`; `main` must outlive it.
  PortCountersWindow(MainWindowModel* main, ConfigSwitch* sw);
  PortCountersWindow(const PortCountersWindow&) = delete;
  PortCountersWindow& operator=(const PortCountersWindow&) = delete;

  const PortCountersState& state() const { return state_; }
  void OnTimer();
  // A line of the port list chosen: its port becomes the current one.
  void SelectPort(int index);
  void Close() { state_.closed = true; }

 private:
  void ClearValues();
  void ShowPort(const PortLive& live);
  void RefreshList();

  MainWindowModel* const main_;
  ConfigSwitch* const sw_;
  PortCountersState state_;
  std::vector<size_t> listed_;  // the port of each line
  ConfigPort* current_ = nullptr;
};

}  // namespace kavex::configurator

#endif  // KAVEX_CONFIGURATOR_CORE_COUNTERS_WINDOW_H_
