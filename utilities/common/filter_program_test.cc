// The protocol filter programs run on frames of every kind, alone and
// joined, and the /p list that selects them.
#include "utilities/common/filter_program.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "platform/pkio/bpf.h"
#include "utilities/common/testing/frames.h"

namespace kavex::utilities {
namespace {

using testing::AcceptedKinds;
using testing::Frame;
using testing::Kind;
using testing::kKindCount;

FilterProgram Parse(const std::string& list, std::string* echo = nullptr) {
  FilterProgram program;
  char* text = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&text, &size);
  ParseProtocolList(list.c_str(), &program, out);
  fclose(out);
  if (echo != nullptr) *echo = std::string(text, size);
  free(text);
  return program;
}

bool Accepts(const FilterProgram& program, Kind kind) {
  std::vector<uint8_t> f = Frame(kind);
  return pkio::BpfRun(program.instructions(), f.data(),
                      static_cast<uint32_t>(f.size())) != 0;
}

TEST(FilterProgramTest, EachBlockHasItsLengthAndIsAValidProgram) {
  const std::map<Protocol, size_t> lengths = {
      {Protocol::kIp, 18},     {Protocol::kArp, 19}, {Protocol::kRarp, 19},
      {Protocol::kNetBeui, 8}, {Protocol::kIpx, 8},  {Protocol::kAppleTalk, 16},
      {Protocol::kTcp, 6},     {Protocol::kUdp, 6},  {Protocol::kIcmp, 6},
      {Protocol::kIgmp, 6}};
  for (const auto& [protocol, length] : lengths) {
    auto block = ProtocolBlock(protocol);
    EXPECT_EQ(block.size(), length) << int(protocol);
    EXPECT_TRUE(pkio::BpfValidate(block)) << int(protocol);
    const bpf_insn last = block.back();
    EXPECT_EQ(last.code, 0x06) << int(protocol);  // ret #0
    EXPECT_EQ(last.k, 0u) << int(protocol);
  }
}

TEST(FilterProgramTest, EveryTokenAcceptsExactlyItsFrames) {
  for (const auto& [token, accepted] : AcceptedKinds()) {
    FilterProgram program = Parse(token);
    for (int k = 0; k < kKindCount; ++k) {
      EXPECT_EQ(Accepts(program, Kind(k)), accepted.count(Kind(k)) == 1)
          << token << " on frame kind " << k;
    }
  }
}

// A failing test of one block falls through to the next: any two joined
// accept what either accepts, in either order, and nothing else.
TEST(FilterProgramTest, JoinedBlocksAcceptTheUnion) {
  for (const auto& [first, a] : AcceptedKinds()) {
    for (const auto& [second, b] : AcceptedKinds()) {
      FilterProgram program = Parse(first + "+" + second);
      ASSERT_EQ(program.count(),
                Parse(first).count() + Parse(second).count() - 1);
      ASSERT_TRUE(pkio::BpfValidate(program.instructions()));
      for (int k = 0; k < kKindCount; ++k) {
        bool expected = a.count(Kind(k)) || b.count(Kind(k));
        EXPECT_EQ(Accepts(program, Kind(k)), expected)
            << first << "+" << second << " on frame kind " << k;
      }
    }
  }
}

TEST(FilterProgramTest, ListsOfTokens) {
  std::string echo;
  FilterProgram tcp_udp = Parse("tcp+udp", &echo);
  EXPECT_EQ(tcp_udp.count(), 11u);
  EXPECT_EQ(tcp_udp.length_bytes(), 88u);
  EXPECT_EQ(echo,
            "Protocol    : Transaction Control Protocol (TCP)\n"
            "Protocol    : User Datagram Protocol (UDP)\n");

  // "all" empties what came before it.
  FilterProgram only_arp = Parse("ip+all+arp", &echo);
  EXPECT_EQ(only_arp.instructions().size(),
            ProtocolBlock(Protocol::kArp).size());
  EXPECT_EQ(echo,
            "Protocol    : Internet (IP)\n"
            "Protocol    : All Protocols (ALL)\n"
            "Protocol    : Address Resolution (ARP)\n");
  EXPECT_TRUE(Parse("udp+ALL").empty());

  // Any separator, any case, "+" or not; "ipx" before "ip", "rarp" whole.
  EXPECT_EQ(Parse("TCP,Udp").count(), 11u);
  EXPECT_EQ(Parse("+ip+arp").count(), 18u + 19u - 1u);
  Parse("ipx", &echo);
  EXPECT_EQ(echo, "Protocol    : Novell SPX/IPX (IPX)\n");
  Parse("rarp", &echo);
  EXPECT_EQ(echo, "Protocol    : Reverse Address Resolution (RARP)\n");
  Parse("icmp/igmp nb;at", &echo);
  EXPECT_EQ(echo,
            "Protocol    : Internet Control Message Protocol (ICMP)\n"
            "Protocol    : Internet Group Management Protocol (IGMP)\n"
            "Protocol    : NETBEUI (NB)\n"
            "Protocol    : AppleTalk (AT)\n");
  // Unknown text is skipped a character at a time.
  Parse("xxip", &echo);
  EXPECT_EQ(echo, "Protocol    : Internet (IP)\n");
  EXPECT_TRUE(Parse("ethernet").empty());
  Parse("", &echo);
  EXPECT_EQ(echo, "");
}

// Whatever the argument, parsing ends and the program it builds is one the
// kernel takes (or empty).
TEST(FilterProgramTest, HostileListsBuildValidPrograms) {
  std::mt19937 random(17);
  const std::string alphabet = "aipxrtcudpnbgml+,-/ \x01\xff";
  for (int i = 0; i < 2000; ++i) {
    std::string list;
    const int length = random() % 40;
    for (int j = 0; j < length; ++j)
      list += alphabet[random() % alphabet.size()];
    FilterProgram program = Parse(list);
    if (!program.empty()) {
      ASSERT_TRUE(pkio::BpfValidate(program.instructions())) << list;
    }
  }
  FilterProgram none;
  ParseProtocolList(nullptr, &none, stdout);
  EXPECT_TRUE(none.empty());
}

}  // namespace
}  // namespace kavex::utilities
