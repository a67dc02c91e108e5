// Tapdump's main sequence on a simulated adapter of the real library, with
// single driver calls made to fail where a case needs it.
#include "utilities/tapdump/tapdump.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "platform/base/results.h"
#include "platform/pkio/testing/testing_support.h"
#include "simulator/testing/simulated_lan.h"
#include "platform/sync/apc.h"
#include "platform/sync/thread.h"
#include "utilities/common/testing/program_run.h"
#include "utilities/common/testing/test_console.h"
#include "utilities/common/version.h"

namespace kavex::utilities {
namespace {

using testing::InOrder;
using testing::ProgramRun;
using testing::TestConsole;

const char kAdapter[] = "\\Device\\Simulated\\tap";

// Tapdump with its counters in view.
class TestTapdump : public Tapdump {
 public:
  using Tapdump::Tapdump;
  const AdapterRecord& record() const { return record_; }
};

// --- Fake driver calls (plain functions, so state is global) -------------

std::mutex g_mu;
bool g_reject_packet_filter = false;
std::vector<DWORD> g_bpf_lengths;
std::vector<DWORD> g_loopback_offsets;
BOOL g_timestamp_resolution_result = TRUE;

NDIS_STATUS RejectingFilter(PKIO_HANDLE h, PKIO_NDIS_REQUEST* r, OVERLAPPED* o,
                            BOOL w) {
  if (g_reject_packet_filter && r->RequestType == PKIO_NDIS_SET &&
      r->Oid == OID_GEN_CURRENT_PACKET_FILTER) {
    DWORD filter;
    memcpy(&filter, r->InformationBuffer, 4);
    if (filter != 0) return NDIS_STATUS_NOT_SUPPORTED;
  }
  return Pkio_MakeNdisRequest(h, r, o, w);
}

BOOL RecordingBpf(PKIO_HANDLE h, const void* program, DWORD length) {
  {
    std::lock_guard<std::mutex> lock(g_mu);
    g_bpf_lengths.push_back(length);
  }
  return Pkio_SetBPFProgram(h, program, length);
}

BOOL RecordingLoopback(PKIO_HANDLE h, DWORD offset, DWORD length,
                       const BYTE* address) {
  {
    std::lock_guard<std::mutex> lock(g_mu);
    g_loopback_offsets.push_back(offset);
  }
  return Pkio_DisableLoopback(h, offset, length, address);
}

BOOL FakeTimestampResolution(PKIO_HANDLE h, DWORD resolution) {
  Pkio_SetTimestampResolution(h, resolution);
  return g_timestamp_resolution_result;
}

// Reads: the first read posted completes at once with an error status; the
// first re-post fails with g_repost_error.
OVERLAPPED* g_failed_read = nullptr;
std::map<OVERLAPPED*, int> g_posts;
DWORD g_repost_error = 0;
bool g_repost_failed = false;
thread_local DWORD t_fake_error = 0;
// The first read completes with a header claiming more than its buffer.
bool g_hostile_read = false;

DWORD FakeLastError() {
  if (t_fake_error != 0) return std::exchange(t_fake_error, 0);
  return Pkio_GetLastError();
}

BOOL FailingReads(PKIO_HANDLE h, PKIO_PACKET* packet, DWORD flags,
                  OVERLAPPED* overlapped,
                  LPOVERLAPPED_COMPLETION_ROUTINE routine) {
  std::unique_lock<std::mutex> lock(g_mu);
  const int posts = ++g_posts[overlapped];
  if (g_failed_read == nullptr) {
    g_failed_read = overlapped;
    const bool hostile = g_hostile_read;
    lock.unlock();
    // Completes on this thread, in its next alertable wait.
    HANDLE self = sync::OpenCurrentThread();
    packet->Status = 0;
    if (hostile) {
      packet->Header = {1, 0, 0, 100000, 100000};
      memset(packet->Data, 0x41, packet->BufferCapacity);
    }
    sync::QueueApcFunction(self, [routine, overlapped, hostile] {
      routine(hostile ? 0 : ERROR_GEN_FAILURE, hostile ? 100000 : 0,
              overlapped);
    });
    CloseHandle(self);
    t_fake_error = ERROR_IO_PENDING;
    return FALSE;
  }
  if (posts > 1 && g_repost_error != 0 && !g_repost_failed) {
    g_repost_failed = true;
    t_fake_error = g_repost_error;
    return FALSE;
  }
  lock.unlock();
  return Pkio_PacketReadEx(h, packet, flags, overlapped, routine);
}

class TapdumpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    simulator::testing::DeclareSimulatedAdapter(KAVEX_SIMULATED_ADAPTERS_MODULE, 
        "tap", "switch 02.C4.7D.00.00.01 type=1 ports=2 cycle=100");
    api_ = RealPkio();
    std::lock_guard<std::mutex> lock(g_mu);
    g_reject_packet_filter = false;
    g_bpf_lengths.clear();
    g_loopback_offsets.clear();
    g_timestamp_resolution_result = TRUE;
    g_failed_read = nullptr;
    g_posts.clear();
    g_repost_error = 0;
    g_repost_failed = false;
    g_hostile_read = false;
  }

