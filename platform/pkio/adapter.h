// One open adapter: its receive thread, which hands every frame that passes
// the adapter's filters to the oldest posted read, its adapter requests and
// its sends. Subclasses, one per frame source (frame_source.h), supply the
// frames (a packet socket ring, a simulated LAN) and the link-level
// operations. The receive thread is named "pkio:<last part of the NDIS
// name>" (cut to 15 characters).
#ifndef KAVEX_PLATFORM_PKIO_ADAPTER_H_
#define KAVEX_PLATFORM_PKIO_ADAPTER_H_

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "platform/pkio/completion_queue.h"
#include "platform/pkio/pkiolib.h"

namespace kavex::pkio {

// A received frame as a source hands it over; data stays valid until the
// source's ReleaseBatch.
struct RxFrame {
  const uint8_t* data;
  uint32_t caplen;
  uint32_t wirelen;
  uint64_t timestamp;  // 100 ns units since the adapter opened
  uint8_t pkttype;     // PACKET_HOST, PACKET_BROADCAST, ... (linux/if_packet.h)
};

class FrameSource {
 public:
  virtual ~FrameSource() = default;
  // Returns when frames may be ready, Wake() was called, or after about
  // timeout_ms; a negative timeout_ms means nothing is due, and the source
  // waits at its own idle pace (a fraction of a second at most).
  virtual void Wait(int timeout_ms) = 0;
  // Appends the next frames that are ready; *drops counts frames lost before
  // them. Nothing appended and no drops: nothing is ready.
  virtual void NextBatch(std::vector<RxFrame>* frames, uint64_t* drops) = 0;
  virtual void ReleaseBatch() = 0;
  virtual void Wake() = 0;
};

struct AdapterProperties {
  std::array<uint8_t, 6> address{};
  std::string description;
  bool connected = true;
  uint64_t link_speed_mbit = 0;
  uint32_t mtu = 1500;
};

class Adapter {
 public:
  enum class Mode { kSingle, kMulti, kProtocolDriver };

  virtual ~Adapter();
  Adapter(const Adapter&) = delete;
  Adapter& operator=(const Adapter&) = delete;

  Mode mode() const { return mode_; }
  const std::string& ndis_name() const { return ndis_name_; }

  // The handle the library gave this adapter, set once after opening.
  void set_handle(PKIO_HANDLE handle) {
    handle_.store(handle, std::memory_order_release);
  }
  // The adapter with this handle when the calling thread is running one of
  // its completion routines, else null: a re-post from a routine needs no
  // handle table look-up, since the adapter cannot be closed by another
  // thread before the routine returns.
  // *queue is then the routine's completion queue.
  static Adapter* RunningOnThisThread(PKIO_HANDLE handle,
                                      CompletionQueue** queue);

  // Stops the receive thread and drops every posted read; no completion
  // routine of this adapter runs after it returns.
  void Close();

  // Return ERROR_IO_PENDING when the read is posted, leaving the thread's
  // last error alone (the caller sets it when its interface says so);
  // otherwise the error, which is also set with its reason. running: the
  // queue RunningOnThisThread found for this adapter, when the caller is one
  // of its routines (saves looking the thread up again).
  DWORD PostRead(PKIO_PACKET* packet, OVERLAPPED* overlapped,
                 LPOVERLAPPED_COMPLETION_ROUTINE routine,
                 CompletionQueue* running = nullptr);
  DWORD PostMultiRead(MPR_PACKET_BUFFER* buffer, OVERLAPPED* overlapped,
                      LPOVERLAPPED_COMPLETION_ROUTINE routine,
                      CompletionQueue* running = nullptr);
  BOOL Cancel(OVERLAPPED* overlapped);
  BOOL SetBpfProgram(const void* program, DWORD length_bytes);
  BOOL Send(const void* frame, DWORD length);
  BOOL SendEx(const void* frame, DWORD length, OVERLAPPED* overlapped,
              LPOVERLAPPED_COMPLETION_ROUTINE routine);
  BOOL DisableLoopback(DWORD offset, DWORD length, const BYTE* address);
  BOOL SetTimestampResolution(DWORD resolution);
  BOOL GetTimestampInformation(PKIO_TIMESTAMP_INFO* info);
  void SetReadTimeout(DWORD ms);
  NDIS_STATUS Request(PKIO_NDIS_REQUEST* request);
  NDIS_STATUS PrivateRequest(PKIO_NDIS_REQUEST* request);

  // Counters for the driver statistics.
  struct Stats {
    uint64_t received = 0;      // delivered to reads
    uint64_t kernel_drops = 0;  // lost before the library saw them
    uint64_t user_drops = 0;    // no read was posted
    uint64_t sent = 0;
    uint64_t send_failures = 0;
  };
  Stats stats();

 protected:
  Adapter(Mode mode, std::string ndis_name);

  // Starts the receive thread; subclasses call it once they are ready.
  void StartReceiving(FrameSource* source);

