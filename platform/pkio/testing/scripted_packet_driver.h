// A packet driver for tests: forwards every call to the driver library
// (whatever frame sources it has) unless told otherwise, and can fail any step
// of start-up or take over the reads so that a test completes them itself.
#ifndef KAVEX_PLATFORM_PKIO_TESTING_SCRIPTED_PACKET_DRIVER_H_
#define KAVEX_PLATFORM_PKIO_TESTING_SCRIPTED_PACKET_DRIVER_H_

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/base/results.h"
#include "platform/pkio/packet_driver.h"
#include "platform/sync/apc.h"
#include "platform/sync/handle.h"
#include "platform/sync/thread.h"

namespace kavex::pkio::testing {

class ScriptedPacketDriver : public PacketDriver {
 public:
  struct PostedRead {
    PKIO_PACKET* packet;
    OVERLAPPED* overlapped;
    LPOVERLAPPED_COMPLETION_ROUTINE routine;
  };

  ~ScriptedPacketDriver() override {
    if (poster_ != nullptr) CloseHandle(poster_);
  }

  // --- Script ---------------------------------------------------------------
  // Enumerate these names instead of the library's adapters, with these
  // friendly names (by default the NDIS names again).
  std::optional<std::vector<std::string>> adapters;
  std::vector<std::string> friendly_names;
  bool fail_enumeration = false;
  // OpenAdapter fails with this error number (0: forwarded).
  DWORD open_error = 0;
  // Packet filter values the adapter refuses.
  std::set<DWORD> refused_filters;
  // OID_GEN_MEDIA_IN_USE is answered with this medium when set.
  std::optional<DWORD> medium;
  // Reads are kept here instead of going to the library.
  bool intercept_reads = false;
  // The next post of a read fails with this error (0: none); set it once
  // the first posts are out to make a re-post fail.
  std::atomic<DWORD> repost_error{0};

  // --- What happened ---------------------------------------------------------
  std::vector<std::string> opened;
  std::vector<DWORD> filters_tried;
  std::vector<uint8_t> bpf_program;
  DWORD timestamp_resolution = 0;
  int closed = 0;
  int cancel_all = 0;
  int released_entries = 0;
  int open_entries = 0;

  std::vector<PostedRead> reads() {
    std::lock_guard<std::mutex> lock(mu_);
    return reads_;
  }

  // Completes posted read `index` on the thread that posted it, with a frame
  // (status 0) or a failed status. wire_length is the frame's length on the
  // wire (0: the frame's size); larger than the frame, it was cut.
  void Complete(size_t index, const std::vector<uint8_t>& frame,
                DWORD status = 0, DWORD wire_length = 0) {
    PostedRead read;
    HANDLE poster;
    {
      std::lock_guard<std::mutex> lock(mu_);
      read = reads_.at(index);
      poster = poster_;
    }
    // No more than the block holds, as the driver delivers.
    const DWORD capacity = read.packet->BufferCapacity;
    const DWORD size = std::min(static_cast<DWORD>(frame.size()), capacity);
    read.packet->Status = status;
    read.packet->Header.BytesDelivered = size;
    read.packet->Header.FrameLength =
        wire_length != 0 ? wire_length : static_cast<DWORD>(frame.size());
    if (size > 0) std::memcpy(read.packet->Data, frame.data(), size);
    sync::QueueApcFunction(poster, [read, status, size] {
      read.routine(status, size, read.overlapped);
    });
  }

  // Runs `fn` on the posting (receive) thread during its next alertable wait.
  void RunOnPoster(std::function<void()> fn) {
    HANDLE poster;
    {
      std::lock_guard<std::mutex> lock(mu_);
      poster = poster_;
    }
    sync::QueueApcFunction(poster, std::move(fn));
  }

