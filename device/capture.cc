#include "device/capture.h"

#include <cstdio>

#include "platform/base/results.h"
#include "platform/ui/message_box.h"

namespace kavex::device {
namespace {

std::string Format(const char* format, DWORD value) {
  char text[64];
  std::snprintf(text, sizeof(text), format, static_cast<unsigned>(value));
  return text;
}

void ShowMessage(const std::string& text) {
  MessageBoxA(nullptr, text.c_str(), kCaptureMessageCaption, MB_OK);
}

}  // namespace

pkio::CapturePumpOptions CaptureAdapter::PumpOptions(CaptureAdapter* self,
                                                     FrameHandler handler) {
  pkio::CapturePumpOptions options;
  options.program.assign(kVeltoFilterProgram.begin(),
                         kVeltoFilterProgram.end());
  options.packet_filters.assign(kPacketFilters.begin(), kPacketFilters.end());
  options.reads = kReceiveDescriptorCount;
  options.log_category = "device";
  // The table applies the acceptance tests (EtherType, vendor prefix,
  // length) before anything else.
  options.sink = [handler = std::move(handler)](const pkio::Frame& frame) {
    handler(frame.data, frame.length);
  };
  options.hooks.open_failed = [](DWORD error) {
    ShowMessage(Format("Could not open the adapter. Error %u", error));
  };
  options.hooks.event_failed = [] {
    ShowMessage("Could not create a global event for this adapter.");
  };
  options.hooks.thread_failed = [] {
    ShowMessage("Could not create a receiving data thread. Exiting");
  };
  options.hooks.read_failed = [self](DWORD status) {
    self->Print(Format("Read Error: 0x%4.4X\n", status));
  };
  options.hooks.post_failed = [self](DWORD error) {
    if (error == static_cast<DWORD>(ERROR_NO_SYSTEM_RESOURCES)) {
      self->Print("Pkio_PacketReadEx Failed; ERROR_NO_SYSTEM_RESOURCES\n");
    } else {
      self->Print(Format("Pkio_PacketReadEx Failed; Error: 0x%8.8X\n", error));
    }
  };
  return options;
}

CaptureAdapter::CaptureAdapter(PacketDriver* driver, FrameHandler handler,
                               PrintFunction print)
    : print_(std::move(print)),
      pump_(driver, PumpOptions(this, std::move(handler))) {}

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

bool CaptureAdapter::Start() { return pump_.Start(ndis_name_); }

void CaptureAdapter::Stop() { pump_.Stop(); }

}  // namespace kavex::device
