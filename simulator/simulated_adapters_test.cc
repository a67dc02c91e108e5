// The driver library end to end on simulated adapters, its module loaded as
// the registry declares it: enumeration, requests, reads completing on the
// posting thread, cancel and close, multi-packet reads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "platform/log/logger.h"
#include "platform/pkio/pkiolib.h"
#include "platform/pkio/testing/testing_support.h"
#include "platform/sync/clock.h"
#include "platform/sync/thread.h"
#include "simulator/generator.h"
#include "simulator/scenario.h"
#include "simulator/testing/simulated_lan.h"

namespace kavex::simulator {
namespace {

using pkio::testing::PumpUntil;
using testing::UndeclareSimulatedAdapter;

void DeclareSimulatedAdapter(const std::string& name,
                             const std::string& scenario,
                             const std::string& description = "") {
  testing::DeclareSimulatedAdapter(KAVEX_SIMULATED_ADAPTERS_MODULE, name,
                                   scenario, description);
}

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
  // Frames taken before the program changed may still be queued, however
  // many a slow machine let pile up; once a frame of switch 2 arrives, every
  // later one is from switch 2.
  ASSERT_TRUE(PumpUntil([&] {
    return !log_.frames.empty() && log_.frames.back()[11] == 2;
  }));
  size_t first = log_.frames.size() - 1;
  ASSERT_TRUE(PumpUntil([&] { return log_.frames.size() >= first + 30; }));
  for (size_t i = first; i < log_.frames.size(); ++i) {
    EXPECT_EQ(log_.frames[i][11], 2);
  }
  // A truncating program cuts the delivered bytes, from the first cut frame
  // on.
  const bpf_insn cut[] = {{0x06, 0, 0, 100}};
  ASSERT_TRUE(Pkio_SetBPFProgram(handle_, cut, sizeof cut));
  ASSERT_TRUE(PumpUntil([&] { return log_.frames.back().size() == 100u; }));
  first = log_.frames.size() - 1;
  ASSERT_TRUE(PumpUntil([&] { return log_.frames.size() >= first + 30; }));
  for (size_t i = first; i < log_.frames.size(); ++i) {
    EXPECT_EQ(log_.frames[i].size(), 100u);
  }

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
  pkio::testing::JoinTestThread(thread);
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
  pkio::testing::JoinTestThread(thread);
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
  pkio::testing::JoinTestThread(thread);
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

TEST(PkioOpenTest, FailuresGiveAnErrorNumberAndAReasonLoggedOnce) {
  log::Recorder recorder;
  // Warnings and errors: loading the module says what it serves, in debug.
  log::ScopedSink sink(recorder.sink(log::Level::kWarning));
  DeclareSimulatedAdapter("Broken", "switch 02.C4.7D.00.00.01 ports=99");
  struct Case {
    const char* name;
    DWORD error;
    const char* reason;
  } cases[] = {
      {"\\Device\\nosuchif0", ERROR_FILE_NOT_FOUND, "no network interface"},
      {"eth0", ERROR_FILE_NOT_FOUND, "not an adapter name"},
      {"\\Device\\Simulated\\Nobody", ERROR_FILE_NOT_FOUND,
       "no simulated adapter"},
      {"\\Device\\Simulated\\Broken", ERROR_INVALID_DATA, "line 1"},
      {"", ERROR_INVALID_PARAMETER, "no adapter name"},
  };
  for (const Case& c : cases) {
    recorder.Clear();
    EXPECT_EQ(Pkio_OpenAdapterA(c.name), PKIO_INVALID_HANDLE) << c.name;
    EXPECT_EQ(Pkio_GetLastError(), c.error) << c.name;
    EXPECT_NE(std::string(Pkio_GetLastErrorMessageA()).find(c.reason),
              std::string::npos)
        << c.name << ": " << Pkio_GetLastErrorMessageA();
    // Once, with the name that was refused and why.
    const auto lines = recorder.lines();
    ASSERT_EQ(lines.size(), 1u) << c.name;
    EXPECT_EQ(lines[0].category, "pkio");
    EXPECT_NE(lines[0].message.find(c.name), std::string::npos)
        << lines[0].message;
    EXPECT_NE(lines[0].message.find(c.reason), std::string::npos)
        << lines[0].message;
  }
  UndeclareSimulatedAdapter("Broken");
  EXPECT_EQ(Pkio_OpenAdapterA(nullptr), PKIO_INVALID_HANDLE);

  // A station address that does not parse is reported once, however often
  // the declaration is read, and the adapter still opens.
  DeclareSimulatedAdapter("Odd", "switch 02.C4.7D.00.00.01 ports=2");
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                          "SOFTWARE\\Kavex OPC\\Pkiolib\\Simulated\\Odd", 0,
                          KEY_ALL_ACCESS, &key),
            ERROR_SUCCESS);
  const char odd[] = "02.00.00.00.00";
  ASSERT_EQ(RegSetValueExA(key, "Address", 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(odd), sizeof odd),
            ERROR_SUCCESS);
  RegCloseKey(key);
  recorder.Clear();
  for (int i = 0; i < 3; ++i) {
    PKIO_HANDLE e = Pkio_OpenAdapterEnum();
    Pkio_CloseAdapterEnum(e);
  }
  PKIO_HANDLE h = Pkio_OpenAdapterA("\\Device\\Simulated\\Odd");
  EXPECT_NE(h, PKIO_INVALID_HANDLE);
  Pkio_CloseAdapter(h);
  EXPECT_EQ(recorder.Count("\"02.00.00.00.00\""), 1u);
  UndeclareSimulatedAdapter("Odd");

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

// --- Multi-packet reads ------------------------------------------------------

// Buffers placed one after another at odd addresses, as an array of packed
// buffers would place them: the library must read their fields by value.
class PackedBuffers {
 public:
  PackedBuffers(int count, DWORD size) : size_(size) {
    memory_.resize(1 + count * Stride());
    overlapped_.resize(count);
    for (int i = 0; i < count; ++i) {
      MPR_PACKET_BUFFER* b = at(i);
      b->BufferSize = size;
      overlapped_[i].Pointer = b;
    }
  }
  MPR_PACKET_BUFFER* at(int i) {
    return reinterpret_cast<MPR_PACKET_BUFFER*>(memory_.data() + 1 +
                                                i * Stride());
  }
  OVERLAPPED* overlapped(int i) { return &overlapped_[i]; }
  int count() const { return static_cast<int>(overlapped_.size()); }

