// The library end to end on simulated adapters: enumeration, requests,
// reads completing on the posting thread, cancel and close.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "platform/pkio/pkiolib.h"
#include "platform/pkio/testing_support.h"
#include "platform/sync/clock.h"
#include "platform/sync/thread.h"

namespace kavex::pkio {
namespace {

using testing::DeclareSimulatedAdapter;
using testing::PumpUntil;

const bpf_insn kVeltoProgram[] = {{0x28, 0, 0, 12},
                                  {0x15, 0, 1, 0x8874},
                                  {0x06, 0, 0, 0xFFFFFFFF},
                                  {0x06, 0, 0, 0}};

NDIS_STATUS SetFilter(PKIO_HANDLE h, DWORD filter) {
  PKIO_NDIS_REQUEST r{
      PKIO_NDIS_SET, OID_GEN_CURRENT_PACKET_FILTER, &filter, 4, 0, 0};
  return Pkio_MakeNdisRequest(h, &r, nullptr, TRUE);
}

// A posted read and what its completion saw.
struct Read {
  OVERLAPPED overlapped{};
  PKIO_PACKET packet{};
  PKIO_HANDLE adapter = PKIO_INVALID_HANDLE;
  bool repost = true;
};

struct Log {
  std::vector<std::vector<uint8_t>> frames;
  std::vector<DWORD> sequences;
  std::vector<DWORD> errors;
  std::set<DWORD> threads;
  PKIO_HANDLE close_from_routine = PKIO_INVALID_HANDLE;
};
Log* g_log = nullptr;

void OnRead(DWORD error, DWORD bytes, OVERLAPPED* overlapped) {
  Read* read = static_cast<Read*>(overlapped->Pointer);
  g_log->errors.push_back(error);
  g_log->threads.insert(GetCurrentThreadId());
  if (error != 0) return;
  EXPECT_EQ(bytes, read->packet.Header.BytesDelivered);
  g_log->frames.emplace_back(read->packet.Data, read->packet.Data + bytes);
  g_log->sequences.push_back(read->packet.Header.SequenceNumber);
  if (g_log->close_from_routine != PKIO_INVALID_HANDLE) {
    EXPECT_TRUE(Pkio_CloseAdapter(g_log->close_from_routine));
    g_log->close_from_routine = PKIO_INVALID_HANDLE;
    // The handle is stale now, even inside the adapter's own routine.
    EXPECT_FALSE(Pkio_PacketReadEx(read->adapter, &read->packet, 0,
                                   &read->overlapped, OnRead));
    EXPECT_EQ(Pkio_GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    return;
  }
  if (read->repost) {
    EXPECT_FALSE(Pkio_PacketReadEx(read->adapter, &read->packet, 0,
                                   &read->overlapped, OnRead));
    EXPECT_EQ(Pkio_GetLastError(), DWORD(ERROR_IO_PENDING));
  }
}

class SimulatedCaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_log = &log_;
    DeclareSimulatedAdapter("Plant",
                            "switch 02.C4.7D.00.00.01 ports=4 cycle=20 cpu=0\n"
                            "switch 02.C4.7D.00.00.02 type=2 ports=9 cycle=20");
  }
  void TearDown() override {
    if (handle_ != PKIO_INVALID_HANDLE) Pkio_CloseAdapter(handle_);
    g_log = nullptr;
  }

  void OpenAndPost(int reads, bool repost = true) {
    handle_ = Pkio_OpenAdapterA("\\Device\\Simulated\\Plant");
    ASSERT_NE(handle_, PKIO_INVALID_HANDLE) << Pkio_GetLastErrorMessageA();
    ASSERT_TRUE(
        Pkio_SetBPFProgram(handle_, kVeltoProgram, sizeof kVeltoProgram));
    reads_.resize(reads);
    for (Read& r : reads_) {
      r.adapter = handle_;
      r.repost = repost;
      r.packet.BufferCapacity = PKIO_MAX_FRAME_SIZE;
      r.overlapped.Pointer = &r;
      ASSERT_FALSE(
          Pkio_PacketReadEx(handle_, &r.packet, 0, &r.overlapped, OnRead));
      ASSERT_EQ(Pkio_GetLastError(), DWORD(ERROR_IO_PENDING));
    }
    ASSERT_EQ(SetFilter(handle_, 0x0C), NDIS_STATUS_SUCCESS);
  }

