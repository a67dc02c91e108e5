// The switch table: the device's live state, one record per configured switch
// and port of the capture adapter.
//
// Threads: frames arrive on one receive thread (HandleFrame), the timer thread
// ages the records once a second (Tick), and any thread reads. Writers hold
// the table lock while they change values; a read copies what it needs under
// it (CopySwitchValues, CopyPortItem) and renders the copy afterwards, so no
// reader ever sees a half-written value. A frame for a port still inside its
// 2-second window is dropped without taking the lock.
#ifndef KAVEX_DEVICE_SWITCH_TABLE_H_
#define KAVEX_DEVICE_SWITCH_TABLE_H_

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device/address_index.h"
#include "device/alias_index.h"
#include "device/switch_records.h"

namespace kavex::sync {
class Clock;
}  // namespace kavex::sync

namespace kavex::device {

// Why a frame was taken or dropped, in the order of the tests.
enum class FrameResult {
  kNotVelto,       // wrong EtherType or vendor prefix
  kTooShort,       // too short to hold the port trailer
  kUnknownSwitch,  // no configured switch has this address
  kNoPortNumber,   // dropped by the port-number rules or the cycle lock
  kUnknownPort,    // no configured, enabled port has this number
  kThrottled,      // the port was updated less than 2 s ago
  kAccepted,
};

// A port is updated at most once per this many milliseconds.
inline constexpr uint32_t kPortUpdateIntervalMs = 2000;
// After this many seconds without a frame a switch's "Last_Update" reads
// "Offline".
inline constexpr int32_t kSwitchOfflineSeconds = 2000;

class SwitchTable {
 public:
  // `clock` gives the millisecond tick for the per-port interval; nullptr
  // uses the installed clock (CurrentClock) at every frame.
  explicit SwitchTable(sync::Clock* clock = nullptr);
  SwitchTable(const SwitchTable&) = delete;
  SwitchTable& operator=(const SwitchTable&) = delete;

  // Takes the capture adapter's records and the device data format
  // ("Integer" fills the integer slots, anything else the text slots) and
  // builds the lookup indexes. Call once, before frames, ticks or reads.
  void Install(AdapterEntry adapter, std::string data_format);

  // Acceptance tests and update for one received frame. Frames must come
  // from one thread at a time (the receive thread).
  FrameResult HandleFrame(const uint8_t* frame, size_t len);

  // One second of ageing: online/offline, stale ports, "Last_Update".
  void Tick();

  // Configuration and structure: fixed after Install, read without the lock.
  // The records' live values must be read through the Copy functions.
  const AdapterEntry& adapter() const { return adapter_; }
  const std::string& data_format() const { return data_format_; }
  bool integer_format() const { return integer_format_; }
  size_t switch_count() const { return adapter_.switches.size(); }
  const SwitchRecord& switch_record(size_t s) const {
    return adapter_.switches[s];
  }
  // Switches and ports by alias.
  const AliasIndex& alias_index() const { return alias_index_; }

  // Live values, copied under the table lock: a switch's, for its switch
  // and ring items.
  SwitchValues CopySwitchValues(size_t s) const;
  // What an item of property `property` of `port`, one of switch s's
  // records, shows, and nothing more: the port's small values, the one
  // counter of the property and the switch's status. Taking the record
  // itself spares a read the load of the switch's port list, which with
  // many switches is rarely in the cache.
  PortItemValues CopyPortItem(size_t s, const PortRecord& port,
                              int property) const;
  // CopyPortItem of each of `count` requests into out[i], in one hold of
  // the table lock.
  struct PortItemRequest {
    const PortRecord* port;
    uint32_t switch_index;
    int property;
  };
  void CopyPortItems(size_t count, const PortItemRequest* requests,
                     PortItemValues* out) const;

 private:
  // What a frame needs of its switch before the lock, packed so that the
  // routes of a thousand switches stay in the processor's cache.
  struct FrameRoute {
    PortNumberState numbering;
    uint8_t type_code = 0;
    uint32_t first_port = 0;  // of the switch's ports in port_ticks_
    uint32_t port_count = 0;
    SwitchValues* switch_values = nullptr;
    PortRecord* ports = nullptr;
    // Position in the port list of the first port with each number a frame
    // can carry; -1 for none.
    std::array<int16_t, kMaxFramePortNumber + 1> port_by_number{};
  };

  // Starts loading what CopyPortItem reads, and copies it (the caller
  // holds the table lock).
  void PrefetchPortItem(size_t s, const PortRecord& port, int property) const;
  PortItemValues PortItemLocked(size_t s, const PortRecord& port,
                                int property) const;

  sync::Clock* const clock_;
  mutable std::mutex mutex_;  // the table lock
  AdapterEntry adapter_;
  std::string data_format_;
  bool integer_format_ = false;

  // Frame path state, touched only by the receive thread.
  AddressIndex address_index_;
  std::vector<FrameRoute> routes_;  // by switch
  // Tick of each port's last accepted frame, all ports of all switches.
  // Read before the lock to drop frames inside a port's window, written
  // under it; atomic so that the early read is never a data race.
  std::unique_ptr<std::atomic<uint32_t>[]> port_ticks_;

  AliasIndex alias_index_;
};

}  // namespace kavex::device

#endif  // KAVEX_DEVICE_SWITCH_TABLE_H_
