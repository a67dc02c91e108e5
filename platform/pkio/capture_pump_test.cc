// The capture pump: its start-up steps and their failures on a scripted
// driver whose reads the test completes itself, and real capture through
// the library on a test LAN.
#include "platform/pkio/capture_pump.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "platform/log/logger.h"
#include "platform/pkio/testing/scripted_packet_driver.h"
#include "platform/pkio/testing/test_lan.h"
#include "platform/pkio/testing/testing_support.h"
#include "platform/sync/clock.h"

namespace kavex::pkio {
namespace {

using testing::ScriptedPacketDriver;
using testing::WaitUntil;

constexpr int kReads = 8;

std::vector<uint8_t> TestFrame(size_t size, uint8_t tag) {
  std::vector<uint8_t> frame(size, 0x5A);
  frame[0] = tag;
  return frame;
}

// What the pump handed out, from its receive thread.
class Recording {
 public:
  void Frame(const pkio::Frame& frame) {
    std::lock_guard<std::mutex> lock(mu_);
    frames_.emplace_back(frame.data, frame.data + frame.length);
    wire_lengths_.push_back(frame.wire_length);
  }
  void Event(const std::string& text) {
    std::lock_guard<std::mutex> lock(mu_);
    events_.push_back(text);
  }
  std::vector<std::vector<uint8_t>> frames() {
    std::lock_guard<std::mutex> lock(mu_);
    return frames_;
  }
  std::vector<DWORD> wire_lengths() {
    std::lock_guard<std::mutex> lock(mu_);
    return wire_lengths_;
  }
  std::vector<std::string> events() {
    std::lock_guard<std::mutex> lock(mu_);
    return events_;
  }

 private:
  std::mutex mu_;
  std::vector<std::vector<uint8_t>> frames_;
  std::vector<DWORD> wire_lengths_;
  std::vector<std::string> events_;
};

CapturePumpOptions Options(Recording* recording) {
  CapturePumpOptions options;
  options.program = {{0x06, 0, 0, 0xFFFFFFFF}};
  options.packet_filters = {0x0C, 0x80};
  options.reads = kReads;
  options.log_category = "pumptest";
  options.sink = [recording](const Frame& frame) { recording->Frame(frame); };
  options.hooks.open_failed = [recording](DWORD error) {
    recording->Event("open " + std::to_string(error));
  };
  options.hooks.read_failed = [recording](DWORD status) {
    recording->Event("read " + std::to_string(status));
  };
  options.hooks.post_failed = [recording](DWORD error) {
    recording->Event("post " + std::to_string(error));
  };
  return options;
}

// A scripted adapter whose reads the test completes, under a clock of the
// test's: the receive thread's 500 ms waits never end by themselves, so
// every stop must wake it.
class CapturePumpTest : public ::testing::Test {
 protected:
  CapturePumpTest() {
    driver_.adapters = {"\\Device\\eth0"};
    driver_.intercept_reads = true;
    sync::SetClockForTesting(&clock_);
  }
  ~CapturePumpTest() override {
    pump_.Stop();
    sync::SetClockForTesting(nullptr);
  }

  bool WaitForPosts(size_t posts) {
    return WaitUntil([&] { return driver_.reads().size() >= posts; });
  }
  bool WaitForCompletions(uint64_t count) {
    return WaitUntil([&] { return pump_.completions() >= count; });
  }