  std::function<int(int, char**)> Program(TestTapdump* tapdump) {
    return
        [tapdump](int argc, char** argv) { return tapdump->Run(argc, argv); };
  }

  // Runs tapdump until reception has started, then stops it with Ctrl-C
  // and a key; returns the output.
  std::string RunBriefly(std::vector<std::string> args) {
    TestConsole console;
    TestTapdump tapdump(api_, console);
    args.insert(args.begin(), {"/a", kAdapter, "/go"});
    ProgramRun run(&console, Program(&tapdump), args);
    EXPECT_TRUE(console.WaitForOutput("Using 512 Read Packages (804KB)\n"));
    EXPECT_TRUE(console.PressCtrlC());
    console.PressKey('\n');
    EXPECT_EQ(run.Wait(), 0);
    return console.Output();
  }

  PkioApi api_;
};

TEST_F(TapdumpTest, WholeRunOnASimulatedAdapter) {
  TestConsole console;
  TestTapdump tapdump(api_, console);
  ProgramRun run(&console, Program(&tapdump), {"/a", kAdapter});
  ASSERT_TRUE(console.WaitForKeyWaits(1));  // "Press ENTER To Start..."
  EXPECT_EQ(console.Output().find("Starting Packet Reception"),
            std::string::npos);
  EXPECT_FALSE(console.has_ctrl_handler());  // Ctrl-C here ends the process
  console.PressKey('\n');
  ASSERT_TRUE(console.WaitForOutput("Packet No.: ", 3));
  ASSERT_TRUE(console.PressCtrlC());
  ASSERT_TRUE(console.WaitForKeyWaits(2));
  // The adapter is closed now: Ctrl-C is not handled, the process ends.
  EXPECT_FALSE(console.PressCtrlC());
  console.PressKey('x');
  EXPECT_EQ(run.Wait(), 0);

  const std::string out = console.Output();
  EXPECT_TRUE(InOrder(
      out, {"Wirebay Packet Dump Utility APC Version " + VersionText() + "\n",
            "AdapterName : \"\\Device\\Simulated\\tap\"\n",
            "Adapter Opened\n",
            "Adapter Information:\n\n",
            "Description    : Kavex simulated Velto LAN \"tap\"\n",
            "Adapter Medium : 802.3\n",
            "Adapter Address: 02.00.00.00.00.42\n",
            "\nPress ENTER To Start...\n",
            "Press Ctrl-C To Exit...\n",
            "Starting Packet Reception...\n",
            "Set High-Resolution Timestamp Mode\n",
            "Using 512 Read Packages (804KB)\n",
            "Packet No.: 0000000001            Time: ",
            "Packet No.: 0000000002            Time: ",
            "Ethernet Dest: 03.C4.7D.00.00.01   Src:  02.C4.7D.00.00.01    "
            "Type: 0x8874\n",
            "\nStopping Packet Reception\n",
            "Application Statistics:\n",
            "  Received Packet Count       : ",
            "      Sent C/D/I Counts       : 0/0/0\n\n",
            "Protocol Statistics:\n",
            "  Driver Description          : Kavex Pkiolib packet driver "
            "(AF_PACKET)\n",
            "\nPress Any Key To Exit After Examining Statistics...\n"}));
  EXPECT_EQ(console.title(), "Kavex simulated Velto LAN \"tap\"");
  EXPECT_FALSE(console.has_ctrl_handler());

  // The counts agree with what was printed before the statistics.
  const std::string before_stop = out.substr(0, out.find("\nStopping"));
  const int printed = TestConsole::Count(before_stop, "Packet No.: ");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(
      out, m,
      std::regex("Application Statistics:\n.*\n  Received Packet "
                 "Count       : ([0-9]+)\n  Received Byte Count   "
                 "      : ([0-9]+)\n")));
  EXPECT_EQ(std::stoi(m[1]), printed);
  EXPECT_EQ(std::stoi(m[2]) % printed, 0);  // every frame of one size
  EXPECT_EQ(tapdump.record().sequence.errors(), 0u);
}

