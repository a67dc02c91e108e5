// Sendprobe: the test frame, every outcome of a send, and the walk over
// the enumeration. Only simulated adapters are named here, and the
// enumeration is the test's own: nothing is sent on a real interface.
#include "utilities/sendprobe/sendprobe.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/base/results.h"
#include "platform/pkio/testing/testing_support.h"
#include "simulator/testing/simulated_lan.h"
#include "platform/sync/apc.h"
#include "platform/sync/clock.h"
#include "platform/sync/event.h"
#include "platform/sync/thread.h"
#include "utilities/common/testing/test_console.h"
#include "utilities/common/testing/printed.h"

namespace kavex::utilities {
namespace {

using testing::TestConsole;

const char kProbe[] = "\\Device\\Simulated\\probe";

using testing::Printed;

enum class Outcome { kAtOnce, kSignalled, kCompletionRan, kNever, kFails };
Outcome g_outcome = Outcome::kAtOnce;
std::vector<BYTE> g_sent;
std::atomic<bool> g_pending{false};
thread_local DWORD t_error = 0;

DWORD FakeLastError() {
  return t_error != 0 ? std::exchange(t_error, 0) : Pkio_GetLastError();
}

BOOL FakeSend(PKIO_HANDLE adapter, const void* frame, DWORD length,
              OVERLAPPED* overlapped) {
  g_sent.assign(static_cast<const BYTE*>(frame),
                static_cast<const BYTE*>(frame) + length);
  switch (g_outcome) {
    case Outcome::kAtOnce:
      return Pkio_PacketSend(adapter, frame, length, overlapped);
    case Outcome::kSignalled:
      SetEvent(overlapped->hEvent);
      break;
    case Outcome::kCompletionRan: {
      HANDLE self = sync::OpenCurrentThread();
      sync::QueueApcFunction(self, [] {});
      CloseHandle(self);
      break;
    }
    case Outcome::kNever:
      g_pending = true;
      break;
    case Outcome::kFails:
      t_error = ERROR_GEN_FAILURE;
      return FALSE;
  }
  t_error = ERROR_IO_PENDING;
  return FALSE;
}

class SendprobeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    simulator::testing::DeclareSimulatedAdapter(KAVEX_SIMULATED_ADAPTERS_MODULE, "probe", "switch 02.C4.7D.00.00.05");
    api_ = RealPkio();
    api_.PacketSend = FakeSend;
    api_.GetLastError = FakeLastError;
    g_outcome = Outcome::kAtOnce;
    g_sent.clear();
    g_pending = false;
  }
  PkioApi api_;
};

TEST_F(SendprobeTest, TheFrameAsSent) {
  EXPECT_EQ(Printed([&](FILE* out) { SendTestFrame(api_, kProbe, out); }),
            "SENT (Immediate)\n");
  ASSERT_EQ(g_sent.size(), 128u);
  const BYTE head[14] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02,
                         0x00, 0x00, 0x00, 0x00, 0x42, 0x60, 0x00};
  EXPECT_EQ(memcmp(g_sent.data(), head, 14), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&g_sent[14])),
            "Kavex Sendprobe test frame");
  EXPECT_EQ(g_sent[40], 0);
  for (size_t i = 41; i < 128; ++i) ASSERT_EQ(g_sent[i], 0x5A) << i;

  // An adapter that does not tell its address sends from zeros.
  api_.MakeNdisRequest = [](PKIO_HANDLE, PKIO_NDIS_REQUEST*, OVERLAPPED*,
                            BOOL) -> NDIS_STATUS {
    return NDIS_STATUS_FAILURE;
  };
  Printed([&](FILE* out) { SendTestFrame(api_, kProbe, out); });
  ASSERT_EQ(g_sent.size(), 128u);
  for (size_t i = 6; i < 12; ++i) EXPECT_EQ(g_sent[i], 0) << i;
  EXPECT_EQ(g_sent[12], 0x60);
}

TEST_F(SendprobeTest, OutcomesOfASend) {
  struct Case {
    Outcome outcome;
    std::string printed;
  };
  const Case cases[] = {
      {Outcome::kAtOnce, "SENT (Immediate)\n"},
      {Outcome::kSignalled, "SENT\n"},
      {Outcome::kCompletionRan, "SENT\n"},
      {Outcome::kFails, "Pkio_PacketSend Failed; Error: 0x0000001F\n"},
  };
  for (const Case& c : cases) {
    g_outcome = c.outcome;
    EXPECT_EQ(Printed([&](FILE* out) { SendTestFrame(api_, kProbe, out); }),
              c.printed);
  }
  EXPECT_EQ(Printed([&](FILE* out) {
              SendTestFrame(api_, "\\Device\\Simulated\\absent", out);
            }),
            "Wirebay Could Not Open Adapter; Error 0x00000002\n");
}

