#include "platform/pkio/adapter.h"

#include <linux/if_packet.h>
#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/base/results.h"
#include "platform/log/logger.h"
#include "platform/pkio/bpf.h"
#include "platform/pkio/last_error.h"
#include "platform/sync/apc.h"
#include "platform/sync/clock.h"
#include "platform/sync/event.h"

namespace kavex::pkio {
namespace {

constexpr DWORD kErrorNotFound = 1168;
// More outstanding reads than this is a caller's leak, not a plan.
constexpr size_t kMaxPostedReads = 65536;
// A frame waits this long for a read to be posted before it is dropped.
constexpr auto kReadWait = std::chrono::milliseconds(100);
constexpr DWORD kSupportedPacketFilter =
    NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_MULTICAST |
    NDIS_PACKET_TYPE_ALL_MULTICAST | NDIS_PACKET_TYPE_BROADCAST |
    NDIS_PACKET_TYPE_PROMISCUOUS | NDIS_PACKET_TYPE_ALL_LOCAL;
constexpr DWORD kMinMultiBuffer = MPR_RECORD_FRAME_OFFSET + 64;

uint8_t* PacketData(PKIO_PACKET* packet) {
  return reinterpret_cast<uint8_t*>(packet) + offsetof(PKIO_PACKET, Data);
}
uint8_t* BufferData(MPR_PACKET_BUFFER* buffer) {
  return reinterpret_cast<uint8_t*>(buffer) + offsetof(MPR_PACKET_BUFFER, Data);
}

}  // namespace

NDIS_STATUS AnswerQuery(PKIO_NDIS_REQUEST* request, const void* data,
                        DWORD size, NDIS_STATUS short_status) {
  if (request->InformationBuffer == nullptr ||
      request->InformationBufferLength < size) {
    request->BytesTransferred = 0;
    request->BytesNeeded = size;
    return short_status;
  }
  memcpy(request->InformationBuffer, data, size);
  request->BytesTransferred = size;
  request->BytesNeeded = 0;
  return NDIS_STATUS_SUCCESS;
}

void Adapter::Refuse(DWORD code, const std::string& reason) {
  SetError(code, reason);
  {
    // A bounded number of distinct reasons; the rest only fail.
    std::lock_guard<std::mutex> lock(reported_mu_);
    if (reported_.size() >= 64 || !reported_.insert(reason).second) return;
  }
  log::Logf(log::Level::kWarning, "pkio", "%s: %s; refused", ndis_name_.c_str(),
            reason.c_str());
}

Adapter::Adapter(Mode mode, std::string ndis_name)
    : mode_(mode),
      ndis_name_(std::move(ndis_name)),
      open_file_time_(sync::CurrentClock()->FileTimeNow()) {}

Adapter::~Adapter() { Close(); }

void Adapter::StartReceiving(FrameSource* source) {
  source_ = source;
  receiver_ = std::thread([this] {
    // "pkio:<interface>" in top -H and /proc/<pid>/task/*/comm.
    std::string name = ndis_name_.substr(ndis_name_.rfind('\\') + 1);
    name = ("pkio:" + name).substr(0, 15);
    pthread_setname_np(pthread_self(), name.c_str());
    ReceiveLoop();
  });
}

void Adapter::Close() {
  std::vector<std::shared_ptr<CompletionQueue>> queues;
  {
    std::lock_guard<std::mutex> lock(mu_);
    std::lock_guard<std::mutex> inbox_lock(inbox_mu_);
    if (closed_) return;
    closed_ = true;
    reads_.clear();
    read_head_ = 0;
    taken_reads_ = 0;
    inbox_.clear();
    queues.swap(queues_);
  }
  stopping_ = true;
  read_posted_.notify_all();
  if (source_ != nullptr) source_->Wake();
  if (receiver_.joinable()) receiver_.join();
  for (auto& queue : queues) queue->Close();
}

Adapter::Stats Adapter::stats() {
  std::lock_guard<std::mutex> lock(mu_);
  return stats_;
}

Adapter* Adapter::RunningOnThisThread(PKIO_HANDLE handle,
                                      CompletionQueue** queue) {
  CompletionQueue* running = CompletionQueue::Running();
  if (running == nullptr || handle == PKIO_INVALID_HANDLE) return nullptr;
  auto* adapter = static_cast<Adapter*>(running->owner());
  if (adapter == nullptr ||
      adapter->handle_.load(std::memory_order_acquire) != handle) {
    return nullptr;
  }
  *queue = running;
  return adapter;
}

CompletionQueue* Adapter::QueueForCaller(CompletionQueue* running) {
  // Re-posting from a routine: its own queue, without the search.
  if (running != nullptr && running->owner() == this) return running;
  const uint64_t token = CurrentThreadToken();
  for (auto& queue : queues_) {
    if (queue->thread_token() == token) return queue.get();
  }
  // A receive thread waiting for reads is woken once per batch of
  // completions that re-post them, not by the first re-post alone.
  auto queue = CompletionQueue::ForCurrentThread(
      [this] { read_posted_.notify_one(); }, this);
  if (!queue) return nullptr;
  queues_.push_back(queue);
  return queue.get();
}

DWORD Adapter::Post(PostedRead read, CompletionQueue* running) {
  // One look at the thread's state serves the whole post.
  if (running == nullptr) running = CompletionQueue::Running();
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(inbox_mu_);
    if (closed_) {
      SetError(ERROR_INVALID_HANDLE, "the adapter is closed");
      return ERROR_INVALID_HANDLE;
    }
    if (inbox_.size() + taken_reads_.load(std::memory_order_relaxed) >=
        kMaxPostedReads) {
      Refuse(ERROR_NO_SYSTEM_RESOURCES, "more than " +
                                            std::to_string(kMaxPostedReads) +
                                            " reads outstanding");
      return ERROR_NO_SYSTEM_RESOURCES;
    }
    read.queue = QueueForCaller(running);
    if (read.queue == nullptr) {
      SetError(ERROR_NO_SYSTEM_RESOURCES, "no handle for the calling thread");
      return ERROR_NO_SYSTEM_RESOURCES;
    }
    inbox_.push_back(read);
    starved_ = false;
    // Only a receive thread waiting for reads needs the (system call) wake;
    // from a completion routine it comes when the batch ends.
    if (receiver_waiting_) {
      if (read.queue == running) {
        running->DeferRunningToBatchEnd();
      } else {
        wake = true;
      }
    }
  }
  if (wake) read_posted_.notify_one();
  return ERROR_IO_PENDING;
}

