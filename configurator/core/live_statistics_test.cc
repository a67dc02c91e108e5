#include "configurator/core/live_statistics.h"

#include <gtest/gtest.h>

#include <vector>

#include "device/testing/velto_frame_builder.h"

namespace kavex::configurator {
namespace {

using device::VeltoFrameBuilder;

constexpr uint8_t kUpFull100 = device::kStatusLinkUp | device::kStatusEnabled |
                               device::kStatusFullDuplex |
                               device::kStatus100Mbit;

ConfigSwitch Switch(BYTE type, std::vector<int> ports) {
  ConfigSwitch sw;
  sw.address = u"02.C4.7D.00.00.01";
  sw.type = sw.runtime_type = type;
  for (int n : ports) {
    ConfigPort port;
    port.number = static_cast<BYTE>(n);
    port.alias = u"P" + std::u16string(1, static_cast<char16_t>(u'0' + n % 10));
    port.exists = true;
    sw.ports.push_back(port);
  }
  return sw;
}

std::vector<uint8_t> Frame(int chip, int index, uint8_t status, uint64_t tx,
                           uint64_t rx) {
  return VeltoFrameBuilder()
      .Port(chip, index)
      .Status(status)
      .Counter("tx_octets", tx)
      .Counter("rx_octets", rx)
      .Build();
}

void Apply(ConfigSwitch* sw, const std::vector<uint8_t>& frame,
           uint32_t tick) {
  UpdateLiveStatistics(sw, frame.data(), frame.size(), tick);
}

TEST(LiveStatisticsTest, UsageOfTheExamples) {
  ConfigSwitch sw = Switch(1, {1});
  const uint32_t t0 = 100'000;
  Apply(&sw, Frame(0, 0, kUpFull100, 0, 0), t0);
  // 12,500,000 bytes sent in 10 s at 100 Mbit/s: 1,250,000 bytes per percent.
  Apply(&sw, Frame(0, 0, kUpFull100, 12'500'000, 2'500'000), t0 + 10'000);
  EXPECT_FLOAT_EQ(sw.ports[0].live.usage.usage, 10.0f);
  // Over 2.5 s the divisor is 700,000 bytes: 3,500,000 bytes show 5.00.
  Apply(&sw, Frame(0, 0, kUpFull100, 16'000'000, 2'500'000), t0 + 12'500);
  EXPECT_FLOAT_EQ(sw.ports[0].live.usage.usage, 5.0f);
  EXPECT_EQ(sw.ports[0].live.speed, 100);
  EXPECT_TRUE(sw.heard);
}

TEST(LiveStatisticsTest, HalfDuplexAddsAndADisabledPortShowsNothing) {
  ConfigSwitch sw = Switch(1, {1, 2});
  const uint8_t half10 = device::kStatusLinkUp | device::kStatusEnabled;
  Apply(&sw, Frame(0, 0, half10, 0, 0), 100'000);
  Apply(&sw, Frame(0, 1, kUpFull100 & ~device::kStatusEnabled, 0, 0), 100'000);
  // 10 Mbit/s over 2.5 s: 70,000 bytes per percent.
  Apply(&sw, Frame(0, 0, half10, 140'000, 70'000), 102'500);
  Apply(&sw, Frame(0, 1, kUpFull100 & ~device::kStatusEnabled, 700'000,
                   700'000),
        102'500);
  EXPECT_FLOAT_EQ(sw.ports[0].live.usage.usage, 3.0f);
  EXPECT_EQ(sw.ports[0].live.speed, 10);
  EXPECT_FLOAT_EQ(sw.ports[1].live.usage.usage, 0.0f);
}

TEST(LiveStatisticsTest, APortIsComputedAtMostEveryTwoSeconds) {
  ConfigSwitch sw = Switch(1, {1});
  Apply(&sw, Frame(0, 0, kUpFull100, 100, 100), 100'000);
  ASSERT_TRUE(sw.ports[0].live.updated);
  sw.ports[0].live.updated = false;
  // 1.5 s later: only the time of the last frame moves.
  Apply(&sw, Frame(0, 0, 0, 999, 999), 101'500);
  EXPECT_EQ(sw.ports[0].live.frame_tick, 101'500u);
  EXPECT_EQ(sw.ports[0].live.computed_tick, 100'000u);
  EXPECT_EQ(sw.ports[0].live.status, kUpFull100);
  EXPECT_FALSE(sw.ports[0].live.updated);
  // Exactly 2000 ms after the computation is still too soon; 2001 is not.
  Apply(&sw, Frame(0, 0, 0, 999, 999), 102'000);
  EXPECT_EQ(sw.ports[0].live.status, kUpFull100);
  Apply(&sw, Frame(0, 0, 0, 999, 999), 102'001);
  EXPECT_EQ(sw.ports[0].live.status, 0);
  EXPECT_TRUE(sw.ports[0].live.updated);
}

TEST(LiveStatisticsTest, InformationAreaIsClearedByAFrameWithoutOne) {
  ConfigSwitch sw = Switch(1, {1});
  Apply(&sw,
        VeltoFrameBuilder()
            .Info(3, 0x0D0C0B0A, 2, 0x0D, "KX-108")
            .PortSpeedRecord(1000)
            .Status(kUpFull100)
            .Build(),
        100'000);
  EXPECT_EQ(sw.live.ipv4_address, 0x0D0C0B0Au);
  EXPECT_EQ(sw.live.ring_version, 2);
  EXPECT_EQ(sw.live.ring_flags, 0x0D);
  EXPECT_STREQ(sw.live.config_text, "KX-108");
  EXPECT_EQ(sw.ports[0].live.speed, 1000);
  // 180 bytes: no information area at all. The trailer overlaps the
  // header, so the destination's bytes 2 and 3 are the port byte (port 1)
  // and the status byte.
  Apply(&sw,
        VeltoFrameBuilder()
            .Destination({0x01, 0x80, 0x00, 0x00, 0x00, 0x0E})
            .Info(3, 1, 1, 1, "X")
            .Length(180)
            .Build(),
        103'000);
  EXPECT_EQ(sw.live.ipv4_address, 0u);
  EXPECT_EQ(sw.live.ring_version, 0);
  EXPECT_EQ(sw.live.ring_flags, 0);
  EXPECT_STREQ(sw.live.config_text, "");
  EXPECT_EQ(sw.ports[0].live.speed, 10);  // status bit 7 clear
}

TEST(LiveStatisticsTest, TypeRulesApplyFromTheFirstFrame) {
  // Type 2 with chips 0 and 1 present: chip 0's index 8 is port 17, chip
  // 1's is dropped. No cycle lock: the very first frame counts.
  ConfigSwitch sw = Switch(2, {9, 17});
  sw.chip_present[0] = sw.chip_present[1] = true;
  Apply(&sw, Frame(0, 8, kUpFull100, 0, 0), 100'000);
  EXPECT_TRUE(sw.ports[1].live.updated);
  EXPECT_FALSE(sw.ports[0].live.updated);
  Apply(&sw, Frame(1, 8, kUpFull100, 0, 0), 100'000);
  EXPECT_FALSE(sw.ports[0].live.updated);
  // Type 1 drops index 8; a frame for a port the switch lacks changes no
  // port but still marks it heard and its chip present.
  ConfigSwitch one = Switch(1, {1});
  Apply(&one, Frame(2, 8, kUpFull100, 0, 0), 100'000);
  Apply(&one, Frame(2, 3, kUpFull100, 0, 0), 100'000);
  EXPECT_TRUE(one.heard);
  EXPECT_TRUE(one.chip_present[2]);
  EXPECT_FALSE(one.ports[0].live.updated);
  // Type 3's gigabit ports.
  ConfigSwitch three = Switch(3, {26});
  three.chip_present[0] = three.chip_present[1] = three.chip_present[2] = true;
  Apply(&three, Frame(2, 8, kUpFull100, 0, 0), 100'000);
  EXPECT_EQ(three.ports[0].live.speed, 1000);
}

TEST(LiveStatisticsTest, OfflineAndStale) {
  ConfigSwitch sw = Switch(1, {1, 2});
  const DWORD timeout = 20;
  // With nothing heard the counters run from zero: online for T ticks.
  for (int tick = 0; tick <= 20; ++tick) {
    ASSERT_FALSE(SwitchOffline(sw, timeout)) << tick;
    AgeLivePorts(&sw, timeout);
    ++sw.live.seconds;
  }
  EXPECT_TRUE(SwitchOffline(sw, timeout));
  EXPECT_FALSE(sw.ports[0].live.stale);  // ports age only while online...
  sw.live.seconds = 0;
  AgeLivePorts(&sw, timeout);
  EXPECT_TRUE(sw.ports[0].live.stale);  // ...and are now past the time-out
  EXPECT_TRUE(sw.ports[0].live.updated);
  // A computed frame brings the switch and its port back.
  sw.live.seconds = 500;
  Apply(&sw, Frame(0, 0, kUpFull100, 0, 0), 200'000);
  EXPECT_FALSE(SwitchOffline(sw, timeout));
  EXPECT_FALSE(sw.ports[0].live.stale);
  EXPECT_EQ(sw.ports[0].live.seconds, 0);
  EXPECT_TRUE(sw.ports[1].live.stale);
  MarkPortsStale(&sw);
  EXPECT_TRUE(sw.ports[0].live.stale);
}

TEST(LiveStatisticsTest, IpAndRingTexts) {
  RingControls controls;
  SwitchLive live;
  ShowIpAndRing(live, &controls);
  EXPECT_FALSE(controls.ip_address.visible);
  EXPECT_FALSE(controls.ring_version.visible);
  live.ipv4_address = 0x0D0C0B0A;
  live.ring_version = 3;
  live.ring_flags = 0x01 | 0x02 | (2 << 2);
  ShowIpAndRing(live, &controls);
  EXPECT_EQ(controls.ip_address.text, u"10.11.12.13");
  EXPECT_EQ(controls.ring_version.text, u"3");
  EXPECT_EQ(controls.ring_manager.text, u"Yes");
  EXPECT_EQ(controls.ring_member.text, u"Yes");
  EXPECT_TRUE(controls.ring_state.visible);
  EXPECT_EQ(controls.ring_state.text, u"Partial Fault (high port rx error)");
  live.ring_flags = 0x0C;  // not manager: no state shown
  ShowIpAndRing(live, &controls);
  EXPECT_EQ(controls.ring_manager.text, u"No");
  EXPECT_EQ(controls.ring_member.text, u"No");
  EXPECT_FALSE(controls.ring_state.visible);
  EXPECT_EQ(RingStateText(0x00), u"Fault");
  EXPECT_EQ(RingStateText(0x04), u"Partial Fault (low port rx error)");
  EXPECT_EQ(RingStateText(0x0C), u"Ok");
  HideIpAndRing(&controls);
  EXPECT_FALSE(controls.ip_address.visible || controls.ring_member.visible);
}

}  // namespace
}  // namespace kavex::configurator
