#include "device/capture.h"

#include <cstdio>
#include <new>

#include "device/packet_driver.h"
#include "device/switch_table.h"
#include "platform/base/results.h"
#include "platform/sync/apc.h"
#include "platform/sync/event.h"
#include "platform/sync/thread.h"
#include "platform/sync/wait.h"
#include "platform/ui/message_box.h"

namespace kavex::device {
namespace {

// The receive thread looks at the stop flag at least this often.
constexpr DWORD kReceiveWaitMs = 500;

// Queued to the receive thread only to end its alertable wait.
void WakeUp(uintptr_t) {}

std::string Format(const char* format, DWORD value) {
  char text[64];
  std::snprintf(text, sizeof(text), format, static_cast<unsigned>(value));
  return text;
}

}  // namespace

CaptureAdapter::CaptureAdapter(PacketDriver* driver, SwitchTable* table,
                               PrintFunction print)
    : driver_(driver), table_(table), print_(std::move(print)) {}

CaptureAdapter::~CaptureAdapter() { Stop(); }

void CaptureAdapter::SetNdisName(std::string_view ndis_name) {
  ndis_name_.assign(ndis_name.substr(0, kMaxNdisNameLength));
}

void CaptureAdapter::Print(const std::string& text) {
  if (print_) {
    print_(text);
  } else {
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
  }
}

void CaptureAdapter::ShowMessage(const std::string& text) {
  MessageBoxA(nullptr, text.c_str(), kCaptureMessageCaption, MB_OK);
}

bool CaptureAdapter::Start() {
  if (handle_ != PKIO_INVALID_HANDLE) Stop();
  stop_ = false;
  packet_filter_ = 0;

  const PKIO_HANDLE handle = driver_->OpenAdapter(ndis_name_.c_str());
  if (handle == PKIO_INVALID_HANDLE) {
    ShowMessage(Format("Could not open the adapter. Error %u",
                       driver_->GetLastError()));
    return false;
  }
  handle_ = handle;

  request_event_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (request_event_ == nullptr) {
    Stop();
    ShowMessage("Could not create a global event for this adapter.");
    return false;
  }
  request_overlapped_ = OVERLAPPED{};
  request_overlapped_.hEvent = request_event_;
  if (driver_->IsWindows95()) {
    shared_read_event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }

  // Neither result is checked: a driver without them still captures.
  ResetEvent(request_event_);
  driver_->SetBpfProgram(handle, kVeltoFilterProgram.data(),
                         sizeof(kVeltoFilterProgram));
  driver_->SetTimestampResolution(handle, 1);

  receive_thread_ = CreateThread(nullptr, 0, &CaptureAdapter::ReceiveThread,
                                 this, 0, &receive_thread_id_);
  if (receive_thread_ == nullptr) {
    Stop();
    ShowMessage("Could not create a receiving data thread. Exiting");
    return false;
  }

  if (!SetPacketFilter()) {
    Stop();
    return false;
  }
  return true;
}

bool CaptureAdapter::SetPacketFilter() {
  for (DWORD filter : kPacketFilters) {
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

void CaptureAdapter::Stop() {
  stop_ = true;
  if (receive_thread_ != nullptr) {
    // The wake-up ends the thread's alertable wait at once, so it sees the
    // flag without waiting out its 500 ms (which a test clock never ends).
    QueueUserAPC(&WakeUp, receive_thread_, 0);
    WaitForSingleObject(receive_thread_, INFINITE);
    CloseHandle(receive_thread_);
    receive_thread_ = nullptr;
  }
  const PKIO_HANDLE handle = handle_.exchange(PKIO_INVALID_HANDLE);
  if (handle != PKIO_INVALID_HANDLE) {
    driver_->CancelPacketRead(handle, nullptr);
    driver_->CloseAdapter(handle);
  }
  // The adapter is closed: no completion can reach the descriptors now.
  descriptors_.reset();
  posted_ = 0;
  if (request_event_ != nullptr) {
    CloseHandle(request_event_);
    request_event_ = nullptr;
  }
  if (shared_read_event_ != nullptr) {
    CloseHandle(shared_read_event_);
    shared_read_event_ = nullptr;
  }
}

DWORD CaptureAdapter::ReceiveThread(void* argument) {
  if (argument == nullptr) return 0;
  static_cast<CaptureAdapter*>(argument)->Receive();
  return 0;
}

void CaptureAdapter::Receive() {
  // Never signalled: it only gives the thread something to wait on
  // alertably, so that completion routines can run.
  HANDLE idle_event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (idle_event == nullptr) return;

  descriptors_.reset(new (std::nothrow)
                         ReceiveDescriptor[kReceiveDescriptorCount]());
  if (!descriptors_) {
    CloseHandle(idle_event);
    return;
  }
  for (int i = 0; i < kReceiveDescriptorCount && !stop_; ++i) {
    ReceiveDescriptor& descriptor = descriptors_[i];
    descriptor.signature = kReceiveSignature;
    descriptor.owner = this;
    descriptor.overlapped.Pointer = &descriptor;
    descriptor.overlapped.hEvent = shared_read_event_;
    descriptor.packet.BufferCapacity = PKIO_MAX_FRAME_SIZE;
    if (descriptor.overlapped.hEvent != nullptr) {
      ResetEvent(descriptor.overlapped.hEvent);
    }
    Post(&descriptor);
  }

  while (!stop_) {
    WaitForSingleObjectEx(idle_event, kReceiveWaitMs, TRUE);
  }
  CloseHandle(idle_event);
}

bool CaptureAdapter::Post(ReceiveDescriptor* descriptor) {
  if (driver_->PacketReadEx(handle_, &descriptor->packet, 0,
                            &descriptor->overlapped,
                            &CaptureAdapter::Completion)) {
    posted_.fetch_add(1);
    return true;
  }
  const DWORD error = driver_->GetLastError();
  if (error == static_cast<DWORD>(ERROR_IO_PENDING)) {
    posted_.fetch_add(1);
    return true;
  }
  if (error == static_cast<DWORD>(ERROR_NO_SYSTEM_RESOURCES)) {
    Print("Pkio_PacketReadEx Failed; ERROR_NO_SYSTEM_RESOURCES\n");
  } else {
    Print(Format("Pkio_PacketReadEx Failed; Error: 0x%8.8X\n", error));
  }
  return false;
}

void CaptureAdapter::Completion(DWORD, DWORD, OVERLAPPED* overlapped) {
  if (overlapped == nullptr) return;
  auto* descriptor = static_cast<ReceiveDescriptor*>(overlapped->Pointer);
  if (descriptor == nullptr || descriptor->signature != kReceiveSignature) {
    return;
  }
  descriptor->owner->Complete(descriptor);
}

void CaptureAdapter::Complete(ReceiveDescriptor* descriptor) {
  // After the stop flag the descriptor stays idle: it is about to be freed.
  if (stop_) return;
  posted_.fetch_sub(1);
  const PKIO_PACKET& packet = descriptor->packet;
  if (packet.Status != 0) {
    // Not posted again: a failing read would otherwise spin.
    Print(Format("Read Error: 0x%4.4X\n", packet.Status));
  } else {
    DWORD length = packet.Header.BytesDelivered;
    if (length > PKIO_MAX_FRAME_SIZE) length = PKIO_MAX_FRAME_SIZE;
    // The table applies the acceptance tests (EtherType, vendor prefix,
    // length) before anything else.
    table_->HandleFrame(packet.Data, length);
    Post(descriptor);
  }
  completions_.fetch_add(1);
}

}  // namespace kavex::device
