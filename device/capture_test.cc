#include "device/capture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/port_properties.h"
#include "device/switch_table.h"
#include "device/testing/scripted_packet_driver.h"
#include "device/testing/switch_table_fixtures.h"
#include "device/testing/table_reads.h"
#include "device/testing/velto_frame_builder.h"
#include "platform/log/logger.h"
#include "platform/pkio/testing/testing_support.h"
#include "platform/sync/clock.h"
#include "platform/ui/recording_message_box.h"

namespace kavex::device {
namespace {

using pkio::testing::WaitUntil;

constexpr VeltoFrameBuilder::Mac kSwitchMac = {0x02, 0xC4, 0x7D, 0, 0, 1};
constexpr uint8_t kUpFull100 =
    kStatusLinkUp | kStatusEnabled | kStatusFullDuplex | kStatus100Mbit;

// Capture on a scripted adapter "\Device\eth0" whose reads the test
// completes itself, into a table of one 8-port switch.
class CaptureTest : public ::testing::Test {
 protected:
  CaptureTest() {
    driver_.adapters = {"\\Device\\eth0"};
    driver_.intercept_reads = true;
    AdapterEntry entry;
    entry.ndis_name = "\\Device\\eth0";
    entry.active = true;
    entry.switches.push_back(MakeSwitch("02.C4.7D.00.00.01", "SW1", 1, 8));
    table_.Install(std::move(entry), "String");
    capture_.SetNdisName("\\Device\\eth0");
  }

  std::vector<std::string> printed() {
    std::lock_guard<std::mutex> lock(mu_);
    return printed_;
  }

  // The receive thread works on its own: these wait for it, each with a
  // deadline, so that a broken path fails the test instead of hanging it.
  bool WaitForPosts(size_t reads) {
    return WaitUntil([&] { return driver_.reads().size() >= reads; });
  }
  bool WaitForPrinted(size_t lines) {
    return WaitUntil([&] { return printed().size() >= lines; });
  }
  bool WaitForCompletions(uint64_t count) {
    return WaitUntil([&] { return capture_.completions() >= count; });
  }

  static std::vector<uint8_t> Frame(uint32_t fcs_errors) {
    return VeltoFrameBuilder()
        .Source(kSwitchMac)
        .Port(0, 2)  // port 3
        .Status(kUpFull100)
        .Counter("rx_fcs_errors", fcs_errors)
        .Build();
  }

  std::string PortText(const char* property) {
    return PortTextOf(table_, 0, 2, FindPortProperty(property));
  }