 private:
  size_t Stride() const {
    return offsetof(MPR_PACKET_BUFFER, Data) + size_ + 3;  // odd on purpose
  }
  const DWORD size_;
  std::vector<BYTE> memory_;
  std::vector<OVERLAPPED> overlapped_;
};

struct MultiLog {
  PKIO_HANDLE handle = PKIO_INVALID_HANDLE;
  std::vector<std::vector<uint8_t>> frames;
  std::vector<DWORD> sequences;
  std::vector<DWORD> counts;  // records per completed buffer
  std::vector<DWORD> errors;
  bool repost = true;
};
MultiLog* g_multi = nullptr;

void OnBuffer(DWORD error, DWORD bytes, OVERLAPPED* overlapped) {
  MultiLog& log = *g_multi;
  log.errors.push_back(error);
  auto* buffer = static_cast<MPR_PACKET_BUFFER*>(overlapped->Pointer);
  const DWORD count = buffer->PacketCount;
  const DWORD used = buffer->BytesUsed;
  const DWORD size = buffer->BufferSize;
  if (error != 0) {
    EXPECT_EQ(count, 0u);
    return;
  }
  EXPECT_EQ(bytes, used);
  EXPECT_LE(used, size);
  log.counts.push_back(count);
  const BYTE* record =
      reinterpret_cast<const BYTE*>(buffer) + offsetof(MPR_PACKET_BUFFER, Data);
  const BYTE* end = record + used;
  for (DWORD i = 0; i < count; ++i) {
    PKIO_PACKET_HEADER header;
    memcpy(&header, record, sizeof header);
    EXPECT_EQ(header.FrameLength, header.BytesDelivered);
    EXPECT_LE(record + MPR_RECORD_FRAME_OFFSET + header.BytesDelivered, end);
    log.sequences.push_back(header.SequenceNumber);
    log.frames.emplace_back(
        record + MPR_RECORD_FRAME_OFFSET,
        record + MPR_RECORD_FRAME_OFFSET + header.BytesDelivered);
    record += MprRecordStride(header.BytesDelivered);
  }
  if (log.repost) {
    EXPECT_FALSE(
        MPR_ReadPacketBufferEx(log.handle, buffer, overlapped, OnBuffer));
    EXPECT_EQ(Pkio_GetLastError(), DWORD(ERROR_IO_PENDING));
  }
}

// Multi-packet reads under a clock of the test's: frames fall due and
// buffers time out only when the test moves it.
class SimulatedMultiReadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_multi = &log_;
    sync::SetClockForTesting(&clock_);
  }
  void TearDown() override {
    if (log_.handle != PKIO_INVALID_HANDLE) MPR_CloseAdapter(log_.handle);
    sync::SetClockForTesting(nullptr);
    UndeclareSimulatedAdapter("Mpr");
    g_multi = nullptr;
  }

  void Open(const std::string& scenario, DWORD read_timeout_ms = 10) {
    DeclareSimulatedAdapter("Mpr", scenario);
    log_.handle = MPR_OpenAdapterA("\\Device\\Simulated\\Mpr");
    ASSERT_NE(log_.handle, PKIO_INVALID_HANDLE) << Pkio_GetLastErrorMessageA();
    ASSERT_TRUE(
        Pkio_SetBPFProgram(log_.handle, kVeltoProgram, sizeof kVeltoProgram));
    ASSERT_TRUE(MPR_SetReadTimeout(log_.handle, read_timeout_ms));
  }
  void Post(PackedBuffers* buffers) {
    for (int i = 0; i < buffers->count(); ++i) {
      ASSERT_FALSE(MPR_ReadPacketBufferEx(log_.handle, buffers->at(i),
                                          buffers->overlapped(i), OnBuffer));
      ASSERT_EQ(Pkio_GetLastError(), DWORD(ERROR_IO_PENDING));
    }
    ASSERT_EQ(SetFilter(log_.handle, 0x0C), NDIS_STATUS_SUCCESS);
  }
  // Moves the clock step_ms at a time (well inside the generator's ten
  // cycles of catching up) until done(). After each step it runs
  // completions until the adapter took at least one more frame: every
  // scenario here sends one every 10 ms or less.
  bool AdvanceUntil(const std::function<bool()>& done, uint32_t step_ms = 10) {
    for (int step = 0; step < 2000 && !done(); ++step) {
      const uint32_t taken = PrivateCounter(log_.handle, OID_GEN_RCV_OK);
      clock_.Advance(step_ms);
      if (!PumpUntil([&] {
            return PrivateCounter(log_.handle, OID_GEN_RCV_OK) > taken;
          })) {
        return false;
      }
    }
    PumpUntil(done);
    return done();
  }
  // Runs completions for a while without moving the clock.
  void PumpAWhile() { pkio::testing::PumpFor(std::chrono::milliseconds(50)); }

  sync::FakeClock clock_{5000};
  MultiLog log_;
};

