// Batchcap: the record walk of a multi-packet buffer, a buffer's
// completion, and the main sequence on a simulated adapter.
#include "utilities/batchcap/batchcap.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/base/results.h"
#include "utilities/common/testing/program_run.h"
#include "utilities/common/testing/test_console.h"

namespace kavex::utilities {
namespace {

using testing::InOrder;
using testing::TestConsole;

// Lays records out as the driver does: header, frame at offset 24, the
// next record ceil4(delivered + 27) bytes on.
struct BufferBuilder {
  std::vector<BYTE> data = std::vector<BYTE>(4096, 0xEE);
  DWORD used = 0;
  DWORD count = 0;
  std::vector<DWORD> offsets;

  void Add(DWORD sequence, DWORD delivered, DWORD reported) {
    PKIO_PACKET_HEADER header{sequence, 0, 0, reported, delivered};
    memcpy(&data[used], &header, sizeof header);
    for (DWORD i = 0; i < delivered; ++i) {
      data[used + 24 + i] = static_cast<BYTE>(i == 12   ? 0x88
                                              : i == 13 ? 0x74
                                                        : i);
    }
    offsets.push_back(used);
    used += MprRecordStride(delivered);
    ++count;
  }
};

std::vector<DWORD> Walk(const BufferBuilder& b, DWORD used, DWORD count,
                        int stop_after = -1) {
  std::vector<DWORD> offsets;
  int visits = 0;
  WalkPacketRecords(b.data.data(), used, count,
                    [&](const PKIO_PACKET_HEADER&, const BYTE* frame) {
                      offsets.push_back(static_cast<DWORD>(
                          frame - b.data.data() - MPR_RECORD_FRAME_OFFSET));
                      return ++visits != stop_after;
                    });
  return offsets;
}

TEST(RecordWalkTest, RecordsOf60_61And64BytesAreAt0_88And176) {
  BufferBuilder b;
  b.Add(1, 60, 60);
  b.Add(2, 61, 61);
  b.Add(3, 64, 64);
  EXPECT_EQ(Walk(b, b.used, 3), (std::vector<DWORD>{0, 88, 176}));
  EXPECT_EQ(b.offsets, (std::vector<DWORD>{0, 88, 176}));
  EXPECT_EQ(b.used, 176u + 92u);
}

TEST(RecordWalkTest, TheWalkStaysInsideTheBuffer) {
  BufferBuilder b;
  b.Add(1, 60, 60);
  b.Add(2, 200, 200);
  b.Add(3, 10, 10);
  // A count beyond the records there, or used bytes that cut a record:
  // only the whole records.
  EXPECT_EQ(Walk(b, b.used, 1000).size(), 3u);
  EXPECT_EQ(Walk(b, b.offsets[1] + 24 + 199, 3).size(), 1u);
  EXPECT_EQ(Walk(b, b.offsets[1] + 23, 3).size(), 1u);
  EXPECT_EQ(Walk(b, 0, 3).size(), 0u);
  // A record claiming more bytes than there are ends the walk.
  PKIO_PACKET_HEADER huge{9, 0, 0, 0xFFFFFFFF, 0xFFFFFFF0};
  memcpy(&b.data[b.offsets[1]], &huge, sizeof huge);
  EXPECT_EQ(Walk(b, b.used, 3).size(), 1u);
  // The visitor may end it too.
  BufferBuilder c;
  for (int i = 0; i < 5; ++i) c.Add(i + 1, 60, 60);
  EXPECT_EQ(Walk(c, c.used, 5, 2).size(), 2u);
}

// Buffers handed back to the library are recorded instead.
std::vector<MPR_PACKET_BUFFER*> g_reposted;
BOOL RecordRepost(PKIO_HANDLE, MPR_PACKET_BUFFER* buffer, OVERLAPPED*,
                  LPOVERLAPPED_COMPLETION_ROUTINE) {
  g_reposted.push_back(buffer);
  return FALSE;
}
DWORD PendingError() { return ERROR_IO_PENDING; }

class TestBatchcap : public Batchcap {
 public:
  using Batchcap::Batchcap;
  AdapterRecord& record() { return record_; }
  DumpOptions& options() { return options_; }
  // The buffers a receive thread would have made.
  ReadPackage* MakePackage() {
    packages_ = ReadPackages::Allocate(ReadPackages::Kind::kBuffer, 1,
                                       kBatchcapBufferSize, this);
    return packages_->at(0);
  }
};

class BufferCompletionTest : public ::testing::Test {
 protected:
  BufferCompletionTest() {
    api_ = RealPkio();
    api_.MprReadPacketBufferEx = RecordRepost;
    api_.GetLastError = PendingError;
    g_reposted.clear();
  }

