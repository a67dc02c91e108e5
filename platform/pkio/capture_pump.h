// The posted-read pump: capture on one adapter the way a monitoring program
// does it. Start opens the adapter, loads a filter program, starts a receive
// thread of the pump's own that keeps N reads posted, and sets the adapter's
// packet filter; every frame a read completes with goes to the sink, on the
// receive thread, and the read is posted again. Stop ends it all: the stop
// flag idles every later completion, the receive thread is woken and
// joined, the posted reads are cancelled, the adapter is closed and only
// then are the read blocks freed.
//
// Steps and their order:
//   Start: close an adapter still open; open (failure: hooks.open_failed
//   with the driver's error number, nothing else done); create the request
//   event (failure: close the adapter, hooks.event_failed); reset it, load
//   the program, set the timestamp resolution to 1 (results not checked);
//   start the receive thread (failure: close the adapter,
//   hooks.thread_failed); set the packet filter to each value of
//   packet_filters in turn until the adapter takes one (none taken: stop
//   everything, no hook). Every failure leaves nothing running.
//   Receive thread: allocate the N read blocks, zeroed, each with the "RECV"
//   signature; post each in order; then wait alertably, 500 ms at a time,
//   until the stop flag is set. Completion routines run in those waits.
//   Completion: nothing after the stop flag, nothing for a block without the
//   signature; a non-zero status goes to hooks.read_failed and the block is
//   not posted again; otherwise the frame goes to the sink (see Frame for
//   truncated frames) and the block is posted again. A post the driver
//   refuses (any error but ERROR_IO_PENDING) goes to hooks.post_failed and
//   is not tried again: the number of posted reads only ever falls.
//
// Threads: Start and Stop from one controlling thread (not from the sink);
// the sink and the read hooks run on the receive thread only, never two at
// once; the counters may be read from any thread.
#ifndef KAVEX_PLATFORM_PKIO_CAPTURE_PUMP_H_
#define KAVEX_PLATFORM_PKIO_CAPTURE_PUMP_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/base/unique_handle.h"
#include "platform/pkio/packet_driver.h"
#include "platform/pkio/pkiolib.h"

namespace kavex::pkio {

class CapturePump;

inline constexpr uint32_t kReceiveSignature = 0x56434552;  // "RECV"

// One posted read. The overlapped block's Pointer field (free for the
// caller) leads the completion routine back to its descriptor.
struct ReceiveDescriptor {
  uint32_t signature = 0;
  CapturePump* owner = nullptr;
  OVERLAPPED overlapped{};
  PKIO_PACKET packet{};
};

// A completed frame as the sink sees it; data is valid during the call.
struct Frame {
  const BYTE* data;
  DWORD length;       // bytes delivered, at most PKIO_MAX_FRAME_SIZE
  DWORD wire_length;  // the frame's length on the wire
  DWORD sequence;     // the driver's sequence number
  ULONGLONG timestamp;
};

struct CapturePumpHooks {
  // The adapter could not be opened: the driver's error number.
  std::function<void(DWORD error)> open_failed;
  // The request event could not be created.
  std::function<void()> event_failed;
  // The receive thread could not be started.
  std::function<void()> thread_failed;
  // A read completed with this non-zero status; it is not posted again.
  std::function<void(DWORD status)> read_failed;
  // The driver refused a post with this error; it is not tried again.
  std::function<void(DWORD error)> post_failed;
};

struct CapturePumpOptions {
  std::vector<bpf_insn> program;      // loaded at start; empty: none
  std::vector<DWORD> packet_filters;  // tried in order at start
  int reads = 512;                    // read blocks kept posted
  // Frames whose wire length exceeds the bytes delivered (a jumbo frame
  // cut to the read block) are dropped and counted, the first one also
  // logged under log_category; with this set they go to the sink as well.
  bool deliver_truncated = false;
  const char* log_category = "pkio";
  std::function<void(const Frame& frame)> sink;
  CapturePumpHooks hooks;
};

class CapturePump {
 public:
  // driver must outlive the pump.
  CapturePump(PacketDriver* driver, CapturePumpOptions options);
  ~CapturePump();  // Stop()
  CapturePump(const CapturePump&) = delete;
  CapturePump& operator=(const CapturePump&) = delete;

  // See the steps above; true when capture runs.
  bool Start(const std::string& ndis_name);
  // Idempotent; safe after a failed Start.
  void Stop();

  PKIO_HANDLE handle() const { return handle_.load(); }
  bool receiving() const { return receive_thread_.valid(); }
  // The packet filter the adapter took; 0 before that.
  DWORD packet_filter() const { return packet_filter_; }
  // Reads currently posted.
  int posted_reads() const { return posted_.load(std::memory_order_relaxed); }
  // Completions fully handled so far (idle ones after Stop not counted).
  uint64_t completions() const {
    return completions_.load(std::memory_order_relaxed);
  }
  // Frames handed to the sink, and truncated frames dropped, since Start.
  uint64_t frames() const { return frames_.load(std::memory_order_relaxed); }
  uint64_t truncated() const {
    return truncated_.load(std::memory_order_relaxed);
  }

 private:
  static DWORD ReceiveThread(void* argument);
  static void Completion(DWORD error_code, DWORD bytes, OVERLAPPED* overlapped);
  void Receive();
  void Complete(ReceiveDescriptor* descriptor);
  bool Post(ReceiveDescriptor* descriptor);
  bool SetPacketFilter();
  // Counters written by the receive thread alone: a plain store, no
  // locked instruction per frame.
  static void Bump(std::atomic<uint64_t>& counter) {
    counter.store(counter.load(std::memory_order_relaxed) + 1,
                  std::memory_order_relaxed);
  }

  PacketDriver* const driver_;
  const CapturePumpOptions options_;
  std::string ndis_name_;

  std::atomic<PKIO_HANDLE> handle_{PKIO_INVALID_HANDLE};
  UniqueHandle request_event_;
  OVERLAPPED request_overlapped_{};
  UniqueHandle shared_read_event_;  // legacy platform only
  DWORD packet_filter_ = 0;

  // Written by the receive thread, freed by Stop once it has ended and the
  // adapter is closed.
  std::unique_ptr<ReceiveDescriptor[]> descriptors_;
  UniqueHandle receive_thread_;

  std::atomic<bool> stop_{false};
  std::atomic<int> posted_{0};
  std::atomic<uint64_t> completions_{0};
  std::atomic<uint64_t> frames_{0};
  std::atomic<uint64_t> truncated_{0};
};

}  // namespace kavex::pkio

#endif  // KAVEX_PLATFORM_PKIO_CAPTURE_PUMP_H_