  sync::FakeClock clock_{100'000};
  ScriptedPacketDriver driver_;
  Recording recording_;
  log::Recorder log_;
  log::ScopedSink sink_{log_.sink()};
  CapturePump pump_{&driver_, Options(&recording_)};
};

TEST_F(CapturePumpTest, StartOpensLoadsPostsAndTakesTheFirstFilterAccepted) {
  driver_.refused_filters = {0x0C};
  ASSERT_TRUE(pump_.Start("\\Device\\eth0"));
  EXPECT_EQ(driver_.opened, std::vector<std::string>{"\\Device\\eth0"});
  EXPECT_EQ(pump_.handle(), 42);
  EXPECT_EQ(driver_.bpf_program,
            (std::vector<uint8_t>{0x06, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(driver_.timestamp_resolution, 1u);
  EXPECT_EQ(driver_.filters_tried, (std::vector<DWORD>{0x0C, 0x80}));
  EXPECT_EQ(pump_.packet_filter(), 0x80u);
  ASSERT_TRUE(WaitForPosts(kReads));
  EXPECT_EQ(pump_.posted_reads(), kReads);
  for (const auto& read : driver_.reads()) {
    EXPECT_EQ(read.packet->BufferCapacity, PKIO_MAX_FRAME_SIZE);
    auto* descriptor =
        static_cast<ReceiveDescriptor*>(read.overlapped->Pointer);
    EXPECT_EQ(descriptor->signature, kReceiveSignature);
    EXPECT_EQ(&descriptor->packet, read.packet);
  }
}

TEST_F(CapturePumpTest, FailuresLeaveNothingRunning) {
  driver_.open_error = 5;
  EXPECT_FALSE(pump_.Start("\\Device\\eth0"));
  EXPECT_EQ(recording_.events(), std::vector<std::string>{"open 5"});
  EXPECT_TRUE(driver_.bpf_program.empty());
  EXPECT_EQ(driver_.closed, 0);

  driver_.open_error = 0;
  driver_.refused_filters = {0x0C, 0x80};
  EXPECT_FALSE(pump_.Start("\\Device\\eth0"));
  EXPECT_EQ(recording_.events().size(), 1u);  // no hook for this one
  EXPECT_FALSE(pump_.receiving());
  EXPECT_EQ(pump_.handle(), PKIO_INVALID_HANDLE);
  EXPECT_EQ(driver_.closed, 1);
  EXPECT_EQ(pump_.posted_reads(), 0);
}

TEST_F(CapturePumpTest, FramesGoToTheSinkAndFailedReadsAndPostsRetire) {
  ASSERT_TRUE(pump_.Start("\\Device\\eth0"));
  ASSERT_TRUE(WaitForPosts(kReads));
  driver_.Complete(0, TestFrame(60, 1));
  driver_.Complete(1, TestFrame(1514, 2));
  ASSERT_TRUE(WaitForCompletions(2));
  ASSERT_TRUE(WaitForPosts(kReads + 2));
  EXPECT_EQ(recording_.frames(), (std::vector<std::vector<uint8_t>>{
                                     TestFrame(60, 1), TestFrame(1514, 2)}));
  EXPECT_EQ(pump_.posted_reads(), kReads);

  // A failed read is reported and not posted again.
  driver_.Complete(2, TestFrame(60, 3), /*status=*/0x1F);
  ASSERT_TRUE(WaitForCompletions(3));
  EXPECT_EQ(pump_.posted_reads(), kReads - 1);
  // A refused re-post is reported and not tried again.
  driver_.repost_error = 87;
  driver_.Complete(3, TestFrame(60, 4));
  ASSERT_TRUE(WaitForCompletions(4));
  EXPECT_EQ(pump_.posted_reads(), kReads - 2);
  EXPECT_EQ(recording_.events(),
            (std::vector<std::string>{"read 31", "post 87"}));
  EXPECT_EQ(driver_.reads().size(), size_t{kReads + 2});
  EXPECT_EQ(pump_.frames(), 3u);
}

TEST_F(CapturePumpTest, FramesCutByTheDriverAreDroppedCountedAndLoggedOnce) {
  ASSERT_TRUE(pump_.Start("\\Device\\eth0"));
  ASSERT_TRUE(WaitForPosts(kReads));
  // A 2000-byte frame on a jumbo link: 1514 bytes delivered.
  driver_.Complete(0, TestFrame(1514, 1), 0, /*wire_length=*/2000);
  driver_.Complete(1, TestFrame(1514, 2), 0, /*wire_length=*/1515);
  driver_.Complete(2, TestFrame(100, 3));
  ASSERT_TRUE(WaitForCompletions(3));
  EXPECT_EQ(recording_.frames(),
            std::vector<std::vector<uint8_t>>{TestFrame(100, 3)});
  EXPECT_EQ(pump_.truncated(), 2u);
  // Dropped frames are re-posted like any other.
  ASSERT_TRUE(WaitForPosts(kReads + 3));
  EXPECT_EQ(pump_.posted_reads(), kReads);
  const auto lines = log_.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].category, "pumptest");
  EXPECT_NE(lines[0].message.find("\\Device\\eth0"), std::string::npos);
  EXPECT_NE(lines[0].message.find("2000"), std::string::npos);
  EXPECT_NE(lines[0].message.find("1514"), std::string::npos);
}

TEST_F(CapturePumpTest, CompletionsWithoutTheSignatureAreIgnored) {
  ASSERT_TRUE(pump_.Start("\\Device\\eth0"));
  ASSERT_TRUE(WaitForPosts(kReads));
  auto reads = driver_.reads();
  ReceiveDescriptor stranger;
  OVERLAPPED empty{};
  std::atomic<bool> ran{false};
  driver_.RunOnPoster([&] {
    reads[0].routine(0, 0, &stranger.overlapped);  // no descriptor
    stranger.overlapped.Pointer = &stranger;       // signature 0
    reads[0].routine(0, 0, &stranger.overlapped);
    reads[0].routine(0, 0, &empty);
    reads[0].routine(0, 0, nullptr);
    ran = true;
  });
  ASSERT_TRUE(WaitUntil([&] { return ran.load(); }));
  EXPECT_EQ(pump_.completions(), 0u);
  EXPECT_EQ(pump_.posted_reads(), kReads);
}

TEST_F(CapturePumpTest, StopWakesJoinsCancelsClosesAndStartWorksAgain) {
  ASSERT_TRUE(pump_.Start("\\Device\\eth0"));
  ASSERT_TRUE(WaitForPosts(kReads));
  pump_.Stop();
  EXPECT_FALSE(pump_.receiving());
  EXPECT_EQ(driver_.cancel_all, 1);
  EXPECT_EQ(driver_.closed, 1);
  EXPECT_EQ(pump_.handle(), PKIO_INVALID_HANDLE);
  EXPECT_EQ(pump_.posted_reads(), 0);
  pump_.Stop();
  EXPECT_EQ(driver_.closed, 1);
  ASSERT_TRUE(pump_.Start("\\Device\\eth1"));
  EXPECT_EQ(driver_.opened.back(), "\\Device\\eth1");
  // Start on a running pump closes the old adapter first.
  ASSERT_TRUE(pump_.Start("\\Device\\eth0"));
  EXPECT_EQ(driver_.closed, 2);
}

// Through the library itself, on a test LAN.
TEST(CapturePumpLibraryTest, CapturesInOrderAndNothingAfterStop) {
  testing::DeclareTestLan("Pump", "Pump LAN");
  log::Recorder log;
  log::ScopedSink sink(log.sink());
  Recording recording;
  CapturePump pump(RealPacketDriver(), Options(&recording));
  ASSERT_TRUE(pump.Start("\\Device\\Test\\Pump"));
  EXPECT_EQ(pump.packet_filter(), 0x0Cu);
  ASSERT_TRUE(WaitUntil([&] { return pump.posted_reads() == kReads; }));
  std::vector<std::vector<uint8_t>> sent;
  for (int i = 0; i < 3 * kReads; ++i) {
    sent.push_back(TestFrame(60 + i, static_cast<uint8_t>(i)));
    ASSERT_EQ(testing::SendOnTestLan("Pump", sent.back()), 1);
    // Never more frames in flight than reads posted.
    ASSERT_TRUE(WaitUntil([&] { return pump.frames() == size_t(i + 1); }));
  }
  testing::SendOnTestLan("Pump", TestFrame(1514, 0xEE), 2000);
  ASSERT_TRUE(WaitUntil([&] { return pump.truncated() == 1; }));
  EXPECT_EQ(recording.frames(), sent);
  EXPECT_EQ(log.Count("a frame of 2000 bytes"), 1u);
  EXPECT_EQ(pump.posted_reads(), kReads);

  pump.Stop();
  EXPECT_EQ(testing::SendOnTestLan("Pump", TestFrame(60, 1)), 0);
  EXPECT_EQ(recording.frames().size(), sent.size());
  // Open failures reach the hook with the library's error number.
  EXPECT_FALSE(pump.Start("\\Device\\Test\\Nobody"));
  EXPECT_EQ(
      recording.events(),
      std::vector<std::string>{"open " + std::to_string(ERROR_FILE_NOT_FOUND)});
}

}  // namespace
}  // namespace kavex::pkio
