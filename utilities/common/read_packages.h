// Read packages: the blocks the receiving utilities post to the driver,
// allocated together as one block. Each package holds the signature "RECV",
// its owner, an overlapped block and the driver's read structure: a
// PKIO_PACKET for single reads or an MPR_PACKET_BUFFER for multi-packet
// reads, with room for capacity bytes of frames.
//
// The packages' completions run on the thread that posted them, during its
// alertable waits; the routine finds its package again with
// FromOverlapped.
#ifndef KAVEX_UTILITIES_COMMON_READ_PACKAGES_H_
#define KAVEX_UTILITIES_COMMON_READ_PACKAGES_H_

#include <cstddef>
#include <cstdio>
#include <memory>

#include "platform/pkio/pkiolib.h"
#include "utilities/common/pkio_api.h"

namespace kavex::utilities {

constexpr DWORD kReceiveSignature = 0x56434552;  // bytes 52 45 43 56, "RECV"

struct ReadPackage {
  DWORD signature;
  void* owner;
  HANDLE event;  // none here: one completion form serves every platform
  OVERLAPPED overlapped;

  // The read structure follows the package header.
  PKIO_PACKET* packet() { return reinterpret_cast<PKIO_PACKET*>(this + 1); }
  MPR_PACKET_BUFFER* buffer() {
    return reinterpret_cast<MPR_PACKET_BUFFER*>(this + 1);
  }
  // The package of a completion, or null when the block is not one.
  static ReadPackage* FromOverlapped(OVERLAPPED* overlapped);
};

class ReadPackages {
 public:
  enum class Kind { kPacket, kBuffer };

  // count packages, null when the memory cannot be had.
  static std::unique_ptr<ReadPackages> Allocate(Kind kind, size_t count,
                                                DWORD capacity, void* owner);

  size_t count() const { return count_; }
  // Bytes one package takes in the block.
  size_t package_size() const { return stride_; }
  ReadPackage* at(size_t i) {
    return reinterpret_cast<ReadPackage*>(memory_.get() + i * stride_);
  }

  // Posts one package (Pkio_PacketReadEx or MPR_ReadPacketBufferEx) and
  // returns the driver's last error: ERROR_IO_PENDING when it is posted.
  DWORD Post(const PkioApi& api, PKIO_HANDLE adapter, ReadPackage* package,
             LPOVERLAPPED_COMPLETION_ROUTINE routine) const;
  // Pkio_CancelPacketRead of every package.
  void CancelAll(const PkioApi& api, PKIO_HANDLE adapter);

 private:
  ReadPackages(Kind kind, size_t count, DWORD capacity, size_t stride,
               std::unique_ptr<std::byte[]> memory)
      : kind_(kind),
        count_(count),
        capacity_(capacity),
        stride_(stride),
        memory_(std::move(memory)) {}

  const Kind kind_;
  const size_t count_;
  const DWORD capacity_;
  const size_t stride_;
  std::unique_ptr<std::byte[]> memory_;
};

// The status a read completed with: the routine's error code, else the
// status word of the read structure.
DWORD CompletionStatus(DWORD error_code, DWORD status_word);

// After a failed first post (call: "Pkio_PacketReadEx", ...): "<call>
// Failed; Error: 0x%8.8X" unless the read is pending.
void ReportPostFailure(const char* call, DWORD error, FILE* out);
// After a failed re-post: the same, with "<call> Failed;
// ERROR_NO_SYSTEM_RESOURCES" for error 1450.
void ReportRepostFailure(const char* call, DWORD error, FILE* out);

}  // namespace kavex::utilities

#endif  // KAVEX_UTILITIES_COMMON_READ_PACKAGES_H_
