// The 176-byte counter block that closes every Velto frame, kept whole as it
// arrived. The 35 published counters are read through kPublishedCounters, whose
// names are the item names of the counters.
#ifndef KAVEX_DEVICE_PORT_COUNTERS_H_
#define KAVEX_DEVICE_PORT_COUNTERS_H_

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace kavex::device {

inline constexpr size_t kPortCountersSize = 176;

// Raw little-endian bytes; the unpublished fields travel along untouched.
struct PortCounters {
  std::array<uint8_t, kPortCountersSize> bytes{};
};
static_assert(sizeof(PortCounters) == kPortCountersSize);

// One published counter: its item name and where it lies in the block.
struct CounterField {
  std::string_view name;
  uint8_t offset;
  uint8_t width;  // 4 or 8 bytes
};

inline constexpr size_t kPublishedCounterCount = 35;

// In block order, from "tx_octets" to "rx_symbol_error".
inline constexpr std::array<CounterField, kPublishedCounterCount>
    kPublishedCounters = {{
        {"tx_octets", 0, 8},
        {"tx_drop_pkts", 8, 4},
        {"tx_broadcast_pkts", 16, 4},
        {"tx_multicast_pkts", 20, 4},
        {"tx_unicast_pkts", 24, 4},
        {"tx_collisions", 28, 4},
        {"tx_single_collision", 32, 4},
        {"tx_multiple_collision", 36, 4},
        {"tx_deferred_transmit", 40, 4},
        {"tx_late_collision", 44, 4},
        {"tx_excessive_collision", 48, 4},
        {"tx_frame_in_disc", 52, 4},
        {"tx_pause_pkts", 56, 4},
        {"rx_octets", 68, 8},
        {"rx_under_size_pkts", 76, 4},
        {"rx_pause_pkts", 80, 4},
        {"pkts_64_octets", 84, 4},
        {"pkts_65to127_octets", 88, 4},
        {"pkts_128to255_octets", 92, 4},
        {"pkts_256to511_octets", 96, 4},
        {"pkts_512to1023_octets", 100, 4},
        {"pkts_1024to1522_octets", 104, 4},
        {"rx_over_size_pkts", 108, 4},
        {"rx_jabbers", 112, 4},
        {"rx_alignment_errors", 116, 4},
        {"rx_fcs_errors", 120, 4},
        // The item name really ends in a semicolon; clients address it so.
        {"rx_good_octets;", 124, 8},
        {"rx_drop_pkts", 132, 4},
        {"rx_unicast_pkts", 136, 4},
        {"rx_multicast_pkts", 140, 4},
        {"rx_broadcast_pkts", 144, 4},
        {"rx_sa_changes", 148, 4},
        {"rx_fragments", 152, 4},
        {"rx_excess_size_disc", 156, 4},
        {"rx_symbol_error", 160, 4},
    }};

inline constexpr size_t kTxOctetsOffset = 0;
inline constexpr size_t kRxOctetsOffset = 68;

// `width` (at most 8) bytes at `p`, least significant first.
inline uint64_t LoadLittleEndian(const uint8_t* p, size_t width) {
  if constexpr (std::endian::native == std::endian::little) {
    // Loads of the exact width: a narrow copy into a wider variable would
    // stall the processor's store-to-load forwarding.
    switch (width) {
      case 2: {
        uint16_t value;
        std::memcpy(&value, p, 2);
        return value;
      }
      case 4: {
        uint32_t value;
        std::memcpy(&value, p, 4);
        return value;
      }
      case 8: {
        uint64_t value;
        std::memcpy(&value, p, 8);
        return value;
      }
    }
  }
  uint64_t value = 0;
  for (size_t i = width; i-- > 0;) value = (value << 8) | p[i];
  return value;
}

// The full-width value of a published counter (64 bits for the octet counts).
inline uint64_t CounterValue(const PortCounters& counters,
                             const CounterField& field) {
  return LoadLittleEndian(counters.bytes.data() + field.offset, field.width);
}

inline uint64_t TxOctets(const PortCounters& counters) {
  return LoadLittleEndian(counters.bytes.data() + kTxOctetsOffset, 8);
}

inline uint64_t RxOctets(const PortCounters& counters) {
  return LoadLittleEndian(counters.bytes.data() + kRxOctetsOffset, 8);
}

}  // namespace kavex::device

#endif  // KAVEX_DEVICE_PORT_COUNTERS_H_