  // Completes one buffer holding b's records.
  void Complete(TestBatchcap& batchcap, const BufferBuilder& b,
                DWORD status = 0) {
    ReadPackage* package = batchcap.MakePackage();
    MPR_PACKET_BUFFER* buffer = package->buffer();
    buffer->Status = status;
    buffer->PacketCount = b.count;
    buffer->BytesUsed = b.used;
    memcpy(buffer->Data, b.data.data(), b.used);
    batchcap.OnBuffer(package, status);
    last_buffer_ = buffer;
  }

  PkioApi api_;
  MPR_PACKET_BUFFER* last_buffer_ = nullptr;
};

TEST_F(BufferCompletionTest, RecordsArePrintedCountedAndTheBufferReposted) {
  TestConsole console;
  TestBatchcap batchcap(api_, console);
  BufferBuilder b;
  b.Add(1, 60, 60);
  b.Add(2, 61, 0);   // reported length 0: counted, not printed
  b.Add(5, 64, 64);  // 3 and 4 lost
  Complete(batchcap, b);
  const std::string out = console.Output();
  EXPECT_EQ(TestConsole::Count(out, "Packet No.: "), 2);
  EXPECT_TRUE(InOrder(
      out, {"Packet No.: 0000000001              SYS Time: 0000000000 msec  "
            "Length: 60/60\n",
            "Ethernet Dest: 00.01.02.03.04.05   Src:  06.07.08.09.0A.0B    "
            "Type: 0x8874\n",
            "000030:  30 31 32 33 34 35 36 37 : 38 39 3A 3B",
            "Packet No.: 0000000005              SYS Time: 0000000000 msec  "
            "Length: 64/64 * LOST PACKET *\n"}));
  EXPECT_EQ(batchcap.record().buffers.get(), 1u);
  EXPECT_EQ(batchcap.record().packets.get(), 3u);
  EXPECT_EQ(batchcap.record().bytes.get(), 185u);
  EXPECT_EQ(batchcap.record().sequence.errors(), 1u);
  // The record not printed is not checked either: 2, 3 and 4 missing.
  EXPECT_EQ(batchcap.record().sequence.missing_ahead(), 3u);
  ASSERT_EQ(g_reposted.size(), 1u);
  EXPECT_EQ(g_reposted[0], last_buffer_);
  EXPECT_EQ(g_reposted[0]->BufferSize, kBatchcapBufferSize);
}

TEST_F(BufferCompletionTest, QuietPrintsNothingPerPacket) {
  TestConsole console;
  TestBatchcap batchcap(api_, console);
  batchcap.options().quiet = true;
  BufferBuilder b;
  b.Add(1, 60, 60);
  b.Add(4, 60, 60);
  Complete(batchcap, b);
  EXPECT_EQ(console.Output(), "");
  EXPECT_EQ(batchcap.record().packets.get(), 2u);
  EXPECT_EQ(batchcap.record().sequence.errors(), 1u);
}

TEST_F(BufferCompletionTest, AFailedBufferIsToldAndStaysIdle) {
  TestConsole console;
  TestBatchcap batchcap(api_, console);
  BufferBuilder b;
  b.Add(1, 60, 60);
  Complete(batchcap, b, ERROR_OPERATION_ABORTED);
  EXPECT_EQ(console.Output(), "Read Error: 0x03E3\n");
  EXPECT_EQ(batchcap.record().buffers.get(), 0u);
  EXPECT_EQ(batchcap.record().packets.get(), 0u);
  EXPECT_TRUE(g_reposted.empty());
}

TEST_F(BufferCompletionTest, RepostFailures) {
  api_.GetLastError = [] { return DWORD(ERROR_NO_SYSTEM_RESOURCES); };
  TestConsole console;
  TestBatchcap batchcap(api_, console);
  Complete(batchcap, BufferBuilder{});
  EXPECT_EQ(console.Output(),
            "MPR_ReadPacketBufferEx Failed; ERROR_NO_SYSTEM_RESOURCES\n");
  EXPECT_EQ(batchcap.record().buffers.get(), 1u);  // an empty one counts
}

}  // namespace
}  // namespace kavex::utilities