DWORD Adapter::PostRead(PKIO_PACKET* packet, OVERLAPPED* overlapped,
                        LPOVERLAPPED_COMPLETION_ROUTINE routine,
                        CompletionQueue* running) {
  if (mode_ != Mode::kSingle) {
    Refuse(ERROR_INVALID_FUNCTION,
           "a single read on an adapter not opened for it");
    return ERROR_INVALID_FUNCTION;
  }
  if (packet == nullptr || routine == nullptr || packet->BufferCapacity == 0) {
    Refuse(ERROR_INVALID_PARAMETER,
           "a read needs a block with a capacity and a completion routine");
    return ERROR_INVALID_PARAMETER;
  }
  PostedRead read;
  read.packet = packet;
  read.overlapped = overlapped;
  read.routine = routine;
  return Post(std::move(read), running);
}

DWORD Adapter::PostMultiRead(MPR_PACKET_BUFFER* buffer, OVERLAPPED* overlapped,
                             LPOVERLAPPED_COMPLETION_ROUTINE routine,
                             CompletionQueue* running) {
  if (mode_ != Mode::kMulti) {
    Refuse(ERROR_INVALID_FUNCTION,
           "a multi-packet read on an adapter not opened for it");
    return ERROR_INVALID_FUNCTION;
  }
  if (buffer == nullptr || routine == nullptr ||
      buffer->BufferSize < kMinMultiBuffer) {
    Refuse(ERROR_INVALID_PARAMETER,
           "a multi-packet read needs a buffer of at least 88 bytes and a "
           "completion routine");
    return ERROR_INVALID_PARAMETER;
  }
  buffer->Status = 0;
  buffer->PacketCount = 0;
  buffer->BytesUsed = 0;
  PostedRead read;
  read.buffer = buffer;
  read.overlapped = overlapped;
  read.routine = routine;
  return Post(std::move(read), running);
}

