#include "device/switch_table.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "device/testing/switch_table_fixtures.h"
#include "device/testing/table_reads.h"
#include "device/testing/velto_frame_builder.h"
#include "platform/sync/clock.h"

namespace kavex::device {
namespace {

constexpr VeltoFrameBuilder::Mac kMacA = {0x02, 0xC4, 0x7D, 0x1A, 0x2B, 0x3C};
constexpr VeltoFrameBuilder::Mac kMacB = {0x02, 0xC4, 0x7D, 0x00, 0x00, 0xB0};
constexpr uint8_t kUpFull100 =
    kStatusLinkUp | kStatusEnabled | kStatusFullDuplex | kStatus100Mbit;

class SwitchTableTest : public ::testing::Test {
 protected:
  // Installs `switches` with the given format and time-out.
  void Install(std::vector<SwitchRecord> switches,
               std::string format = "String", uint32_t timeout = 20) {
    AdapterEntry adapter;
    adapter.ndis_name = "\\Device\\veth0";
    adapter.active = true;
    adapter.timeout_seconds = timeout;
    adapter.switches = std::move(switches);
    table_.Install(std::move(adapter), std::move(format));
  }

  FrameResult Send(const std::vector<uint8_t>& frame) {
    return table_.HandleFrame(frame.data(), frame.size());
  }

  // The first frame of a switch only starts its cycle; the same port coming
  // round again is taken.
  void SendThroughCycleLock(const std::vector<uint8_t>& frame) {
    ASSERT_EQ(Send(frame), FrameResult::kNoPortNumber);
    ASSERT_EQ(Send(frame), FrameResult::kAccepted);
  }

  static VeltoFrameBuilder Frame(const VeltoFrameBuilder::Mac& mac,
                                 int port_number) {
    VeltoFrameBuilder builder;
    builder.Source(mac)
        .Port((port_number - 1) / 8, (port_number - 1) % 8)
        .Status(kUpFull100);
    return builder;
  }

  std::string PortText(size_t s, size_t p, std::string_view property) {
    return PortTextOf(table_, s, p, FindPortProperty(property));
  }
  int32_t PortInteger(size_t s, size_t p, std::string_view property) {
    return PortIntegerOf(table_, s, p, FindPortProperty(property));
  }

