// The configurator's capture on the selected adapter, on the driver
// library's capture pump: the filter program passing EtherType 0x8874 only
// (the vendor prefix is tested by the frame handler), timestamp resolution
// 1, 512 reads kept posted, and the adapter's packet filter chosen by its
// medium: all-multicast plus broadcast, else all-local, else directed for
// 802.3, 802.5 and wireless WAN media; all-multicast plus broadcast only
// for ARCNET-class media (4); no capture on any other medium.
//
// Failures of the start are told in the main window's status line:
// "Could not open the adapter. Error %d" (for error 5, access denied, with
// how to get the right to capture), "Could not create a global event
// for this adapter.", "Could not create a receiving data thread. Exiting";
// a medium or packet filter the adapter refuses fails without a text. A
// read that completes with an error prints "Read Error: 0x%4.4X\n" and is
// retired.
//
// Start and Stop from the window thread; the sink runs on the pump's
// receive thread.
#ifndef KAVEX_CONFIGURATOR_CORE_CAPTURE_H_
#define KAVEX_CONFIGURATOR_CORE_CAPTURE_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/pkio/capture_pump.h"
#include "platform/pkio/packet_driver.h"

namespace kavex::configurator {

inline constexpr int kCaptureReads = 512;
// Added to "Could not open the adapter. Error 5": raw packet sockets need
// CAP_NET_RAW.
inline constexpr char kNoCaptureRight[] =
    " (capturing needs the CAP_NET_RAW capability: run as root, or setcap "
    "cap_net_raw+ep on the program)";

// The packet filters tried, in order, for an adapter of this medium; empty
// for a medium the configurator does not capture on.
std::vector<DWORD> PacketFiltersForMedium(DWORD medium);

class Capture {
 public:
  using Sink = std::function<void(const uint8_t* frame, size_t length)>;

  // driver must outlive the capture.
  Capture(pkio::PacketDriver* driver, Sink sink);
  ~Capture();  // Stop()
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  // Stops any capture first. True when capture runs; otherwise *status is
  // the failure's text ("" for a silent one).
  bool Start(const std::string& ndis_name, std::u16string* status);
  // Ends the receive thread, cancels the reads and closes the adapter;
  // no frame reaches the sink after it returns. Idempotent.
  void Stop();

  bool running() const { return pump_ != nullptr; }
  int posted_reads() const { return pump_ ? pump_->posted_reads() : 0; }
  DWORD packet_filter() const { return pump_ ? pump_->packet_filter() : 0; }

 private:
  // The adapter's medium; false when it cannot be opened (*error set) or
  // does not answer.
  bool QueryMedium(const std::string& ndis_name, DWORD* medium, DWORD* error);

  pkio::PacketDriver* const driver_;
  const Sink sink_;
  std::u16string start_failure_;
  std::unique_ptr<pkio::CapturePump> pump_;
};

}  // namespace kavex::configurator

#endif  // KAVEX_CONFIGURATOR_CORE_CAPTURE_H_