BOOL Adapter::Cancel(OVERLAPPED* overlapped) {
  std::lock_guard<std::mutex> lock(mu_);
  std::lock_guard<std::mutex> inbox_lock(inbox_mu_);
  bool found = false;
  // Oldest first: the reads the receive thread has taken, then the inbox.
  auto cancel = [&](std::vector<PostedRead>& reads, size_t head) {
    auto keep = reads.begin() + static_cast<ptrdiff_t>(head);
    for (auto it = keep; it != reads.end(); ++it) {
      if (overlapped != nullptr && it->overlapped != overlapped) {
        *keep++ = *it;
        continue;
      }
      found = true;
      if (it->packet != nullptr) it->packet->Status = ERROR_OPERATION_ABORTED;
      if (it->buffer != nullptr) {
        it->buffer->Status = ERROR_OPERATION_ABORTED;
        it->buffer->PacketCount = 0;
        it->buffer->BytesUsed = 0;
      }
      it->queue->Push({it->routine, static_cast<DWORD>(ERROR_OPERATION_ABORTED),
                       0, it->overlapped});
    }
    reads.erase(keep, reads.end());
  };
  cancel(reads_, read_head_);
  cancel(inbox_, 0);
  if (read_head_ == reads_.size()) {
    reads_.clear();
    read_head_ = 0;
  }
  taken_reads_.store(reads_.size() - read_head_, std::memory_order_relaxed);
  if (!found) {
    SetError(kErrorNotFound, "no such read is posted");
    return FALSE;
  }
  return TRUE;
}

BOOL Adapter::SetBpfProgram(const void* program, DWORD length_bytes) {
  std::string reason;
  if (program == nullptr || length_bytes == 0) {
    if (!ApplyBpf({}, &reason)) {
      SetError(ERROR_GEN_FAILURE, reason);
      return FALSE;
    }
    return TRUE;
  }
  if (length_bytes % sizeof(bpf_insn) != 0) {
    Refuse(ERROR_INVALID_PARAMETER,
           "a filter program of " + std::to_string(length_bytes) +
               " bytes: programs are whole 8-byte instructions");
    return FALSE;
  }
  std::vector<bpf_insn> insns(length_bytes / sizeof(bpf_insn));
  memcpy(insns.data(), program, length_bytes);
  if (!BpfValidate(insns)) {
    Refuse(ERROR_INVALID_PARAMETER,
           "the filter program of " + std::to_string(insns.size()) +
               " instructions is not valid (unknown code, jump out of the "
               "program or no final return)");
    return FALSE;
  }
  if (!ApplyBpf(insns, &reason)) {
    SetError(ERROR_GEN_FAILURE, reason);
    return FALSE;
  }
  return TRUE;
}

BOOL Adapter::Send(const void* frame, DWORD length) {
  if (frame == nullptr || length < 14 || length > PKIO_MAX_FRAME_SIZE) {
    Refuse(ERROR_INVALID_PARAMETER,
           "a frame of " + std::to_string(length) +
               " bytes to send: frames are 14 to 1514 bytes");
    return FALSE;
  }
  std::string reason;
  bool sent = SendFrame(static_cast<const uint8_t*>(frame), length, &reason);
  std::lock_guard<std::mutex> lock(mu_);
  if (!sent) {
    ++stats_.send_failures;
    SetError(ERROR_GEN_FAILURE, reason);
    return FALSE;
  }
  ++stats_.sent;
  return TRUE;
}

BOOL Adapter::SendEx(const void* frame, DWORD length, OVERLAPPED* overlapped,
                     LPOVERLAPPED_COMPLETION_ROUTINE routine) {
  if (routine == nullptr) {
    SetError(ERROR_INVALID_PARAMETER, "a send needs a completion routine");
    return FALSE;
  }
  if (!Send(frame, length)) return FALSE;
  CompletionQueue* queue = nullptr;
  {
    std::lock_guard<std::mutex> lock(inbox_mu_);
    if (!closed_) queue = QueueForCaller(CompletionQueue::Running());
    // Pushed under the lock: Close cannot retire the queue meanwhile.
    if (queue != nullptr && !queue->Push({routine, 0, length, overlapped})) {
      queue = nullptr;
    }
  }
  if (queue == nullptr) {
    SetError(ERROR_NO_SYSTEM_RESOURCES, "cannot queue the send completion");
    return FALSE;
  }
  SetError(ERROR_IO_PENDING);
  return FALSE;
}

