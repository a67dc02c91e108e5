#include "platform/pkio/capture_pump.h"

#include <pthread.h>

#include <new>
#include <utility>

#include "platform/base/results.h"
#include "platform/log/logger.h"
#include "platform/sync/apc.h"
#include "platform/sync/event.h"
#include "platform/sync/thread.h"
#include "platform/sync/wait.h"

namespace kavex::pkio {
namespace {

// The receive thread looks at the stop flag at least this often.
constexpr DWORD kReceiveWaitMs = 500;

// Queued to the receive thread only to end its alertable wait.
void WakeUp(uintptr_t) {}

}  // namespace

CapturePump::CapturePump(PacketDriver* driver, CapturePumpOptions options)
    : driver_(driver), options_(std::move(options)) {}

CapturePump::~CapturePump() { Stop(); }

bool CapturePump::Start(const std::string& ndis_name) {
  if (handle_ != PKIO_INVALID_HANDLE) Stop();
  ndis_name_ = ndis_name;
  stop_ = false;
  packet_filter_ = 0;
  frames_ = 0;
  truncated_ = 0;

  const PKIO_HANDLE handle = driver_->OpenAdapter(ndis_name_.c_str());
  if (handle == PKIO_INVALID_HANDLE) {
    const DWORD error = driver_->GetLastError();
    if (options_.hooks.open_failed) options_.hooks.open_failed(error);
    return false;
  }
  handle_ = handle;

  request_event_.reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  if (!request_event_) {
    Stop();
    if (options_.hooks.event_failed) options_.hooks.event_failed();
    return false;
  }
  request_overlapped_ = OVERLAPPED{};
  request_overlapped_.hEvent = request_event_.get();
  if (driver_->IsWindows95()) {
    shared_read_event_.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  }

  // Neither result is checked: a driver without them still captures.
  ResetEvent(request_event_.get());
  if (!options_.program.empty()) {
    driver_->SetBpfProgram(
        handle, options_.program.data(),
        static_cast<DWORD>(options_.program.size() * sizeof(bpf_insn)));
  }
  driver_->SetTimestampResolution(handle, 1);

  receive_thread_.reset(
      CreateThread(nullptr, 0, &CapturePump::ReceiveThread, this, 0, nullptr));
  if (!receive_thread_) {
    Stop();
    if (options_.hooks.thread_failed) options_.hooks.thread_failed();
    return false;
  }

  if (!SetPacketFilter()) {
    Stop();
    return false;
  }
  return true;
}

bool CapturePump::SetPacketFilter() {
  for (DWORD filter : options_.packet_filters) {
    DWORD value = filter;
    PKIO_NDIS_REQUEST request{};
    request.RequestType = PKIO_NDIS_SET;
    request.Oid = OID_GEN_CURRENT_PACKET_FILTER;
    request.InformationBuffer = &value;
    request.InformationBufferLength = sizeof(value);
    if (driver_->MakeNdisRequest(handle_, &request, &request_overlapped_,
                                 TRUE) == NDIS_STATUS_SUCCESS) {
      packet_filter_ = filter;
      return true;
    }
  }
  return false;
}

void CapturePump::Stop() {
  stop_ = true;
  if (receive_thread_) {
    // The wake-up ends the thread's alertable wait at once, so it sees the
    // flag without waiting out its 500 ms (which a test clock never ends).
    QueueUserAPC(&WakeUp, receive_thread_.get(), 0);
    WaitForSingleObject(receive_thread_.get(), INFINITE);
    receive_thread_.reset();
  }
  const PKIO_HANDLE handle = handle_.exchange(PKIO_INVALID_HANDLE);
  if (handle != PKIO_INVALID_HANDLE) {
    driver_->CancelPacketRead(handle, nullptr);
    driver_->CloseAdapter(handle);
  }
  // The adapter is closed: no completion can reach the descriptors now.
  descriptors_.reset();
  posted_ = 0;
  request_event_.reset();
  shared_read_event_.reset();
}

DWORD CapturePump::ReceiveThread(void* argument) {
  if (argument == nullptr) return 0;
  pthread_setname_np(pthread_self(), "capture");
  static_cast<CapturePump*>(argument)->Receive();
  return 0;
}

void CapturePump::Receive() {
  // Never signalled: it only gives the thread something to wait on
  // alertably, so that completion routines can run.
  UniqueHandle idle_event(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  if (!idle_event) return;

  const int count = options_.reads;
  descriptors_.reset(new (std::nothrow) ReceiveDescriptor[count]());
  if (!descriptors_) return;
  for (int i = 0; i < count && !stop_; ++i) {
    ReceiveDescriptor& descriptor = descriptors_[i];
    descriptor.signature = kReceiveSignature;
    descriptor.owner = this;
    descriptor.overlapped.Pointer = &descriptor;
    descriptor.overlapped.hEvent = shared_read_event_.get();
    descriptor.packet.BufferCapacity = PKIO_MAX_FRAME_SIZE;
    if (descriptor.overlapped.hEvent != nullptr) {
      ResetEvent(descriptor.overlapped.hEvent);
    }
    Post(&descriptor);
  }

  while (!stop_) {
    WaitForSingleObjectEx(idle_event.get(), kReceiveWaitMs, TRUE);
  }
}

bool CapturePump::Post(ReceiveDescriptor* descriptor) {
  const DWORD error = driver_->PostRead(
      handle_.load(std::memory_order_relaxed), &descriptor->packet,
      &descriptor->overlapped, &CapturePump::Completion);
  if (error == static_cast<DWORD>(ERROR_IO_PENDING)) {
    posted_.store(posted_.load(std::memory_order_relaxed) + 1,
                  std::memory_order_relaxed);
    return true;
  }
  if (options_.hooks.post_failed) options_.hooks.post_failed(error);
  return false;
}

void CapturePump::Completion(DWORD, DWORD, OVERLAPPED* overlapped) {
  if (overlapped == nullptr) return;
  auto* descriptor = static_cast<ReceiveDescriptor*>(overlapped->Pointer);
  if (descriptor == nullptr || descriptor->signature != kReceiveSignature) {
    return;
  }
  descriptor->owner->Complete(descriptor);
}

void CapturePump::Complete(ReceiveDescriptor* descriptor) {
  // After the stop flag the descriptor stays idle: it is about to be freed.
  if (stop_.load(std::memory_order_relaxed)) return;
  posted_.store(posted_.load(std::memory_order_relaxed) - 1,
                std::memory_order_relaxed);
  const PKIO_PACKET& packet = descriptor->packet;
  const DWORD status = packet.Status;
  if (status != 0) {
    // Not posted again: a failing read would otherwise spin.
    if (options_.hooks.read_failed) options_.hooks.read_failed(status);
    Bump(completions_);
    return;
  }
  Frame frame;
  frame.data = packet.Data;
  frame.length = packet.Header.BytesDelivered;
  if (frame.length > PKIO_MAX_FRAME_SIZE) frame.length = PKIO_MAX_FRAME_SIZE;
  frame.wire_length = packet.Header.FrameLength;
  frame.sequence = packet.Header.SequenceNumber;
  frame.timestamp = packet.Header.Timestamp;
  if (frame.wire_length > frame.length && !options_.deliver_truncated) {
    // The end of the frame is missing: whatever sits at its end (a Velto
    // frame's port counters) would be read from the wrong bytes.
    if (truncated_.load(std::memory_order_relaxed) == 0) {
      log::Logf(log::Level::kWarning, options_.log_category,
                "%s: a frame of %u bytes arrived with only %u of them "
                "delivered; dropped, like every such frame after it "
                "(counted only)",
                ndis_name_.c_str(), static_cast<unsigned>(frame.wire_length),
                static_cast<unsigned>(frame.length));
    }
    Bump(truncated_);
  } else {
    Bump(frames_);
    if (options_.sink) options_.sink(frame);
  }
  Post(descriptor);
  Bump(completions_);
}

}  // namespace kavex::pkio
