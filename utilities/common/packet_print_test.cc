// The packet print format: summary line, link headers by medium, hex dump,
// quiet marks, and the sequence check behind them.
#include "utilities/common/packet_print.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace kavex::utilities {
namespace {

// The timestamp information the fake driver gives: failing `failures`
// times first, then answering with `frequency`.
int g_timestamp_calls = 0;
int g_timestamp_failures = 0;
uint64_t g_frequency = 10000000;

BOOL FakeTimestampInformation(PKIO_HANDLE, PKIO_TIMESTAMP_INFO* info) {
  ++g_timestamp_calls;
  if (g_timestamp_failures > 0) {
    --g_timestamp_failures;
    return FALSE;
  }
  *info = {};
  info->Frequency = g_frequency;
  return TRUE;
}

class PacketPrintTest : public ::testing::Test {
 protected:
  PacketPrintTest() {
    api_ = RealPkio();
    api_.GetTimestampInformation = FakeTimestampInformation;
    g_timestamp_calls = 0;
    g_timestamp_failures = 0;
    g_frequency = 10000000;
    out_ = open_memstream(&text_, &size_);
  }
  ~PacketPrintTest() override {
    fclose(out_);
    free(text_);
  }

  std::string Text() {
    fflush(out_);
    return std::string(text_, size_);
  }

  // Prints one frame with the given sequence number and timestamp.
  void Print(PacketPrinter& printer, const std::vector<uint8_t>& frame,
             uint32_t sequence, bool quiet = false,
             uint64_t timestamp = 12345678) {
    PKIO_PACKET_HEADER header{sequence, 0, timestamp,
                              static_cast<DWORD>(frame.size() + 4),
                              static_cast<DWORD>(frame.size())};
    printer.Print(&record_, header, frame.data(),
                  static_cast<DWORD>(frame.size()), quiet);
  }

