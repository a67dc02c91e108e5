// Capture on the device's one adapter: the Velto packet filter, 512 reads kept
// posted by a dedicated receive thread, and the completion routine that hands
// every received frame to the switch table.
//
// Completion routines run on the receive thread only, during its alertable
// waits, so they never run concurrently with each other. Stop() ends it all:
// the stop flag idles every later completion, the receive thread is woken and
// joined, the posted reads are cancelled and the adapter closed; after that
// no completion can touch the descriptors, and they are freed.
#ifndef KAVEX_DEVICE_CAPTURE_H_
#define KAVEX_DEVICE_CAPTURE_H_

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/pkio/pkiolib.h"
#include "platform/sync/handle.h"

namespace kavex::device {

class CaptureAdapter;
class PacketDriver;
class SwitchTable;

inline constexpr char kCaptureMessageCaption[] = "Kavex OPC Server";
inline constexpr size_t kMaxNdisNameLength = 259;
inline constexpr int kReceiveDescriptorCount = 512;
inline constexpr uint32_t kReceiveSignature = 0x56434552;  // "RECV"

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

// One posted read. The overlapped block's Pointer field (free for the caller)
// leads the completion routine back to its descriptor.
struct ReceiveDescriptor {
  uint32_t signature = 0;
  CaptureAdapter* owner = nullptr;
  OVERLAPPED overlapped{};
  PKIO_PACKET packet{};
};

class CaptureAdapter {
 public:
  using PrintFunction = std::function<void(const std::string&)>;

  // print receives the receive-path diagnostics; null prints them to
  // standard output.
  CaptureAdapter(PacketDriver* driver, SwitchTable* table, PrintFunction print);
  ~CaptureAdapter();  // Stop()
  CaptureAdapter(const CaptureAdapter&) = delete;
  CaptureAdapter& operator=(const CaptureAdapter&) = delete;

  // Keeps at most 259 characters of the adapter's NDIS name.
  void SetNdisName(std::string_view ndis_name);
  const std::string& ndis_name() const { return ndis_name_; }

  // Opens the adapter, loads the filter, starts the receive thread and sets
  // the packet filter. Open, event and thread failures show their message
  // box; a packet filter refused in all three forms fails silently. A
  // failure leaves nothing running and the handle closed.
  bool Start();
  // Stops capture and closes the adapter; safe to call more than once.
  void Stop();

  PKIO_HANDLE handle() const { return handle_.load(); }
  bool receiving() const { return receive_thread_ != nullptr; }
  // The packet filter the adapter accepted; 0 before that.
  DWORD packet_filter() const { return packet_filter_; }
  // Reads currently posted; falls by one for each retired descriptor.
  int posted_reads() const { return posted_.load(); }
  // Completions fully handled so far, re-post included (idle ones after
  // Stop not counted).
  uint64_t completions() const { return completions_.load(); }

 private:
  static DWORD ReceiveThread(void* argument);
  static void Completion(DWORD error_code, DWORD bytes, OVERLAPPED* overlapped);
  void Receive();
  void Complete(ReceiveDescriptor* descriptor);
  // Posts one read; false when the driver did not take it (reported).
  bool Post(ReceiveDescriptor* descriptor);
  bool SetPacketFilter();
  void Print(const std::string& text);
  void ShowMessage(const std::string& text);

  PacketDriver* const driver_;
  SwitchTable* const table_;
  const PrintFunction print_;
  std::string ndis_name_;

  std::atomic<PKIO_HANDLE> handle_{PKIO_INVALID_HANDLE};
  HANDLE request_event_ = nullptr;
  OVERLAPPED request_overlapped_{};
  HANDLE shared_read_event_ = nullptr;  // legacy platform only
  DWORD packet_filter_ = 0;

  // Written by the receive thread, freed by Stop once it has ended and the
  // adapter is closed.
  std::unique_ptr<ReceiveDescriptor[]> descriptors_;
  HANDLE receive_thread_ = nullptr;
  DWORD receive_thread_id_ = 0;

  std::atomic<bool> stop_{false};
  std::atomic<int> posted_{0};
  std::atomic<uint64_t> completions_{0};
};

}  // namespace kavex::device

#endif  // KAVEX_DEVICE_CAPTURE_H_
