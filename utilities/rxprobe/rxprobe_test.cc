// Rxprobe's main sequence on simulated adapters: one or two adapters, the
// description asked for twice, failed queries, and a read that fails.
#include "utilities/rxprobe/rxprobe.h"

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "platform/base/results.h"
#include "platform/pkio/testing/testing_support.h"
#include "simulator/testing/simulated_lan.h"
#include "platform/sync/apc.h"
#include "platform/sync/thread.h"
#include "utilities/common/testing/program_run.h"
#include "utilities/common/testing/test_console.h"

namespace kavex::utilities {
namespace {

using testing::InOrder;
using testing::ProgramRun;
using testing::TestConsole;

const char kFirst[] = "\\Device\\Simulated\\rx1";
const char kSecond[] = "\\Device\\Simulated\\rx2";

std::mutex g_mu;
std::vector<DWORD> g_description_lengths;  // buffer lengths asked with
NDIS_OID g_failing_oid = 0;
OVERLAPPED* g_failed_read = nullptr;
std::map<OVERLAPPED*, int> g_posts;
bool g_fail_first_read = false;
thread_local DWORD t_fake_error = 0;

DWORD FakeLastError() {
  if (t_fake_error != 0) return std::exchange(t_fake_error, 0);
  return Pkio_GetLastError();
}

NDIS_STATUS FakeRequest(PKIO_HANDLE h, PKIO_NDIS_REQUEST* r, OVERLAPPED* o,
                        BOOL w) {
  {
    std::lock_guard<std::mutex> lock(g_mu);
    if (r->Oid == g_failing_oid) return NDIS_STATUS_FAILURE;
    if (r->Oid == OID_GEN_VENDOR_DESCRIPTION) {
      g_description_lengths.push_back(r->InformationBufferLength);
    }
  }
  return Pkio_MakeNdisRequest(h, r, o, w);
}

BOOL FakeRead(PKIO_HANDLE h, PKIO_PACKET* packet, DWORD flags,
              OVERLAPPED* overlapped, LPOVERLAPPED_COMPLETION_ROUTINE routine) {
  std::unique_lock<std::mutex> lock(g_mu);
  ++g_posts[overlapped];
  if (g_fail_first_read && g_failed_read == nullptr) {
    g_failed_read = overlapped;
    lock.unlock();
    HANDLE self = sync::OpenCurrentThread();
    sync::QueueApcFunction(self, [routine, overlapped] {
      routine(ERROR_GEN_FAILURE, 0, overlapped);
    });
    CloseHandle(self);
    t_fake_error = ERROR_IO_PENDING;
    return FALSE;
  }
  lock.unlock();
  return Pkio_PacketReadEx(h, packet, flags, overlapped, routine);
}

class RxprobeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    simulator::testing::DeclareSimulatedAdapter(KAVEX_SIMULATED_ADAPTERS_MODULE, 
        "rx1", "switch 02.C4.7D.00.00.01 type=1 ports=2 cycle=100");
    simulator::testing::DeclareSimulatedAdapter(KAVEX_SIMULATED_ADAPTERS_MODULE, 
        "rx2", "switch 02.C4.7D.00.00.02 type=1 ports=2 cycle=100");
    api_ = RealPkio();
    api_.MakeNdisRequest = FakeRequest;
    api_.PacketReadEx = FakeRead;
    api_.GetLastError = FakeLastError;
    std::lock_guard<std::mutex> lock(g_mu);
    g_description_lengths.clear();
    g_failing_oid = 0;
    g_failed_read = nullptr;
    g_posts.clear();
    g_fail_first_read = false;
  }

  // Runs rxprobe with args until `reads` reads completed, then Ctrl-C.
  std::string Receive(const std::vector<std::string>& args, int reads,
                      int* exit_code) {
    TestConsole console;
    Rxprobe rxprobe(api_, console);
    ProgramRun run(
        &console,
        [&](int argc, char** argv) { return rxprobe.Run(argc, argv); }, args);
    EXPECT_TRUE(console.WaitForKeyWaits(1));
    EXPECT_FALSE(console.has_ctrl_handler());  // Ctrl-C would end it here
    console.PressKey('\n');
    EXPECT_TRUE(console.WaitForOutput("Received A ", reads));
    EXPECT_TRUE(console.PressCtrlC());
    *exit_code = run.Wait();
    EXPECT_FALSE(console.has_ctrl_handler());
    return console.Output();
  }

  PkioApi api_;
};

