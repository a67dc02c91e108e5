// Frames sent by velto-sim on one end of a veth pair, captured through the
// library on the other, all inside a network namespace made for the test.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/log/logger.h"
#include "platform/pkio/capture_pump.h"
#include "platform/pkio/pkiolib.h"
#include "platform/pkio/testing/testing_support.h"
#include "platform/sync/event.h"
#include "platform/sync/handle.h"
#include "platform/sync/wait.h"
#include "simulator/generator.h"
#include "simulator/scenario.h"
#include "tests/e2e/private_network.h"

namespace kavex::e2e {
namespace {

using pkio::testing::PumpUntil;
using pkio::testing::WaitUntil;

// Two ordinary switches and one of a foreign vendor: the device, not the
// driver, ignores the latter.
const char kScenario[] =
    "switch 02.C4.7D.00.00.01 type=2 ports=17 info=3 ip=10.0.0.1\n"
    "switch 02.C4.7D.00.00.02 type=3 ports=26 info=1 ring=1 ringflags=13\n"
    "switch 04.11.22.00.00.03 type=1 ports=4 info=0";

// The device's filter program.
const bpf_insn kVeltoProgram[] = {{0x28, 0, 0, 12},
                                  {0x15, 0, 1, 0x8874},
                                  {0x06, 0, 0, 0xFFFFFFFF},
                                  {0x06, 0, 0, 0}};

std::string VeltoSimCommand(const std::string& args) {
  std::string command = std::string(KAVEX_VELTO_SIM) + " -i kvx0 -q " + args +
                        " -e '" + std::string(kScenario) + "'";
  for (char& c : command) {
    if (c == '\n') c = ';';
  }
  return command;
}

// Sends with velto-sim while this thread keeps running completions, as a
// receive thread does.
void VeltoSim(const std::string& args) {
  const std::string command = VeltoSimCommand(args);
  std::atomic<int> rc{-1};
  std::atomic<bool> done{false};
  std::thread sender([&] {
    rc = system(command.c_str());
    done = true;
  });
  PumpUntil([&] { return done.load(); });
  sender.join();
  ASSERT_EQ(rc.load(), 0) << command;
}

NDIS_STATUS SetFilter(PKIO_HANDLE h, DWORD filter) {
  PKIO_NDIS_REQUEST r{
      PKIO_NDIS_SET, OID_GEN_CURRENT_PACKET_FILTER, &filter, 4, 0, 0};
  return Pkio_MakeNdisRequest(h, &r, nullptr, TRUE);
}

std::vector<uint8_t> OtherFrame(uint16_t ether_type) {
  std::vector<uint8_t> f(60, 0x5A);
  const uint8_t dest[6] = {0x03, 0xC4, 0x7D, 0x00, 0x00, 0x01};
  memcpy(f.data(), dest, 6);
  memset(f.data() + 6, 0x02, 6);
  f[12] = ether_type >> 8;
  f[13] = ether_type & 0xFF;
  return f;
}

// What the pump's sink saw, from its receive thread.
class Captured {
 public:
  void Add(const pkio::Frame& frame) {
    std::lock_guard<std::mutex> lock(mu_);
    frames_.emplace_back(frame.data, frame.data + frame.length);
    sequences_.push_back(frame.sequence);
  }
  size_t size() {
    std::lock_guard<std::mutex> lock(mu_);
    return frames_.size();
  }
  std::vector<std::vector<uint8_t>> frames() {
    std::lock_guard<std::mutex> lock(mu_);
    return frames_;
  }
  std::vector<DWORD> sequences() {
    std::lock_guard<std::mutex> lock(mu_);
    return sequences_;
  }