TEST_F(SimulatedMultiReadTest, BuffersHoldConsecutiveIntactRecords) {
  const char kScenario[] =
      "switch 02.C4.7D.00.00.01 type=2 ports=9 cycle=90 cpu=0 info=3";
  // Buffers complete when full here, not by the time-out.
  Open(kScenario, /*read_timeout_ms=*/1000);
  PackedBuffers buffers(4, 4096);
  Post(&buffers);
  ASSERT_TRUE(AdvanceUntil([&] { return log_.frames.size() >= 150; }, 50))
      << log_.frames.size();
  // Many records per buffer, many buffers.
  EXPECT_GT(log_.counts.size(), 8u);
  EXPECT_GT(*std::max_element(log_.counts.begin(), log_.counts.end()), 5u);
  // In order, none lost or doubled, exactly as the generator makes them.
  Scenario scenario;
  std::string error;
  ASSERT_TRUE(ParseScenario(kScenario, &scenario, &error)) << error;
  // Frames due before the packet filter was set were not heard.
  Generator generator(scenario);
  const std::vector<uint8_t>* expected = generator.NextFrame();
  for (int skipped = 0; *expected != log_.frames[0] && skipped < 20;
       ++skipped) {
    expected = generator.NextFrame();
  }
  for (size_t i = 0; i < log_.frames.size(); ++i) {
    ASSERT_EQ(log_.frames[i], *expected) << "frame " << i;
    expected = generator.NextFrame();
    if (i > 0) {
      ASSERT_EQ(log_.sequences[i], log_.sequences[i - 1] + 1);
    }
  }
}