TEST_F(RxprobeTest, OneAdapter) {
  int rc = -1;
  const std::string out = Receive({"/a", kFirst}, 3, &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_TRUE(InOrder(
      out, {"Description: \"Kavex simulated Velto LAN \"rx1\"\"\n",
            "Maximum Total Size: 1514\n", "Media In Use: 0\n",
            "Adapter No. 1 Opened\n", "Media Connect Status: Connected\n",
            "\nPress ENTER To Start Receiving Packets...\n",
            "Reception Started\n", "Press Ctrl-C To Exit\n",
            "ReadCompleteAcpNT: Entry...\nHandleReadComplete: Entry...\n"
            "Received A 260 Packet On Adapter 0x00000001\n",
            "CtrlHandler: 0x00000000\n", "Shuting Down...\n"}));
  // Asked first with no buffer, then with the size the adapter needs.
  ASSERT_EQ(g_description_lengths.size(), 2u);
  EXPECT_EQ(g_description_lengths[0], 0u);
  EXPECT_EQ(g_description_lengths[1],
            sizeof "Kavex simulated Velto LAN \"rx1\"" + 1);
  // Ten reads posted, each completion posting its read again.
  EXPECT_EQ(g_posts.size(), kRxprobeReadNodes);
}

TEST_F(RxprobeTest, OnlyTheSecondAdapter) {
  int rc = -1;
  const std::string out = Receive({"-B", kSecond}, 2, &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(out.find("Adapter No. 1"), std::string::npos);
  EXPECT_NE(out.find("Adapter No. 2 Opened\n"), std::string::npos);
  EXPECT_EQ(out.find("On Adapter 0x00000001"), std::string::npos);
  EXPECT_NE(out.find("Received A 260 Packet On Adapter 0x00000002\n"),
            std::string::npos);
}

TEST_F(RxprobeTest, AFailedReadIsToldOnceAndItsNodeStaysIdle) {
  g_fail_first_read = true;
  int rc = -1;
  const std::string out = Receive({"/a", kFirst}, 6, &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(TestConsole::Count(out, "Read Error: 0x001F\n"), 1);
  EXPECT_TRUE(InOrder(out, {"ReadCompleteAcpNT: Entry...\n"
                            "HandleReadComplete: Entry...\n"
                            "Read Error: 0x001F\n"}));
  std::lock_guard<std::mutex> lock(g_mu);
  EXPECT_EQ(g_posts[g_failed_read], 1);
}

TEST_F(RxprobeTest, FailedQueriesAndOpens) {
  {
    g_failing_oid = OID_GEN_MAXIMUM_TOTAL_SIZE;
    TestConsole console;
    Rxprobe rxprobe(api_, console);
    EXPECT_EQ(
        rxprobe.Run(3, std::vector<char*>{const_cast<char*>("rxprobe"),
                                          const_cast<char*>("/a"),
                                          const_cast<char*>(kFirst), nullptr}
                           .data()),
        0);
    EXPECT_TRUE(InOrder(console.Output(),
                        {"Maximum Total Size: -1\n", "Media In Use: 0\n",
                         "Could Not Query Adapter\n"}));
    EXPECT_EQ(console.Output().find("Opened"), std::string::npos);
    EXPECT_EQ(console.key_waits(), 0);
  }
  {
    // The description query failing is no failure.
    g_failing_oid = OID_GEN_VENDOR_DESCRIPTION;
    TestConsole console;
    Rxprobe rxprobe(api_, console);
    std::unique_ptr<Rxprobe::Adapter> adapter = rxprobe.OpenAdapter(kFirst, 1);
    EXPECT_TRUE(adapter);
    EXPECT_EQ(console.Output().rfind("Description: \"Unknown\"\n", 0), 0u);
  }
  {
    g_failing_oid = 0;
    TestConsole console;
    Rxprobe rxprobe(api_, console);
    EXPECT_FALSE(rxprobe.OpenAdapter("\\Device\\Simulated\\none", 1));
    EXPECT_EQ(console.Output(), "Could Not Open Adapter; Error 0x00000002\n");
  }
  {
    // The first of two fails: nothing more.
    TestConsole console;
    Rxprobe rxprobe(api_, console);
    std::string args[] = {"rxprobe", "/a", "\\Device\\Simulated\\none", "/b",
                          kSecond};
    char* argv[] = {args[0].data(), args[1].data(), args[2].data(),
                    args[3].data(), args[4].data(), nullptr};
    EXPECT_EQ(rxprobe.Run(5, argv), 0);
    EXPECT_EQ(console.Output().find("Adapter No."), std::string::npos);
  }
}

TEST(RxprobeCommandLineTest, UsageAndHelp) {
  struct Case {
    std::vector<std::string> args;
    int exit_code;
    bool usage;
  };
  const Case cases[] = {
      {{}, 0, true},
      {{"/x", "plain", "-"}, 0, true},
      {{"/a"}, 0, true},  // /a without a name
      {{"/h"}, 1, true},
      {{"-?"}, 1, true},
      {{"/Help", "/a", "x"}, 1, true},
      {{"--version"}, 0, false},
  };
  for (const Case& c : cases) {
    TestConsole console;
    Rxprobe rxprobe(RealPkio(), console);
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), "rxprobe");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    EXPECT_EQ(rxprobe.Run(static_cast<int>(args.size()), argv.data()),
              c.exit_code);
    const std::string out = console.Output();
    if (c.usage) {
      EXPECT_EQ(out,
                "Usage: Rxprobe /a AdapterName1 [ /b AdapterName2 options "
                "]\r\n\n"
                "    Example: Rxprobe /a \\Device\\Ne20002\n"
                "\nWhere the \"AdapterName1\" is really the exported DosDevice "
                "name\n"
                "of the MAC adapter.\n");
    } else {
      EXPECT_EQ(out.rfind("rxprobe ", 0), 0u);
    }
  }
}

}  // namespace
}  // namespace kavex::utilities
