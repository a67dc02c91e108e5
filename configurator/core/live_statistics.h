// The configurator's live statistics: every frame of a mapped switch feeds
// the live fields of its ConfigSwitch and ConfigPort, which the switch
// details and port counters windows show. Frames are decoded as the device
// decodes them, but without the cycle lock: numbering starts with the first
// frame. A port is computed at most once per 2 s.
//
// Offline and stale, on the windows' one-second timers with T the active
// adapter's time-out: a switch whose seconds counter exceeds T is offline;
// otherwise each port whose counter exceeds T becomes stale (and updated,
// so that the view shows it), and every port's counter goes up by one.
#ifndef KAVEX_CONFIGURATOR_CORE_LIVE_STATISTICS_H_
#define KAVEX_CONFIGURATOR_CORE_LIVE_STATISTICS_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "configurator/core/config_model.h"
#include "configurator/core/controls.h"

namespace kavex::configurator {

// A port is computed again only after more than this.
inline constexpr uint32_t kLiveIntervalMs = 2000;

// Applies one frame (len >= 176, already matched to `sw` by its source
// address) at millisecond tick `tick`: sets the switch's chip flag and heard
// flag, numbers the port by the type-code rules, and unless the port was
// computed within kLiveIntervalMs, copies its status and counters, decodes
// the information area, fills in the default speed and computes its usage.
void UpdateLiveStatistics(ConfigSwitch* sw, const uint8_t* frame, size_t len,
                          uint32_t tick);

bool SwitchOffline(const ConfigSwitch& sw, DWORD timeout);
// The stale rule above for a switch that is not offline.
void AgeLivePorts(ConfigSwitch* sw, DWORD timeout);
// Offline: every port stale and updated.
void MarkPortsStale(ConfigSwitch* sw);

// The IP address and ZRing pairs of both views; a hidden pair shows nothing.
struct RingControls {
  TextControl ip_address;      // "%d.%d.%d.%d", hidden for 0
  TextControl ring_version;    // decimal; all four ring pairs hidden for 0
  TextControl ring_manager;    // "Yes" / "No"
  TextControl ring_member;     // "Yes" / "No"
  TextControl ring_state;      // hidden unless manager
};
void ShowIpAndRing(const SwitchLive& live, RingControls* controls);
void HideIpAndRing(RingControls* controls);

// The ring state texts, by ring flag bits 2-3.
std::u16string RingStateText(uint8_t ring_flags);

}  // namespace kavex::configurator

#endif  // KAVEX_CONFIGURATOR_CORE_LIVE_STATISTICS_H_