// A send that stays pending times out after 5 s of the clock's time.
TEST_F(SendprobeTest, PendingForeverTimesOut) {
  sync::FakeClock clock;
  sync::SetClockForTesting(&clock);
  g_outcome = Outcome::kNever;
  std::atomic<bool> done{false};
  std::string printed;
  std::thread sender([&] {
    printed = Printed([&](FILE* out) { SendTestFrame(api_, kProbe, out); });
    done = true;
  });
  const auto deadline = std::chrono::steady_clock::now() + testing::kDeadline;
  uint32_t advanced = 0;
  while (!done && std::chrono::steady_clock::now() < deadline) {
    if (g_pending) {
      clock.Advance(100);
      advanced += 100;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  sender.join();
  sync::SetClockForTesting(nullptr);
  EXPECT_EQ(printed, "SEND Timeout\n");
  EXPECT_GE(advanced, 5000u);  // not before 5 s of the clock's time
}

// The test's enumeration: names by entry, an empty name for a failing
// entry.
std::vector<std::string> g_names;
size_t g_next = 0;
PKIO_HANDLE FakeOpenEnum() { return 0x500; }
BOOL FakeCloseEnum(PKIO_HANDLE) { return TRUE; }
PKIO_HANDLE Entry() {
  return g_next < g_names.size() ? PKIO_HANDLE(0x600 + g_next++)
                                 : PKIO_INVALID_HANDLE;
}
PKIO_HANDLE FakeFirst(PKIO_HANDLE) {
  g_next = 0;
  return Entry();
}
PKIO_HANDLE FakeNext(PKIO_HANDLE) { return Entry(); }
BOOL FakeRelease(PKIO_HANDLE) { return TRUE; }
DWORD FakeName(PKIO_HANDLE entry, char* buffer, DWORD* size) {
  const std::string& name = g_names[entry - 0x600];
  if (name.empty()) return ERROR_INVALID_HANDLE;
  if (buffer == nullptr || *size < name.size() + 1) {
    *size = static_cast<DWORD>(name.size() + 1);
    return ERROR_INSUFFICIENT_BUFFER;
  }
  memcpy(buffer, name.c_str(), name.size() + 1);
  *size = static_cast<DWORD>(name.size() + 1);
  return 0;
}

TEST_F(SendprobeTest, EveryEnumeratedAdapter) {
  api_.OpenAdapterEnum = FakeOpenEnum;
  api_.CloseAdapterEnum = FakeCloseEnum;
  api_.GetFirstAdapter = FakeFirst;
  api_.GetNextAdapter = FakeNext;
  api_.ReleaseAdapterEntry = FakeRelease;
  api_.GetAdapterNdisNameA = FakeName;
  api_.GetPlatformNameA = [](const PKIO_OS_VERSION*) { return "Test OS 1.2"; };
  const std::string banner =
      "Wirebay Sendprobe Test V5.03.16.54.\n"
      "Sends one broadcast test frame on every adapter the packet driver "
      "offers.\n"
      "Platform   : Test OS 1.2\n"
      "Coding     : ANSI\n\n";
  auto run = [&] {
    TestConsole console;
    std::string name = "sendprobe";
    char* argv[] = {name.data(), nullptr};
    EXPECT_EQ(RunSendprobe(api_, console, 1, argv), 0);
    return console.Output();
  };

  g_names = {kProbe, "\\Device\\Simulated\\gone", "", kProbe};
  EXPECT_EQ(run(),
            banner +
                "   \"\\Device\\Simulated\\probe\"\nSENT (Immediate)\n\n"
                "   \"\\Device\\Simulated\\gone\"\n"
                "Wirebay Could Not Open Adapter; Error 0x00000002\n\n"
                "   Adapter Ndis Name Unknown\n\n"
                "   \"\\Device\\Simulated\\probe\"\nSENT (Immediate)\n\n");
  g_names.clear();
  EXPECT_EQ(run(), banner);
  api_.OpenAdapterEnum = [] { return PKIO_INVALID_HANDLE; };
  EXPECT_EQ(run(), banner + "Could Not Open Mac Enumeration Handle\n");
}

}  // namespace
}  // namespace kavex::utilities
