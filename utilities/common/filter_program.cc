#include "utilities/common/filter_program.h"

#include <strings.h>

#include <array>
#include <cstring>

namespace kavex::utilities {
namespace {

// Offsets are frame offsets; ldh and ldb load big-endian 16 and 8 bits;
// jumps skip jt / jf instructions.
constexpr bpf_insn Ldh(DWORD offset) { return {0x28, 0, 0, offset}; }
constexpr bpf_insn Ldb(DWORD offset) { return {0x30, 0, 0, offset}; }
constexpr bpf_insn Jgt(DWORD k, BYTE jt, BYTE jf) { return {0x25, jt, jf, k}; }
constexpr bpf_insn Jeq(DWORD k, BYTE jt, BYTE jf) { return {0x15, jt, jf, k}; }
constexpr bpf_insn Accept() { return {0x06, 0, 0, 0xFFFFFFFF}; }
constexpr bpf_insn Reject() { return {0x06, 0, 0, 0}; }

// Ethernet II type 0x0800, or 802.3 with the SNAP header AA AA 03 00 00 00
// and type 0x0800.
constexpr std::array<bpf_insn, 18> kIpBlock = {
    Ldh(12),  Jgt(1500, 12, 0),  Ldb(14), Jeq(0xAA, 0, 13),
    Ldb(15),  Jeq(0xAA, 0, 11),  Ldb(16), Jeq(0x03, 0, 9),
    Ldb(17),  Jeq(0, 0, 7),      Ldh(18), Jeq(0, 0, 5),
    Ldh(20),  Jeq(0x0800, 2, 3), Ldh(12), Jeq(0x0800, 0, 1),
    Accept(), Reject()};

// The same for the type T, with the SNAP test's failures going on to the
// Ethernet II test.
constexpr std::array<bpf_insn, 19> AddressResolutionBlock(DWORD type) {
  return {Ldh(12),         Jgt(1500, 13, 0), Ldb(14),  Jeq(0xAA, 0, 11),
          Ldb(15),         Jeq(0xAA, 0, 9),  Ldb(16),  Jeq(0x03, 0, 7),
          Ldb(17),         Jeq(0, 0, 5),     Ldh(18),  Jeq(0, 0, 3),
          Ldh(20),         Jeq(type, 0, 1),  Accept(), Ldh(12),
          Jeq(type, 0, 1), Accept(),         Reject()};
}
constexpr auto kArpBlock = AddressResolutionBlock(0x0806);
constexpr auto kRarpBlock = AddressResolutionBlock(0x8035);

// 802.3 frames whose two service access points are S.
constexpr std::array<bpf_insn, 8> ServiceAccessPointBlock(DWORD sap) {
  return {Ldh(12), Jgt(1500, 5, 0), Ldb(14),  Jeq(sap, 0, 3),
          Ldb(15), Jeq(sap, 0, 1),  Accept(), Reject()};
}
constexpr auto kNetBeuiBlock = ServiceAccessPointBlock(0xF0);
constexpr auto kIpxBlock = ServiceAccessPointBlock(0xFF);

// 802.3 SNAP frames with the header AA AA 03 08 00 07 and type 0x809B.
constexpr std::array<bpf_insn, 16> kAppleTalkBlock = {
    Ldh(12), Jgt(1500, 13, 0),  Ldb(14),  Jeq(0xAA, 0, 11),
    Ldb(15), Jeq(0xAA, 0, 9),   Ldb(16),  Jeq(0x03, 0, 7),
    Ldb(17), Jeq(0x08, 0, 5),   Ldh(18),  Jeq(0x0007, 0, 3),
    Ldh(20), Jeq(0x809B, 0, 1), Accept(), Reject()};

// Ethernet II IPv4 frames with the IP protocol number P.
constexpr std::array<bpf_insn, 6> IpProtocolBlock(DWORD protocol) {
  return {Ldh(12),  Jeq(0x0800, 0, 3), Ldb(23), Jeq(protocol, 0, 1),
          Accept(), Reject()};
}
constexpr auto kTcpBlock = IpProtocolBlock(6);
constexpr auto kUdpBlock = IpProtocolBlock(17);
constexpr auto kIcmpBlock = IpProtocolBlock(1);
constexpr auto kIgmpBlock = IpProtocolBlock(2);

struct Token {
  const char* text;
  const char* line;
  bool all;
  Protocol protocol;
};

// In the order they are tried: "ipx" before "ip", "icmp" and "igmp" too.
constexpr Token kTokens[] = {
    {"arp", "Protocol    : Address Resolution (ARP)\n", false, Protocol::kArp},
    {"icmp", "Protocol    : Internet Control Message Protocol (ICMP)\n", false,
     Protocol::kIcmp},
    {"igmp", "Protocol    : Internet Group Management Protocol (IGMP)\n", false,
     Protocol::kIgmp},
    {"ipx", "Protocol    : Novell SPX/IPX (IPX)\n", false, Protocol::kIpx},
    {"ip", "Protocol    : Internet (IP)\n", false, Protocol::kIp},
    {"rarp", "Protocol    : Reverse Address Resolution (RARP)\n", false,
     Protocol::kRarp},
    {"tcp", "Protocol    : Transaction Control Protocol (TCP)\n", false,
     Protocol::kTcp},
    {"udp", "Protocol    : User Datagram Protocol (UDP)\n", false,
     Protocol::kUdp},
    {"nb", "Protocol    : NETBEUI (NB)\n", false, Protocol::kNetBeui},
    {"at", "Protocol    : AppleTalk (AT)\n", false, Protocol::kAppleTalk},
    {"all", "Protocol    : All Protocols (ALL)\n", true, Protocol::kIp},
};

}  // namespace

std::span<const bpf_insn> ProtocolBlock(Protocol protocol) {
  switch (protocol) {
    case Protocol::kIp:
      return kIpBlock;
    case Protocol::kArp:
      return kArpBlock;
    case Protocol::kRarp:
      return kRarpBlock;
    case Protocol::kNetBeui:
      return kNetBeuiBlock;
    case Protocol::kAppleTalk:
      return kAppleTalkBlock;
    case Protocol::kIpx:
      return kIpxBlock;
    case Protocol::kTcp:
      return kTcpBlock;
    case Protocol::kUdp:
      return kUdpBlock;
    case Protocol::kIcmp:
      return kIcmpBlock;
    case Protocol::kIgmp:
      return kIgmpBlock;
  }
  return {};
}

void FilterProgram::Append(std::span<const bpf_insn> block) {
  if (block.empty()) return;
  if (!instructions_.empty()) instructions_.pop_back();  // its ret #0
  instructions_.insert(instructions_.end(), block.begin(), block.end());
}

void ParseProtocolList(const char* text, FilterProgram* program, FILE* out) {
  if (text == nullptr) return;
  const char* p = text;
  // A "+" before a token, or any separator, matches no token and is
  // skipped like any other unknown character.
  while (*p != '\0') {
    const Token* match = nullptr;
    for (const Token& token : kTokens) {
      if (strncasecmp(p, token.text, strlen(token.text)) == 0) {
        match = &token;
        break;
      }
    }
    if (match == nullptr) {
      ++p;
      continue;
    }
    fputs(match->line, out);
    if (match->all) {
      program->Clear();
    } else {
      program->Append(match->protocol);
    }
    p += strlen(match->text);
  }
}

void DumpFilterProgram(const PkioApi& api, const FilterProgram& program,
                       int level, FILE* out) {
  static const char* const kHeaders[] = {
      "BPF Filter Dump - As Compiled Human Readable Form\n",
      "BPF Filter Dump - As  C Program Fragment\n",
      "BPF Filter Dump - As Decimal Numbers\n"};
  if (level < 1 || level > 3 || program.empty()) return;
  fputs(kHeaders[level - 1], out);
  fflush(out);
  std::vector<bpf_insn> copy = program.instructions();
  bpf_program dump{program.count(), copy.data()};
  api.BpfDump(&dump, level);
}

}  // namespace kavex::utilities