  PkioApi api_;
  AdapterRecord record_;
  FILE* out_;
  char* text_ = nullptr;
  size_t size_ = 0;
};

int TestCount(const std::string& text, const std::string& part) {
  int n = 0;
  for (size_t at = text.find(part); at != std::string::npos;
       at = text.find(part, at + 1)) {
    ++n;
  }
  return n;
}

std::vector<uint8_t> Frame(uint16_t type_or_length, size_t size) {
  std::vector<uint8_t> f(size);
  const uint8_t head[14] = {0x03,
                            0xC4,
                            0x7D,
                            0x00,
                            0x00,
                            0x01,
                            0x02,
                            0xC4,
                            0x7D,
                            0x00,
                            0x00,
                            0x2A,
                            uint8_t(type_or_length >> 8),
                            uint8_t(type_or_length & 0xFF)};
  memcpy(f.data(), head, std::min(size, sizeof head));
  for (size_t i = 14; i < size; ++i) f[i] = static_cast<uint8_t>(0x30 + i - 14);
  return f;
}

TEST(SequenceCheckTest, GapsAheadAndBehind) {
  SequenceCheck check;
  EXPECT_EQ(check.Check(7), 0);     // nothing held yet
  EXPECT_EQ(check.Check(10), '+');  // 8 and 9 missing
  EXPECT_EQ(check.errors(), 1u);
  EXPECT_EQ(check.missing_ahead(), 2u);
  EXPECT_EQ(check.Check(11), 0);
  EXPECT_EQ(check.Check(5), '-');  // 12 expected, 7 behind
  EXPECT_EQ(check.missing_behind(), 7u);
  EXPECT_EQ(check.Check(6), 0);  // counted from the last one seen
  EXPECT_EQ(check.errors(), 2u);
  check.Reset();
  EXPECT_EQ(check.errors(), 0u);
  EXPECT_EQ(check.Check(100), 0);
}

TEST_F(PacketPrintTest, EthernetFrameLineAndHexDump) {
  PacketPrinter printer(api_, PacketFormat::kSingle, out_);
  Print(printer, Frame(0x8874, 20), 1, false, 12345678);
  EXPECT_EQ(Text(),
            "Packet No.: 0000000001            Time: 0000001234 msec       "
            "Length: 24/20\n"
            "Ethernet Dest: 03.C4.7D.00.00.01   Src:  02.C4.7D.00.00.2A    "
            "Type: 0x8874\n"
            "000000:  03 C4 7D 00 00 01 02 C4 : 7D 00 00 2A 88 74 30 31    "
            "..}.....}..*.t01\n"
            "000010:  32 33 34 35             :                            "
            "2345............\n"
            "\n");
}

TEST_F(PacketPrintTest, Ieee8023FrameShowsItsLength) {
  PacketPrinter printer(api_, PacketFormat::kSingle, out_);
  Print(printer, Frame(46, 60), 3);
  const std::string text = Text();
  EXPECT_NE(text.find("\n802.3    Dest: 03.C4.7D.00.00.01   Src:  "
                      "02.C4.7D.00.00.2A    Length: 46\n"),
            std::string::npos)
      << text;
  // 60 bytes: three whole lines and one of 12.
  EXPECT_NE(text.find("\n000030:  "), std::string::npos);
  EXPECT_EQ(text.find("\n000040:  "), std::string::npos);
}

TEST_F(PacketPrintTest, LostPacketsAreMarked) {
  PacketPrinter printer(api_, PacketFormat::kSingle, out_);
  Print(printer, Frame(0x0800, 60), 7);
  Print(printer, Frame(0x0800, 60), 10);
  const std::string text = Text();
  EXPECT_NE(text.find("Packet No.: 0000000010            Time: "),
            std::string::npos);
  EXPECT_NE(text.find("Length: 64/60 * LOST PACKET *\n"), std::string::npos);
  EXPECT_EQ(record_.sequence.errors(), 1u);
  EXPECT_EQ(record_.sequence.missing_ahead(), 2u);
}

TEST_F(PacketPrintTest, QuietTapdumpPrintsOnlyMarks) {
  PacketPrinter printer(api_, PacketFormat::kSingle, out_);
  for (uint32_t sequence : {7u, 10u, 11u, 4u, 5u}) {
    Print(printer, Frame(0x0800, 60), sequence, true);
  }
  EXPECT_EQ(Text(), "+-");
  EXPECT_EQ(record_.sequence.errors(), 2u);
  EXPECT_EQ(record_.sequence.missing_ahead(), 2u);
  EXPECT_EQ(record_.sequence.missing_behind(), 8u);
}

TEST_F(PacketPrintTest, BufferFormat) {
  PacketPrinter printer(api_, PacketFormat::kBuffer, out_);
  Print(printer, Frame(0x8874, 16), 2, false, 30000000);
  EXPECT_EQ(Text(),
            "Packet No.: 0000000002              SYS Time: 0000003000 msec  "
            "Length: 20/16\n"
            "Ethernet Dest: 03.C4.7D.00.00.01   Src:  02.C4.7D.00.00.2A    "
            "Type: 0x8874\n"
            "000000:  03 C4 7D 00 00 01 02 C4 : 7D 00 00 2A 88 74 30 31    "
            "..}.....}..*.t01\n"
            "\n");
  // Quiet, nothing at all, yet the sequence is checked.
  fflush(out_);
  const size_t before = size_;
  Print(printer, Frame(0x8874, 16), 9, true);
  EXPECT_EQ(Text().size(), before);
  EXPECT_EQ(record_.sequence.errors(), 1u);
}

TEST_F(PacketPrintTest, OtherMedia) {
  PacketPrinter printer(api_, PacketFormat::kSingle, out_);
  std::vector<uint8_t> f = Frame(0x8874, 16);
  record_.medium = 1;  // 802.5: addresses at 2 and 8
  Print(printer, f, 1);
  record_.medium = 4;  // LocalTalk: one-byte nodes
  Print(printer, f, 2);
  record_.medium = 2;  // FDDI: no header, no dump
  Print(printer, f, 3);
  record_.medium = 3;  // WAN reads like Ethernet
  Print(printer, f, 4);
  const std::string text = Text();
  EXPECT_NE(text.find("\nDestination: 7D.00.00.01.02.C4   "
                      "Source: 7D.00.00.2A.88.74\n000000:"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\nDestination Node: 03   Source Node: C4\n000000:"),
            std::string::npos);
  EXPECT_NE(text.find("Length: 20/16\nReceived Packet\nPacket No.: "),
            std::string::npos);
  EXPECT_NE(text.find("\nEthernet Dest: 03.C4.7D.00.00.01"), std::string::npos);
}

// A frame too short for its header gets no header line and no read past
// its bytes; an empty one prints its summary alone.
TEST_F(PacketPrintTest, ShortFrames) {
  PacketPrinter printer(api_, PacketFormat::kSingle, out_);
  Print(printer, Frame(0x8874, 13), 1);
  Print(printer, std::vector<uint8_t>{}, 2);
  const std::string text = Text();
  EXPECT_EQ(text.find("Ethernet"), std::string::npos);
  EXPECT_NE(text.find("Length: 17/13\n000000:  03 C4"), std::string::npos);
  EXPECT_NE(text.find("Length: 4/0\n\n"), std::string::npos);
}

TEST_F(PacketPrintTest, TimestampInformationIsFetchedUntilItComes) {
  g_timestamp_failures = 2;
  PacketPrinter printer(api_, PacketFormat::kSingle, out_);
  Print(printer, Frame(0x8874, 14), 1, false, 50000000);
  Print(printer, Frame(0x8874, 14), 2, false, 50000000);
  Print(printer, Frame(0x8874, 14), 3, false, 50000000);
  Print(printer, Frame(0x8874, 14), 4, false, 50000000);
  EXPECT_EQ(g_timestamp_calls, 3);  // two failures, then once for good
  const std::string text = Text();
  EXPECT_EQ(TestCount(text, "Time: 0000000000 msec"), 2);
  EXPECT_EQ(TestCount(text, "Time: 0000005000 msec"), 2);
}

// No frequency from the driver: time 0, never a division by zero; a huge
// timestamp does not overflow on its way to milliseconds.
TEST_F(PacketPrintTest, TimestampEdges) {
  g_frequency = 0;
  PacketPrinter printer(api_, PacketFormat::kSingle, out_);
  Print(printer, Frame(0x8874, 14), 1, false, 99999999);
  EXPECT_NE(Text().find("Time: 0000000000 msec"), std::string::npos);
  g_frequency = 10000000;
  record_.timestamp_frequency = 0;
  Print(printer, Frame(0x8874, 14), 2, false, 0xFFFFFFFFFFFFFFFFull);
  EXPECT_NE(Text().find("Time: 1844674407370955 msec"), std::string::npos);
}

TEST(HexDumpTest, PrintableAndNot) {
  std::vector<BYTE> data;
  for (int i = 0; i < 256; ++i) data.push_back(static_cast<BYTE>(i));
  std::string text;
  AppendHexDump(data.data(), data.size(), &text);
  EXPECT_EQ(TestCount(text, "\n"), 16);
  EXPECT_NE(text.find("000020:  20 21 22 23 24 25 26 27 : 28 29 2A 2B 2C 2D "
                      "2E 2F     !\"#$%&'()*+,-./\n"),
            std::string::npos);
  EXPECT_NE(text.find("000070:  70 71 72 73 74 75 76 77 : 78 79 7A 7B 7C 7D "
                      "7E 7F    pqrstuvwxyz{|}~.\n"),
            std::string::npos);
  EXPECT_NE(text.find("0000F0:  F0 F1"), std::string::npos);
  text.clear();
  AppendHexDump(data.data(), 0, &text);
  EXPECT_EQ(text, "");
}

}  // namespace
}  // namespace kavex::utilities