BOOL Adapter::DisableLoopback(DWORD offset, DWORD length, const BYTE* address) {
  if (address == nullptr || length == 0 || length > 16 ||
      offset + length > PKIO_MAX_FRAME_SIZE) {
    Refuse(ERROR_INVALID_PARAMETER,
           "a loopback address of " + std::to_string(length) +
               " bytes at offset " + std::to_string(offset) +
               ": 1 to 16 bytes inside a frame");
    return FALSE;
  }
  std::lock_guard<std::mutex> lock(mu_);
  loopback_offset_ = offset;
  loopback_address_.assign(address, address + length);
  return TRUE;
}

BOOL Adapter::SetTimestampResolution(DWORD resolution) {
  std::lock_guard<std::mutex> lock(mu_);
  timestamp_resolution_ = resolution;
  return TRUE;
}

BOOL Adapter::GetTimestampInformation(PKIO_TIMESTAMP_INFO* info) {
  if (info == nullptr) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard<std::mutex> lock(mu_);
  *info = {};
  info->Size = sizeof *info;
  info->Version = 1;
  info->Resolution = static_cast<WORD>(timestamp_resolution_);
  info->Frequency = 10000000;
  info->OpenTime = UInt64ToFileTime(open_file_time_);
  return TRUE;
}

void Adapter::SetReadTimeout(DWORD ms) {
  std::lock_guard<std::mutex> lock(mu_);
  read_timeout_ms_ = ms;
}

