// Frames of every kind the protocol filter programs tell apart, and which
// of them each /p token lets through by the protocols' own definitions.
#ifndef KAVEX_UTILITIES_COMMON_TESTING_FRAMES_H_
#define KAVEX_UTILITIES_COMMON_TESTING_FRAMES_H_

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace kavex::utilities::testing {

enum Kind {
  kIpTcp,
  kIpUdp,
  kIpIcmp,
  kIpIgmp,
  kArp,
  kRarp,
  kIpv6,
  kVelto,
  kSnapIp,
  kSnapArp,
  kSnapAppleTalk,
  kSnapAarp,
  kNetBeui,
  kIpx,
  kLlcSpanningTree,
  kEthernetIpx,
  kShort,
  kKindCount
};

inline std::vector<uint8_t> EthernetII(uint16_t type) {
  std::vector<uint8_t> f(60, 0);
  for (int i = 0; i < 6; ++i) f[i] = 0xFF;
  f[6] = 0x02;
  f[11] = 0x07;
  f[12] = type >> 8;
  f[13] = type & 0xFF;
  return f;
}

inline std::vector<uint8_t> Ipv4(uint8_t protocol) {
  std::vector<uint8_t> f = EthernetII(0x0800);
  f[14] = 0x45;
  f[22] = 64;  // time to live
  f[23] = protocol;
  return f;
}

// 802.3 with the given LLC bytes after the length field.
inline std::vector<uint8_t> Llc(std::vector<uint8_t> llc) {
  std::vector<uint8_t> f = EthernetII(46);
  for (size_t i = 0; i < llc.size(); ++i) f[14 + i] = llc[i];
  return f;
}

inline std::vector<uint8_t> Snap(uint8_t o1, uint8_t o2, uint8_t o3,
                                 uint16_t type) {
  return Llc(
      {0xAA, 0xAA, 0x03, o1, o2, o3, uint8_t(type >> 8), uint8_t(type & 0xFF)});
}

inline std::vector<uint8_t> FrameOf(Kind kind) {
  switch (kind) {
    case kIpTcp:
      return Ipv4(6);
    case kIpUdp:
      return Ipv4(17);
    case kIpIcmp:
      return Ipv4(1);
    case kIpIgmp:
      return Ipv4(2);
    case kArp:
      return EthernetII(0x0806);
    case kRarp:
      return EthernetII(0x8035);
    case kIpv6:
      return EthernetII(0x86DD);
    case kVelto:
      return EthernetII(0x8874);
    case kSnapIp:
      return Snap(0, 0, 0, 0x0800);
    case kSnapArp:
      return Snap(0, 0, 0, 0x0806);
    case kSnapAppleTalk:
      return Snap(0x08, 0x00, 0x07, 0x809B);
    case kSnapAarp:
      return Snap(0, 0, 0, 0x80F3);
    case kNetBeui:
      return Llc({0xF0, 0xF0, 0x03});
    case kIpx:
      return Llc({0xFF, 0xFF, 0x00, 0x3C});
    case kLlcSpanningTree:
      return Llc({0x42, 0x42, 0x03});
    case kEthernetIpx:
      return EthernetII(0x8137);
    case kShort:
      return std::vector<uint8_t>(10, 0xAA);
    case kKindCount:
      break;
  }
  return {};
}

// What each token lets through, by the protocols' own definitions.
inline const std::map<std::string, std::set<Kind>>& AcceptedKinds() {
  static const std::map<std::string, std::set<Kind>> accepted = {
      {"ip", {kIpTcp, kIpUdp, kIpIcmp, kIpIgmp, kSnapIp}},
      {"arp", {kArp, kSnapArp}},
      {"rarp", {kRarp}},
      {"tcp", {kIpTcp}},
      {"udp", {kIpUdp}},
      {"icmp", {kIpIcmp}},
      {"igmp", {kIpIgmp}},
      {"ipx", {kIpx}},
      {"nb", {kNetBeui}},
      {"at", {kSnapAppleTalk}},
  };
  return accepted;
}

// The frame of a kind, its source address ending in tag (to tell frames
// apart once received).
inline std::vector<uint8_t> Frame(Kind kind, uint8_t tag = 0x07) {
  std::vector<uint8_t> f = FrameOf(kind);
  if (f.size() >= 12) f[11] = tag;
  return f;
}

}  // namespace kavex::utilities::testing

#endif  // KAVEX_UTILITIES_COMMON_TESTING_FRAMES_H_
