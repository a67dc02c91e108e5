// The generator's frames, read back with the device's own decoder.
#include "simulator/generator.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "device/velto_frame.h"
#include "simulator/scenario.h"

namespace kavex::simulator {
namespace {

Scenario Parse(const std::string& text) {
  Scenario scenario;
  std::string error;
  EXPECT_TRUE(ParseScenario(text, &scenario, &error)) << error;
  return scenario;
}

// Port numbers the device assigns over `cycles` report cycles of the only
// switch of the scenario, counting the frames it drops.
std::multiset<int> ResolvedPorts(const std::string& text, int cycles,
                                 int* dropped) {
  Scenario scenario = Parse(text);
  Generator generator(scenario);
  device::PortNumberState state;
  std::multiset<int> ports;
  *dropped = 0;
  generator.EmitDue(uint64_t(cycles) * scenario.switches[0].cycle_ms - 1,
                    [&](const std::vector<uint8_t>& f) {
                      EXPECT_TRUE(device::IsVeltoFrame(f.data(), f.size()));
                      int n = device::ResolvePortNumber(
                          &state,
                          static_cast<uint8_t>(scenario.switches[0].type),
                          device::PortByte(f.data(), f.size()), true);
                      if (n == 0) {
                        ++*dropped;
                      } else {
                        ports.insert(n);
                      }
                    });
  return ports;
}

std::multiset<int> Range(int from, int to) {
  std::multiset<int> s;
  for (int i = from; i <= to; ++i) s.insert(i);
  return s;
}

TEST(GeneratorTest, PortNumbersFollowTheTypeRulesAfterTheCycleLock) {
  struct Case {
    std::string sw;
    int ports;
    int dropped_in_three_cycles;  // first cycle (lock) + cpu frames
  } cases[] = {
      {"type=1 ports=8", 8, 9 + 2},     // cycle 1: 9 frames; then cpu frame
      {"type=2 ports=9", 9, 9},         // port 9 on chip 0 index 8
      {"type=2 ports=17", 17, 18 + 2},  // 17 on chip 0 index 8, chip 1 idx 8
                                        // dropped
      {"type=3 ports=26", 26, 27 + 2},  // 25 and 26 on chips 0 and 2
      {"type=4 ports=14", 14, 14},
      {"type=5 ports=18", 18, 18},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sw);
    int dropped = 0;
    std::multiset<int> ports =
        ResolvedPorts("switch 02.C4.7D.00.00.01 " + c.sw, 3, &dropped);
    std::multiset<int> expected = Range(1, c.ports);
    expected.merge(Range(1, c.ports));
    EXPECT_EQ(ports, expected);
    EXPECT_EQ(dropped, c.dropped_in_three_cycles);
  }
}

TEST(GeneratorTest, InformationAreaAndSpeedRecordsDecode) {
  Scenario scenario = Parse(
      "switch 02.C4.7D.0A.0B.0C type=3 ports=26 info=3 ip=10.1.2.3 ring=2 "
      "ringflags=0x0D config=\"KX-326G 2x GbE uplink, ring\" speed=10");
  Generator generator(scenario);
  std::map<int, device::FrameInfo> by_port;
  device::PortNumberState state;
  generator.EmitDue(999, [&](const std::vector<uint8_t>& f) {
    EXPECT_EQ(device::AddressText(f.data() + 6), "02.C4.7D.0A.0B.0C");
    int n = device::ResolvePortNumber(
        &state, 3, device::PortByte(f.data(), f.size()), false);
    if (n != 0) by_port[n] = device::DecodeFrameInfo(f.data(), f.size());
  });
  ASSERT_EQ(by_port.size(), 26u);
  EXPECT_EQ(by_port[1].ipv4_address, 0x0302010Au);
  EXPECT_EQ(by_port[1].ring_version, 2);
  EXPECT_EQ(by_port[1].ring_flags, 0x0D);
  EXPECT_STREQ(by_port[1].config_text, "KX-326G 2x GbE uplink, ring");
  // The unknown record before it is skipped; gigabit uplinks by type.
  EXPECT_EQ(by_port[1].port_speed, 10);
  EXPECT_EQ(by_port[25].port_speed, 1000);
  EXPECT_EQ(by_port[26].port_speed, 1000);
}

TEST(GeneratorTest, InfoVersionsZeroToTwoCarryNoSpeedRecord) {
  for (int info = 0; info <= 2; ++info) {
    SCOPED_TRACE(info);
    Generator generator(Parse("switch 02.C4.7D.00.00.01 ports=2 info=" +
                              std::to_string(info) + " ip=1.2.3.4"));
    const std::vector<uint8_t>* f = generator.NextFrame();
    ASSERT_NE(f, nullptr);
    if (info == 0) {
      EXPECT_EQ(f->size(), device::kEmptyInfoFrameSize);
    }
    device::FrameInfo decoded = device::DecodeFrameInfo(f->data(), f->size());
    EXPECT_EQ(decoded.port_speed, 0);
    EXPECT_EQ(decoded.ipv4_address, info == 0 ? 0u : 0x04030201u);
    EXPECT_EQ(device::DefaultPortSpeed(device::StatusByte(f->data(), f->size()),
                                       1, 1),
              100);
  }
}

uint64_t TxOctets(const std::vector<uint8_t>& f) {
  return device::LoadLittleEndian(device::CountersBytes(f.data(), f.size()), 8);
}

TEST(GeneratorTest, CountersGrowWithLoadAndStopWhileTheLinkIsDown) {
  Generator generator(Parse(
      "switch 02.C4.7D.00.00.01 ports=3 cpu=0 load=50 down=2 flap=3:2000"));
  std::map<int, std::vector<std::pair<uint8_t, uint64_t>>> seen;  // status, tx
  generator.EmitDue(5999, [&](const std::vector<uint8_t>& f) {
    int port = (device::PortByte(f.data(), f.size()) >> 4) + 1;
    seen[port].emplace_back(device::StatusByte(f.data(), f.size()),
                            TxOctets(f));
  });
  ASSERT_EQ(seen[1].size(), 6u);
  for (size_t i = 1; i < 6; ++i)
    EXPECT_GT(seen[1][i].second, seen[1][i - 1].second);
  // 100 Mbit/s, 50% load, port factor (1 + 1 % 4) / 2.5: 5 MB per second.
  EXPECT_EQ(seen[1][1].second - seen[1][0].second, 5000000u);
  for (auto& [status, tx] : seen[2]) {
    EXPECT_FALSE(status & kStatusLinkUp);
    EXPECT_EQ(tx, 0u);
  }
  // Port 3: up for 2 s, down for 2 s, up again.
  std::vector<bool> up;
  for (auto& [status, tx] : seen[3]) up.push_back(status & kStatusLinkUp);
  EXPECT_EQ(up, (std::vector<bool>{true, true, false, false, true, true}));
  EXPECT_EQ(seen[3][3].second, seen[3][2].second);
}

TEST(GeneratorTest, SilentSwitchSendsNothingInItsWindow) {
  Generator generator(Parse(
      "switch 02.C4.7D.00.00.01 ports=2 cpu=0 cycle=100 silent=1000:2000\n"
      "switch 02.C4.7D.00.00.02 ports=2 cpu=0 cycle=100"));
  std::map<int, int> frames_per_second[2];
  uint64_t now = 0;
  for (; now < 3000; now += 10) {
    generator.EmitDue(now, [&](const std::vector<uint8_t>& f) {
      ++frames_per_second[f[11] - 1][int(now / 1000)];
    });
  }
  EXPECT_EQ(frames_per_second[0][0], 20);
  EXPECT_EQ(frames_per_second[0][1], 0);
  EXPECT_EQ(frames_per_second[0][2], 20);
  EXPECT_EQ(frames_per_second[1][1], 20);
}

TEST(GeneratorTest, FarBehindSkipsAheadInsteadOfFlooding) {
  Generator generator(
      Parse("switch 02.C4.7D.00.00.01 ports=8 cpu=0 cycle=100"));
  int frames = 0;
  generator.EmitDue(3600000, [&](const std::vector<uint8_t>&) { ++frames; });
  EXPECT_LE(frames, 16);
  EXPECT_GT(frames, 0);
}

TEST(ScenarioTest, RejectsBadStatementsWithTheLine) {
  const char* bad[] = {
      "switch 02.C4.7D.00.00.01 type=6",
      "switch 02.C4.7D.00.00.01 ports=25",  // type 1 stops at 24
      "switch 02.C4.7D.00.00.01 ports=4 down=5",
      "switch 02.C4.7D.00.00.1 ports=4",
      "switch 02.C4.7D.00.00.01 bogus=1",
      "switch 02.C4.7D.00.00.01 config=\"unterminated",
      "switch 02.C4.7D.00.00.01 config=123456789012345678901234567890123",
      "switch 02.C4.7D.00.00.01 silent=5:3",
      "router 02.C4.7D.00.00.01",
  };
  for (const char* text : bad) {
    Scenario scenario;
    std::string error;
    EXPECT_FALSE(
        ParseScenario(std::string("# header\n") + text, &scenario, &error))
        << text;
    EXPECT_EQ(error.rfind("line 2: ", 0), 0u) << error;
  }
  Scenario scenario;
  std::string error;
  ASSERT_TRUE(ParseScenario(
      "dest FF:FF:FF:FF:FF:FF; switch 02.c4.7d.00.00.01 type=3 ports=26",
      &scenario, &error))
      << error;
  EXPECT_EQ(scenario.destination[0], 0xFF);
  EXPECT_EQ(scenario.switches.size(), 1u);
  EXPECT_EQ(DefaultScenario().switches.size(), 3u);
}

}  // namespace
}  // namespace kavex::simulator