  // Attaches (null: removes) a validated program.
  virtual bool ApplyBpf(std::span<const bpf_insn> program,
                        std::string* reason) = 0;
  // Receives for a non-zero NDIS packet filter, nothing for 0.
  virtual bool ApplyPacketFilter(DWORD filter, std::string* reason) = 0;
  virtual bool SendFrame(const uint8_t* frame, uint32_t length,
                         std::string* reason) = 0;
  virtual AdapterProperties Properties() = 0;

  // Opened time, for timestamps.
  uint64_t open_file_time() const { return open_file_time_; }

 private:
  struct PostedRead {
    PKIO_PACKET* packet = nullptr;
    MPR_PACKET_BUFFER* buffer = nullptr;
    OVERLAPPED* overlapped = nullptr;
    LPOVERLAPPED_COMPLETION_ROUTINE routine = nullptr;
    CompletionQueue* queue = nullptr;  // owned by queues_ until Close
    uint32_t next_offset = 0;
    uint32_t count = 0;
    uint32_t first_tick = 0;
  };
  // A run of pending_ completions bound for one queue, ending before end.
  struct PendingRun {
    CompletionQueue* queue;
    size_t end;
  };

  // Sets the error; the first time a reason comes up on this adapter it is
  // also logged, with the adapter's name (the reasons carry the values).
  void Refuse(DWORD code, const std::string& reason);
  DWORD Post(PostedRead read, CompletionQueue* running);
  CompletionQueue* QueueForCaller(CompletionQueue* running);
  void ReceiveLoop();
  void Deliver(const std::vector<RxFrame>& frames, uint64_t drops);
  bool Passes(const RxFrame& frame) const;
  bool WaitForRead(std::unique_lock<std::mutex>& lock);
  PostedRead& FrontRead() { return reads_[read_head_]; }
  void PopRead();
  void Complete(const PostedRead& read, DWORD error, DWORD bytes);
  void FlushCompletions();
  void FillSingle(const RxFrame& frame, uint32_t sequence);
  void FillMulti(const RxFrame& frame, uint32_t sequence,
                 std::unique_lock<std::mutex>& lock);
  void CompleteMulti(PostedRead& read);
  int CompleteExpiredBuffer();  // returns ms until the next check is due
  NDIS_STATUS SetPacketFilter(PKIO_NDIS_REQUEST* request);

  const Mode mode_;
  const std::string ndis_name_;
  const uint64_t open_file_time_;
  std::atomic<PKIO_HANDLE> handle_{PKIO_INVALID_HANDLE};
  FrameSource* source_ = nullptr;
  std::thread receiver_;
  std::atomic<bool> stopping_{false};

  // Lock order: mu_, then inbox_mu_, then a completion queue's own lock.
  // mu_ is held by the receive thread while it fills a batch of reads;
  // posting a read takes only inbox_mu_, so re-posting from completion
  // routines never waits for a batch being filled.
  std::mutex mu_;
  std::vector<PostedRead> reads_;  // taken from the inbox, oldest at head
  size_t read_head_ = 0;
  // The batch's completions, in order; both empty whenever mu_ is free.
  std::vector<Completion> pending_;
  std::vector<PendingRun> pending_runs_;
  DWORD packet_filter_ = 0;
  uint32_t next_sequence_ = 1;
  DWORD read_timeout_ms_ = 10;
  DWORD timestamp_resolution_ = 0;
  std::vector<uint8_t> loopback_address_;
  DWORD loopback_offset_ = 0;
  Stats stats_;
  std::mutex reported_mu_;
  std::set<std::string> reported_;

  // What posting touches, on cache lines of its own: the receive thread's
  // per-frame writes above do not pull them away from a posting thread.
  alignas(64) std::mutex inbox_mu_;
  // reads_.size() - read_head_ as of the receive thread's last batch, for
  // the limit on outstanding reads.
  std::atomic<size_t> taken_reads_{0};
  std::condition_variable read_posted_;
  std::vector<PostedRead> inbox_;  // posted reads, in posting order
  std::vector<std::shared_ptr<CompletionQueue>> queues_;
  bool closed_ = false;  // written under both locks
  bool starved_ = false;
  bool receiver_waiting_ = false;
};

// Answers OID_PKIO_BINDING_LIST (implemented with the adapter enumeration).
NDIS_STATUS QueryBindingList(PKIO_NDIS_REQUEST* request);

// The driver's own description (private OID_GEN_VENDOR_DESCRIPTION).
constexpr char kDriverDescription[] = "Kavex Pkiolib packet driver (AF_PACKET)";

// Writes a query answer: checks the length, copies, sets BytesTransferred or
// BytesNeeded.
NDIS_STATUS AnswerQuery(PKIO_NDIS_REQUEST* request, const void* data,
                        DWORD size, NDIS_STATUS short_status);

}  // namespace kavex::pkio

#endif  // KAVEX_PLATFORM_PKIO_ADAPTER_H_
