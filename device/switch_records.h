// The records of the switch table: one AdapterEntry for the capture adapter,
// its SwitchRecords and their PortRecords, in configuration order.
//
// The configuration loader fills the configuration fields and hands the entry
// to SwitchTable::Install; from then on the lists never change and only the
// live values (SwitchValues, PortValues) do, under the table lock.
#ifndef KAVEX_DEVICE_SWITCH_RECORDS_H_
#define KAVEX_DEVICE_SWITCH_RECORDS_H_

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "device/port_counters.h"
#include "device/port_properties.h"
#include "device/port_usage.h"
#include "device/velto_frame.h"

// Text slots are kept as the number they show and rendered when read, so the
// frame handler does not format 40 texts for every accepted frame.
struct PortTextSlots {
  uint64_t written = 0;  // bit n: slot n has been written
  std::array<uint32_t, kPortPropertyCount> numbers{};  // shown as "%u"
  float usage = 0;  // the "Usage" slot, shown as "%4.2f"
};

// A port's live values. Copy them out with SwitchTable::CopyPortValues.
struct PortValues {
  bool stale = true;    // no current data
  int32_t seconds = 0;  // since the port's last accepted frame
  uint8_t status = 0;   // the frame's status byte
  uint16_t speed = 0;   // Mbit/s
  PortCounters counters;
  UsageState usage;
  std::array<int32_t, kPortPropertyCount> integer_slots{};
  PortTextSlots text_slots;
};

struct PortRecord {
  // Configuration.
  uint8_t number = 0;       // the configured "Number", low byte
  std::string number_text;  // the configured "Number" text: text slot 0
  std::string alias;        // text slot 1

  // Tick of the last accepted frame. Written by the frame handler under the
  // table lock and read by it without the lock (through std::atomic_ref), so
  // the frames a port sends inside its 2 s window cost no lock.
  alignas(4) uint32_t last_frame_tick = 0;

  PortValues live;
};

// The switch's text slots, in this order.
inline constexpr int kSwitchLastUpdateSlot = 0;
inline constexpr int kSwitchMacAddressSlot = 1;
inline constexpr int kSwitchAliasSlot = 2;
inline constexpr int kSwitchTotalPortsSlot = 3;
inline constexpr int kSwitchStatusSlot = 4;
inline constexpr int kSwitchTextSlotCount = 5;
inline constexpr std::array<std::string_view, kSwitchTextSlotCount>
    kSwitchTextSlotNames = {"Last_Update", "MAC_Address", "Alias", "TotalPorts",
                            "Status"};

// The status text; kNone until the first tick.
enum class StatusText : uint8_t { kNone, kOnline, kOffline };

// What the "Last_Update" text slot shows.
enum class LastUpdateText : uint8_t { kNone, kSeconds, kOffline };

// A switch's live values. Copy them out with SwitchTable::CopySwitchValues.
struct SwitchValues {
  int32_t seconds = 0;  // since the switch's last accepted frame
  uint32_t total_ports = 0;
  int32_t status = 0;                          // 1 online, 0 offline
  StatusText status_text = StatusText::kNone;  // also the "Status" slot
  uint32_t last_update = 0;                    // seconds, last published
  LastUpdateText last_update_text = LastUpdateText::kNone;
  std::array<uint8_t, 6> mac{};
  // The information area of the last accepted frame.
  uint8_t ring_version = 0;
  uint8_t ring_flags = 0;
  uint32_t ipv4_address = 0;  // first octet in the low byte
  char config_text[kConfigTextSize + 1] = {};
};

struct SwitchRecord {
  // Configuration.
  std::string address;  // "Address": the frame's source-address text
  std::string alias;
  std::string model;  // kept, not used
  uint8_t type_code = 0;
  std::vector<PortRecord> ports;

  // Port-number learning; touched only by the frame handler.
  PortNumberState numbering;
  // Built by SwitchTable::Install: position in `ports` of the first port with
  // each number a frame can carry, -1 for none.
  std::array<int16_t, kMaxFramePortNumber + 1> port_by_number{};

  SwitchValues live;
};

struct AdapterEntry {
  std::string ndis_name;  // at most 259 characters
  bool active = false;
  uint32_t timeout_seconds = 20;
  std::vector<SwitchRecord> switches;
};

// The text a slot shows, rendered from copied values. `property` is a port
// property index; `slot` a switch text slot index.
std::string PortTextSlot(const PortRecord& port, const PortValues& values,
                         int property);
std::string SwitchTextSlot(const SwitchRecord& record,
                           const SwitchValues& values, int slot);

// "Online", "Offline" or "".
std::string_view StatusTextName(StatusText text);

#endif  // KAVEX_DEVICE_SWITCH_RECORDS_H_