TEST_F(SimulatedMultiReadTest, PartlyFilledBufferCompletesAtTheReadTimeout) {
  // Two frames a second, the first one silenced: the second falls due at
  // 500 ms and fills a buffer partly.
  Open("switch 02.C4.7D.00.00.01 ports=2 cycle=1000 cpu=0 silent=0:400");
  PackedBuffers buffers(2, 65536);
  Post(&buffers);
  clock_.Advance(500);
  ASSERT_TRUE(pkio::testing::WaitUntil(
      [&] { return PrivateCounter(log_.handle, OID_GEN_RCV_OK) == 1; }));
  PumpAWhile();
  EXPECT_TRUE(log_.counts.empty()) << "completed before its time-out";
  clock_.Advance(9);
  PumpAWhile();
  EXPECT_TRUE(log_.counts.empty()) << "completed 1 ms early";
  clock_.Advance(1);
  ASSERT_TRUE(PumpUntil([&] { return !log_.counts.empty(); }));
  EXPECT_EQ(log_.counts, std::vector<DWORD>{1});
  ASSERT_EQ(log_.frames.size(), 1u);
  EXPECT_EQ(log_.frames[0][11], 0x01);
}

TEST_F(SimulatedMultiReadTest, AFrameThatDoesNotFitGoesWholeToTheNextBuffer) {
  Open("switch 02.C4.7D.00.00.01 ports=8 cycle=80 cpu=0 info=3");
  // Room for one record of a full Velto frame, not two.
  const DWORD size = MprRecordStride(300) + 100;
  PackedBuffers buffers(3, size);
  Post(&buffers);
  ASSERT_TRUE(AdvanceUntil([&] { return log_.frames.size() >= 12; }));
  for (DWORD count : log_.counts) EXPECT_EQ(count, 1u);
  for (const auto& frame : log_.frames) EXPECT_GT(frame.size(), 192u);
}

TEST_F(SimulatedMultiReadTest, CancelAndModeMismatch) {
  Open("switch 02.C4.7D.00.00.01 ports=2 cycle=1000 cpu=0");
  log_.repost = false;
  PackedBuffers buffers(2, 4096);
  Post(&buffers);
  ASSERT_EQ(SetFilter(log_.handle, 0), NDIS_STATUS_SUCCESS);  // hear nothing
  ASSERT_TRUE(Pkio_CancelPacketRead(log_.handle, buffers.overlapped(1)));
  ASSERT_TRUE(PumpUntil([&] { return log_.errors.size() == 1; }));
  EXPECT_EQ(log_.errors[0], DWORD(ERROR_OPERATION_ABORTED));
  EXPECT_EQ(buffers.at(1)->Status, DWORD(ERROR_OPERATION_ABORTED));

  // A multi-packet adapter takes no single reads, and the other way round.
  PKIO_PACKET packet{};
  packet.BufferCapacity = PKIO_MAX_FRAME_SIZE;
  OVERLAPPED ov{};
  EXPECT_FALSE(Pkio_PacketReadEx(log_.handle, &packet, 0, &ov, OnRead));
  EXPECT_EQ(Pkio_GetLastError(), DWORD(ERROR_INVALID_FUNCTION));
  PKIO_HANDLE single = Pkio_OpenAdapterA("\\Device\\Simulated\\Mpr");
  ASSERT_NE(single, PKIO_INVALID_HANDLE);
  EXPECT_FALSE(MPR_ReadPacketBufferEx(single, buffers.at(1),
                                      buffers.overlapped(1), OnBuffer));
  EXPECT_EQ(Pkio_GetLastError(), DWORD(ERROR_INVALID_FUNCTION));
  EXPECT_TRUE(Pkio_CloseAdapter(single));
  // Too small to hold any record.
  buffers.at(1)->BufferSize = 80;
  EXPECT_FALSE(MPR_ReadPacketBufferEx(log_.handle, buffers.at(1),
                                      buffers.overlapped(1), OnBuffer));
  EXPECT_EQ(Pkio_GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

}  // namespace
}  // namespace kavex::simulator
