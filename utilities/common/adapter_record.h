// The adapter record of the packet dump utilities: the open adapter, what
// the adapter-information report found out, and the counters.
#ifndef KAVEX_UTILITIES_COMMON_ADAPTER_RECORD_H_
#define KAVEX_UTILITIES_COMMON_ADAPTER_RECORD_H_

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/pkio/pkiolib.h"

namespace kavex::utilities {

// A counter written by one thread and read by others (the Ctrl-C handler,
// the progress line): no read-modify-write bus lock per frame, yet every
// read sees a whole value.
template <typename T>
class Counter {
 public:
  void Add(T n) {
    value_.store(value_.load(std::memory_order_relaxed) + n,
                 std::memory_order_relaxed);
  }
  void Reset() { value_.store(0, std::memory_order_relaxed); }
  T get() const { return value_.load(std::memory_order_relaxed); }

 private:
  std::atomic<T> value_{0};
};

// The sequence check of received frames. With a previous number held (not
// 0), a frame whose number is not previous + 1 is a sequence error; a
// higher number adds the gap to the frames missing ahead, a lower one to
// those missing behind. Every frame's number becomes the previous one.
class SequenceCheck {
 public:
  // '+' or '-' for a sequence error, else 0.
  char Check(uint32_t sequence);
  void Reset();

  uint32_t errors() const { return errors_.get(); }
  uint32_t missing_ahead() const { return ahead_.get(); }
  uint32_t missing_behind() const { return behind_.get(); }

 private:
  uint32_t previous_ = 0;
  Counter<uint32_t> errors_;
  Counter<uint32_t> ahead_;
  Counter<uint32_t> behind_;
};

// Five 32-bit values and a text from the protocol driver; -1 / "Unknown"
// when the driver does not answer.
struct ProtocolStatistics {
  LONG rx_missed_kernel = -1;  // receives lost for lack of driver resources
  LONG rx_missed_user = -1;    // receives lost for want of a posted read
  LONG received = -1;          // OID_GEN_RCV_OK
  LONG tx_missed_kernel = -1;
  LONG sent = -1;  // OID_GEN_XMIT_OK
  std::string driver_description = "Unknown";
};

constexpr size_t kMaxDescriptionLength = 80;

struct AdapterRecord {
  // PKIO_INVALID_HANDLE when not open; read by the Ctrl-C handler.
  std::atomic<PKIO_HANDLE> handle{PKIO_INVALID_HANDLE};
  DWORD medium = 0;
  BYTE address[6] = {};
  bool address_known = false;
  std::string description = "Unknown";  // at most 80 characters

  // Receive counters (the receive thread's).
  Counter<uint32_t> packets;
  Counter<uint64_t> bytes;
  Counter<uint32_t> buffers;  // multi-packet buffers
  SequenceCheck sequence;
  // The timestamp frequency, fetched on the first packet (0: not yet).
  uint64_t timestamp_frequency = 0;

  // Send counters (the send thread's).
  Counter<uint32_t> sends_completed;
  Counter<uint32_t> sends_in_flight;
  Counter<uint32_t> sends_issued;
  Counter<uint32_t> sends_done;
  Counter<uint32_t> sends_at_once;

  void ResetReceiveCounters() {
    packets.Reset();
    bytes.Reset();
    buffers.Reset();
    sequence.Reset();
  }
};

}  // namespace kavex::utilities

#endif  // KAVEX_UTILITIES_COMMON_ADAPTER_RECORD_H_
