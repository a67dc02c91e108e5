// The progress lines and statistics reports, from counters to text.
#include "utilities/common/statistics.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>

#include "utilities/common/adapter_info.h"
#include "utilities/common/testing/printed.h"

namespace kavex::utilities {
namespace {

using testing::Printed;

ReceiveSnapshot Sample() {
  ReceiveSnapshot s;
  s.elapsed_ms = 10250;
  s.packets = 1234;
  s.bytes = (uint64_t{1} << 32) + 5000;  // the low 32 bits are shown
  s.buffers = 40;
  s.sends_completed = 38;
  s.sends_in_flight = 2;
  s.sends_issued = 40;
  s.sends_done = 38;
  s.sends_at_once = 0;
  return s;
}

TEST(StatisticsTest, ProgressLines) {
  ReceiveSnapshot s = Sample();
  EXPECT_EQ(Printed([&](FILE* out) { PrintProgress(s, out); }),
            "Elapsed: 10.25 Sec; RxBytes: 5000; RxPkt: 1234\n"
            "   Ave RxByte Rate: 429497229; Ave RxPkt Rate: 123\n"
            "\n");
  EXPECT_EQ(Printed([&](FILE* out) { PrintBufferProgress(s, out); }),
            "Elapsed: 10.25 Sec; RxBytes: 5000; RxPkt: 1234; RxBuf: 40\n"
            " Ave RxByte Rate: 429497229; Ave RxPkt Rate: 123; Ave RxBuf "
            "Rate: 4\n");
  s.sequence_errors = 3;
  s.missing_ahead = 5;
  s.missing_behind = 1;
  EXPECT_EQ(Printed([&](FILE* out) { PrintProgress(s, out); }),
            "Elapsed: 10.25 Sec; RxBytes: 5000; RxPkt: 1234\n"
            "   Ave RxByte Rate: 429497229; Ave RxPkt Rate: 123\n"
            "    Sequence Error Count      : 3 (+5/-1)\n"
            "\n");
}

TEST(StatisticsTest, RatesWithinTheFirstSecondAreZero) {
  EXPECT_EQ(AverageRate(1000, 999), 0u);
  EXPECT_EQ(AverageRate(1000, 1999), 1000u);
  EXPECT_EQ(AverageRate(1000, 2000), 500u);
  ReceiveSnapshot s = Sample();
  s.elapsed_ms = 0;
  EXPECT_NE(Printed([&](FILE* out) { PrintBufferProgress(s, out); })
                .find(" Ave RxByte Rate: 0; Ave RxPkt Rate: 0; Ave RxBuf "
                      "Rate: 0\n"),
            std::string::npos);
}

TEST(StatisticsTest, ApplicationStatistics) {
  ReceiveSnapshot s = Sample();
  s.sequence_errors = 1;
  s.missing_ahead = 2;
  EXPECT_EQ(Printed([&](FILE* out) { PrintApplicationStatistics(s, out); }),
            "Application Statistics:\n"
            "  Elapsed Time                : 10.25 Seconds\n"
            "  Received Packet Count       : 1234\n"
            "  Received Byte Count         : 5000\n"
            "    Sequence Error Count      : 1 (+2/-0)\n"
            "      Sent Packet Count       : 38\n"
            "Pending Send APC Count        : 2\n"
            "      Sent C/D/I Counts       : 40/38/0\n"
            "\n");
  s.sequence_errors = 0;
  EXPECT_EQ(
      Printed([&](FILE* out) { PrintBufferApplicationStatistics(s, out); }),
      "Application Statistics:\n"
      "  Elapsed Time                : 10.25 Seconds\n"
      "  Received Buffer Count       : 40\n"
      "  Received Packet Count       : 1234\n"
      "  Received Byte Count         : 5000\n"
      "\n");
}

TEST(StatisticsTest, SnapshotOfARecord) {
  AdapterRecord record;
  record.packets.Add(3);
  record.bytes.Add(180);
  record.buffers.Add(1);
  record.sequence.Check(1);
  record.sequence.Check(4);
  record.sends_issued.Add(2);
  record.sends_in_flight.Add(2);
  record.sends_in_flight.Add(-1u);
  ReceiveSnapshot s = TakeSnapshot(record, 1500);
  EXPECT_EQ(s.elapsed_ms, 1500u);
  EXPECT_EQ(s.packets, 3u);
  EXPECT_EQ(s.bytes, 180u);
  EXPECT_EQ(s.buffers, 1u);
  EXPECT_EQ(s.sequence_errors, 1u);
  EXPECT_EQ(s.missing_ahead, 2u);
  EXPECT_EQ(s.sends_issued, 2u);
  EXPECT_EQ(s.sends_in_flight, 1u);
  record.ResetReceiveCounters();
  s = TakeSnapshot(record, 0);
  EXPECT_EQ(s.packets + s.bytes + s.buffers + s.sequence_errors, 0u);
  EXPECT_EQ(s.sends_issued, 2u);  // send counters are not reception's
}

TEST(StatisticsTest, ProtocolStatistics) {
  ProtocolStatistics known{0, 3, 1200, 0, 40, "Kavex Pkiolib packet driver"};
  EXPECT_EQ(Printed([&](FILE* out) { PrintProtocolStatistics(known, out); }),
            "Protocol Statistics:\n"
            "  Driver Description          : Kavex Pkiolib packet driver\n"
            "  Received Packet Count       : 1200\n"
            "    Rx Missed, Kernel Resource: 0\n"
            "    Rx Missed, User Resource  : 3\n"
            "  Sent Packet Count           : 40\n"
            "    Tx Missed, Kernel Resource: 0\n");
  EXPECT_EQ(Printed([&](FILE* out) {
              PrintProtocolStatistics(ProtocolStatistics{}, out);
            }),
            "Protocol Statistics:\n"
            "  Driver Description          : Unknown\n"
            "  Received Packet Count       : -1\n"
            "    Rx Missed, Kernel Resource: -1\n"
            "    Rx Missed, User Resource  : -1\n"
            "  Sent Packet Count           : -1\n"
            "    Tx Missed, Kernel Resource: -1\n");
}

}  // namespace
}  // namespace kavex::utilities
