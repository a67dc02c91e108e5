// Builds Velto status frames byte by byte, for tests, the simulator and
// benchmarks. Header-only; depends only on the frame layout constants.
//
//   std::vector<uint8_t> frame = VeltoFrameBuilder()
//       .Source({0x02, 0xC4, 0x7D, 0x00, 0x00, 0x01})
//       .Port(/*chip=*/0, /*index=*/2)            // port 3
//       .Status(kStatusLinkUp | kStatusEnabled | kStatusFullDuplex |
//               kStatus100Mbit)
//       .Counter("tx_octets", 350000)
//       .Info(/*version=*/3, /*ipv4=*/0x0A00A8C0, /*ring_version=*/1,
//             /*ring_flags=*/0x0D, "T28-PLUS")
//       .PortSpeedRecord(1000)
//       .Build();
//
// Without Info() the frame is 192 bytes: header and trailer, no information
// area. Length() forces the total length: the information area is cut or
// padded with zeros; below 192 bytes the trailer overlaps the header, and the
// header bytes are written last so the frame still carries its source.
#ifndef KAVEX_DEVICE_TESTING_VELTO_FRAME_BUILDER_H_
#define KAVEX_DEVICE_TESTING_VELTO_FRAME_BUILDER_H_

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "device/port_counters.h"
#include "device/velto_frame.h"

namespace kavex::device {

class VeltoFrameBuilder {
 public:
  using Mac = std::array<uint8_t, 6>;

  VeltoFrameBuilder& Destination(const Mac& mac) {
    destination_ = mac;
    return *this;
  }
  VeltoFrameBuilder& Source(const Mac& mac) {
    source_ = mac;
    return *this;
  }
  VeltoFrameBuilder& EtherType(uint16_t ether_type) {
    ether_type_ = ether_type;
    return *this;
  }
  // The raw port byte: index in bits 4-7, chip in bits 0-1.
  VeltoFrameBuilder& PortByte(uint8_t port_byte) {
    port_byte_ = port_byte;
    return *this;
  }
  VeltoFrameBuilder& Port(int chip, int index) {
    return PortByte(static_cast<uint8_t>((index & 0x0F) << 4 | (chip & 3)));
  }
  VeltoFrameBuilder& Status(uint8_t status) {
    status_ = status;
    return *this;
  }
  VeltoFrameBuilder& Counters(const PortCounters& counters) {
    counters_ = counters;
    return *this;
  }
  // Sets a published counter by its item name, e.g. "rx_good_octets;".
  // Unknown names are ignored.
  VeltoFrameBuilder& Counter(std::string_view name, uint64_t value) {
    for (const CounterField& field : kPublishedCounters) {
      if (field.name == name)
        Store(counters_.bytes.data() + field.offset, value, field.width);
    }
    return *this;
  }
  // Any bytes of the counter block, published or not.
  VeltoFrameBuilder& CounterBytes(size_t offset, uint64_t value, size_t width) {
    if (offset + width <= kPortCountersSize) {
      Store(counters_.bytes.data() + offset, value, width);
    }
    return *this;
  }

  // The fixed information fields. `config_text` longer than 32 characters is
  // cut; 32 characters leave no terminator, as switches send them.
  VeltoFrameBuilder& Info(uint16_t version, uint32_t ipv4_address,
                          uint8_t ring_version, uint8_t ring_flags,
                          std::string_view config_text) {
    info_ = InfoFields{version, ipv4_address, ring_version, ring_flags, {}};
    std::memcpy(info_->config_text.data(), config_text.data(),
                std::min(config_text.size(), kConfigTextSize));
    return *this;
  }
  // An extension record, written after the fixed fields (which Info() sets;
  // without it they are zero with info version 3).
  VeltoFrameBuilder& Record(uint32_t tag, uint16_t record_version,
                            const std::vector<uint8_t>& value) {
    records_.push_back(RecordFields{tag, record_version, value});
    return *this;
  }
  VeltoFrameBuilder& PortSpeedRecord(uint16_t mbit_per_s,
                                     uint16_t record_version = 1) {
    return Record(kPortSpeedTag, record_version,
                  {static_cast<uint8_t>(mbit_per_s),
                   static_cast<uint8_t>(mbit_per_s >> 8)});
  }
  VeltoFrameBuilder& Length(size_t len) {
    length_ = len;
    return *this;
  }

