// Frames sent by velto-sim on one end of a veth pair, captured through the
// library on the other, all inside a network namespace made for the test.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/pkio/pkiolib.h"
#include "platform/sync/event.h"
#include "platform/sync/handle.h"
#include "platform/sync/wait.h"
#include "simulator/generator.h"
#include "simulator/scenario.h"
#include "tests/e2e/private_network.h"

namespace kavex::e2e {
namespace {

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

void Pump(int rounds) {
  HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  for (int i = 0; i < rounds; ++i) WaitForSingleObjectEx(never, 10, TRUE);
  CloseHandle(never);
}

bool PumpUntil(const std::function<bool()>& done) {
  HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  for (int i = 0; i < 1000 && !done(); ++i) {
    WaitForSingleObjectEx(never, 10, TRUE);
  }
  CloseHandle(never);
  return done();
}

// Sends with velto-sim while this thread keeps running completions, as a
// receive thread does.
void VeltoSim(const std::string& args) {
  std::string command = std::string(KAVEX_VELTO_SIM) + " -i kvx0 -q " + args +
                        " -e '" + std::string(kScenario) + "'";
  for (char& c : command) {
    if (c == '\n') c = ';';
  }
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

struct Read {
  OVERLAPPED overlapped{};
  PKIO_PACKET packet{};
};

struct Capture {
  PKIO_HANDLE handle = PKIO_INVALID_HANDLE;
  std::vector<std::vector<uint8_t>> frames;
  std::vector<DWORD> sequences;
  size_t completions_after_close = 0;
  bool closed = false;
};
Capture* g_capture = nullptr;

void OnRead(DWORD error, DWORD bytes, OVERLAPPED* overlapped) {
  Capture& c = *g_capture;
  if (c.closed) ++c.completions_after_close;
  if (error != 0) return;
  Read* read = static_cast<Read*>(overlapped->Pointer);
  c.frames.emplace_back(read->packet.Data, read->packet.Data + bytes);
  c.sequences.push_back(read->packet.Header.SequenceNumber);
  Pkio_PacketReadEx(c.handle, &read->packet, 0, overlapped, OnRead);
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

void CaptureBody() {
  Capture capture;
  g_capture = &capture;
  PKIO_HANDLE rx = Pkio_OpenAdapterA("\\Device\\kvx1");
  ASSERT_NE(rx, PKIO_INVALID_HANDLE) << Pkio_GetLastErrorMessageA();
  capture.handle = rx;
  PKIO_HANDLE tx = Pkio_OpenAdapterA("\\Device\\kvx0");
  ASSERT_NE(tx, PKIO_INVALID_HANDLE) << Pkio_GetLastErrorMessageA();
  ASSERT_TRUE(Pkio_SetBPFProgram(rx, kVeltoProgram, sizeof kVeltoProgram));
  ASSERT_TRUE(Pkio_SetTimestampResolution(rx, 1));
  auto reads = std::make_unique<Read[]>(512);
  for (int i = 0; i < 512; ++i) {
    reads[i].packet.BufferCapacity = PKIO_MAX_FRAME_SIZE;
    reads[i].overlapped.Pointer = &reads[i];
    ASSERT_FALSE(Pkio_PacketReadEx(rx, &reads[i].packet, 0,
                                   &reads[i].overlapped, OnRead));
    ASSERT_EQ(Pkio_GetLastError(), DWORD(997));
  }
  ASSERT_EQ(SetFilter(rx, 0x0C), NDIS_STATUS_SUCCESS);

  // Other EtherTypes before, between and after the Velto frames.
  for (uint16_t type : {0x0800, 0x0806, 0x86DD}) {
    auto f = OtherFrame(type);
    ASSERT_TRUE(Pkio_PacketSend(tx, f.data(), 60, nullptr))
        << Pkio_GetLastErrorMessageA();
  }
  constexpr int kFrames = 2000;
  VeltoSim("--fast -c 1000");
  auto ip = OtherFrame(0x0800);
  ASSERT_TRUE(Pkio_PacketSend(tx, ip.data(), 60, nullptr));
  VeltoSim("--fast -c 1000");
  ASSERT_TRUE(Pkio_PacketSend(tx, ip.data(), 60, nullptr));
  ASSERT_TRUE(PumpUntil([&] { return capture.frames.size() >= kFrames; }))
      << capture.frames.size() << " frames";
  Pump(20);  // anything that should not come has had its chance

  // Intact and in order: exactly what the generator makes, twice over.
  simulator::Scenario scenario;
  std::string error;
  ASSERT_TRUE(simulator::ParseScenario(kScenario, &scenario, &error)) << error;
  ASSERT_EQ(capture.frames.size(), size_t(kFrames));
  for (int run = 0; run < 2; ++run) {
    simulator::Generator generator(scenario);
    for (int i = 0; i < kFrames / 2; ++i) {
      const std::vector<uint8_t>* expected = generator.NextFrame();
      ASSERT_EQ(capture.frames[run * kFrames / 2 + i], *expected)
          << "frame " << run * kFrames / 2 + i;
    }
  }
  for (size_t i = 1; i < capture.sequences.size(); ++i) {
    ASSERT_EQ(capture.sequences[i], capture.sequences[i - 1] + 1);
  }
  int foreign = 0;
  for (const auto& f : capture.frames) foreign += f[6] == 0x04;
  EXPECT_GT(foreign, 0);
  DWORD missed = 1;
  PKIO_NDIS_REQUEST r{
      PKIO_NDIS_QUERY, OID_PKIO_RCV_MISSED_DRIVER, &missed, 4, 0, 0};
  EXPECT_EQ(Pkio_MakePrivateRequest(rx, &r, nullptr, TRUE),
            NDIS_STATUS_SUCCESS);
  EXPECT_EQ(missed, 0u);

  // A closed adapter completes nothing, and its read blocks may go.
  ASSERT_TRUE(Pkio_CloseAdapter(rx));
  capture.closed = true;
  reads.reset();
  VeltoSim("--fast -c 200");
  Pump(30);
  EXPECT_EQ(capture.completions_after_close, 0u);
  EXPECT_TRUE(Pkio_CloseAdapter(tx));
  g_capture = nullptr;
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

}  // namespace
}  // namespace kavex::e2e