  ui::RecordingMessageBoxHandler boxes_;
  ScriptedPacketDriver driver_;
  sync::FakeClock clock_{100'000};
  SwitchTable table_{&clock_};
  std::mutex mu_;
  std::vector<std::string> printed_;
  log::Recorder log_;
  log::ScopedSink log_sink_{log_.sink()};
  CaptureAdapter capture_{&driver_,
                          [this](const uint8_t* frame, size_t length) {
                            table_.HandleFrame(frame, length);
                          },
                          [this](const std::string& text) {
                            std::lock_guard<std::mutex> lock(mu_);
                            printed_.push_back(text);
                          }};
};

TEST_F(CaptureTest, StartLoadsTheFilterAndPosts512Reads) {
  ASSERT_TRUE(capture_.Start());
  EXPECT_EQ(driver_.opened, std::vector<std::string>{"\\Device\\eth0"});
  EXPECT_EQ(capture_.handle(), 42);
  // The four instructions as the driver receives them: 8 little-endian
  // bytes each.
  const std::vector<uint8_t> expected = {
      0x28, 0, 0, 0, 12,   0,    0,    0,     //
      0x15, 0, 0, 1, 0x74, 0x88, 0,    0,     //
      0x06, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF,  //
      0x06, 0, 0, 0, 0,    0,    0,    0};
  EXPECT_EQ(driver_.bpf_program, expected);
  EXPECT_EQ(driver_.timestamp_resolution, 1u);
  EXPECT_EQ(driver_.filters_tried, std::vector<DWORD>{0x0C});
  EXPECT_EQ(capture_.packet_filter(), 0x0Cu);
  ASSERT_TRUE(WaitForPosts(kReceiveDescriptorCount));
  EXPECT_EQ(capture_.posted_reads(), kReceiveDescriptorCount);
  // Every read has its own buffer of full frame size.
  for (const auto& read : driver_.reads()) {
    EXPECT_EQ(read.packet->BufferCapacity, PKIO_MAX_FRAME_SIZE);
  }
  EXPECT_EQ(boxes_.count(), 0u);
}

TEST_F(CaptureTest, PacketFilterFallsBackInOrder) {
  driver_.refused_filters = {0x0C};
  ASSERT_TRUE(capture_.Start());
  EXPECT_EQ(driver_.filters_tried, (std::vector<DWORD>{0x0C, 0x80}));
  EXPECT_EQ(capture_.packet_filter(), 0x80u);

  capture_.Stop();
  driver_.filters_tried.clear();
  driver_.refused_filters = {0x0C, 0x80};
  ASSERT_TRUE(capture_.Start());
  EXPECT_EQ(driver_.filters_tried, (std::vector<DWORD>{0x0C, 0x80, 0x01}));
  EXPECT_EQ(capture_.packet_filter(), 0x01u);
}

TEST_F(CaptureTest, AllFiltersRefusedFailsSilentlyAndLeavesNothingRunning) {
  driver_.refused_filters = {0x0C, 0x80, 0x01};
  EXPECT_FALSE(capture_.Start());
  EXPECT_EQ(boxes_.count(), 0u);
  EXPECT_FALSE(capture_.receiving());
  EXPECT_EQ(capture_.handle(), PKIO_INVALID_HANDLE);
  EXPECT_EQ(driver_.closed, 1);
  EXPECT_EQ(capture_.posted_reads(), 0);
}

TEST_F(CaptureTest, AdapterThatCannotBeOpenedShowsTheDriverError) {
  driver_.open_error = 2;
  EXPECT_FALSE(capture_.Start());
  ASSERT_EQ(boxes_.count(), 1u);
  const auto box = boxes_.boxes()[0];
  EXPECT_EQ(box.text, "Could not open the adapter. Error 2");
  EXPECT_EQ(box.caption, "Kavex OPC Server");
  EXPECT_EQ(capture_.handle(), PKIO_INVALID_HANDLE);
  EXPECT_FALSE(capture_.receiving());
  EXPECT_TRUE(driver_.bpf_program.empty());
}

TEST_F(CaptureTest, FramesReachTheTableAndReadsArePostedAgain) {
  ASSERT_TRUE(capture_.Start());
  ASSERT_TRUE(WaitForPosts(kReceiveDescriptorCount));
  // The first frame of a switch only starts its report cycle.
  driver_.Complete(0, Frame(5));
  driver_.Complete(1, Frame(6));
  ASSERT_TRUE(WaitForCompletions(2));
  ASSERT_TRUE(WaitForPosts(kReceiveDescriptorCount + 2));
  EXPECT_EQ(PortText("rx_fcs_errors"), "6");

  // Foreign vendor prefix: posted again, never decoded.
  clock_.Advance(2001);
  std::vector<uint8_t> foreign = Frame(9);
  foreign[6] = 0x00;
  driver_.Complete(2, foreign);
  ASSERT_TRUE(WaitForCompletions(3));
  ASSERT_TRUE(WaitForPosts(kReceiveDescriptorCount + 3));
  EXPECT_EQ(PortText("rx_fcs_errors"), "6");
  EXPECT_EQ(capture_.posted_reads(), kReceiveDescriptorCount);
  EXPECT_TRUE(printed().empty());
}

TEST_F(CaptureTest, ReadErrorRetiresOnlyThatDescriptor) {
  ASSERT_TRUE(capture_.Start());
  ASSERT_TRUE(WaitForPosts(kReceiveDescriptorCount));
  driver_.Complete(0, Frame(1), /*status=*/0x1F);
  ASSERT_TRUE(WaitForCompletions(1));
  EXPECT_EQ(printed(), std::vector<std::string>{"Read Error: 0x001F\n"});
  EXPECT_EQ(capture_.posted_reads(), kReceiveDescriptorCount - 1);
  // The others go on.
  driver_.Complete(1, Frame(3));
  driver_.Complete(2, Frame(4));
  ASSERT_TRUE(WaitForCompletions(3));
  EXPECT_EQ(PortText("rx_fcs_errors"), "4");
  EXPECT_EQ(capture_.posted_reads(), kReceiveDescriptorCount - 1);
}

TEST_F(CaptureTest, FailedRepostsArePrintedAndNotRetried) {
  ASSERT_TRUE(capture_.Start());
  ASSERT_TRUE(WaitForPosts(kReceiveDescriptorCount));
  driver_.repost_error = 1450;
  driver_.Complete(0, Frame(1));
  ASSERT_TRUE(WaitForPrinted(1));
  driver_.repost_error = 87;
  driver_.Complete(1, Frame(1));
  ASSERT_TRUE(WaitForPrinted(2));
  EXPECT_EQ(printed(),
            (std::vector<std::string>{
                "Pkio_PacketReadEx Failed; ERROR_NO_SYSTEM_RESOURCES\n",
                "Pkio_PacketReadEx Failed; Error: 0x00000057\n"}));
  EXPECT_EQ(capture_.posted_reads(), kReceiveDescriptorCount - 2);
  EXPECT_EQ(driver_.reads().size(), size_t{kReceiveDescriptorCount});
}

// A 2000-byte frame on a jumbo link arrives cut to the 1514 bytes of a read
// block. Decoded, its bytes 1336 to 1513 would be taken for the port
// trailer; here they hold another frame's trailer, with other counters.
TEST_F(CaptureTest, FramesCutShortAreDroppedCountedAndLoggedOnce) {
  ASSERT_TRUE(capture_.Start());
  ASSERT_TRUE(WaitForPosts(kReceiveDescriptorCount));
  driver_.Complete(0, Frame(5));
  driver_.Complete(1, Frame(6));
  ASSERT_TRUE(WaitForCompletions(2));
  ASSERT_EQ(PortText("rx_fcs_errors"), "6");

  clock_.Advance(2001);
  std::vector<uint8_t> jumbo = VeltoFrameBuilder()
                                   .Source(kSwitchMac)
                                   .Port(0, 2)
                                   .Status(kUpFull100)
                                   .Counter("rx_fcs_errors", 7)
                                   .Length(2000)
                                   .Build();
  const std::vector<uint8_t> other = Frame(99);
  std::copy(other.end() - 178, other.end(), jumbo.begin() + 1336);
  jumbo.resize(PKIO_MAX_FRAME_SIZE);
  driver_.Complete(2, jumbo, 0, /*wire_length=*/2000);
  driver_.Complete(3, jumbo, 0, /*wire_length=*/2000);
  ASSERT_TRUE(WaitForCompletions(4));
  EXPECT_EQ(PortText("rx_fcs_errors"), "6");
  EXPECT_EQ(capture_.truncated_frames(), 2u);
  // Dropped, not retired: the reads are posted again.
  ASSERT_TRUE(WaitForPosts(kReceiveDescriptorCount + 4));
  EXPECT_EQ(capture_.posted_reads(), kReceiveDescriptorCount);
  EXPECT_TRUE(printed().empty());
  const auto lines = log_.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].category, "device");
  EXPECT_NE(lines[0].message.find("2000"), std::string::npos);

  // The next whole frame is taken: the cut ones counted for nothing.
  driver_.Complete(4, Frame(8));
  ASSERT_TRUE(WaitForCompletions(5));
  EXPECT_EQ(PortText("rx_fcs_errors"), "8");
}

TEST_F(CaptureTest, StopCancelsReadsClosesTheAdapterAndEndsTheThread) {
  ASSERT_TRUE(capture_.Start());
  ASSERT_TRUE(WaitForPosts(kReceiveDescriptorCount));
  // Under the test clock the thread's 500 ms wait would never end by
  // itself: Stop must wake it.
  capture_.Stop();
  EXPECT_FALSE(capture_.receiving());
  EXPECT_EQ(driver_.cancel_all, 1);
  EXPECT_EQ(driver_.closed, 1);
  EXPECT_EQ(capture_.handle(), PKIO_INVALID_HANDLE);
  capture_.Stop();  // again: nothing more to do
  EXPECT_EQ(driver_.closed, 1);
  // And capture starts again on the same object.
  ASSERT_TRUE(capture_.Start());
  EXPECT_EQ(driver_.opened.size(), 2u);
}

}  // namespace
}  // namespace kavex::device