TEST_F(TapdumpTest, ReceptionThatCannotStartExitsWith3) {
  g_reject_packet_filter = true;
  api_.MakeNdisRequest = RejectingFilter;
  TestConsole console;
  TestTapdump tapdump(api_, console);
  ProgramRun run(&console, Program(&tapdump), {"/go", "/a", kAdapter});
  EXPECT_EQ(run.Wait(), 3);
  EXPECT_EQ(console.Errors(), "Start Reception Failed\n");
  const std::string out = console.Output();
  EXPECT_NE(out.find("Starting Packet Reception...\n"), std::string::npos);
  EXPECT_EQ(out.find("Press Any Key"), std::string::npos);
  EXPECT_EQ(console.key_waits(), 0);
  EXPECT_FALSE(console.has_ctrl_handler());
}

TEST_F(TapdumpTest, AdapterFailures) {
  {
    TestConsole console;
    TestTapdump tapdump(api_, console);
    ProgramRun run(&console, Program(&tapdump),
                   {"/a", "\\Device\\Simulated\\missing"});
    EXPECT_EQ(run.Wait(), 0);
    EXPECT_TRUE(InOrder(console.Output(),
                        {"AdapterName : \"\\Device\\Simulated\\missing\"\n",
                         "Could Not Open Adapter; Error 0x00000002\n"}));
    EXPECT_EQ(console.Output().find("Adapter Opened"), std::string::npos);
    EXPECT_EQ(console.key_waits(), 0);
  }
  {
    // No medium: no report, no reception.
    api_.MakeNdisRequest = [](PKIO_HANDLE h, PKIO_NDIS_REQUEST* r,
                              OVERLAPPED* o, BOOL w) -> NDIS_STATUS {
      if (r->Oid == OID_GEN_MEDIA_IN_USE) return NDIS_STATUS_FAILURE;
      return Pkio_MakeNdisRequest(h, r, o, w);
    };
    TestConsole console;
    TestTapdump tapdump(api_, console);
    ProgramRun run(&console, Program(&tapdump), {"/a", kAdapter});
    EXPECT_EQ(run.Wait(), 0);
    EXPECT_TRUE(
        InOrder(console.Output(), {"Adapter Opened\n", "Description    : ",
                                   "Could Not Get Adapter Information\n"}));
    EXPECT_EQ(console.key_waits(), 0);
  }
  {
    // Without /a: the usage, exit 0.
    TestConsole console;
    TestTapdump tapdump(api_, console);
    ProgramRun run(&console, Program(&tapdump), {"/q", "/a"});
    EXPECT_EQ(run.Wait(), 0);
    EXPECT_TRUE(InOrder(console.Output(),
                        {"Display Mode: Quiet\n",
                         "Usage: TAPDUMP /a AdapterName [ options ]\r\n\n"}));
    EXPECT_EQ(console.Output().find("AdapterName :"), std::string::npos);
  }
  {
    TestConsole console;
    TestTapdump tapdump(api_, console);
    ProgramRun run(&console, Program(&tapdump), {"-?"});
    EXPECT_EQ(run.Wait(), 1);
  }
}

TEST_F(TapdumpTest, FilterLoopbackAndTimestampSteps) {
  api_.SetBPFProgram = RecordingBpf;
  api_.DisableLoopback = RecordingLoopback;
  api_.SetTimestampResolution = FakeTimestampResolution;
  std::string out = RunBriefly({"/p", "tcp+udp", "/ld"});
  EXPECT_EQ(g_bpf_lengths, std::vector<DWORD>{88});
  EXPECT_EQ(g_loopback_offsets, std::vector<DWORD>{6});
  EXPECT_NE(out.find("Set High-Resolution Timestamp Mode"), std::string::npos);

  g_bpf_lengths.clear();
  g_loopback_offsets.clear();
  g_timestamp_resolution_result = FALSE;
  out = RunBriefly({});
  EXPECT_TRUE(g_bpf_lengths.empty());  // no program, none loaded
  EXPECT_TRUE(g_loopback_offsets.empty());
  EXPECT_EQ(out.find("Set High-Resolution Timestamp Mode"), std::string::npos);
}

