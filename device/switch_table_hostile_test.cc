// Hostile input through the whole receive path: random bytes and truncated
// frames of every length a frame buffer can hold. Run under AddressSanitizer,
// any read outside the received bytes fails the test.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

#include "device/switch_table.h"
#include "device/testing/switch_table_fixtures.h"
#include "device/testing/table_reads.h"
#include "device/testing/velto_frame_builder.h"
#include "platform/sync/clock.h"

namespace kavex::device {
namespace {

constexpr VeltoFrameBuilder::Mac kMac = {0x02, 0xC4, 0x7D, 0x00, 0x00, 0x01};

class HostileFrameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    AdapterEntry adapter;
    adapter.timeout_seconds = 1;
    // Every type code with rules, all 40 reachable port numbers.
    for (uint8_t type = 0; type <= 5; ++type) {
      SwitchRecord record = MakeSwitch("02.C4.7D.00.00.01", "S", type, 40);
      record.address[16] = static_cast<char>('1' + type);
      adapter.switches.push_back(std::move(record));
    }
    table_.Install(std::move(adapter), "String");
  }

  // Hands the frame over in a buffer of exactly its length, so ASan sees a
  // read one byte past the end.
  void Handle(const std::vector<uint8_t>& bytes, size_t len) {
    auto buffer = std::make_unique<uint8_t[]>(len ? len : 1);
    std::copy(bytes.begin(), bytes.begin() + len, buffer.get());
    clock_.Advance(2001);
    table_.HandleFrame(len ? buffer.get() : nullptr, len);
    if (len % 97 == 0) table_.Tick();
  }

  // Reads back every value so rendering runs on whatever was stored.
  void ReadEverything() {
    for (size_t s = 0; s < table_.switch_count(); ++s) {
      for (int slot = 0; slot < kSwitchTextSlotCount; ++slot) {
        SwitchTextOf(table_, s, slot);
      }
      for (size_t p = 0; p < table_.switch_record(s).ports.size(); ++p) {
        for (int n = 0; n < kPortPropertyCount; ++n) {
          EXPECT_LE(PortTextOf(table_, s, p, n).size(), 12u);
          PortIntegerOf(table_, s, p, n);
        }
      }
    }
  }

  sync::FakeClock clock_{50'000};
  SwitchTable table_{&clock_};
};

TEST_F(HostileFrameTest, RandomFramesOfEveryLength) {
  std::mt19937 random(4);
  std::vector<uint8_t> bytes(kMaxVeltoFrameSize);
  for (int round = 0; round < 4; ++round) {
    for (size_t len = 0; len <= kMaxVeltoFrameSize; ++len) {
      for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
      // Most rounds pass the header tests so the bytes reach the decoder;
      // the address picks one of the configured switches.
      if (round > 0 && len >= kEthernetHeaderSize) {
        std::copy(kMac.begin(), kMac.end() - 1, bytes.begin() + 6);
        bytes[11] = static_cast<uint8_t>(1 + random() % 6);
        bytes[12] = 0x88;
        bytes[13] = 0x74;
        // Info versions around the thresholds, records with wild lengths.
        bytes[14] = static_cast<uint8_t>(random() % 5);
        bytes[15] = round == 3 ? 0 : bytes[15];
      }
      Handle(bytes, len);
    }
  }
  ReadEverything();
}

TEST_F(HostileFrameTest, TruncatedFramesOfEveryLength) {
  for (uint8_t type = 0; type <= 5; ++type) {
    VeltoFrameBuilder::Mac mac = kMac;
    mac[5] = static_cast<uint8_t>(1 + type);
    VeltoFrameBuilder builder;
    builder.Source(mac).Status(0xFF).Info(3, 0xFFFFFFFF, 0xFF, 0xFF,
                                          "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345");
    // Records of every size up to a full frame, some too short for a speed.
    for (uint16_t size = 0; size < 40; ++size) {
      builder.Record(size % 3 ? kPortSpeedTag : 0x11111111, size % 4,
                     std::vector<uint8_t>(size, 0xFF));
    }
    for (uint8_t port_byte : {0x00, 0x80, 0x81, 0x82, 0x83, 0xF3}) {
      builder.PortByte(port_byte).Length(kMaxVeltoFrameSize);
      std::vector<uint8_t> full = builder.Build();
      for (size_t len = 0; len <= kMaxVeltoFrameSize; ++len) {
        Handle(full, len);
        // The same frame cut from the front: the trailer always ends it.
        std::vector<uint8_t> tail(full.end() - len, full.end());
        if (len >= kEthernetHeaderSize) {
          std::copy(full.begin(), full.begin() + kEthernetHeaderSize,
                    tail.begin());
        }
        Handle(tail, len);
      }
    }
  }
  ReadEverything();
}

}  // namespace
}  // namespace kavex::device
