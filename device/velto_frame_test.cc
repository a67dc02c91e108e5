#include "device/velto_frame.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/testing/velto_frame_builder.h"

namespace kavex::device {
namespace {

constexpr uint8_t kFullStatus =
    kStatusLinkUp | kStatusEnabled | kStatusFullDuplex | kStatus100Mbit;

FrameInfo Decode(const std::vector<uint8_t>& frame) {
  return DecodeFrameInfo(frame.data(), frame.size());
}

TEST(AddressTextTest, UpperCaseDottedAndOnlyThatFormParses) {
  const uint8_t mac[6] = {0x02, 0xC4, 0x7D, 0x1A, 0x2B, 0x0C};
  EXPECT_EQ(AddressText(mac), "02.C4.7D.1A.2B.0C");

  uint64_t key = 0;
  ASSERT_TRUE(ParseAddressText("02.C4.7D.1A.2B.0C", &key));
  EXPECT_EQ(key, AddressKey(mac));
  EXPECT_FALSE(ParseAddressText("02.c4.7d.1a.2b.0c", &key));
  EXPECT_FALSE(ParseAddressText("02-C4-7D-1A-2B-0C", &key));
  EXPECT_FALSE(ParseAddressText("02.C4.7D.1A.2B.0C ", &key));
  EXPECT_FALSE(ParseAddressText("2.C4.7D.1A.2B.0C", &key));
  EXPECT_FALSE(ParseAddressText("", &key));
}

TEST(IsVeltoFrameTest, NeedsEtherTypeAndVendorPrefix) {
  auto good = VeltoFrameBuilder().Build();
  EXPECT_TRUE(IsVeltoFrame(good.data(), good.size()));

  auto other_type = VeltoFrameBuilder().EtherType(0x0800).Build();
  EXPECT_FALSE(IsVeltoFrame(other_type.data(), other_type.size()));
  // The EtherType is big-endian on the wire.
  auto swapped = VeltoFrameBuilder().EtherType(0x7488).Build();
  EXPECT_FALSE(IsVeltoFrame(swapped.data(), swapped.size()));

  auto foreign =
      VeltoFrameBuilder().Source({0x02, 0xC4, 0x7E, 1, 2, 3}).Build();
  EXPECT_FALSE(IsVeltoFrame(foreign.data(), foreign.size()));

  // Too short for a header: nothing is read past the end.
  for (size_t len = 0; len < kEthernetHeaderSize; ++len) {
    std::vector<uint8_t> stub(good.begin(), good.begin() + len);
    EXPECT_FALSE(IsVeltoFrame(stub.data(), stub.size())) << len;
  }
}

TEST(DecodeFrameInfoTest, NoAreaUpTo192BytesWhateverTheBytesHold) {
  for (size_t len : {178u, 180u, 191u, 192u}) {
    std::vector<uint8_t> frame(len, 0xFF);
    FrameInfo info = Decode(frame);
    EXPECT_EQ(info.ipv4_address, 0u) << len;
    EXPECT_EQ(info.ring_version, 0) << len;
    EXPECT_EQ(info.ring_flags, 0) << len;
    EXPECT_STREQ(info.config_text, "") << len;
    EXPECT_EQ(info.port_speed, 0) << len;
  }
}

TEST(DecodeFrameInfoTest, VersionZeroCarriesNothing) {
  auto frame = VeltoFrameBuilder().Info(0, 0x01020304, 2, 3, "X").Build();
  FrameInfo info = Decode(frame);
  EXPECT_EQ(info.ipv4_address, 0u);
  EXPECT_STREQ(info.config_text, "");
}

TEST(DecodeFrameInfoTest, FixedFieldsAreLittleEndianAndTextEndsAfter32) {
  const std::string text32 = "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345";
  auto frame = VeltoFrameBuilder().Info(1, 0x0A00A8C0, 2, 0x0D, text32).Build();
  // The address arrives in dotted order: 192.168.0.10.
  EXPECT_EQ(frame[16], 0xC0);
  EXPECT_EQ(frame[19], 0x0A);
  FrameInfo info = Decode(frame);
  EXPECT_EQ(info.ipv4_address, 0x0A00A8C0u);
  EXPECT_EQ(info.ring_version, 2);
  EXPECT_EQ(info.ring_flags, 0x0D);
  EXPECT_EQ(std::string(info.config_text), text32);

  auto short_text = VeltoFrameBuilder().Info(1, 0, 0, 0, "T8").Build();
  EXPECT_STREQ(Decode(short_text).config_text, "T8");
}

TEST(DecodeFrameInfoTest, PortSpeedRecords) {
  // Version 2 has no records, even when the bytes are there.
  EXPECT_EQ(Decode(VeltoFrameBuilder()
                       .Info(2, 0, 0, 0, "")
                       .PortSpeedRecord(1000)
                       .Build())
                .port_speed,
            0);
  EXPECT_EQ(Decode(VeltoFrameBuilder()
                       .Info(3, 0, 0, 0, "")
                       .PortSpeedRecord(1000)
                       .Build())
                .port_speed,
            1000);
  // An unknown record is skipped by its length.
  EXPECT_EQ(Decode(VeltoFrameBuilder()
                       .Info(3, 0, 0, 0, "")
                       .Record(0x12345678, 1, std::vector<uint8_t>(10, 0xEE))
                       .PortSpeedRecord(100)
                       .Build())
                .port_speed,
            100);
  // Record version 0 is skipped; a later record overrides an earlier one.
  EXPECT_EQ(Decode(VeltoFrameBuilder()
                       .Info(4, 0, 0, 0, "")
                       .PortSpeedRecord(1000, 0)
                       .Build())
                .port_speed,
            0);
  EXPECT_EQ(Decode(VeltoFrameBuilder()
                       .Info(3, 0, 0, 0, "")
                       .PortSpeedRecord(10)
                       .PortSpeedRecord(1000, 0)
                       .PortSpeedRecord(100)
                       .Build())
                .port_speed,
            100);
  // The tag is compared in wire order "EPlV".
  EXPECT_EQ(Decode(VeltoFrameBuilder()
                       .Info(3, 0, 0, 0, "")
                       .Record(0x45506C56, 1, {0xE8, 0x03})
                       .Build())
                .port_speed,
            0);
}

TEST(DecodeFrameInfoTest, SpeedRecordTooShortForASpeedIsSkipped) {
  // One value byte: the next byte belongs to the following record.
  auto frame = VeltoFrameBuilder()
                   .Info(3, 0, 0, 0, "")
                   .Record(kPortSpeedTag, 1, {0x64})
                   .Record(0x01020304, 1, {0x00, 0x00})
                   .Build();
  EXPECT_EQ(Decode(frame).port_speed, 0);
}

TEST(DecodeFrameInfoTest, RecordWithHugeLengthEndsTheWalk) {
  auto frame = VeltoFrameBuilder()
                   .Info(3, 0, 0, 0, "")
                   .Record(0x01020304, 1, std::vector<uint8_t>(4))
                   .PortSpeedRecord(100)
                   .Build();
  // Claim 65535 value bytes in the first record.
  frame[54 + 6] = 0xFF;
  frame[54 + 7] = 0xFF;
  EXPECT_EQ(Decode(frame).port_speed, 0);
}

TEST(ResolvePortNumberTest, BaseNumbersFromChipAndIndex) {
  PortNumberState state;
  EXPECT_EQ(ResolvePortNumber(&state, 0, 0x00, false), 1);
  EXPECT_EQ(ResolvePortNumber(&state, 0, 0x70, false), 8);
  EXPECT_EQ(ResolvePortNumber(&state, 0, 0x21, false), 11);
  EXPECT_EQ(ResolvePortNumber(&state, 0, 0x72, false), 24);
  EXPECT_EQ(ResolvePortNumber(&state, 0, 0xF3, false), kMaxFramePortNumber);
  // Bits 2-3 are not part of the chip number.
  EXPECT_EQ(ResolvePortNumber(&state, 0, 0x2D, false), 11);
  EXPECT_TRUE(state.chip_present[0]);
  EXPECT_TRUE(state.chip_present[1]);
  EXPECT_TRUE(state.chip_present[2]);
}

TEST(ResolvePortNumberTest, CycleLockWaitsForTheFirstPairToComeRound) {
  PortNumberState state;
  EXPECT_EQ(ResolvePortNumber(&state, 0, 0x20, true), 0);  // first: recorded
  EXPECT_EQ(ResolvePortNumber(&state, 0, 0x30, true), 0);
  EXPECT_EQ(ResolvePortNumber(&state, 0, 0x21, true), 0);  // same index, chip 1
  EXPECT_EQ(ResolvePortNumber(&state, 0, 0x00, true), 0);
  EXPECT_EQ(ResolvePortNumber(&state, 0, 0x20, true), 3);  // round again
  EXPECT_EQ(ResolvePortNumber(&state, 0, 0x30, true), 4);
  EXPECT_TRUE(state.cycle_lock_closed);
}

TEST(ResolvePortNumberTest, ExtraChipPortByTypeCode) {
  // Type 1 never publishes index 8.
  PortNumberState type1;
  EXPECT_EQ(ResolvePortNumber(&type1, 1, 0x80, false), 0);

  // One chip: index 8 of chip 0 is port 9 for types 2 and 3.
  PortNumberState one_chip;
  EXPECT_EQ(ResolvePortNumber(&one_chip, 2, 0x80, false), 9);

  // Two chips seen: chip 0's extra port follows chip 1's eight ports.
  PortNumberState two_chips;
  ResolvePortNumber(&two_chips, 2, 0x00, false);
  ResolvePortNumber(&two_chips, 2, 0x01, false);
  EXPECT_EQ(ResolvePortNumber(&two_chips, 2, 0x80, false), 17);
  EXPECT_EQ(ResolvePortNumber(&two_chips, 2, 0x81, false), 0);

  // Three chips seen: 25 and 26.
  PortNumberState three_chips;
  for (uint8_t p : {0x00, 0x01, 0x02})
    ResolvePortNumber(&three_chips, 3, p, false);
  EXPECT_EQ(ResolvePortNumber(&three_chips, 3, 0x80, false), 25);
  EXPECT_EQ(ResolvePortNumber(&three_chips, 3, 0x81, false), 0);
  EXPECT_EQ(ResolvePortNumber(&three_chips, 3, 0x82, false), 26);
  // Chip 3 sets no flag and keeps its base number.
  EXPECT_EQ(ResolvePortNumber(&three_chips, 3, 0x83, false), 33);

  // Chip 2 without chip 1: no rule matches, the base number stands.
  PortNumberState gap;
  ResolvePortNumber(&gap, 3, 0x02, false);
  EXPECT_EQ(ResolvePortNumber(&gap, 3, 0x80, false), 9);
  EXPECT_EQ(ResolvePortNumber(&gap, 3, 0x82, false), 25);

  // Other types keep the base number.
  PortNumberState type4;
  EXPECT_EQ(ResolvePortNumber(&type4, 4, 0x81, false), 17);
}

TEST(ResolvePortNumberTest, RenumberingWaitsForChipsSeenBeforeTheLockCloses) {
  // A type 2 switch whose cycle starts at chip 0 index 8: by the time the
  // lock closes both chips are known, so the extra port is 17 from the start.
  PortNumberState state;
  EXPECT_EQ(ResolvePortNumber(&state, 2, 0x80, true), 0);
  EXPECT_EQ(ResolvePortNumber(&state, 2, 0x01, true), 0);
  EXPECT_EQ(ResolvePortNumber(&state, 2, 0x80, true), 17);
}

TEST(DefaultPortSpeedTest, StatusBitThenGigabitPairs) {
  EXPECT_EQ(DefaultPortSpeed(kStatus100Mbit, 0, 1), 100);
  EXPECT_EQ(DefaultPortSpeed(kFullStatus & ~kStatus100Mbit, 0, 1), 10);
  EXPECT_EQ(DefaultPortSpeed(0, 3, 25), 1000);
  EXPECT_EQ(DefaultPortSpeed(0, 3, 26), 1000);
  EXPECT_EQ(DefaultPortSpeed(0, 3, 24), 10);
  EXPECT_EQ(DefaultPortSpeed(0, 4, 13), 1000);
  EXPECT_EQ(DefaultPortSpeed(0, 4, 14), 1000);
  EXPECT_EQ(DefaultPortSpeed(kStatus100Mbit, 4, 25), 100);
  EXPECT_EQ(DefaultPortSpeed(0, 5, 17), 1000);
  EXPECT_EQ(DefaultPortSpeed(0, 5, 18), 1000);
  EXPECT_EQ(DefaultPortSpeed(0, 2, 17), 10);
}

TEST(PortCountersTest, PublishedFieldsCoverTheBlockInOrder) {
  size_t previous_end = 0;
  for (const CounterField& field : kPublishedCounters) {
    EXPECT_GE(field.offset, previous_end) << field.name;
    previous_end = field.offset + field.width;
  }
  EXPECT_LE(previous_end, kPortCountersSize);
  auto frame = VeltoFrameBuilder()
                   .Counter("rx_good_octets;", 0x1122334455667788ULL)
                   .Counter("rx_symbol_error", 7)
                   .Build();
  PortCounters counters;
  std::memcpy(counters.bytes.data(), CountersBytes(frame.data(), frame.size()),
              kPortCountersSize);
  EXPECT_EQ(counters.bytes[124], 0x88);  // little-endian
  EXPECT_EQ(CounterValue(counters, kPublishedCounters[26]),
            0x1122334455667788ULL);
  EXPECT_EQ(CounterValue(counters, kPublishedCounters[34]), 7u);
}

}  // namespace
}  // namespace kavex::device
