// Velto status frames: layout, acceptance tests, information-area decoding and
// port numbering. Pure functions over the received bytes; no I/O, no threads.
//
// A frame is the Ethernet header (14 bytes), an optional information area and
// a 178-byte port trailer (port byte, status byte, PortCounters) that always
// ends the frame. Every field after the Ethernet header is little-endian.
#ifndef KAVEX_DEVICE_VELTO_FRAME_H_
#define KAVEX_DEVICE_VELTO_FRAME_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "device/port_counters.h"

namespace kavex::device {

inline constexpr uint16_t kVeltoEtherType = 0x8874;
inline constexpr std::array<uint8_t, 3> kVeltoVendorPrefix = {0x02, 0xC4, 0x7D};
inline constexpr size_t kEthernetHeaderSize = 14;
inline constexpr size_t kSourceAddressOffset = 6;
inline constexpr size_t kEtherTypeOffset = 12;
inline constexpr size_t kPortTrailerSize = 178;
// The shortest frame that holds the whole port trailer (port byte, status
// byte, counters). Shorter frames would make the trailer start before the
// first received byte, so they are dropped.
inline constexpr size_t kMinVeltoFrameSize = kPortTrailerSize;
inline constexpr size_t kMaxVeltoFrameSize = 1514;
// Header plus trailer: a frame of this length has an empty information area.
inline constexpr size_t kEmptyInfoFrameSize = 192;
inline constexpr size_t kConfigTextSize = 32;
// Tag bytes "EPlV" read as a little-endian 32-bit value.
inline constexpr uint32_t kPortSpeedTag = 0x566C5045;

// Status byte bits.
inline constexpr uint8_t kStatus100Mbit = 0x80;
inline constexpr uint8_t kStatusFullDuplex = 0x40;
inline constexpr uint8_t kStatusLinkUp = 0x20;
inline constexpr uint8_t kStatusEnabled = 0x10;

// The decoded information area. All zero and empty when the frame has none.
struct FrameInfo {
  uint32_t ipv4_address = 0;  // first octet in the low byte
  uint8_t ring_version = 0;
  uint8_t ring_flags = 0;
  char config_text[kConfigTextSize + 1] = {};  // NUL-terminated
  uint16_t port_speed = 0;                     // Mbit/s; 0 = no speed record
};

// "%2.2X.%2.2X.%2.2X.%2.2X.%2.2X.%2.2X" of six address bytes: the switch's key.
std::string AddressText(const uint8_t* mac);

// The six address bytes as one integer (byte 0 lowest), for hashing.
inline uint64_t AddressKey(const uint8_t* mac) {
  return LoadLittleEndian(mac, 4) | LoadLittleEndian(mac + 4, 2) << 32;
}

// Parses the exact upper-case dotted text form into an AddressKey. Any other
// spelling (lower case, other separators, extra characters) gives false:
// such an address can never equal a frame's source-address text.
bool ParseAddressText(std::string_view text, uint64_t* key);

// EtherType 0x8874 and the vendor prefix 02.C4.7D. Frames too short to hold
// an Ethernet header fail as well.
bool IsVeltoFrame(const uint8_t* frame, size_t len);

// The information area of a frame of len >= kMinVeltoFrameSize.
FrameInfo DecodeFrameInfo(const uint8_t* frame, size_t len);

// Trailer fields of a frame of len >= kMinVeltoFrameSize. In frames shorter
// than 192 bytes the trailer overlaps the Ethernet header.
inline uint8_t PortByte(const uint8_t* frame, size_t len) {
  return frame[len - kPortTrailerSize];
}
inline uint8_t StatusByte(const uint8_t* frame, size_t len) {
  return frame[len - kPortTrailerSize + 1];
}
inline const uint8_t* CountersBytes(const uint8_t* frame, size_t len) {
  return frame + len - kPortCountersSize;
}

// What a switch has learned about its chip layout from its frames so far.
struct PortNumberState {
  bool chip_present[3] = {false, false, false};
  int8_t first_chip = -1;  // first-seen pair; -1 = none yet
  int8_t first_index = -1;
  bool cycle_lock_closed = false;
};

// The highest number the port byte can produce (index 15 on chip 3).
inline constexpr int kMaxFramePortNumber = 15 + 8 * 3 + 1;

// The port number a frame with port byte `port_byte` reports for a switch of
// type `type_code`, or 0 when the frame is dropped. Updates `state`. With
// `use_cycle_lock`, frames are dropped until the switch's report cycle has
// come round once, so that every chip has been seen before ports on the
// extra chip index are renumbered.
int ResolvePortNumber(PortNumberState* state, uint8_t type_code,
                      uint8_t port_byte, bool use_cycle_lock);

// Speed when the frame carried no port-speed record: the status byte's
// 100/10 Mbit/s bit, and 1000 Mbit/s for the gigabit ports of types 3 to 5.
uint16_t DefaultPortSpeed(uint8_t status, uint8_t type_code, int port_number);

}  // namespace kavex::device

#endif  // KAVEX_DEVICE_VELTO_FRAME_H_