TEST_F(TapdumpTest, ReadErrorsLeaveThePackageIdleAndRepostFailuresAreTold) {
  api_.PacketReadEx = FailingReads;
  api_.GetLastError = FakeLastError;
  for (DWORD error :
       {DWORD(ERROR_NO_SYSTEM_RESOURCES), DWORD(ERROR_INVALID_PARAMETER)}) {
    {
      std::lock_guard<std::mutex> lock(g_mu);
      g_failed_read = nullptr;
      g_posts.clear();
      g_repost_error = error;
      g_repost_failed = false;
    }
    TestConsole console;
    TestTapdump tapdump(api_, console);
    ProgramRun run(&console, Program(&tapdump), {"/go", "/a", kAdapter});
    ASSERT_TRUE(console.WaitForOutput("Packet No.: ", 3));
    ASSERT_TRUE(console.PressCtrlC());
    console.PressKey('\n');
    EXPECT_EQ(run.Wait(), 0);
    const std::string out = console.Output();
    EXPECT_EQ(TestConsole::Count(out, "Read Error: 0x001F\n"), 1);
    std::lock_guard<std::mutex> lock(g_mu);
    EXPECT_EQ(g_posts[g_failed_read], 1);  // never posted again
    EXPECT_EQ(g_posts.size(), kTapdumpReadPackages);
    EXPECT_EQ(
        TestConsole::Count(
            out, error == DWORD(ERROR_NO_SYSTEM_RESOURCES)
                     ? "Pkio_PacketReadEx Failed; ERROR_NO_SYSTEM_RESOURCES\n"
                     : "Pkio_PacketReadEx Failed; Error: 0x00000057\n"),
        1);
  }
}

// A driver claiming more bytes than the read's buffer holds: the dump
// stops at the buffer's end.
TEST_F(TapdumpTest, AReadClaimingTooMuchIsCutToItsBuffer) {
  api_.PacketReadEx = FailingReads;
  api_.GetLastError = FakeLastError;
  g_hostile_read = true;
  TestConsole console;
  TestTapdump tapdump(api_, console);
  ProgramRun run(&console, Program(&tapdump), {"/go", "/a", kAdapter});
  ASSERT_TRUE(console.WaitForOutput("Length: 100000/100000\n"));
  ASSERT_TRUE(console.PressCtrlC());
  console.PressKey('\n');
  EXPECT_EQ(run.Wait(), 0);
  const std::string out = console.Output();
  const std::string packet = out.substr(out.find("Length: 100000/100000\n"));
  EXPECT_NE(packet.find("\n0005E0:  41 41 41 41 41 41 41 41 : 41 41       "),
            std::string::npos);
  EXPECT_EQ(packet.substr(0, packet.find("\n\n")).find("0005F0:"),
            std::string::npos);
}

TEST_F(TapdumpTest, TestFrameBursts) {
  TestConsole console;
  TestTapdump tapdump(api_, console);
  ProgramRun run(&console, Program(&tapdump), {"/go", "/s", "/a", kAdapter});
  const auto deadline = std::chrono::steady_clock::now() + testing::kDeadline;
  while (tapdump.record().sends_completed.get() < kTestBurstFrames &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(tapdump.record().sends_completed.get(), kTestBurstFrames);
  ASSERT_TRUE(console.PressCtrlC());
  console.PressKey('\n');
  EXPECT_EQ(run.Wait(), 0);
  const std::string out = console.Output();
  EXPECT_TRUE(InOrder(out, {"Send Packets: On\n",
                            "      Sent Packet Count       : 20\n"
                            "Pending Send APC Count        : 0\n"
                            "      Sent C/D/I Counts       : 20/20/0\n",
                            "  Sent Packet Count           : 20\n"}));
  EXPECT_EQ(TestConsole::Count(out, "Sending 802.3 Test Packet..."), 20);
}

TEST(TestFrameTest, FramesByMedium) {
  const BYTE address[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
  BYTE frame[PKIO_MAX_FRAME_SIZE];
  ASSERT_EQ(BuildTestFrame(0, address, 'C', 50, frame, sizeof frame), 64u);
  const BYTE head[14] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02,
                         0x11, 0x22, 0x33, 0x44, 0x55, 0x60, 0x00};
  EXPECT_EQ(memcmp(frame, head, 14), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(frame) + 14, 50),
            std::string(50, 'C'));

  ASSERT_EQ(BuildTestFrame(1, address, 'D', 50, frame, sizeof frame), 64u);
  EXPECT_EQ(memcmp(frame + 2, head, 12), 0);  // destination, then source
  EXPECT_EQ(frame[14], 'D');
  ASSERT_EQ(BuildTestFrame(4, address, 'E', 50, frame, sizeof frame), 53u);
  EXPECT_EQ(frame[0], 0xFF);
  EXPECT_EQ(frame[1], 0x02);
  EXPECT_EQ(frame[3], 'E');

  EXPECT_EQ(BuildTestFrame(2, address, 'A', 50, frame, sizeof frame), 0u);
  EXPECT_EQ(BuildTestFrame(0, address, 'A', 1501, frame, sizeof frame), 0u);
  EXPECT_EQ(BuildTestFrame(0, address, 'A', 50, frame, 63), 0u);
}

}  // namespace
}  // namespace kavex::utilities
