#include "configurator/core/capture.h"

#include <cstdio>

#include "device/capture.h"
#include "platform/base/results.h"
#include "platform/pkio/ndis.h"

namespace kavex::configurator {
namespace {

std::u16string Ascii(const std::string& text) {
  return std::u16string(text.begin(), text.end());
}

std::string Format(const char* format, DWORD value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// "Could not open the adapter. Error %d"; a refusal for want of the right
// to capture also says how to get it.
std::u16string OpenFailure(DWORD code) {
  std::string text = Format("Could not open the adapter. Error %d", code);
  if (code == ERROR_ACCESS_DENIED) text += kNoCaptureRight;
  return Ascii(text);
}

}  // namespace

std::vector<DWORD> PacketFiltersForMedium(DWORD medium) {
  constexpr DWORD kMulticastAndBroadcast =
      NDIS_PACKET_TYPE_ALL_MULTICAST | NDIS_PACKET_TYPE_BROADCAST;
  switch (medium) {
    case 0:  // 802.3
    case 1:  // 802.5
    case 5:  // wireless WAN
      return {kMulticastAndBroadcast, NDIS_PACKET_TYPE_ALL_LOCAL,
              NDIS_PACKET_TYPE_DIRECTED};
    case 4:
      return {kMulticastAndBroadcast};
    default:
      return {};
  }
}

Capture::Capture(pkio::PacketDriver* driver, Sink sink)
    : driver_(driver), sink_(std::move(sink)) {}

Capture::~Capture() { Stop(); }

bool Capture::QueryMedium(const std::string& ndis_name, DWORD* medium,
                          DWORD* error) {
  const PKIO_HANDLE handle = driver_->OpenAdapter(ndis_name.c_str());
  if (handle == PKIO_INVALID_HANDLE) {
    *error = driver_->GetLastError();
    return false;
  }
  DWORD value = 0;
  PKIO_NDIS_REQUEST request{};
  request.RequestType = PKIO_NDIS_QUERY;
  request.Oid = OID_GEN_MEDIA_IN_USE;
  request.InformationBuffer = &value;
  request.InformationBufferLength = sizeof value;
  const bool answered =
      driver_->MakeNdisRequest(handle, &request, nullptr, TRUE) ==
          NDIS_STATUS_SUCCESS &&
      request.BytesTransferred >= sizeof value;
  driver_->CloseAdapter(handle);
  *error = 0;
  *medium = value;
  return answered;
}

bool Capture::Start(const std::string& ndis_name, std::u16string* status) {
  Stop();
  status->clear();
  DWORD medium = 0;
  DWORD error = 0;
  if (!QueryMedium(ndis_name, &medium, &error)) {
    if (error != 0) *status = OpenFailure(error);
    return false;
  }
  std::vector<DWORD> filters = PacketFiltersForMedium(medium);
  if (filters.empty()) return false;

  pkio::CapturePumpOptions options;
  options.program.assign(device::kVeltoFilterProgram.begin(),
                         device::kVeltoFilterProgram.end());
  options.packet_filters = std::move(filters);
  options.reads = kCaptureReads;
  options.log_category = "configurator";
  options.sink = [this](const pkio::Frame& frame) {
    sink_(frame.data, frame.length);
  };
  // These three run within Start only.
  start_failure_.clear();
  options.hooks.open_failed = [this](DWORD code) {
    start_failure_ = OpenFailure(code);
  };
  options.hooks.event_failed = [this] {
    start_failure_ = u"Could not create a global event for this adapter.";
  };
  options.hooks.thread_failed = [this] {
    start_failure_ = u"Could not create a receiving data thread. Exiting";
  };
  options.hooks.read_failed = [](DWORD code) {
    std::printf("Read Error: 0x%4.4X\n", static_cast<unsigned>(code));
    std::fflush(stdout);
  };
  auto pump = std::make_unique<pkio::CapturePump>(driver_, std::move(options));
  if (!pump->Start(ndis_name)) {
    *status = start_failure_;
    return false;
  }
  pump_ = std::move(pump);
  return true;
}

void Capture::Stop() {
  if (pump_ == nullptr) return;
  pump_->Stop();
  pump_.reset();
}

}  // namespace kavex::configurator
