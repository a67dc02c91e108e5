#include "simulator/frame_writer.h"

#include <algorithm>
#include <cstring>

namespace kavex::simulator {
namespace {

void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void PutRecord(std::vector<uint8_t>* f, const char tag[4], uint16_t version,
               const uint8_t* value, uint16_t length) {
  size_t at = f->size();
  f->resize(at + 8 + length);
  uint8_t* p = f->data() + at;
  memcpy(p, tag, 4);
  Put16(p + 4, version);
  Put16(p + 6, length);
  memcpy(p + 8, value, length);
}

}  // namespace

void WriteFrame(const FrameContent& c, std::vector<uint8_t>* frame) {
  std::vector<uint8_t>& f = *frame;
  f.assign(14, 0);
  std::copy(c.destination.begin(), c.destination.end(), f.begin());
  std::copy(c.source.begin(), c.source.end(), f.begin() + 6);
  f[12] = kVeltoEtherType >> 8;
  f[13] = kVeltoEtherType & 0xFF;
  if (c.info_version > 0) {
    f.resize(54, 0);
    Put16(&f[14], static_cast<uint16_t>(c.info_version));
    std::copy(c.ip.begin(), c.ip.end(), f.begin() + 16);
    f[20] = c.ring_version;
    f[21] = c.ring_flags;
    memcpy(&f[22], c.config_text.data(),
           std::min<size_t>(32, c.config_text.size()));
    if (c.info_version >= 3) {
      if (c.extra_record) {
        const uint8_t value[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
        PutRecord(&f, "XTRA", 1, value, sizeof value);
      }
      if (c.speed_record != 0) {
        uint8_t value[2];
        Put16(value, c.speed_record);
        PutRecord(&f, "EPlV", 1, value, sizeof value);
      }
    }
  }
  size_t trailer = f.size();
  f.resize(trailer + kTrailerSize, 0);
  f[trailer] = c.port_byte;
  f[trailer + 1] = c.status;
  uint8_t* b = &f[trailer + 2];
  namespace o = counter_offset;
  const PortCounterValues& v = c.counters;
  Put64(b + o::kTxOctets, v.tx_octets);
  Put32(b + o::kTxBroadcast, v.tx_broadcast);
  Put32(b + o::kTxMulticast, v.tx_multicast);
  Put32(b + o::kTxUnicast, v.tx_unicast);
  Put32(b + o::kTxCollisions, v.tx_collisions);
  Put64(b + o::kRxOctets, v.rx_octets);
  Put32(b + o::kPkts64, v.pkts_64);
  Put32(b + o::kPkts65to127, v.pkts_65to127);
  Put32(b + o::kPkts128to255, v.pkts_128to255);
  Put32(b + o::kPkts256to511, v.pkts_256to511);
  Put32(b + o::kPkts512to1023, v.pkts_512to1023);
  Put32(b + o::kPkts1024to1522, v.pkts_1024to1522);
  Put32(b + o::kRxFcsErrors, v.rx_fcs_errors);
  Put64(b + o::kRxGoodOctets, v.rx_good_octets);
  Put32(b + o::kRxUnicast, v.rx_unicast);
  Put32(b + o::kRxMulticast, v.rx_multicast);
  Put32(b + o::kRxBroadcast, v.rx_broadcast);
}

}  // namespace kavex::simulator
