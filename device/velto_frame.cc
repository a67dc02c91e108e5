#include "device/velto_frame.h"

#include <cstring>

namespace kavex::device {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

constexpr size_t kInfoVersionOffset = 14;
constexpr size_t kIpv4Offset = 16;
constexpr size_t kRingVersionOffset = 20;
constexpr size_t kRingFlagsOffset = 21;
constexpr size_t kConfigTextOffset = 22;
constexpr size_t kFirstRecordOffset = 54;
constexpr size_t kRecordHeaderSize = 8;
// Info versions from which the fixed fields, and then the records, exist.
constexpr uint16_t kInfoFixedFieldsVersion = 1;
constexpr uint16_t kInfoRecordsVersion = 3;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;  // lower case is not the text form
}

}  // namespace

std::string AddressText(const uint8_t* mac) {
  std::string text(17, '.');
  for (int i = 0; i < 6; ++i) {
    text[i * 3] = kHexDigits[mac[i] >> 4];
    text[i * 3 + 1] = kHexDigits[mac[i] & 0x0F];
  }
  return text;
}

bool ParseAddressText(std::string_view text, uint64_t* key) {
  if (text.size() != 17) return false;
  uint8_t mac[6];
  for (int i = 0; i < 6; ++i) {
    int high = HexValue(text[i * 3]);
    int low = HexValue(text[i * 3 + 1]);
    if (high < 0 || low < 0) return false;
    if (i < 5 && text[i * 3 + 2] != '.') return false;
    mac[i] = static_cast<uint8_t>(high << 4 | low);
  }
  *key = AddressKey(mac);
  return true;
}

bool IsVeltoFrame(const uint8_t* frame, size_t len) {
  if (len < kEthernetHeaderSize) return false;
  if (frame[kEtherTypeOffset] != (kVeltoEtherType >> 8) ||
      frame[kEtherTypeOffset + 1] != (kVeltoEtherType & 0xFF)) {
    return false;
  }
  return std::memcmp(frame + kSourceAddressOffset, kVeltoVendorPrefix.data(),
                     kVeltoVendorPrefix.size()) == 0;
}

FrameInfo DecodeFrameInfo(const uint8_t* frame, size_t len) {
  FrameInfo info;
  if (len <= kEmptyInfoFrameSize) return info;
  uint16_t version =
      static_cast<uint16_t>(LoadLittleEndian(frame + kInfoVersionOffset, 2));
  if (version < kInfoFixedFieldsVersion) return info;
  info.ipv4_address =
      static_cast<uint32_t>(LoadLittleEndian(frame + kIpv4Offset, 4));
  info.ring_version = frame[kRingVersionOffset];
  info.ring_flags = frame[kRingFlagsOffset];
  // The text may fill all 32 bytes without a terminator.
  std::memcpy(info.config_text, frame + kConfigTextOffset, kConfigTextSize);
  info.config_text[kConfigTextSize] = '\0';
  if (version < kInfoRecordsVersion) return info;

  // Records run up to the port trailer. A record must start before
  // len - 179, which leaves its 8-byte header inside the frame.
  const size_t records_end = len - 179;
  for (size_t offset = kFirstRecordOffset; offset < records_end;) {
    const uint8_t* record = frame + offset;
    uint32_t tag = static_cast<uint32_t>(LoadLittleEndian(record, 4));
    uint16_t record_version =
        static_cast<uint16_t>(LoadLittleEndian(record + 4, 2));
    uint16_t value_length =
        static_cast<uint16_t>(LoadLittleEndian(record + 6, 2));
    // A speed record too short to hold a speed would make us read the bytes
    // of whatever follows it as the speed; it is skipped instead.
    if (tag == kPortSpeedTag && record_version >= 1 && value_length >= 2) {
      info.port_speed = static_cast<uint16_t>(
          LoadLittleEndian(record + kRecordHeaderSize, 2));
    }
    offset += kRecordHeaderSize + value_length;
  }
  return info;
}

int ResolvePortNumber(PortNumberState* state, uint8_t type_code,
                      uint8_t port_byte, bool use_cycle_lock) {
  const int index = port_byte >> 4;
  const int chip = port_byte & 3;
  int number = index + 8 * chip + 1;

  if (chip < 3) state->chip_present[chip] = true;

  if (use_cycle_lock && !state->cycle_lock_closed) {
    if (state->first_chip == chip && state->first_index == index) {
      state->cycle_lock_closed = true;
    } else if (state->first_chip < 0) {
      state->first_chip = static_cast<int8_t>(chip);
      state->first_index = static_cast<int8_t>(index);
    }
    if (!state->cycle_lock_closed) return 0;
  }

  if (index != 8) return number;
  if (type_code == 1) return 0;
  if (type_code == 2 || type_code == 3) {
    // Where the chips' extra port lands depends on how many chips the switch
    // has; a later matching rule overrides an earlier one.
    const bool chip0 = state->chip_present[0];
    const bool chip1 = state->chip_present[1];
    const bool chip2 = state->chip_present[2];
    if (!chip1 && !chip2) number = 9;
    if (chip1 && !chip2) {
      if (chip == 0) number = 17;
      if (chip == 1) return 0;
    }
    if (chip0 && chip1 && chip2) {
      if (chip == 0) number = 25;
      if (chip == 1) return 0;
      if (chip == 2) number = 26;
    }
  }
  return number;
}

uint16_t DefaultPortSpeed(uint8_t status, uint8_t type_code, int port_number) {
  const bool gigabit =
      (type_code == 3 && (port_number == 25 || port_number == 26)) ||
      (type_code == 4 && (port_number == 13 || port_number == 14)) ||
      (type_code == 5 && (port_number == 17 || port_number == 18));
  if (gigabit) return 1000;
  return (status & kStatus100Mbit) ? 100 : 10;
}

}  // namespace kavex::device
