// Builds one Velto status frame: Ethernet header, information area and the
// port trailer with its counter block.
#ifndef KAVEX_SIMULATOR_FRAME_WRITER_H_
#define KAVEX_SIMULATOR_FRAME_WRITER_H_

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "simulator/scenario.h"

namespace kavex::simulator {

constexpr uint16_t kVeltoEtherType = 0x8874;
constexpr size_t kTrailerSize = 178;
constexpr size_t kCounterBlockSize = 176;

// Status byte bits.
constexpr uint8_t kStatus100Mbit = 0x80;
constexpr uint8_t kStatusFullDuplex = 0x40;
constexpr uint8_t kStatusLinkUp = 0x20;
constexpr uint8_t kStatusEnabled = 0x10;

// The counters a simulated port reports (a subset of the block; the others
// stay 0).
struct PortCounterValues {
  uint64_t tx_octets = 0, rx_octets = 0, rx_good_octets = 0;
  uint32_t tx_unicast = 0, tx_multicast = 0, tx_broadcast = 0;
  uint32_t rx_unicast = 0, rx_multicast = 0, rx_broadcast = 0;
  uint32_t pkts_64 = 0, pkts_65to127 = 0, pkts_128to255 = 0, pkts_256to511 = 0,
           pkts_512to1023 = 0, pkts_1024to1522 = 0;
  uint32_t rx_fcs_errors = 0, tx_collisions = 0;
};

struct FrameContent {
  MacAddress destination{};
  MacAddress source{};
  int info_version = 0;  // 0: no information area (192-byte frame)
  std::array<uint8_t, 4> ip{};
  uint8_t ring_version = 0;
  uint8_t ring_flags = 0;
  std::string config_text;    // at most 32 characters are sent
  bool extra_record = false;  // info 3: an unknown record before the speed
  uint16_t speed_record = 0;  // info 3: port-speed record value (0: none)
  uint8_t port_byte = 0;
  uint8_t status = 0;
  PortCounterValues counters;
};

// Replaces *frame with the frame's bytes.
void WriteFrame(const FrameContent& content, std::vector<uint8_t>* frame);

}  // namespace kavex::simulator

// Offsets of the published counters inside the 176-byte block.
namespace kavex::simulator::counter_offset {
constexpr size_t kTxOctets = 0, kTxBroadcast = 16, kTxMulticast = 20,
                 kTxUnicast = 24, kTxCollisions = 28, kRxOctets = 68,
                 kPkts64 = 84, kPkts65to127 = 88, kPkts128to255 = 92,
                 kPkts256to511 = 96, kPkts512to1023 = 100,
                 kPkts1024to1522 = 104, kRxFcsErrors = 120, kRxGoodOctets = 124,
                 kRxUnicast = 136, kRxMulticast = 140, kRxBroadcast = 144;
}  // namespace kavex::simulator::counter_offset

#endif  // KAVEX_SIMULATOR_FRAME_WRITER_H_