 private:
  std::mutex mu_;
  std::vector<std::vector<uint8_t>> frames_;
  std::vector<DWORD> sequences_;
};

// The device's capture on kvx1: its program, its first packet filter and
// 512 reads, frames to `captured`.
pkio::CapturePumpOptions VeltoCapture(Captured* captured) {
  pkio::CapturePumpOptions options;
  options.program.assign(std::begin(kVeltoProgram), std::end(kVeltoProgram));
  options.packet_filters = {0x0C};
  options.reads = 512;
  options.sink = [captured](const pkio::Frame& frame) { captured->Add(frame); };
  return options;
}

void CaptureBody() {
  Captured captured;
  pkio::CapturePump pump(pkio::RealPacketDriver(), VeltoCapture(&captured));
  ASSERT_TRUE(pump.Start("\\Device\\kvx1")) << Pkio_GetLastErrorMessageA();
  PKIO_HANDLE tx = Pkio_OpenAdapterA("\\Device\\kvx0");
  ASSERT_NE(tx, PKIO_INVALID_HANDLE) << Pkio_GetLastErrorMessageA();
  ASSERT_TRUE(WaitUntil([&] { return pump.posted_reads() == 512; }));

  // Other EtherTypes before, between and after the Velto frames.
  for (uint16_t type : {0x0800, 0x0806, 0x86DD}) {
    auto f = OtherFrame(type);
    ASSERT_TRUE(Pkio_PacketSend(tx, f.data(), 60, nullptr))
        << Pkio_GetLastErrorMessageA();
  }
  constexpr int kFrames = 2000;
  ASSERT_EQ(system(VeltoSimCommand("--fast -c 1000").c_str()), 0);
  auto ip = OtherFrame(0x0800);
  ASSERT_TRUE(Pkio_PacketSend(tx, ip.data(), 60, nullptr));
  ASSERT_EQ(system(VeltoSimCommand("--fast -c 1000").c_str()), 0);
  ASSERT_TRUE(Pkio_PacketSend(tx, ip.data(), 60, nullptr));
  ASSERT_TRUE(WaitUntil([&] { return captured.size() >= kFrames; }))
      << captured.size() << " frames";
  // Anything that should not come has had its chance.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));

  // Intact and in order: exactly what the generator makes, twice over.
  simulator::Scenario scenario;
  std::string error;
  ASSERT_TRUE(simulator::ParseScenario(kScenario, &scenario, &error)) << error;
  const auto frames = captured.frames();
  ASSERT_EQ(frames.size(), size_t(kFrames));
  for (int run = 0; run < 2; ++run) {
    simulator::Generator generator(scenario);
    for (int i = 0; i < kFrames / 2; ++i) {
      const std::vector<uint8_t>* expected = generator.NextFrame();
      ASSERT_EQ(frames[run * kFrames / 2 + i], *expected)
          << "frame " << run * kFrames / 2 + i;
    }
  }
  const auto sequences = captured.sequences();
  for (size_t i = 1; i < sequences.size(); ++i) {
    ASSERT_EQ(sequences[i], sequences[i - 1] + 1);
  }
  int foreign = 0;
  for (const auto& f : frames) foreign += f[6] == 0x04;
  EXPECT_GT(foreign, 0);
  DWORD missed = 1;
  PKIO_NDIS_REQUEST r{
      PKIO_NDIS_QUERY, OID_PKIO_RCV_MISSED_DRIVER, &missed, 4, 0, 0};
  EXPECT_EQ(Pkio_MakePrivateRequest(pump.handle(), &r, nullptr, TRUE),
            NDIS_STATUS_SUCCESS);
  EXPECT_EQ(missed, 0u);
  EXPECT_EQ(pump.posted_reads(), 512);

  // A stopped pump hears nothing more, and its read blocks are gone.
  pump.Stop();
  ASSERT_EQ(system(VeltoSimCommand("--fast -c 200").c_str()), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(captured.size(), size_t(kFrames));
  EXPECT_TRUE(Pkio_CloseAdapter(tx));
}

TEST(CaptureE2eTest, VeltoFramesArriveIntactInOrderAndNothingElse) {
  InPrivateNetwork(CaptureBody);
}

struct MultiCapture {
  std::vector<std::vector<uint8_t>> frames;
  std::vector<DWORD> sequences;
  PKIO_HANDLE handle = PKIO_INVALID_HANDLE;
  int buffers = 0;
};
MultiCapture* g_multi = nullptr;

void OnBuffer(DWORD error, DWORD bytes, OVERLAPPED* overlapped) {
  if (error != 0) return;
  auto* buffer = static_cast<MPR_PACKET_BUFFER*>(overlapped->Pointer);
  EXPECT_EQ(bytes, buffer->BytesUsed);
  ++g_multi->buffers;
  const BYTE* record = buffer->Data;
  for (DWORD i = 0; i < buffer->PacketCount; ++i) {
    PKIO_PACKET_HEADER header;
    memcpy(&header, record, sizeof header);
    EXPECT_EQ(header.FrameLength, header.BytesDelivered);
    g_multi->sequences.push_back(header.SequenceNumber);
    g_multi->frames.emplace_back(
        record + MPR_RECORD_FRAME_OFFSET,
        record + MPR_RECORD_FRAME_OFFSET + header.BytesDelivered);
    record += MprRecordStride(header.BytesDelivered);
  }
  EXPECT_LE(record - buffer->Data - 4, ptrdiff_t(buffer->BufferSize));
  MPR_ReadPacketBufferEx(g_multi->handle, buffer, overlapped, OnBuffer);
}

void MultiBody() {
  MultiCapture capture;
  g_multi = &capture;
  PKIO_HANDLE rx = MPR_OpenAdapterA("\\Device\\kvx1");
  ASSERT_NE(rx, PKIO_INVALID_HANDLE) << Pkio_GetLastErrorMessageA();
  capture.handle = rx;
  ASSERT_TRUE(Pkio_SetBPFProgram(rx, kVeltoProgram, sizeof kVeltoProgram));
  ASSERT_TRUE(MPR_SetReadTimeout(rx, 10));
  constexpr size_t kSize = 16384;  // small, so that buffers fill up
  std::vector<std::vector<BYTE>> memory(4, std::vector<BYTE>(kSize + 16));
  std::vector<OVERLAPPED> overlapped(4);
  for (int i = 0; i < 4; ++i) {
    auto* buffer = reinterpret_cast<MPR_PACKET_BUFFER*>(memory[i].data());
    buffer->BufferSize = kSize;
    overlapped[i].Pointer = buffer;
    ASSERT_FALSE(MPR_ReadPacketBufferEx(rx, buffer, &overlapped[i], OnBuffer));
    ASSERT_EQ(Pkio_GetLastError(), DWORD(997));
  }
  ASSERT_EQ(SetFilter(rx, 0x0C), NDIS_STATUS_SUCCESS);
  VeltoSim("--fast -c 1000");
  ASSERT_TRUE(PumpUntil([&] { return capture.frames.size() >= 1000; }))
      << capture.frames.size();
  EXPECT_GT(capture.buffers, 10);  // many frames per completion, many buffers
  simulator::Scenario scenario;
  std::string error;
  ASSERT_TRUE(simulator::ParseScenario(kScenario, &scenario, &error));
  simulator::Generator generator(scenario);
  for (size_t i = 0; i < capture.frames.size(); ++i) {
    ASSERT_EQ(capture.frames[i], *generator.NextFrame()) << i;
    if (i > 0) {
      ASSERT_EQ(capture.sequences[i], capture.sequences[i - 1] + 1);
    }
  }
  ASSERT_TRUE(MPR_CloseAdapter(rx));
  g_multi = nullptr;
}

TEST(CaptureE2eTest, MultiPacketBuffersHoldConsecutiveRecords) {
  InPrivateNetwork(MultiBody);
}

// --- Link loss
// ----------------------------------------------------------------

// The thread of this process named `name`, or 0.
int ThreadNamed(const std::string& name) {
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return 0;
  int found = 0;
  while (dirent* entry = readdir(tasks)) {
    const int tid = atoi(entry->d_name);
    if (tid <= 0) continue;
    std::ifstream comm("/proc/self/task/" + std::to_string(tid) + "/comm");
    std::string line;
    if (std::getline(comm, line) && line == name) found = tid;
  }
  closedir(tasks);
  return found;
}

// A thread's CPU time so far (user and system, in clock ticks) and the
// number of times it went to sleep (voluntary context switches).
struct ThreadUse {
  uint64_t ticks = 0;
  uint64_t sleeps = 0;
};
ThreadUse UseOf(int tid) {
  ThreadUse use;
  const std::string dir = "/proc/self/task/" + std::to_string(tid);
  std::ifstream stat(dir + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)),
                   std::istreambuf_iterator<char>());
  // Fields after the name in parentheses: state is field 3, utime 14,
  // stime 15.
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::vector<std::string> f((std::istream_iterator<std::string>(fields)),
                             std::istream_iterator<std::string>());
  if (f.size() > 12) use.ticks = std::stoull(f[11]) + std::stoull(f[12]);
  std::ifstream status(dir + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
      use.sleeps = std::stoull(line.substr(line.find(':') + 1));
    }
  }
  return use;
}