NDIS_STATUS Adapter::SetPacketFilter(PKIO_NDIS_REQUEST* request) {
  if (request->InformationBuffer == nullptr ||
      request->InformationBufferLength < 4) {
    request->BytesNeeded = 4;
    return NDIS_STATUS_INVALID_LENGTH;
  }
  DWORD filter;
  memcpy(&filter, request->InformationBuffer, 4);
  if ((filter & ~kSupportedPacketFilter) != 0) {
    char text[96];
    snprintf(text, sizeof text, "packet filter 0x%8.8X is not supported",
             static_cast<unsigned>(filter));
    Refuse(ERROR_NOT_SUPPORTED, text);
    return NDIS_STATUS_NOT_SUPPORTED;
  }
  std::string reason;
  if (!ApplyPacketFilter(filter, &reason)) {
    SetError(ERROR_GEN_FAILURE, reason);
    return NDIS_STATUS_FAILURE;
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    packet_filter_ = filter;
  }
  request->BytesTransferred = 4;
  return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS Adapter::Request(PKIO_NDIS_REQUEST* request) {
  if (request == nullptr) return NDIS_STATUS_INVALID_DATA;
  request->BytesTransferred = 0;
  request->BytesNeeded = 0;
  if (mode_ == Mode::kProtocolDriver) return NDIS_STATUS_NOT_SUPPORTED;
  if (request->RequestType == PKIO_NDIS_SET) {
    if (request->Oid == OID_GEN_CURRENT_PACKET_FILTER) {
      return SetPacketFilter(request);
    }
    return NDIS_STATUS_NOT_SUPPORTED;
  }
  if (request->RequestType != PKIO_NDIS_QUERY) return NDIS_STATUS_NOT_SUPPORTED;

  auto answer32 = [request](DWORD value) {
    return AnswerQuery(request, &value, 4, NDIS_STATUS_INVALID_LENGTH);
  };
  auto answer_counter = [request](uint64_t value) {
    if (request->InformationBufferLength >= 8) {
      return AnswerQuery(request, &value, 8, NDIS_STATUS_INVALID_LENGTH);
    }
    DWORD low = static_cast<DWORD>(value);
    return AnswerQuery(request, &low, 4, NDIS_STATUS_INVALID_LENGTH);
  };
  switch (request->Oid) {
    case OID_GEN_SUPPORTED_LIST: {
      static const DWORD kList[] = {OID_GEN_SUPPORTED_LIST,
                                    OID_GEN_MEDIA_SUPPORTED,
                                    OID_GEN_MEDIA_IN_USE,
                                    OID_GEN_MAXIMUM_FRAME_SIZE,
                                    OID_GEN_LINK_SPEED,
                                    OID_GEN_VENDOR_DESCRIPTION,
                                    OID_GEN_CURRENT_PACKET_FILTER,
                                    OID_GEN_MAXIMUM_TOTAL_SIZE,
                                    OID_GEN_MEDIA_CONNECT_STATUS,
                                    OID_GEN_XMIT_OK,
                                    OID_GEN_RCV_OK,
                                    OID_802_3_PERMANENT_ADDRESS,
                                    OID_802_3_CURRENT_ADDRESS};
      return AnswerQuery(request, kList, sizeof kList,
                         NDIS_STATUS_BUFFER_TOO_SHORT);
    }
    case OID_GEN_MEDIA_SUPPORTED:
    case OID_GEN_MEDIA_IN_USE:
      return answer32(NdisMedium802_3);
    case OID_GEN_CURRENT_PACKET_FILTER: {
      std::lock_guard<std::mutex> lock(mu_);
      return answer32(packet_filter_);
    }
    case OID_GEN_XMIT_OK:
      return answer_counter(stats().sent);
    case OID_GEN_RCV_OK:
      return answer_counter(stats().received);
    default:
      break;
  }
  AdapterProperties p = Properties();
  switch (request->Oid) {
    case OID_GEN_MAXIMUM_FRAME_SIZE:
      return answer32(p.mtu);
    case OID_GEN_MAXIMUM_TOTAL_SIZE:
      return answer32(p.mtu + 14);
    case OID_GEN_LINK_SPEED:
      return answer32(static_cast<DWORD>(p.link_speed_mbit * 10000));
    case OID_GEN_MEDIA_CONNECT_STATUS:
      return answer32(p.connected ? NdisMediaStateConnected
                                  : NdisMediaStateDisconnected);
    case OID_GEN_VENDOR_DESCRIPTION:
      return AnswerQuery(request, p.description.c_str(),
                         static_cast<DWORD>(p.description.size() + 1),
                         NDIS_STATUS_BUFFER_TOO_SHORT);
    case OID_802_3_PERMANENT_ADDRESS:
    case OID_802_3_CURRENT_ADDRESS:
      return AnswerQuery(request, p.address.data(), 6,
                         NDIS_STATUS_INVALID_LENGTH);
    default:
      return NDIS_STATUS_INVALID_OID;
  }
}

NDIS_STATUS Adapter::PrivateRequest(PKIO_NDIS_REQUEST* request) {
  if (request == nullptr) return NDIS_STATUS_INVALID_DATA;
  request->BytesTransferred = 0;
  request->BytesNeeded = 0;
  if (request->RequestType != PKIO_NDIS_QUERY) return NDIS_STATUS_NOT_SUPPORTED;
  auto answer32 = [request](uint64_t value) {
    DWORD low = static_cast<DWORD>(value);
    return AnswerQuery(request, &low, 4, NDIS_STATUS_INVALID_LENGTH);
  };
  Stats s = stats();
  switch (request->Oid) {
    case OID_PKIO_BINDING_LIST:
      return QueryBindingList(request);
    case OID_GEN_VENDOR_DESCRIPTION:
      return AnswerQuery(request, kDriverDescription, sizeof kDriverDescription,
                         NDIS_STATUS_BUFFER_TOO_SHORT);
    case OID_PKIO_RCV_MISSED_DRIVER:
      return answer32(s.kernel_drops);
    case OID_PKIO_RCV_MISSED_USER:
      return answer32(s.user_drops);
    case OID_PKIO_XMIT_MISSED_DRIVER:
      return answer32(s.send_failures);
    case OID_GEN_RCV_OK:
      return answer32(s.received);
    case OID_GEN_XMIT_OK:
      return answer32(s.sent);
    default:
      return NDIS_STATUS_INVALID_OID;
  }
}

// --- Receive thread ---------------------------------------------------------

void Adapter::ReceiveLoop() {
  std::vector<RxFrame> frames;
  int wait_ms = -1;
  while (!stopping_) {
    source_->Wait(wait_ms);
    for (;;) {
      if (stopping_) return;
      frames.clear();
      uint64_t drops = 0;
      source_->NextBatch(&frames, &drops);
      if (frames.empty() && drops == 0) break;
      Deliver(frames, drops);
      source_->ReleaseBatch();
    }
    wait_ms = CompleteExpiredBuffer();
  }
}

bool Adapter::Passes(const RxFrame& f) const {
  const DWORD pf = packet_filter_;
  if (pf == 0) return false;
  if (!loopback_address_.empty() &&
      f.caplen >= loopback_offset_ + loopback_address_.size() &&
      memcmp(f.data + loopback_offset_, loopback_address_.data(),
             loopback_address_.size()) == 0) {
    return false;
  }
  if (pf & NDIS_PACKET_TYPE_PROMISCUOUS) return true;
  uint8_t type = f.pkttype;
  if (type == PACKET_OUTGOING) {
    if (pf & NDIS_PACKET_TYPE_ALL_LOCAL) return true;
    bool broadcast =
        f.caplen >= 6 && memcmp(f.data, "\xff\xff\xff\xff\xff\xff", 6) == 0;
    type = broadcast                            ? PACKET_BROADCAST
           : (f.caplen >= 1 && (f.data[0] & 1)) ? PACKET_MULTICAST
                                                : PACKET_OTHERHOST;
  }
  switch (type) {
    case PACKET_HOST:
      return pf & (NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_ALL_LOCAL);
    case PACKET_BROADCAST:
      return pf & (NDIS_PACKET_TYPE_BROADCAST | NDIS_PACKET_TYPE_ALL_LOCAL);
    case PACKET_MULTICAST:
      return pf & (NDIS_PACKET_TYPE_MULTICAST | NDIS_PACKET_TYPE_ALL_MULTICAST |
                   NDIS_PACKET_TYPE_ALL_LOCAL);
    default:
      return false;
  }
}

// Called with mu_ held and reads_ used up: takes every read posted since,
// waiting up to kReadWait (without either lock) when there is none.
bool Adapter::WaitForRead(std::unique_lock<std::mutex>& lock) {
  if (read_head_ < reads_.size()) return true;
  reads_.clear();
  read_head_ = 0;
  auto take_inbox = [this] {
    if (closed_ || inbox_.empty()) return false;
    reads_.swap(inbox_);
    taken_reads_.store(reads_.size(), std::memory_order_relaxed);
    return true;
  };
  {
    std::unique_lock<std::mutex> inbox_lock(inbox_mu_);
    if (take_inbox()) return true;
    if (closed_ || starved_) return false;
  }
  // The routines that re-post reads must be able to run while we wait.
  FlushCompletions();
  lock.unlock();
  {
    std::unique_lock<std::mutex> inbox_lock(inbox_mu_);
    receiver_waiting_ = true;
    read_posted_.wait_for(inbox_lock, kReadWait,
                          [this] { return !inbox_.empty() || closed_; });
    receiver_waiting_ = false;
  }
  lock.lock();
  std::unique_lock<std::mutex> inbox_lock(inbox_mu_);
  if (read_head_ < reads_.size()) return true;  // cannot happen; be safe
  if (take_inbox()) return true;
  // Keep dropping without waiting until the next read is posted.
  if (!closed_) starved_ = true;
  return false;
}

void Adapter::PopRead() {
  // taken_reads_ is published when the taken reads are used up and at the
  // end of a batch, not per frame: a posting thread reads it on every post,
  // and a store per frame would move its cache line between the two threads
  // every time. Meanwhile it errs high by the frames of the batch so far.
  if (++read_head_ == reads_.size()) {
    reads_.clear();
    read_head_ = 0;
    taken_reads_.store(0, std::memory_order_relaxed);
  }
}

void Adapter::Complete(const PostedRead& read, DWORD error, DWORD bytes) {
  pending_.push_back({read.routine, error, bytes, read.overlapped});
  if (pending_runs_.empty() || pending_runs_.back().queue != read.queue) {
    pending_runs_.push_back({read.queue, 0});
  }
  pending_runs_.back().end = pending_.size();
}

// Hands the batch's completions to their queues, a run of one queue's
// completions at a time, so each posting thread gets one wake-up per batch.
void Adapter::FlushCompletions() {
  size_t begin = 0;
  for (const PendingRun& run : pending_runs_) {
    run.queue->PushBatch(
        std::span<const Completion>(pending_).subspan(begin, run.end - begin));
    begin = run.end;
  }
  pending_.clear();
  pending_runs_.clear();
}

void Adapter::Deliver(const std::vector<RxFrame>& frames, uint64_t drops) {
  std::unique_lock<std::mutex> lock(mu_);
  next_sequence_ += static_cast<uint32_t>(drops);
  stats_.kernel_drops += drops;
  for (const RxFrame& frame : frames) {
    if (closed_) break;
    if (!Passes(frame)) continue;
    const uint32_t sequence = next_sequence_++;
    if (read_head_ == reads_.size() && !WaitForRead(lock)) {
      ++stats_.user_drops;
      continue;
    }
    if (mode_ == Mode::kSingle) {
      FillSingle(frame, sequence);
    } else {
      FillMulti(frame, sequence, lock);
    }
  }
  taken_reads_.store(reads_.size() - read_head_, std::memory_order_relaxed);
  FlushCompletions();
}

void Adapter::FillSingle(const RxFrame& frame, uint32_t sequence) {
  const PostedRead& read = FrontRead();
  PKIO_PACKET* p = read.packet;
  // The block may sit at any address (an element of an array of packed
  // blocks): its fields are read by value, never bound to a reference.
  const DWORD capacity = p->BufferCapacity;
  const uint32_t delivered = std::min(frame.caplen, capacity);
  p->Status = 0;
  p->Header.SequenceNumber = sequence;
  p->Header.Reserved = 0;
  p->Header.Timestamp = frame.timestamp;
  p->Header.FrameLength = frame.wirelen;
  p->Header.BytesDelivered = delivered;
  memcpy(PacketData(p), frame.data, delivered);
  ++stats_.received;
  Complete(read, 0, delivered);
  PopRead();
}

void Adapter::FillMulti(const RxFrame& frame, uint32_t sequence,
                        std::unique_lock<std::mutex>& lock) {
  for (;;) {
    PostedRead& read = FrontRead();
    MPR_PACKET_BUFFER* b = read.buffer;
    const DWORD size = b->BufferSize;  // by value: b may be unaligned
    uint32_t room = size - std::min(size, read.next_offset);
    if (room < MPR_RECORD_FRAME_OFFSET + std::min(frame.caplen, 64u) &&
        read.count > 0) {
      CompleteMulti(read);
      PopRead();
      if (!WaitForRead(lock)) {
        ++stats_.user_drops;
        return;
      }
      continue;
    }
    uint32_t delivered = std::min(frame.caplen, room - MPR_RECORD_FRAME_OFFSET);
    if (delivered < frame.caplen && read.count > 0) {
      // Whole frames go to the next buffer rather than cut here.
      CompleteMulti(read);
      PopRead();
      if (!WaitForRead(lock)) {
        ++stats_.user_drops;
        return;
      }
      continue;
    }
    uint8_t* record = BufferData(b) + read.next_offset;
    PKIO_PACKET_HEADER header{sequence, 0, frame.timestamp, frame.wirelen,
                              delivered};
    memcpy(record, &header, sizeof header);
    memcpy(record + MPR_RECORD_FRAME_OFFSET, frame.data, delivered);
    read.next_offset += MprRecordStride(delivered);
    if (read.count++ == 0) read.first_tick = sync::CurrentClock()->TickCount();
    ++stats_.received;
    return;
  }
}

void Adapter::CompleteMulti(PostedRead& read) {
  MPR_PACKET_BUFFER* b = read.buffer;
  const DWORD size = b->BufferSize;  // by value: b may be unaligned
  const DWORD used = std::min(read.next_offset, size);
  b->Status = 0;
  b->PacketCount = read.count;
  b->BytesUsed = used;
  Complete(read, 0, used);
}

int Adapter::CompleteExpiredBuffer() {
  if (mode_ != Mode::kMulti) return -1;
  std::lock_guard<std::mutex> lock(mu_);
  if (read_head_ == reads_.size() || FrontRead().count == 0) return -1;
  uint32_t waited = sync::CurrentClock()->TickCount() - FrontRead().first_tick;
  if (waited >= read_timeout_ms_) {
    CompleteMulti(FrontRead());
    PopRead();
    taken_reads_.store(reads_.size() - read_head_, std::memory_order_relaxed);
    FlushCompletions();
    return -1;
  }
  return static_cast<int>(std::min<uint32_t>(read_timeout_ms_ - waited, 50));
}

}  // namespace kavex::pkio