  sync::FakeClock clock_{100'000};
  SwitchTable table_{&clock_};
};

TEST_F(SwitchTableTest, FramesTooShortForTheTrailerAreDropped) {
  Install({MakeSwitch("02.C4.7D.1A.2B.3C", "SW1", 0, 8)});
  SendThroughCycleLock(Frame(kMacA, 1).Build());
  for (size_t len : {0u, 13u, 14u, 175u, 176u, 177u}) {
    clock_.Advance(2001);
    auto frame = Frame(kMacA, 1).Length(len).Build();
    EXPECT_EQ(Send(frame), len < kEthernetHeaderSize ? FrameResult::kNotVelto
                                                     : FrameResult::kTooShort)
        << len;
  }
  // 178 bytes hold the trailer; the information area is empty.
  clock_.Advance(2001);
  // In so short a frame the port and status bytes are the destination's
  // first two bytes.
  EXPECT_EQ(Send(Frame(kMacA, 1)
                     .Destination({0x00, kUpFull100, 0, 0, 0, 0})
                     .Info(1, 0x01020304, 1, 1, "X")
                     .Length(178)
                     .Counter("rx_fcs_errors", 9)
                     .Build()),
            FrameResult::kAccepted);
  EXPECT_EQ(PortText(0, 0, "rx_fcs_errors"), "9");
  EXPECT_EQ(table_.CopySwitchValues(0).ipv4_address, 0u);
}

TEST_F(SwitchTableTest, OnlyVeltoFramesOfConfiguredSwitchesAndPorts) {
  SwitchRecord sw = MakeSwitch("02.C4.7D.1A.2B.3C", "SW1", 0, 0);
  sw.ports.push_back(MakePort(1, "Up"));
  sw.ports.push_back(MakePort(3, "Three"));
  sw.ports.push_back(MakePort(3, "AlsoThree"));  // the first one wins
  Install({std::move(sw), MakeSwitch("02.c4.7d.00.00.b0", "lower", 0, 8)});

  EXPECT_EQ(Send(Frame(kMacA, 1).EtherType(0x0800).Build()),
            FrameResult::kNotVelto);
  EXPECT_EQ(Send(Frame({0x00, 0xC4, 0x7D, 0x1A, 0x2B, 0x3C}, 1).Build()),
            FrameResult::kNotVelto);
  // A configured address in lower case never matches a frame.
  EXPECT_EQ(Send(Frame(kMacB, 1).Build()), FrameResult::kUnknownSwitch);
  EXPECT_EQ(Send(Frame(kMacB, 1).Build()), FrameResult::kUnknownSwitch);

  SendThroughCycleLock(Frame(kMacA, 3).Counter("tx_drop_pkts", 33).Build());
  EXPECT_EQ(Send(Frame(kMacA, 2).Build()), FrameResult::kUnknownPort);
  EXPECT_EQ(PortText(0, 1, "tx_drop_pkts"), "33");
  EXPECT_EQ(PortText(0, 2, "tx_drop_pkts"), "");
  EXPECT_FALSE(PortItemOf(table_, 0, 1).stale);
  EXPECT_TRUE(PortItemOf(table_, 0, 2).stale);
}

TEST_F(SwitchTableTest, FirstConfiguredSwitchWithAnAddressWins) {
  Install({MakeSwitch("02.C4.7D.00.00.01", "Other", 0, 8),
           MakeSwitch("02.C4.7D.1A.2B.3C", "First", 0, 8),
           MakeSwitch("02.C4.7D.1A.2B.3C", "Second", 0, 8)});
  SendThroughCycleLock(Frame(kMacA, 2).Build());
  EXPECT_FALSE(PortItemOf(table_, 1, 1).stale);
  EXPECT_TRUE(PortItemOf(table_, 2, 1).stale);
  EXPECT_EQ(table_.CopySwitchValues(1).total_ports, 8u);
  EXPECT_EQ(table_.CopySwitchValues(2).total_ports, 0u);
}

TEST_F(SwitchTableTest, PortIsUpdatedAtMostOncePer2Seconds) {
  Install({MakeSwitch("02.C4.7D.1A.2B.3C", "SW1", 0, 8)});
  SendThroughCycleLock(Frame(kMacA, 1).Counter("tx_unicast_pkts", 1).Build());

  clock_.Advance(1500);
  EXPECT_EQ(Send(Frame(kMacA, 1).Counter("tx_unicast_pkts", 2).Build()),
            FrameResult::kThrottled);
  EXPECT_EQ(PortText(0, 0, "tx_unicast_pkts"), "1");
  clock_.Advance(500);  // exactly 2000 ms
  EXPECT_EQ(Send(Frame(kMacA, 1).Counter("tx_unicast_pkts", 3).Build()),
            FrameResult::kThrottled);
  clock_.Advance(1);  // 2001 ms after the accepted frame
  EXPECT_EQ(Send(Frame(kMacA, 1).Counter("tx_unicast_pkts", 4).Build()),
            FrameResult::kAccepted);
  EXPECT_EQ(PortText(0, 0, "tx_unicast_pkts"), "4");
  // Each port has its own window.
  EXPECT_EQ(Send(Frame(kMacA, 2).Build()), FrameResult::kAccepted);
}

TEST_F(SwitchTableTest, IntervalSurvivesTickWrapAround) {
  Install({MakeSwitch("02.C4.7D.1A.2B.3C", "SW1", 0, 8)});
  clock_.SetTick(0xFFFFFF00u);
  SendThroughCycleLock(Frame(kMacA, 1).Build());
  clock_.SetTick(0x00000100u);  // 512 ms later
  EXPECT_EQ(Send(Frame(kMacA, 1).Build()), FrameResult::kThrottled);
  clock_.SetTick(0x00000800u);  // 2304 ms later
  EXPECT_EQ(Send(Frame(kMacA, 1).Build()), FrameResult::kAccepted);
}

TEST_F(SwitchTableTest, StringFormatFillsTextSlots) {
  Install({MakeSwitch("02.C4.7D.1A.2B.3C", "SW1", 0, 8)});
  auto first = Frame(kMacA, 3)
                   .Counter("tx_octets", 0x100000005ULL)  // low 32 bits shown
                   .Counter("rx_octets", 2'000'000)
                   .Counter("rx_good_octets;", 77)
                   .Counter("rx_symbol_error", 0xFFFFFFFFu)
                   .Build();
  SendThroughCycleLock(first);
  EXPECT_EQ(PortText(0, 2, "PortId"), "3");
  EXPECT_EQ(PortText(0, 2, "Alias"), "P3");
  EXPECT_EQ(PortText(0, 2, "Speed"), "100");
  EXPECT_EQ(PortText(0, 2, "Duplex"), "1");
  EXPECT_EQ(PortText(0, 2, "Link_Status"), "1");
  EXPECT_EQ(PortText(0, 2, "Port_Enable"), "1");
  EXPECT_EQ(PortText(0, 2, "tx_octets"), "5");
  EXPECT_EQ(PortText(0, 2, "rx_good_octets;"), "77");
  EXPECT_EQ(PortText(0, 2, "rx_symbol_error"), "4294967295");
  EXPECT_EQ(PortText(0, 2, "Usage"), "0.00");    // measured from zero
  EXPECT_EQ(PortText(0, 2, "Last_Update"), "");  // the timer writes it
  EXPECT_EQ(PortInteger(0, 2, "Speed"), 0);

  // 100 Mbit/s full duplex, 350,000 / 700,000 more octets in 2.5 s: 1 %.
  clock_.Advance(2500);
  ASSERT_EQ(Send(Frame(kMacA, 3)
                     .Counter("tx_octets", 0x100000005ULL + 350'000)
                     .Counter("rx_octets", 2'700'000)
                     .Build()),
            FrameResult::kAccepted);
  EXPECT_EQ(PortText(0, 2, "Usage"), "1.00");

  // Half duplex adds both directions; link down and disabled are published.
  clock_.Advance(2500);
  ASSERT_EQ(Send(Frame(kMacA, 3)
                     .Status(kStatusEnabled | kStatus100Mbit)
                     .Counter("tx_octets", 0x100000005ULL + 700'000)
                     .Counter("rx_octets", 3'050'000)
                     .Build()),
            FrameResult::kAccepted);
  EXPECT_EQ(PortText(0, 2, "Usage"), "1.00");
  EXPECT_EQ(PortText(0, 2, "Duplex"), "0");
  EXPECT_EQ(PortText(0, 2, "Link_Status"), "0");
  clock_.Advance(2500);
  ASSERT_EQ(Send(Frame(kMacA, 3)
                     .Status(kStatusEnabled | kStatus100Mbit)
                     .Counter("tx_octets", 0x100000005ULL + 1'050'000)
                     .Counter("rx_octets", 3'750'000)
                     .Build()),
            FrameResult::kAccepted);
  EXPECT_EQ(PortText(0, 2, "Usage"), "1.50");
  EXPECT_EQ(PortText(0, 2, "Speed"), "100");
}

TEST_F(SwitchTableTest, IntegerFormatFillsIntegerSlots) {
  Install({MakeSwitch("02.C4.7D.1A.2B.3C", "SW1", 0, 8)}, "Integer");
  SendThroughCycleLock(Frame(kMacA, 1)
                           .Counter("tx_octets", 1'000'000)
                           .Counter("rx_drop_pkts", 0x80000001u)
                           .Build());
  clock_.Advance(2500);
  ASSERT_EQ(Send(Frame(kMacA, 1)
                     .Status(kStatusEnabled | kStatusLinkUp | kStatus100Mbit)
                     .Counter("tx_octets", 1'000'000 + 1'050'000)
                     .Counter("rx_drop_pkts", 0x80000001u)
                     .Build()),
            FrameResult::kAccepted);
  EXPECT_EQ(PortInteger(0, 0, "Speed"), 100);
  EXPECT_EQ(PortInteger(0, 0, "Duplex"), 0);
  EXPECT_EQ(PortInteger(0, 0, "Link_Status"), 1);
  EXPECT_EQ(PortInteger(0, 0, "Port_Enable"), 1);
  EXPECT_EQ(PortInteger(0, 0, "tx_octets"), 2'050'000);
  // Low 32 bits in a signed slot.
  EXPECT_EQ(PortInteger(0, 0, "rx_drop_pkts"),
            static_cast<int32_t>(0x80000001u));
  // 1.5 % truncated toward zero.
  EXPECT_EQ(PortInteger(0, 0, "Usage"), 1);
  EXPECT_FLOAT_EQ(PortItemOf(table_, 0, 0).usage, 1.5f);
  // The text slots other than the configured ones stay empty.
  EXPECT_EQ(PortText(0, 0, "Speed"), "");
  EXPECT_EQ(PortText(0, 0, "Usage"), "");
  EXPECT_EQ(PortText(0, 0, "PortId"), "1");
  EXPECT_EQ(PortText(0, 0, "Alias"), "P1");
}

TEST_F(SwitchTableTest, FrameSetsSwitchValuesAndSpeed) {
  Install({MakeSwitch("02.C4.7D.1A.2B.3C", "SW1", 3, 26)});
  // Learn all three chips before the cycle lock closes on port 1.
  EXPECT_EQ(Send(Frame(kMacA, 1).Build()), FrameResult::kNoPortNumber);
  EXPECT_EQ(Send(Frame(kMacA, 9).Build()), FrameResult::kNoPortNumber);
  EXPECT_EQ(Send(Frame(kMacA, 17).Build()), FrameResult::kNoPortNumber);
  ASSERT_EQ(Send(Frame(kMacA, 1)
                     .Info(3, 0x0A00A8C0, 2, 0x0D, "T26-G")
                     .PortSpeedRecord(1000)
                     .Build()),
            FrameResult::kAccepted);
  SwitchValues values = table_.CopySwitchValues(0);
  EXPECT_EQ(values.mac, kMacA);
  EXPECT_EQ(values.total_ports, 26u);
  EXPECT_EQ(values.ipv4_address, 0x0A00A8C0u);
  EXPECT_EQ(values.ring_version, 2);
  EXPECT_EQ(values.ring_flags, 0x0D);
  EXPECT_STREQ(values.config_text, "T26-G");
  EXPECT_EQ(PortItemOf(table_, 0, 0).speed, 1000);

  // Chip 2's extra port is 26 on a type 3 switch and runs at a gigabit;
  // a frame without an information area clears the switch's fields.
  ASSERT_EQ(Send(Frame(kMacA, 1).PortByte(0x82).Status(0).Build()),
            FrameResult::kAccepted);
  EXPECT_EQ(PortItemOf(table_, 0, 25).speed, 1000);
  values = table_.CopySwitchValues(0);
  EXPECT_EQ(values.ipv4_address, 0u);
  EXPECT_EQ(values.ring_version, 0);
  EXPECT_STREQ(values.config_text, "");
  // Chip 1's index 8 is dropped.
  EXPECT_EQ(Send(Frame(kMacA, 1).PortByte(0x81).Build()),
            FrameResult::kNoPortNumber);
  // A 10 Mbit/s port without a speed record.
  ASSERT_EQ(Send(Frame(kMacA, 5).Status(kStatusLinkUp).Build()),
            FrameResult::kAccepted);
  EXPECT_EQ(PortItemOf(table_, 0, 4).speed, 10);
}

TEST_F(SwitchTableTest, SwitchGoesOfflineAfterItsTimeOut) {
  Install({MakeSwitch("02.C4.7D.1A.2B.3C", "SW1", 0, 2)}, "String", 20);
  EXPECT_EQ(SwitchTextOf(table_, 0, kSwitchStatusSlot), "");
  EXPECT_EQ(SwitchTextOf(table_, 0, kSwitchLastUpdateSlot), "");
  SendThroughCycleLock(Frame(kMacA, 1).Build());

  for (int second = 0; second <= 20; ++second) {
    table_.Tick();
    SwitchValues values = table_.CopySwitchValues(0);
    ASSERT_EQ(values.status, 1) << second;
    ASSERT_EQ(SwitchTextOf(table_, 0, kSwitchStatusSlot), "Online");
    ASSERT_EQ(SwitchTextOf(table_, 0, kSwitchLastUpdateSlot),
              std::to_string(second));
    ASSERT_EQ(values.last_update, static_cast<uint32_t>(second));
    ASSERT_EQ(PortTextOf(table_, 0, 0, kPortLastUpdateProperty),
              std::to_string(second));
    ASSERT_EQ(PortIntegerOf(table_, 0, 0, kPortLastUpdateProperty), second);
    ASSERT_FALSE(PortItemOf(table_, 0, 0).stale) << second;
  }
  // The port that never sent stays stale all along.
  EXPECT_TRUE(PortItemOf(table_, 0, 1).stale);

  table_.Tick();  // publishes 21
  EXPECT_EQ(table_.CopySwitchValues(0).status, 0);
  EXPECT_EQ(SwitchTextOf(table_, 0, kSwitchStatusSlot), "Offline");
  EXPECT_EQ(SwitchTextOf(table_, 0, kSwitchLastUpdateSlot), "21");
  EXPECT_TRUE(PortItemOf(table_, 0, 0).stale);

  // A frame brings the switch back on the next tick.
  clock_.Advance(30'000);
  ASSERT_EQ(Send(Frame(kMacA, 1).Build()), FrameResult::kAccepted);
  EXPECT_FALSE(PortItemOf(table_, 0, 0).stale);
  table_.Tick();
  EXPECT_EQ(SwitchTextOf(table_, 0, kSwitchStatusSlot), "Online");
  EXPECT_EQ(SwitchTextOf(table_, 0, kSwitchLastUpdateSlot), "0");
  EXPECT_EQ(PortTextOf(table_, 0, 0, kPortLastUpdateProperty), "0");
}

TEST_F(SwitchTableTest, PortGoesStaleOnItsOwnTimeOut) {
  Install({MakeSwitch("02.C4.7D.1A.2B.3C", "SW1", 0, 2)}, "Integer", 5);
  SendThroughCycleLock(Frame(kMacA, 1).Build());
  for (int second = 0; second < 6; ++second) {
    table_.Tick();
    if (second == 3) {
      clock_.Advance(3000);
      ASSERT_EQ(Send(Frame(kMacA, 2).Build()), FrameResult::kAccepted);
    }
  }
  // Port 1 last sent 6 ticks ago (published 0..5); one more tick publishes 6.
  EXPECT_FALSE(PortItemOf(table_, 0, 0).stale);
  table_.Tick();
  EXPECT_TRUE(PortItemOf(table_, 0, 0).stale);
  EXPECT_FALSE(PortItemOf(table_, 0, 1).stale);
  EXPECT_EQ(table_.CopySwitchValues(0).status, 1);
  EXPECT_EQ(PortIntegerOf(table_, 0, 0, kPortLastUpdateProperty), 6);
  EXPECT_EQ(PortIntegerOf(table_, 0, 1, kPortLastUpdateProperty), 2);
  // The timer fills the text slot in either format.
  EXPECT_EQ(PortTextOf(table_, 0, 1, kPortLastUpdateProperty), "2");
}

TEST_F(SwitchTableTest, LastUpdateReadsOfflineAfter2000Seconds) {
  Install({MakeSwitch("02.C4.7D.1A.2B.3C", "SW1", 0, 1)}, "String", 5000);
  SendThroughCycleLock(Frame(kMacA, 1).Build());
  for (int second = 0; second < 2000; ++second) table_.Tick();
  EXPECT_EQ(SwitchTextOf(table_, 0, kSwitchLastUpdateSlot), "1999");
  EXPECT_EQ(table_.CopySwitchValues(0).status, 1);
  EXPECT_FALSE(PortItemOf(table_, 0, 0).stale);

  table_.Tick();  // publishes 2000
  SwitchValues values = table_.CopySwitchValues(0);
  EXPECT_EQ(values.status, 0);
  EXPECT_EQ(values.last_update, 2000u);
  EXPECT_EQ(SwitchTextOf(table_, 0, kSwitchStatusSlot), "Online");
  EXPECT_EQ(SwitchTextOf(table_, 0, kSwitchLastUpdateSlot), "Offline");
  EXPECT_TRUE(PortItemOf(table_, 0, 0).stale);

  table_.Tick();
  EXPECT_EQ(table_.CopySwitchValues(0).last_update, 2001u);
  EXPECT_EQ(SwitchTextOf(table_, 0, kSwitchLastUpdateSlot), "Offline");
}

TEST_F(SwitchTableTest, StructureLookups) {
  SwitchRecord first = MakeSwitch("02.C4.7D.00.00.01", "Hall", 0, 3);
  first.ports[2].alias = "P1";  // duplicate alias: the first port answers
  Install({std::move(first), MakeSwitch("02.C4.7D.00.00.02", "Yard", 0, 2),
           MakeSwitch("02.C4.7D.00.00.03", "Hall", 0, 4)});
  const AliasIndex& aliases = table_.alias_index();
  EXPECT_EQ(aliases.FindSwitch("Hall"), 0);  // the first of the two
  EXPECT_EQ(aliases.FindSwitch("Yard"), 1);
  EXPECT_EQ(aliases.FindSwitch("hall"), -1);
  auto port = [&](std::string_view key) {
    return aliases.FindPort(key, HashPortKey(key));
  };
  EXPECT_EQ(port("Hall.P1").port, &table_.switch_record(0).ports[0]);
  EXPECT_EQ(port("Hall.P1").switch_index, 0u);
  // The first Hall has no P4: the second one's answers.
  EXPECT_EQ(port("Hall.P4").port, &table_.switch_record(2).ports[3]);
  EXPECT_EQ(port("Hall.P4").switch_index, 2u);
  EXPECT_EQ(port("Yard.P4").port, nullptr);
  EXPECT_EQ(port("Hall").port, nullptr);
  EXPECT_EQ(SwitchTextOf(table_, 2, kSwitchMacAddressSlot),
            "02.C4.7D.00.00.03");
  EXPECT_EQ(SwitchTextOf(table_, 2, kSwitchAliasSlot), "Hall");
  EXPECT_EQ(SwitchTextOf(table_, 2, kSwitchTotalPortsSlot), "4");
  EXPECT_EQ(FindPortProperty("rx_good_octets;"), 32);
  EXPECT_EQ(FindPortProperty("rx_good_octets"), -1);
}

// The property table and where each counter lies in the frame's counter
// block, written out here rather than taken from the code's own tables:
// clients address items by these names and switches send these bytes.
TEST_F(SwitchTableTest, PropertyTableAndCounterOffsets) {
  const char* const kNames[kPortPropertyCount] = {"PortId",
                                                  "Alias",
                                                  "Speed",
                                                  "Duplex",
                                                  "Link_Status",
                                                  "Port_Enable",
                                                  "tx_octets",
                                                  "tx_drop_pkts",
                                                  "tx_broadcast_pkts",
                                                  "tx_multicast_pkts",
                                                  "tx_unicast_pkts",
                                                  "tx_collisions",
                                                  "tx_single_collision",
                                                  "tx_multiple_collision",
                                                  "tx_deferred_transmit",
                                                  "tx_late_collision",
                                                  "tx_excessive_collision",
                                                  "tx_frame_in_disc",
                                                  "tx_pause_pkts",
                                                  "rx_octets",
                                                  "rx_under_size_pkts",
                                                  "rx_pause_pkts",
                                                  "pkts_64_octets",
                                                  "pkts_65to127_octets",
                                                  "pkts_128to255_octets",
                                                  "pkts_256to511_octets",
                                                  "pkts_512to1023_octets",
                                                  "pkts_1024to1522_octets",
                                                  "rx_over_size_pkts",
                                                  "rx_jabbers",
                                                  "rx_alignment_errors",
                                                  "rx_fcs_errors",
                                                  "rx_good_octets;",
                                                  "rx_drop_pkts",
                                                  "rx_unicast_pkts",
                                                  "rx_multicast_pkts",
                                                  "rx_broadcast_pkts",
                                                  "rx_sa_changes",
                                                  "rx_fragments",
                                                  "rx_excess_size_disc",
                                                  "rx_symbol_error",
                                                  "Usage",
                                                  "Last_Update"};
  // Offsets of the 35 counters, properties 6 to 40, in the 176-byte block.
  const int kOffsets[35] = {0,   8,   16,  20,  24,  28,  32,  36,  40,
                            44,  48,  52,  56,  68,  76,  80,  84,  88,
                            92,  96,  100, 104, 108, 112, 116, 120, 124,
                            132, 136, 140, 144, 148, 152, 156, 160};
  for (int n = 0; n < kPortPropertyCount; ++n) {
    EXPECT_EQ(kPortPropertyNames[n], kNames[n]) << n;
    EXPECT_EQ(FindPortProperty(kNames[n]), n) << kNames[n];
  }

  // Block byte i holds i + 1, so each counter's low 32 bits are told apart
  // by where they start.
  std::vector<uint8_t> frame = Frame(kMacA, 1).Build();
  for (size_t i = 0; i < kPortCountersSize; ++i)
    frame[frame.size() - kPortCountersSize + i] = static_cast<uint8_t>(i + 1);
  for (const char* format : {"String", "Integer"}) {
    SCOPED_TRACE(format);
    const bool integer = format == std::string("Integer");
    Install({MakeSwitch("02.C4.7D.1A.2B.3C", "SW1", 0, 1)}, format);
    clock_.Advance(2001);
    SendThroughCycleLock(frame);
    for (int c = 0; c < 35; ++c) {
      const int o = kOffsets[c];
      const uint32_t low = static_cast<uint32_t>(o + 1) | (o + 2) << 8 |
                           (o + 3) << 16 | static_cast<uint32_t>(o + 4) << 24;
      const int n = 6 + c;
      if (integer) {
        EXPECT_EQ(PortIntegerOf(table_, 0, 0, n), static_cast<int32_t>(low))
            << kNames[n];
      } else {
        EXPECT_EQ(PortTextOf(table_, 0, 0, n), std::to_string(low))
            << kNames[n];
      }
    }
  }
}

TEST(UsageTextTest, TwoDecimalsLikePrintf) {
  for (float usage :
       {0.0f, 0.125f, 0.375f, 1.005f, 9.999f, 33.335f, 99.995f, 100.0f}) {
    PortRecord port;
    PortItemValues values;
    values.published = SlotSet::kText;
    values.usage = usage;
    char expected[32];
    std::snprintf(expected, sizeof expected, "%4.2f", usage);
    EXPECT_EQ(PortTextSlot(port, values, kUsageProperty), expected) << usage;
  }
}

// Frames, ticks and reads on their own threads: whichever counter a read
// copies, it comes from the same frame as the port's status and speed, and
// the text rendered is that counter's. Every frame carries its number in
// all 35 counters; odd numbers come with a 100 Mbit/s link that is up, even
// ones (0 first) with a 10 Mbit/s link that is down.
TEST_F(SwitchTableTest, ReadersSeeWholeUpdates) {
  constexpr uint8_t kDown10 = kStatusEnabled;
  Install({MakeSwitch("02.C4.7D.1A.2B.3C", "SW1", 0, 4)});
  SendThroughCycleLock(Frame(kMacA, 2).Status(kDown10).Build());
  const PortRecord& port = table_.switch_record(0).ports[1];

  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 2; ++r) {
    readers.emplace_back([&] {
      while (!done) {
        for (int n = kFirstCounterProperty; n < kUsageProperty; ++n) {
          const PortItemValues item = table_.CopyPortItem(0, port, n);
          const bool odd = item.counter % 2 == 1;
          if (odd != (item.speed == 100) || odd != (item.status == kUpFull100))
            ++torn;
          if (PortTextSlot(port, item, n) != std::to_string(item.counter))
            ++torn;
        }
      }
    });
  }
  std::thread ticker([&] {
    while (!done) table_.Tick();
  });

  for (uint32_t v = 1; v <= 20'000; ++v) {
    auto frame =
        Frame(kMacA, 2).Status(v % 2 == 1 ? kUpFull100 : kDown10).Build();
    for (const CounterField& field : kPublishedCounters) {
      for (int i = 0; i < field.width; ++i) {
        frame[frame.size() - kPortCountersSize + field.offset + i] =
            static_cast<uint8_t>(i < 4 ? v >> (8 * i) : 0);
      }
    }
    clock_.Advance(2001);
    ASSERT_EQ(Send(frame), FrameResult::kAccepted);
  }
  done = true;
  for (std::thread& reader : readers) reader.join();
  ticker.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(PortText(0, 1, "rx_symbol_error"), "20000");
  EXPECT_EQ(table_.CopyPortItem(0, port, kFirstCounterProperty).counter,
            20'000u);
}

// An item read copies only what its item shows: the port's small values,
// the one counter of its property and its switch's status.
TEST_F(SwitchTableTest, PortItemCopyHoldsTheItemsValues) {
  Install({MakeSwitch("02.C4.7D.1A.2B.3C", "SW1", 0, 2),
           MakeSwitch("02.C4.7D.00.00.B0", "SW2", 0, 2)},
          "Integer", 3);
  VeltoFrameBuilder frame = Frame(kMacA, 2);
  for (size_t c = 0; c < kPublishedCounters.size(); ++c) {
    // Each counter its own value; the octet counts above 32 bits.
    frame.Counter(kPublishedCounters[c].name, kPublishedCounters[c].width == 8
                                                  ? 0x5'0000'0000ull + c
                                                  : 1000 + c);
  }
  SendThroughCycleLock(frame.Build());
  SendThroughCycleLock(Frame(kMacB, 1).Build());
  // SW2 sends nothing more and goes offline; SW1 keeps sending.
  for (int second = 0; second < 8; ++second) {
    clock_.Advance(1000);
    Send(frame.Build());
    table_.Tick();
  }

  const SwitchRecord& sw1 = table_.switch_record(0);
  for (size_t c = 0; c < kPublishedCounters.size(); ++c) {
    const int n = kFirstCounterProperty + static_cast<int>(c);
    const PortItemValues item = table_.CopyPortItem(0, sw1.ports[1], n);
    EXPECT_EQ(item.counter, kPublishedCounters[c].width == 8 ? c : 1000 + c)
        << kPublishedCounters[c].name;
    // The slot shows the low 32 bits.
    EXPECT_EQ(
        PortIntegerSlot(item, n),
        static_cast<int32_t>(kPublishedCounters[c].width == 8 ? c : 1000 + c));
  }
  PortItemValues item = table_.CopyPortItem(0, sw1.ports[1], kSpeedProperty);
  EXPECT_FALSE(item.stale);
  EXPECT_EQ(item.published, SlotSet::kInteger);
  EXPECT_EQ(item.status, kUpFull100);
  EXPECT_EQ(item.speed, 100);
  EXPECT_EQ(item.counter, 0u);  // not a counter
  EXPECT_EQ(item.switch_status, 1);
  EXPECT_EQ(item.switch_status_text, StatusText::kOnline);
  // Taken at 3 s and 6 s; the ticks at 7 s and 8 s published 1 and 2.
  EXPECT_EQ(item.last_update, 2);
  EXPECT_TRUE(item.last_update_written);

  item = table_.CopyPortItem(0, sw1.ports[0], kSpeedProperty);
  EXPECT_TRUE(item.stale);
  EXPECT_EQ(item.published, SlotSet::kNone);

  item = table_.CopyPortItem(1, table_.switch_record(1).ports[0],
                             kLinkStatusProperty);
  EXPECT_TRUE(item.stale);
  EXPECT_EQ(item.published, SlotSet::kInteger);
  EXPECT_EQ(item.switch_status, 0);
  EXPECT_EQ(item.switch_status_text, StatusText::kOffline);
}

}  // namespace
}  // namespace kavex::device