// Sends `count` Velto frames and waits until all have been captured.
void SendAndCapture(Captured* captured, int count) {
  const size_t before = captured->size();
  ASSERT_EQ(
      system(VeltoSimCommand("--fast -c " + std::to_string(count)).c_str()), 0);
  ASSERT_TRUE(WaitUntil([&] { return captured->size() >= before + count; }))
      << captured->size() - before << " of " << count;
}

bool Run(const char* command) { return system(command) == 0; }

void LinkLossBody() {
  log::Recorder log;
  log::ScopedSink sink(log.sink());
  Captured captured;
  pkio::CapturePump pump(pkio::RealPacketDriver(), VeltoCapture(&captured));
  ASSERT_TRUE(pump.Start("\\Device\\kvx1")) << Pkio_GetLastErrorMessageA();
  ASSERT_TRUE(WaitUntil([&] { return pump.posted_reads() == 512; }));
  SendAndCapture(&captured, 100);
  const int receiver = ThreadNamed("pkio:kvx1");
  ASSERT_NE(receiver, 0);

  // Down for a while: said once, and the receive thread sleeps meanwhile
  // instead of polling an error it never takes.
  ASSERT_TRUE(Run("ip link set kvx1 down"));
  ASSERT_TRUE(WaitUntil([&] { return log.Count("the link is down") == 1; }));
  const ThreadUse before = UseOf(receiver);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const ThreadUse after = UseOf(receiver);
  // A thread spinning on the error uses all of those 200 ticks; one that
  // looks at the link four times a second uses next to none.
  EXPECT_LE(after.ticks - before.ticks, 20u);
  EXPECT_LE(after.sleeps - before.sleeps, 30u);
  EXPECT_EQ(log.Count("the link is down"), 1u);
  EXPECT_EQ(pump.posted_reads(), 512);

  // Up again: capture goes on with the same reads.
  ASSERT_TRUE(Run("ip link set kvx1 up"));
  ASSERT_TRUE(
      WaitUntil([&] { return log.Count("the link is up again") == 1; }));
  SendAndCapture(&captured, 100);

  // Deleted and made again: a new interface index, bound to by name.
  ASSERT_TRUE(Run("ip link del kvx0"));  // takes its peer kvx1 along
  ASSERT_TRUE(
      WaitUntil([&] { return log.Count("the interface is gone") == 1; }));
  ASSERT_TRUE(
      Run("ip link add name kvx0 type veth peer name kvx1 && "
          "ip link set kvx0 up && ip link set kvx1 up"));
  ASSERT_TRUE(
      WaitUntil([&] { return log.Count("bound again to interface") == 1; }));
  ASSERT_TRUE(
      WaitUntil([&] { return log.Count("the link is up again") == 2; }));
  SendAndCapture(&captured, 100);
  EXPECT_EQ(pump.posted_reads(), 512);
  for (const log::Recorder::Line& line : log.lines()) {
    EXPECT_EQ(line.category, "pkio");
    EXPECT_NE(line.message.find("\\Device\\kvx1"), std::string::npos)
        << line.message;
  }
  // Every frame of the three rounds, each once.
  const auto sequences = captured.sequences();
  ASSERT_EQ(sequences.size(), 300u);
  for (size_t i = 1; i < sequences.size(); ++i) {
    ASSERT_EQ(sequences[i], sequences[i - 1] + 1);
  }
  pump.Stop();
}

TEST(CaptureE2eTest, CaptureSurvivesLinkDownAndARecreatedInterface) {
  InPrivateNetwork(LinkLossBody);
}

}  // namespace
}  // namespace kavex::e2e