  // --- PacketDriver ----------------------------------------------------------
  PKIO_HANDLE OpenAdapterEnum() override {
    if (fail_enumeration) return PKIO_INVALID_HANDLE;
    if (adapters) return 7;
    return real_->OpenAdapterEnum();
  }
  BOOL CloseAdapterEnum(PKIO_HANDLE enumeration) override {
    if (adapters) return TRUE;
    return real_->CloseAdapterEnum(enumeration);
  }
  PKIO_HANDLE GetFirstAdapter(PKIO_HANDLE enumeration) override {
    next_ = 0;
    return GetNextAdapter(enumeration);
  }
  PKIO_HANDLE GetNextAdapter(PKIO_HANDLE enumeration) override {
    if (!adapters) {
      PKIO_HANDLE entry = next_++ == 0 ? real_->GetFirstAdapter(enumeration)
                                       : real_->GetNextAdapter(enumeration);
      if (entry != PKIO_INVALID_HANDLE) ++open_entries;
      return entry;
    }
    if (next_ >= adapters->size()) return PKIO_INVALID_HANDLE;
    ++open_entries;
    return static_cast<PKIO_HANDLE>(100 + next_++);
  }
  BOOL ReleaseAdapterEntry(PKIO_HANDLE entry) override {
    ++released_entries;
    if (adapters) return TRUE;
    return real_->ReleaseAdapterEntry(entry);
  }
  DWORD GetAdapterNdisName(PKIO_HANDLE entry, char* buffer,
                           DWORD* size) override {
    if (!adapters) return real_->GetAdapterNdisName(entry, buffer, size);
    return CopyName(adapters->at(entry - 100), buffer, size);
  }
  DWORD GetAdapterFriendlyName(PKIO_HANDLE entry, char* buffer,
                               DWORD* size) override {
    if (!adapters) return real_->GetAdapterFriendlyName(entry, buffer, size);
    const size_t index = static_cast<size_t>(entry - 100);
    return CopyName(index < friendly_names.size() ? friendly_names[index]
                                                  : adapters->at(index),
                    buffer, size);
  }
  PKIO_HANDLE OpenAdapter(const char* ndis_name) override {
    opened.push_back(ndis_name);
    if (open_error != 0) {
      last_error_ = open_error;
      return PKIO_INVALID_HANDLE;
    }
    if (intercept_reads && adapters) return 42;
    return real_->OpenAdapter(ndis_name);
  }
  BOOL CloseAdapter(PKIO_HANDLE adapter) override {
    ++closed;
    if (adapter == 42) return TRUE;
    return real_->CloseAdapter(adapter);
  }
  DWORD GetLastError() override {
    const DWORD error = last_error_.load();
    return error != 0 ? error : real_->GetLastError();
  }
  BOOL IsWindows95() override { return FALSE; }
  BOOL SetBpfProgram(PKIO_HANDLE adapter, const void* program,
                     DWORD length_bytes) override {
    const auto* bytes = static_cast<const uint8_t*>(program);
    bpf_program.assign(bytes, bytes + length_bytes);
    if (adapter == 42) return TRUE;
    return real_->SetBpfProgram(adapter, program, length_bytes);
  }
  BOOL SetTimestampResolution(PKIO_HANDLE adapter, DWORD resolution) override {
    timestamp_resolution = resolution;
    if (adapter == 42) return TRUE;
    return real_->SetTimestampResolution(adapter, resolution);
  }
  NDIS_STATUS MakeNdisRequest(PKIO_HANDLE adapter, PKIO_NDIS_REQUEST* request,
                              OVERLAPPED* overlapped, BOOL wait) override {
    if (request->Oid == OID_GEN_MEDIA_IN_USE && medium &&
        request->RequestType == PKIO_NDIS_QUERY &&
        request->InformationBufferLength >= sizeof(DWORD)) {
      *static_cast<DWORD*>(request->InformationBuffer) = *medium;
      request->BytesTransferred = sizeof(DWORD);
      return NDIS_STATUS_SUCCESS;
    }
    if (request->Oid == OID_GEN_CURRENT_PACKET_FILTER &&
        request->RequestType == PKIO_NDIS_SET) {
      const DWORD filter = *static_cast<DWORD*>(request->InformationBuffer);
      filters_tried.push_back(filter);
      if (refused_filters.count(filter) != 0) return NDIS_STATUS_NOT_SUPPORTED;
    }
    if (adapter == 42) return NDIS_STATUS_SUCCESS;
    return real_->MakeNdisRequest(adapter, request, overlapped, wait);
  }
  DWORD PostRead(PKIO_HANDLE adapter, PKIO_PACKET* packet,
                 OVERLAPPED* overlapped,
                 LPOVERLAPPED_COMPLETION_ROUTINE routine) override {
    if (!intercept_reads) {
      return real_->PostRead(adapter, packet, overlapped, routine);
    }
    std::lock_guard<std::mutex> lock(mu_);
    // A capture started again posts from a receive thread of its own.
    // Thread ids are reused once a thread has ended, so threads are told
    // apart by a number of their own, never reused.
    static std::atomic<uint64_t> threads{0};
    thread_local const uint64_t this_thread = ++threads;
    if (poster_ == nullptr || poster_thread_ != this_thread) {
      if (poster_ != nullptr) CloseHandle(poster_);
      poster_ = sync::OpenCurrentThread();
      poster_thread_ = this_thread;
    }
    if (const DWORD error = repost_error.exchange(0); error != 0) {
      return error;
    }
    reads_.push_back({packet, overlapped, routine});
    return ERROR_IO_PENDING;
  }
  BOOL CancelPacketRead(PKIO_HANDLE adapter, OVERLAPPED* overlapped) override {
    if (overlapped == nullptr) ++cancel_all;
    if (adapter == 42) return TRUE;
    return real_->CancelPacketRead(adapter, overlapped);
  }

 private:
  // The enumeration's name protocol: the size asked for first, then the
  // name with its NUL.
  static DWORD CopyName(const std::string& name, char* buffer, DWORD* size) {
    const DWORD needed = static_cast<DWORD>(name.size() + 1);
    if (buffer == nullptr || *size < needed) {
      *size = needed;
      return ERROR_INSUFFICIENT_BUFFER;
    }
    std::memcpy(buffer, name.c_str(), needed);
    *size = needed;
    return 0;
  }

  PacketDriver* const real_ = RealPacketDriver();
  size_t next_ = 0;
  std::atomic<DWORD> last_error_{0};
  std::mutex mu_;
  HANDLE poster_ = nullptr;
  uint64_t poster_thread_ = 0;
  std::vector<PostedRead> reads_;
};

}  // namespace kavex::pkio::testing

#endif  // KAVEX_PLATFORM_PKIO_TESTING_SCRIPTED_PACKET_DRIVER_H_
