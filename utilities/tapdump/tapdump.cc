#include "utilities/tapdump/tapdump.h"

#include <algorithm>
#include <cstring>

#include "platform/base/results.h"
#include "platform/sync/clock.h"
#include "platform/sync/event.h"
#include "platform/sync/thread.h"
#include "platform/sync/wait.h"
#include "utilities/common/adapter_info.h"

namespace kavex::utilities {
namespace {

constexpr DWORD kSendSignature = 0x444E4553;  // bytes 53 45 4E 44, "SEND"
constexpr DWORD kReceiveWaitMs = 500;
constexpr DWORD kSendWaitMs = 1000;

const DumpUtilityText kText = {
    "tapdump",
    "Wirebay Packet Dump Utility APC Version %s\n",
    "Prints the frames an adapter receives (with /q their rate) and, on "
    "Ctrl-C, the receive statistics.\n",
    {"Usage: TAPDUMP /a AdapterName [ options ]\r\n\n",
     "    Example: TAPDUMP /a \\Device\\Ne20002\n", true}};

// Waits alertably for ms on event, or sleeps alertably without one.
void AlertableWait(HANDLE event, DWORD ms) {
  if (event != nullptr) {
    WaitForSingleObjectEx(event, ms, TRUE);
  } else {
    SleepEx(ms, TRUE);
  }
}

}  // namespace

struct Tapdump::TestFrame {
  DWORD signature = kSendSignature;
  Tapdump* owner = nullptr;
  HANDLE event = nullptr;  // none: one completion form serves every platform
  OVERLAPPED overlapped{};
  BYTE data[PKIO_MAX_FRAME_SIZE];
};

size_t BuildTestFrame(DWORD medium, const BYTE address[6], char letter,
                      size_t payload_length, BYTE* frame, size_t capacity) {
  size_t header;
  switch (medium) {
    case kMedium802_3:
      header = 14;
      if (header + payload_length > std::min<size_t>(capacity, 1514)) return 0;
      memset(frame, 0xFF, 6);
      memcpy(frame + 6, address, 6);
      frame[12] = 0x60;
      frame[13] = 0x00;
      break;
    case kMedium802_5:
      header = 14;
      if (header + payload_length > capacity) return 0;
      frame[0] = 0x10;  // access control: priority 0, not a token
      frame[1] = 0x40;  // frame control: an LLC frame
      memset(frame + 2, 0xFF, 6);
      memcpy(frame + 8, address, 6);
      break;
    case kMediumLocalTalk:
      header = 3;
      if (header + payload_length > capacity) return 0;
      frame[0] = 0xFF;        // every node
      frame[1] = address[0];  // the node address, first byte of the answer
      frame[2] = 0x01;        // a short DDP frame
      break;
    default:
      return 0;
  }
  memset(frame + header, letter, payload_length);
  return header + payload_length;
}

Tapdump::Tapdump(const PkioApi& api, Console& console)
    : DumpUtility(api, console, kText, PacketFormat::kSingle) {}

Tapdump::~Tapdump() = default;

PKIO_HANDLE Tapdump::OpenAdapter(const char* name) {
  return api_.OpenAdapterA(name);
}

void Tapdump::CloseAdapter(PKIO_HANDLE handle) { api_.CloseAdapter(handle); }

DWORD Tapdump::ReceiveThreadBody() {
  kavex::UniqueHandle event(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  packages_ =
      ReadPackages::Allocate(ReadPackages::Kind::kPacket, kTapdumpReadPackages,
                             PKIO_MAX_FRAME_SIZE, this);
  if (!packages_) {
    fputs("Could Not Create Read Packages\n", out_);
    return 0;
  }
  fprintf(
      out_, "Using %d Read Packages (%dKB)\n",
      static_cast<int>(packages_->count()),
      static_cast<int>(packages_->count() * packages_->package_size() / 1024));
  const PKIO_HANDLE handle = record_.handle;
  for (size_t i = 0; i < packages_->count(); ++i) {
    ReportPostFailure(
        "Pkio_PacketReadEx",
        packages_->Post(api_, handle, packages_->at(i), &Tapdump::ReadComplete),
        out_);
  }
  fflush(out_);
  while (!stopping()) AlertableWait(event.get(), kReceiveWaitMs);
  packages_->CancelAll(api_, handle);
  fflush(out_);
  return 0;
}

void Tapdump::ReadComplete(DWORD error, DWORD, OVERLAPPED* overlapped) {
  ReadPackage* package = ReadPackage::FromOverlapped(overlapped);
  if (package == nullptr) return;
  static_cast<Tapdump*>(package->owner)
      ->OnRead(package, CompletionStatus(error, package->packet()->Status));
}

void Tapdump::OnRead(ReadPackage* package, DWORD status) {
  if (stopping()) return;
  if (status != 0) {
    // The package stays idle from now on.
    fprintf(out_, "Read Error: 0x%4.4X\n", status);
    fflush(out_);
    return;
  }
  const PKIO_PACKET* packet = package->packet();
  const DWORD size =
      std::min(packet->Header.BytesDelivered, packet->BufferCapacity);
  record_.packets.Add(1);
  record_.bytes.Add(size);
  PrintPacket(packet->Header, packet->Data, size);
  if (stopping()) return;
  ReportRepostFailure(
      "Pkio_PacketReadEx",
      packages_->Post(api_, record_.handle, package, &Tapdump::ReadComplete),
      out_);
}

void Tapdump::StartOtherThreads() {
  if (!options_.send_packets) return;
  send_thread_.reset(
      CreateThread(nullptr, 0, &Tapdump::SendThreadMain, this, 0, nullptr));
  if (!send_thread_) fputs("Could Not Start Send Thread\n", out_);
}

void Tapdump::StopOtherThreads() {
  if (send_thread_) WaitForSingleObject(send_thread_.get(), 5000);
}

DWORD Tapdump::SendThreadMain(void* self) {
  return static_cast<Tapdump*>(self)->SendThreadBody();
}

DWORD Tapdump::SendThreadBody() {
  kavex::UniqueHandle event(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  bool burst_sent = false;
  uint32_t last_burst = 0;
  while (!stopping()) {
    AlertableWait(event.get(), kSendWaitMs);
    if (stopping()) break;
    if (options_.send_packets &&
        (!burst_sent || GetTickCount() - last_burst >= kTestBurstIntervalMs)) {
      for (size_t i = 0; i < kTestBurstFrames; ++i) SendTestPacket();
      last_burst = GetTickCount();
      burst_sent = true;
    }
  }
  in_flight_.clear();
  return 0;
}

void Tapdump::SendTestPacket() {
  const PKIO_HANDLE handle = record_.handle;
  if (handle == PKIO_INVALID_HANDLE) {
    fputs("SendTestPacket: Adapter Not Open\n", out_);
    return;
  }
  auto frame = std::make_unique<TestFrame>();
  const size_t length =
      BuildTestFrame(record_.medium, record_.address, next_letter_,
                     kTestPayloadLength, frame->data, sizeof frame->data);
  if (length == 0) return;
  next_letter_ =
      next_letter_ == 'Z' ? 'A' : static_cast<char>(next_letter_ + 1);
  frame->owner = this;
  frame->overlapped.Pointer = frame.get();
  OVERLAPPED* overlapped = &frame->overlapped;
  const BYTE* data = frame->data;
  in_flight_[overlapped] = std::move(frame);

  record_.sends_issued.Add(1);
  if (!options_.quiet) {
    fputs(record_.medium == kMedium802_3   ? "Sending 802.3 Test Packet..."
          : record_.medium == kMedium802_5 ? "Sending 802.5 Test Packet..."
                                           : "Sending LocalTalk Test Packet...",
          out_);
    fflush(out_);  // no end of line to flush it
  }
  record_.sends_in_flight.Add(1);
  if (api_.PacketSendEx(handle, data, static_cast<DWORD>(length), overlapped,
                        &Tapdump::SendComplete)) {
    // Sent at once; should the completion still come, it finds the frame.
    record_.sends_at_once.Add(1);
    return;
  }
  const DWORD error = api_.GetLastError();
  if (error == 0) {
    record_.sends_at_once.Add(1);
  } else if (error != static_cast<DWORD>(ERROR_IO_PENDING)) {
    fprintf(out_, "Send Failed; Error: 0x%8.8X\n", error);
    record_.sends_in_flight.Add(-1u);
    record_.sends_done.Add(1);
    in_flight_.erase(overlapped);
  }
}

void Tapdump::SendComplete(DWORD, DWORD, OVERLAPPED* overlapped) {
  if (overlapped == nullptr) return;
  auto* frame = static_cast<TestFrame*>(overlapped->Pointer);
  if (frame == nullptr || frame->signature != kSendSignature) return;
  Tapdump* self = frame->owner;
  self->record_.sends_in_flight.Add(-1u);
  self->record_.sends_completed.Add(1);
  self->record_.sends_done.Add(1);
  self->in_flight_.erase(overlapped);  // frees the frame
}

void Tapdump::PrintProgressLine(const ReceiveSnapshot& s) {
  PrintProgress(s, out_);
}

void Tapdump::PrintApplicationStatistics(const ReceiveSnapshot& s) {
  utilities::PrintApplicationStatistics(s, out_);
}

}  // namespace kavex::utilities
