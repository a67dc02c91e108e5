// The records of the switch table: one AdapterEntry for the capture adapter,
// its SwitchRecords and their PortRecords, in configuration order.
//
// The configuration loader fills the configuration fields and hands the entry
// to SwitchTable::Install; from then on the lists never change and only the
// live values (SwitchValues, PortValues) do, under the table lock. What only
// the frame path needs (the port-number learning state, each port's last
// accepted tick) the table keeps beside the records, packed for the cache.
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
#include "device/velto_frame.h"  // kConfigTextSize

namespace kavex::device {

// Which set of slots a port's frames fill: the integer slots with data
// format "Integer", the text slots with any other.
enum class SlotSet : uint8_t { kNone, kInteger, kText };

// The status text; kNone until the first tick.
enum class StatusText : uint8_t { kNone, kOnline, kOffline };

// A port's live values. Reads copy what an item needs of them with
// SwitchTable::CopyPortItem.
//
// The 43 integer and 43 text slots are views over these values: a frame
// sets the values and publishes them into one slot set in the same hold of
// the table lock, so a slot always shows the values it was published from.
// Rendering them on read spares the frame handler 40 conversions per frame.
// Read them with PortIntegerSlot and PortTextSlot from a PortItemValues copy.
struct PortValues {
  bool stale = true;  // no current data
  SlotSet published = SlotSet::kNone;
  bool last_update_written = false;  // slot 42, written by the timer
  uint8_t status = 0;                // the frame's status byte
  uint16_t speed = 0;                // Mbit/s
  int32_t seconds = 0;               // since the port's last accepted frame
  int32_t last_update = 0;           // slot 42: seconds at the last tick
  UsageState usage;
  PortCounters counters;
};

struct PortRecord {
  uint8_t number = 0;       // the configured "Number", low byte
  std::string number_text;  // the configured "Number" text: text slot 0
  std::string alias;        // text slot 1
  PortValues live;
};

// What one port item's value depends on: the port's own small values, the
// one number its slot shows and its switch's status, copied together with
// SwitchTable::CopyPortItem. Far smaller than PortValues and SwitchValues, so
// a read of a port item touches a few cache lines of the table, not the
// whole counter block.
struct PortItemValues {
  bool stale = true;
  SlotSet published = SlotSet::kNone;
  bool last_update_written = false;
  uint8_t status = 0;
  uint16_t speed = 0;
  int32_t last_update = 0;
  float usage = 0;
  // The low 32 bits of the property's counter; 0 for other properties.
  uint32_t counter = 0;
  int32_t switch_status = 0;
  StatusText switch_status_text = StatusText::kNone;
};

// Of `values`, what an item of property `property` needs; the switch's
// status is left to the caller.
PortItemValues PortItemFrom(const PortValues& values, int property);

// Slot `property` (a port property index) as copied values show it: the
// integer slot (0 when not written), and the text slot ("" when not written).
// PortItemValues must have been copied for the same property.
int32_t PortIntegerSlot(const PortItemValues& values, int property);
std::string PortTextSlot(const PortRecord& port, const PortItemValues& values,
                         int property);
// The same text without a string of its own: a view of `port`'s configured
// texts, of a constant, or of the characters rendered into `buffer`.
inline constexpr size_t kSlotTextBufferSize = 64;
std::string_view PortTextSlotView(const PortRecord& port,
                                  const PortItemValues& values, int property,
                                  char (&buffer)[kSlotTextBufferSize]);

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

// What the "Last_Update" text slot shows.
enum class LastUpdateText : uint8_t { kNone, kSeconds, kOffline };

// A switch's live values. Copy them out with SwitchTable::CopySwitchValues.
// What a frame writes comes first.
struct SwitchValues {
  int32_t seconds = 0;  // since the switch's last accepted frame
  uint32_t total_ports = 0;
  std::array<uint8_t, 6> mac{};
  // The information area of the last accepted frame.
  uint8_t ring_version = 0;
  uint8_t ring_flags = 0;
  uint32_t ipv4_address = 0;  // first octet in the low byte
  char config_text[kConfigTextSize + 1] = {};
  // Written by the timer.
  int32_t status = 0;                          // 1 online, 0 offline
  StatusText status_text = StatusText::kNone;  // also the "Status" slot
  uint32_t last_update = 0;                    // seconds, last published
  LastUpdateText last_update_text = LastUpdateText::kNone;
};

struct SwitchRecord {
  // Configuration.
  std::string address;  // "Address": the frame's source-address text
  std::string alias;
  std::string model;  // kept, not used
  uint8_t type_code = 0;
  std::vector<PortRecord> ports;

  SwitchValues live;
};

struct AdapterEntry {
  std::string ndis_name;  // at most 259 characters
  bool active = false;
  uint32_t timeout_seconds = 20;
  std::vector<SwitchRecord> switches;
};

// The text switch slot `slot` shows, from copied values.
std::string SwitchTextSlot(const SwitchRecord& record,
                           const SwitchValues& values, int slot);

// "Online", "Offline" or "".
std::string_view StatusTextName(StatusText text);

}  // namespace kavex::device

#endif  // KAVEX_DEVICE_SWITCH_RECORDS_H_