  std::vector<uint8_t> Build() const {
    std::vector<uint8_t> area = InfoArea();
    const size_t len = length_ ? *length_ : kEmptyInfoFrameSize + area.size();
    std::vector<uint8_t> frame(len, 0);
    if (len == 0) return frame;
    // Information area, cut at the trailer.
    if (len > kEmptyInfoFrameSize && !area.empty()) {
      std::memcpy(frame.data() + kEthernetHeaderSize, area.data(),
                  std::min(area.size(), len - kEmptyInfoFrameSize));
    }
    // Trailer: the last 178 bytes, or as many of them as fit.
    std::vector<uint8_t> trailer(kPortTrailerSize);
    trailer[0] = port_byte_;
    trailer[1] = status_;
    std::memcpy(trailer.data() + 2, counters_.bytes.data(), kPortCountersSize);
    const size_t kept = std::min(len, kPortTrailerSize);
    std::memcpy(frame.data() + len - kept,
                trailer.data() + kPortTrailerSize - kept, kept);
    // Header last.
    std::vector<uint8_t> header(kEthernetHeaderSize);
    std::memcpy(header.data(), destination_.data(), 6);
    std::memcpy(header.data() + kSourceAddressOffset, source_.data(), 6);
    header[kEtherTypeOffset] = static_cast<uint8_t>(ether_type_ >> 8);
    header[kEtherTypeOffset + 1] = static_cast<uint8_t>(ether_type_);
    std::memcpy(frame.data(), header.data(),
                std::min(len, kEthernetHeaderSize));
    return frame;
  }

 private:
  struct InfoFields {
    uint16_t version;
    uint32_t ipv4_address;
    uint8_t ring_version;
    uint8_t ring_flags;
    std::array<char, kConfigTextSize> config_text;
  };
  struct RecordFields {
    uint32_t tag;
    uint16_t version;
    std::vector<uint8_t> value;
  };

  static void Store(uint8_t* p, uint64_t value, size_t width) {
    for (size_t i = 0; i < width; ++i)
      p[i] = static_cast<uint8_t>(value >> (8 * i));
  }

  std::vector<uint8_t> InfoArea() const {
    if (!info_ && records_.empty()) return {};
    InfoFields info = info_.value_or(InfoFields{3, 0, 0, 0, {}});
    std::vector<uint8_t> area(40);
    Store(area.data(), info.version, 2);
    Store(area.data() + 2, info.ipv4_address, 4);
    area[6] = info.ring_version;
    area[7] = info.ring_flags;
    std::memcpy(area.data() + 8, info.config_text.data(), kConfigTextSize);
    for (const RecordFields& record : records_) {
      const size_t at = area.size();
      area.resize(at + 8 + record.value.size());
      Store(area.data() + at, record.tag, 4);
      Store(area.data() + at + 4, record.version, 2);
      Store(area.data() + at + 6, record.value.size(), 2);
      std::copy(record.value.begin(), record.value.end(),
                area.begin() + at + 8);
    }
    return area;
  }

  Mac destination_ = {0x01, 0x80, 0xC2, 0x00, 0x00, 0x0E};
  Mac source_ = {0x02, 0xC4, 0x7D, 0x00, 0x00, 0x01};
  uint16_t ether_type_ = kVeltoEtherType;
  uint8_t port_byte_ = 0;
  uint8_t status_ = 0;
  PortCounters counters_;
  std::optional<InfoFields> info_;
  std::vector<RecordFields> records_;
  std::optional<size_t> length_;
};

}  // namespace kavex::device

#endif  // KAVEX_DEVICE_TESTING_VELTO_FRAME_BUILDER_H_
