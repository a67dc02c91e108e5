// Capture on the device's one adapter: the Velto packet filter, 512 reads
// kept posted by a dedicated receive thread (the driver library's capture
// pump, platform/pkio/capture_pump.h), and every received frame handed to
// the frame handler, which gives it to the switch table.
//
// The device's failures: an adapter that cannot be opened, a request event
// or a receive thread that cannot be created each show their message box
// captioned "Kavex OPC Server"; a packet filter refused in all three forms
// fails silently. On the receive path "Read Error: 0x%4.4X\n" (the read is
// retired) and the two "Pkio_PacketReadEx Failed" texts (the re-post is not
// tried again) are printed; a frame cut short by the driver (its length on
// the wire exceeds the bytes delivered) is dropped and counted, the first
// one also logged (category "device").
//
// Completion routines, and so the frame handler, run on the receive thread
// only, never concurrently with each other. Stop() ends it all: the stop
// flag idles every later completion, the receive thread is woken and
// joined, the posted reads are cancelled and the adapter closed; after that
// no completion can touch the descriptors, and they are freed.
#ifndef KAVEX_DEVICE_CAPTURE_H_
#define KAVEX_DEVICE_CAPTURE_H_

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "device/packet_driver.h"
#include "platform/pkio/capture_pump.h"
#include "platform/pkio/pkiolib.h"

namespace kavex::device {

inline constexpr char kCaptureMessageCaption[] = "Kavex OPC Server";
inline constexpr size_t kMaxNdisNameLength = 259;
inline constexpr int kReceiveDescriptorCount = 512;
using pkio::kReceiveSignature;
using pkio::ReceiveDescriptor;

// Passes only frames of EtherType 0x8874; the vendor prefix is tested in
// software.
inline constexpr std::array<bpf_insn, 4> kVeltoFilterProgram = {{
    {0x28, 0, 0, 12},          // load the EtherType
    {0x15, 0, 1, 0x8874},      // Velto? go on : skip to reject
    {0x06, 0, 0, 0xFFFFFFFF},  // accept the whole frame
    {0x06, 0, 0, 0},           // reject
}};

// Packet filters tried in this order until the adapter takes one.
inline constexpr std::array<DWORD, 3> kPacketFilters = {
    NDIS_PACKET_TYPE_ALL_MULTICAST | NDIS_PACKET_TYPE_BROADCAST,
    NDIS_PACKET_TYPE_ALL_LOCAL, NDIS_PACKET_TYPE_DIRECTED};

class CaptureAdapter {
 public:
  using PrintFunction = std::function<void(const std::string&)>;
  // Gets each whole frame received (the switch table's HandleFrame).
  using FrameHandler = std::function<void(const uint8_t* frame, size_t length)>;

  // print receives the receive-path diagnostics; null prints them to
  // standard output. driver must outlive the adapter.
  CaptureAdapter(PacketDriver* driver, FrameHandler handler,
                 PrintFunction print);
  ~CaptureAdapter();  // Stop()
  CaptureAdapter(const CaptureAdapter&) = delete;
  CaptureAdapter& operator=(const CaptureAdapter&) = delete;

  // Keeps at most 259 characters of the adapter's NDIS name.
  void SetNdisName(std::string_view ndis_name);
  const std::string& ndis_name() const { return ndis_name_; }

  // Opens the adapter, loads the filter, starts the receive thread and sets
  // the packet filter (see above for the failures). A failure leaves
  // nothing running and the handle closed.
  bool Start();
  // Stops capture and closes the adapter; safe to call more than once.
  void Stop();

  PKIO_HANDLE handle() const { return pump_.handle(); }
  bool receiving() const { return pump_.receiving(); }
  // The packet filter the adapter accepted; 0 before that.
  DWORD packet_filter() const { return pump_.packet_filter(); }
  // Reads currently posted; falls by one for each retired descriptor.
  int posted_reads() const { return pump_.posted_reads(); }
  // Completions fully handled so far, re-post included (idle ones after
  // Stop not counted).
  uint64_t completions() const { return pump_.completions(); }
  // Frames dropped because the driver delivered less than their length.
  uint64_t truncated_frames() const { return pump_.truncated(); }

 private:
  static pkio::CapturePumpOptions PumpOptions(CaptureAdapter* self,
                                              FrameHandler handler);
  void Print(const std::string& text);

  const PrintFunction print_;
  std::string ndis_name_;
  pkio::CapturePump pump_;
};

}  // namespace kavex::device

#endif  // KAVEX_DEVICE_CAPTURE_H_