  Log log_;
  PKIO_HANDLE handle_ = PKIO_INVALID_HANDLE;
  std::vector<Read> reads_;
};

TEST_F(SimulatedCaptureTest, FramesCompleteInOrderOnThePostingThread) {
  OpenAndPost(8);
  ASSERT_TRUE(PumpUntil([&] { return log_.frames.size() >= 60; }));
  EXPECT_EQ(log_.threads, std::set<DWORD>{GetCurrentThreadId()});
  for (size_t i = 0; i < log_.frames.size(); ++i) {
    const auto& f = log_.frames[i];
    ASSERT_GE(f.size(), 192u);
    EXPECT_EQ(f[12], 0x88);
    EXPECT_EQ(f[13], 0x74);
    EXPECT_EQ(f[6], 0x02);
    if (i > 0) {
      EXPECT_EQ(log_.sequences[i], log_.sequences[i - 1] + 1);
    }
  }
  EXPECT_EQ(log_.sequences[0], 1u);
  // Both switches are heard.
  std::set<uint8_t> sources;
  for (const auto& f : log_.frames) sources.insert(f[11]);
  EXPECT_EQ(sources, (std::set<uint8_t>{1, 2}));

  PKIO_NDIS_REQUEST r{PKIO_NDIS_QUERY, OID_GEN_RCV_OK, nullptr, 0, 0, 0};
  DWORD received = 0;
  r.InformationBuffer = &received;
  r.InformationBufferLength = 4;
  ASSERT_EQ(Pkio_MakePrivateRequest(handle_, &r, nullptr, TRUE),
            NDIS_STATUS_SUCCESS);
  EXPECT_GE(received, log_.frames.size());
}

TEST_F(SimulatedCaptureTest, FilterProgramDecidesWhatIsDelivered) {
  // Only the second switch (last address byte 2).
  const bpf_insn program[] = {{0x30, 0, 0, 11},  // ldb [11]
                              {0x15, 0, 1, 2},
                              {0x06, 0, 0, 0xFFFFFFFF},
                              {0x06, 0, 0, 0}};
  OpenAndPost(4);
  ASSERT_TRUE(Pkio_SetBPFProgram(handle_, program, sizeof program));
  size_t before = 0;
  ASSERT_TRUE(PumpUntil([&] {
    before = log_.frames.size();
    return before > 0;
  }));
  // Frames queued before the program changed may still come; after 30 more
  // every frame is from switch 2.
  ASSERT_TRUE(PumpUntil([&] { return log_.frames.size() >= before + 40; }));
  for (size_t i = log_.frames.size() - 30; i < log_.frames.size(); ++i) {
    EXPECT_EQ(log_.frames[i][11], 2);
  }
  // A truncating program cuts the delivered bytes.
  const bpf_insn cut[] = {{0x06, 0, 0, 100}};
  ASSERT_TRUE(Pkio_SetBPFProgram(handle_, cut, sizeof cut));
  size_t now = log_.frames.size();
  ASSERT_TRUE(PumpUntil([&] { return log_.frames.size() >= now + 40; }));
  EXPECT_EQ(log_.frames.back().size(), 100u);

  const BYTE odd[5] = {};
  EXPECT_FALSE(Pkio_SetBPFProgram(handle_, odd, sizeof odd));
  EXPECT_EQ(Pkio_GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  const bpf_insn no_return[] = {{0x28, 0, 0, 12}};
  EXPECT_FALSE(Pkio_SetBPFProgram(handle_, no_return, sizeof no_return));
}

TEST_F(SimulatedCaptureTest,
       CancelCompletesWithAbortedAndCloseRunsNothingMore) {
  OpenAndPost(6, /*repost=*/false);
  ASSERT_TRUE(SetFilter(handle_, 0) == NDIS_STATUS_SUCCESS);  // hear nothing
  ASSERT_TRUE(Pkio_CancelPacketRead(handle_, &reads_[2].overlapped));
  EXPECT_EQ(reads_[2].packet.Status, DWORD(ERROR_OPERATION_ABORTED));
  SleepEx(0, TRUE);
  ASSERT_EQ(log_.errors, std::vector<DWORD>{ERROR_OPERATION_ABORTED});
  EXPECT_FALSE(Pkio_CancelPacketRead(handle_, &reads_[2].overlapped));

  // The other five are cancelled and their completions queued to this
  // thread, but the adapter closes before this thread waits alertably.
  ASSERT_TRUE(Pkio_CancelPacketRead(handle_, nullptr));
  ASSERT_TRUE(Pkio_CloseAdapter(handle_));
  EXPECT_FALSE(Pkio_CloseAdapter(handle_));
  EXPECT_EQ(Pkio_GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  handle_ = PKIO_INVALID_HANDLE;
  SleepEx(0, TRUE);
  HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EXPECT_EQ(WaitForSingleObjectEx(never, 50, TRUE), WAIT_TIMEOUT);
  CloseHandle(never);
  EXPECT_EQ(log_.errors.size(), 1u);
}

TEST_F(SimulatedCaptureTest, AdapterClosedFromItsOwnCompletionRoutine) {
  OpenAndPost(8);
  log_.close_from_routine = handle_;
  ASSERT_TRUE(PumpUntil(
      [&] { return log_.close_from_routine == PKIO_INVALID_HANDLE; }));
  size_t seen = log_.frames.size();
  handle_ = PKIO_INVALID_HANDLE;
  HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  for (int i = 0; i < 5; ++i) WaitForSingleObjectEx(never, 20, TRUE);
  CloseHandle(never);
  EXPECT_EQ(log_.frames.size(), seen);
}

TEST_F(SimulatedCaptureTest, ReadsPostedFromAnotherThreadCompleteThere) {
  handle_ = Pkio_OpenAdapterA("\\Device\\Simulated\\Plant");
  ASSERT_NE(handle_, PKIO_INVALID_HANDLE);
  ASSERT_EQ(SetFilter(handle_, 0x0C), NDIS_STATUS_SUCCESS);
  struct Worker {
    PKIO_HANDLE handle;
    Read reads[4];
    Log log;
    DWORD id = 0;
  } worker;
  worker.handle = handle_;
  // g_log is per test; the worker counts into its own log.
  auto body = [](void* arg) -> DWORD {
    auto* w = static_cast<Worker*>(arg);
    w->id = GetCurrentThreadId();
    g_log = &w->log;
    for (Read& r : w->reads) {
      r.adapter = w->handle;
      r.repost = true;
      r.packet.BufferCapacity = 64;  // a short buffer truncates
      r.overlapped.Pointer = &r;
      Pkio_PacketReadEx(w->handle, &r.packet, 0, &r.overlapped, OnRead);
    }
    PumpUntil([w] { return w->log.frames.size() >= 20; });
    Pkio_CancelPacketRead(w->handle, nullptr);
    SleepEx(0, TRUE);
    return 0;
  };
  HANDLE thread = CreateThread(nullptr, 0, body, &worker, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  ASSERT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  CloseHandle(thread);
  g_log = &log_;
  EXPECT_EQ(worker.log.threads, std::set<DWORD>{worker.id});
  ASSERT_GE(worker.log.frames.size(), 20u);
  for (const auto& f : worker.log.frames) EXPECT_EQ(f.size(), 64u);
  EXPECT_TRUE(log_.frames.empty());
}

// Each posting thread keeps what its own completions saw.
struct BurstLog {
  std::vector<DWORD> sequences;
  std::set<DWORD> threads;
  std::atomic<size_t> count{0};  // read by the other thread
};
thread_local BurstLog* t_burst_log = nullptr;

void OnBurstRead(DWORD error, DWORD, OVERLAPPED* overlapped) {
  if (error != 0) return;
  Read* read = static_cast<Read*>(overlapped->Pointer);
  t_burst_log->threads.insert(GetCurrentThreadId());
  t_burst_log->sequences.push_back(read->packet.Header.SequenceNumber);
  ++t_burst_log->count;
  Pkio_PacketReadEx(read->adapter, &read->packet, 0, &read->overlapped,
                    OnBurstRead);
}

uint32_t PrivateCounter(PKIO_HANDLE h, NDIS_OID oid) {
  DWORD value = 0;
  PKIO_NDIS_REQUEST r{PKIO_NDIS_QUERY, oid, &value, 4, 0, 0};
  EXPECT_EQ(Pkio_MakePrivateRequest(h, &r, nullptr, TRUE), NDIS_STATUS_SUCCESS);
  return value;
}

struct Poster {
  PKIO_HANDLE handle = PKIO_INVALID_HANDLE;
  Read reads[2];
  BurstLog log;
  DWORD id = 0;
  std::atomic<bool> stop{false};
};

// Posts the thread's two reads and runs completions until done().
void PostAndPump(Poster* p, const std::function<bool()>& done) {
  p->id = GetCurrentThreadId();
  t_burst_log = &p->log;
  for (Read& r : p->reads) {
    r.adapter = p->handle;
    r.packet.BufferCapacity = PKIO_MAX_FRAME_SIZE;
    r.overlapped.Pointer = &r;
    Pkio_PacketReadEx(p->handle, &r.packet, 0, &r.overlapped, OnBurstRead);
  }
  PumpUntil(done);
}

// Frames arrive in bursts far larger than the two reads each thread keeps
// posted: the receive thread must hand over what it filled before waiting for
// the reads the completion routines post again, or it stalls and drops.
TEST(PkioBurstTest, TwoPostingThreadsKeepUpWithBurstsAndCountTruthfully) {
  DeclareSimulatedAdapter("Busy",
                          "switch 02.C4.7D.00.00.01 ports=24 cycle=10 cpu=0\n"
                          "switch 02.C4.7D.00.00.02 ports=24 cycle=10 cpu=0\n"
                          "switch 02.C4.7D.00.00.03 ports=24 cycle=10 cpu=0\n"
                          "switch 02.C4.7D.00.00.04 ports=24 cycle=10 cpu=0");
  // Other tests enumerate the declared adapters exactly.
  struct Undeclare {
    ~Undeclare() {
      RegDeleteTreeA(HKEY_LOCAL_MACHINE,
                     "SOFTWARE\\Kavex OPC\\Pkiolib\\Simulated\\Busy");
    }
  } undeclare;
  PKIO_HANDLE handle = Pkio_OpenAdapterA("\\Device\\Simulated\\Busy");
  ASSERT_NE(handle, PKIO_INVALID_HANDLE) << Pkio_GetLastErrorMessageA();
  Poster mine, other;
  mine.handle = other.handle = handle;
  HANDLE thread = CreateThread(
      nullptr, 0,
      [](void* arg) -> DWORD {
        auto* p = static_cast<Poster*>(arg);
        PostAndPump(p, [p] { return p->stop.load(); });
        Pkio_CancelPacketRead(p->handle, nullptr);
        SleepEx(0, TRUE);
        return 0;
      },
      &other, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  ASSERT_EQ(SetFilter(handle, 0x0C), NDIS_STATUS_SUCCESS);
  // About 10,000 frames/s: without the hand-over each burst would cost a
  // 100 ms stall and lose the frames behind it.
  PostAndPump(&mine, [&] { return mine.log.count + other.log.count >= 4000; });
  ASSERT_EQ(SetFilter(handle, 0), NDIS_STATUS_SUCCESS);  // hear nothing more
  SleepEx(0, TRUE);
  other.stop = true;
  ASSERT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  CloseHandle(thread);
  Pkio_CancelPacketRead(handle, nullptr);
  SleepEx(0, TRUE);
  t_burst_log = nullptr;

  EXPECT_EQ(mine.log.threads, std::set<DWORD>{mine.id});
  EXPECT_EQ(other.log.threads, std::set<DWORD>{other.id});
  ASSERT_GE(mine.log.sequences.size() + other.log.sequences.size(), 4000u);
  EXPECT_FALSE(other.log.sequences.empty());
  // Each thread's completions run in delivery order; no frame twice.
  std::set<DWORD> all;
  for (const BurstLog* log : {&mine.log, &other.log}) {
    EXPECT_TRUE(std::adjacent_find(log->sequences.begin(), log->sequences.end(),
                                   std::greater_equal<DWORD>()) ==
                log->sequences.end());
    all.insert(log->sequences.begin(), log->sequences.end());
  }
  EXPECT_EQ(all.size(), mine.log.sequences.size() + other.log.sequences.size());
  // Every number up to the highest went to a completion or to a counted
  // drop.
  const uint32_t received = PrivateCounter(handle, OID_GEN_RCV_OK);
  const uint32_t dropped = PrivateCounter(handle, OID_PKIO_RCV_MISSED_USER);
  EXPECT_EQ(received, all.size());
  EXPECT_GE(received + dropped, *all.rbegin());
  EXPECT_TRUE(Pkio_CloseAdapter(handle));
}

// Routines re-post without a handle table look-up; closing the adapter from
// another thread meanwhile must still wait for the running routine, and
// nothing completes once the close returned.
TEST(PkioBurstTest, CloseFromAnotherThreadWhileRoutinesRepost) {
  DeclareSimulatedAdapter("Busy",
                          "switch 02.C4.7D.00.00.01 ports=24 cycle=10 cpu=0\n"
                          "switch 02.C4.7D.00.00.02 ports=24 cycle=10 cpu=0");
  struct Undeclare {
    ~Undeclare() {
      RegDeleteTreeA(HKEY_LOCAL_MACHINE,
                     "SOFTWARE\\Kavex OPC\\Pkiolib\\Simulated\\Busy");
    }
  } undeclare;
  PKIO_HANDLE handle = Pkio_OpenAdapterA("\\Device\\Simulated\\Busy");
  ASSERT_NE(handle, PKIO_INVALID_HANDLE) << Pkio_GetLastErrorMessageA();
  ASSERT_EQ(SetFilter(handle, 0x0C), NDIS_STATUS_SUCCESS);
  Poster other;
  other.handle = handle;
  HANDLE thread = CreateThread(
      nullptr, 0,
      [](void* arg) -> DWORD {
        auto* p = static_cast<Poster*>(arg);
        PostAndPump(p, [p] { return p->stop.load(); });
        t_burst_log = nullptr;
        return 0;
      },
      &other, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  for (int i = 0; i < 10000 && other.log.count < 200; ++i) Sleep(1);
  ASSERT_GE(other.log.count, 200u);
  ASSERT_TRUE(Pkio_CloseAdapter(handle));
  const size_t at_close = other.log.count;
  for (int i = 0; i < 5; ++i) Sleep(10);  // frames would keep coming
  EXPECT_EQ(other.log.count, at_close);
  other.stop = true;
  ASSERT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  CloseHandle(thread);
  EXPECT_EQ(other.log.threads, std::set<DWORD>{other.id});
  EXPECT_FALSE(Pkio_PacketReadEx(handle, &other.reads[0].packet, 0,
                                 &other.reads[0].overlapped, OnBurstRead));
  EXPECT_EQ(Pkio_GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

TEST(PkioRequestTest, AnswersTheAdapterQueries) {
  DeclareSimulatedAdapter("Quiet", "switch 02.C4.7D.00.00.01 ports=2");
  PKIO_HANDLE h = Pkio_OpenAdapterA("\\Device\\Simulated\\Quiet");
  ASSERT_NE(h, PKIO_INVALID_HANDLE);
  // Description: size first, then the text.
  PKIO_NDIS_REQUEST r{
      PKIO_NDIS_QUERY, OID_GEN_VENDOR_DESCRIPTION, nullptr, 0, 0, 0};
  ASSERT_EQ(Pkio_MakeNdisRequest(h, &r, nullptr, TRUE),
            NDIS_STATUS_BUFFER_TOO_SHORT);
  std::vector<char> text(r.BytesNeeded);
  r.InformationBuffer = text.data();
  r.InformationBufferLength = r.BytesNeeded;
  ASSERT_EQ(Pkio_MakeNdisRequest(h, &r, nullptr, TRUE), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(r.BytesTransferred, text.size());
  EXPECT_STREQ(text.data(), "Kavex simulated Velto LAN \"Quiet\"");

  auto query32 = [h](NDIS_OID oid, DWORD* value) {
    PKIO_NDIS_REQUEST q{PKIO_NDIS_QUERY, oid, value, 4, 0, 0};
    return Pkio_MakeNdisRequest(h, &q, nullptr, TRUE);
  };
  DWORD value = 0xFFFFFFFF;
  EXPECT_EQ(query32(OID_GEN_MEDIA_IN_USE, &value), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(value, 0u);
  EXPECT_EQ(query32(OID_GEN_MAXIMUM_TOTAL_SIZE, &value), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(value, 1514u);
  EXPECT_EQ(query32(OID_GEN_MEDIA_CONNECT_STATUS, &value), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(value, 0u);  // connected
  EXPECT_EQ(query32(0x00010199, &value), NDIS_STATUS_INVALID_OID);

  BYTE mac[6] = {};
  PKIO_NDIS_REQUEST a{PKIO_NDIS_QUERY, OID_802_3_CURRENT_ADDRESS, mac, 5, 0, 0};
  EXPECT_EQ(Pkio_MakeNdisRequest(h, &a, nullptr, TRUE),
            NDIS_STATUS_INVALID_LENGTH);
  EXPECT_EQ(a.BytesNeeded, 6u);
  a.InformationBufferLength = 6;
  EXPECT_EQ(Pkio_MakeNdisRequest(h, &a, nullptr, TRUE), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(mac[5], 0x42);

  EXPECT_EQ(SetFilter(h, 0x21), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(query32(OID_GEN_CURRENT_PACKET_FILTER, &value),
            NDIS_STATUS_SUCCESS);
  EXPECT_EQ(value, 0x21u);
  EXPECT_EQ(SetFilter(h, 0x1000), NDIS_STATUS_NOT_SUPPORTED);  // functional
  EXPECT_EQ(query32(OID_GEN_CURRENT_PACKET_FILTER, &value),
            NDIS_STATUS_SUCCESS);
  EXPECT_EQ(value, 0x21u);
  DWORD filter = 1;
  PKIO_NDIS_REQUEST s{
      PKIO_NDIS_SET, OID_GEN_CURRENT_PACKET_FILTER, &filter, 2, 0, 0};
  EXPECT_EQ(Pkio_MakeNdisRequest(h, &s, nullptr, TRUE),
            NDIS_STATUS_INVALID_LENGTH);

  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  OVERLAPPED ov{};
  ov.hEvent = event;
  PKIO_NDIS_REQUEST m{PKIO_NDIS_QUERY, OID_GEN_MEDIA_IN_USE, &value, 4, 0, 0};
  EXPECT_EQ(Pkio_MakeNdisRequest(h, &m, &ov, TRUE), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  CloseHandle(event);

  PKIO_TIMESTAMP_INFO info{};
  EXPECT_TRUE(Pkio_SetTimestampResolution(h, 1));
  ASSERT_TRUE(Pkio_GetTimestampInformation(h, &info));
  ULONGLONG frequency;
  memcpy(&frequency, reinterpret_cast<BYTE*>(&info) + 10, 8);
  EXPECT_EQ(frequency, 10000000u);
  EXPECT_TRUE(Pkio_CloseAdapter(h));
  EXPECT_EQ(Pkio_MakeNdisRequest(h, &m, nullptr, TRUE),
            NDIS_STATUS_ADAPTER_REMOVED);
}

TEST(PkioEnumerationTest, ListsSimulatedAdaptersWithTheSizeProtocol) {
  DeclareSimulatedAdapter("Alpha", "switch 02.C4.7D.00.00.01", "Hall A LAN");
  DeclareSimulatedAdapter("Beta", "switch 02.C4.7D.00.00.02");
  DeclareSimulatedAdapter("Gamma", "switch 02.C4.7D.00.00.03", "Hall A LAN");
  PKIO_HANDLE e = Pkio_OpenAdapterEnum();
  ASSERT_NE(e, PKIO_INVALID_HANDLE);
  std::vector<std::pair<std::string, std::string>> names;
  for (PKIO_HANDLE entry = Pkio_GetFirstAdapter(e);
       entry != PKIO_INVALID_HANDLE; entry = Pkio_GetNextAdapter(e)) {
    DWORD size = 0;
    EXPECT_EQ(Pkio_GetAdapterNdisNameA(entry, nullptr, &size),
              DWORD(ERROR_INSUFFICIENT_BUFFER));
    std::string ndis(size, '\0');
    DWORD small = size - 1;
    EXPECT_EQ(Pkio_GetAdapterNdisNameA(entry, ndis.data(), &small),
              DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(Pkio_GetAdapterNdisNameA(entry, ndis.data(), &size), 0u);
    EXPECT_EQ(size, ndis.size());
    ndis.pop_back();
    size = 0;
    Pkio_GetAdapterFriendlyNameA(entry, nullptr, &size);
    std::string friendly(size, '\0');
    EXPECT_EQ(Pkio_GetAdapterFriendlyNameA(entry, friendly.data(), &size), 0u);
    friendly.pop_back();
    names.emplace_back(ndis, friendly);
    EXPECT_TRUE(Pkio_ReleaseAdapterEntry(entry));
    EXPECT_EQ(Pkio_GetAdapterNdisNameA(entry, ndis.data(), &size),
              DWORD(ERROR_INVALID_HANDLE));
  }
  EXPECT_TRUE(Pkio_CloseAdapterEnum(e));
  ASSERT_GE(names.size(), 2u);
  // Simulated adapters come last, in name order, after the interfaces.
  auto alpha =
      std::find(names.begin(), names.end(),
                std::make_pair(std::string("\\Device\\Simulated\\Alpha"),
                               std::string("Hall A LAN")));
  ASSERT_NE(alpha, names.end());
  ASSERT_NE(alpha + 1, names.end());
  EXPECT_EQ((alpha + 1)->first, "\\Device\\Simulated\\Beta");
  EXPECT_EQ((alpha + 1)->second, "Beta (simulated Velto LAN)");
  ASSERT_NE(alpha + 2, names.end());
  EXPECT_EQ((alpha + 2)->second, "Hall A LAN [\\Device\\Simulated\\Gamma]");
  for (auto it = names.begin(); it != alpha; ++it) {
    EXPECT_EQ(it->first.rfind("\\Device\\", 0), 0u);
    EXPECT_EQ(it->first.find('\\', 8), std::string::npos) << it->first;
  }

  // The binding list names the same adapters.
  PKIO_HANDLE driver = Pkio_OpenProtocolDriver();
  ASSERT_NE(driver, PKIO_INVALID_HANDLE);
  std::vector<BYTE> buffer(8192);
  PKIO_NDIS_REQUEST r{
      PKIO_NDIS_QUERY, OID_PKIO_BINDING_LIST, buffer.data(), 8192, 0, 0};
  ASSERT_EQ(Pkio_MakePrivateRequest(driver, &r, nullptr, TRUE),
            NDIS_STATUS_SUCCESS);
  std::vector<std::pair<DWORD, std::string>> bindings;
  for (size_t at = 0;; at += sizeof(PKIO_BINDING_RECORD)) {
    PKIO_BINDING_RECORD record;
    memcpy(&record, &buffer[at], sizeof record);
    if (record.Flags == 0) break;
    bindings.emplace_back(record.Flags,
                          reinterpret_cast<char*>(&buffer[record.NameOffset]));
  }
  ASSERT_EQ(bindings.size(), names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(bindings[i].second, names[i].first);
    EXPECT_EQ(bindings[i].first,
              names[i].first.find("Simulated") != std::string::npos
                  ? PKIO_BINDING_USER
                  : PKIO_BINDING_SYSTEM);
  }
  EXPECT_EQ(SetFilter(driver, 1), NDIS_STATUS_NOT_SUPPORTED);
  EXPECT_TRUE(Pkio_CloseAdapter(driver));
  EXPECT_EQ(Pkio_GetFirstAdapter(e), PKIO_INVALID_HANDLE);  // closed
}

TEST(PkioOpenTest, FailuresGiveAnErrorNumberAndAReason) {
  testing::UsePrivateRegistry();
  struct Case {
    const char* name;
    DWORD error;
  } cases[] = {
      {"\\Device\\nosuchif0", ERROR_FILE_NOT_FOUND},
      {"eth0", ERROR_FILE_NOT_FOUND},
      {"\\Device\\Simulated\\Nobody", ERROR_FILE_NOT_FOUND},
      {"", ERROR_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Pkio_OpenAdapterA(c.name), PKIO_INVALID_HANDLE) << c.name;
    EXPECT_EQ(Pkio_GetLastError(), c.error) << c.name;
    EXPECT_GT(strlen(Pkio_GetLastErrorMessageA()), 10u) << c.name;
  }
  DeclareSimulatedAdapter("Broken", "switch 02.C4.7D.00.00.01 ports=99");
  EXPECT_EQ(Pkio_OpenAdapterA("\\Device\\Simulated\\Broken"),
            PKIO_INVALID_HANDLE);
  EXPECT_EQ(Pkio_GetLastError(), DWORD(ERROR_INVALID_DATA));
  EXPECT_NE(std::string(Pkio_GetLastErrorMessageA()).find("line 1"),
            std::string::npos);
  // The enumeration test lists the declared adapters exactly.
  RegDeleteTreeA(HKEY_LOCAL_MACHINE,
                 "SOFTWARE\\Kavex OPC\\Pkiolib\\Simulated\\Broken");
  EXPECT_EQ(Pkio_OpenAdapterA(nullptr), PKIO_INVALID_HANDLE);

  PKIO_PACKET packet{};
  packet.BufferCapacity = 1514;
  OVERLAPPED ov{};
  EXPECT_FALSE(Pkio_PacketReadEx(12345, &packet, 0, &ov,
                                 [](DWORD, DWORD, OVERLAPPED*) {}));
  EXPECT_EQ(Pkio_GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(Pkio_IsWindows95());
  EXPECT_TRUE(Pkio_IsWindowsNT());
  PKIO_OS_VERSION version{};
  ASSERT_TRUE(Pkio_GetOsVersionA(&version));
  EXPECT_NE(std::string(Pkio_GetPlatformNameA(&version)).find("Linux"),
            std::string::npos);
}

TEST(PkioOpenTest, RealInterfaceWithoutCapNetRawIsAccessDenied) {
  // The loopback interface exists everywhere; a child without CAP_NET_RAW
  // must be refused, not hang or crash.
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capget, &header, data) != 0) _exit(3);
    const uint32_t bit = 1u << (CAP_NET_RAW % 32);
    data[CAP_NET_RAW / 32].effective &= ~bit;
    data[CAP_NET_RAW / 32].permitted &= ~bit;
    if (syscall(SYS_capset, &header, data) != 0) _exit(3);
    PKIO_HANDLE h = Pkio_OpenAdapterA("\\Device\\lo");
    _exit(h == PKIO_INVALID_HANDLE && Pkio_GetLastError() == ERROR_ACCESS_DENIED
              ? 0
              : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace kavex::pkio
