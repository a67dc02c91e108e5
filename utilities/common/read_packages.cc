#include "utilities/common/read_packages.h"

#include <new>

#include "platform/base/results.h"

namespace kavex::utilities {
namespace {

constexpr size_t RoundUp8(size_t n) { return (n + 7) & ~size_t{7}; }

}  // namespace

ReadPackage* ReadPackage::FromOverlapped(OVERLAPPED* overlapped) {
  if (overlapped == nullptr) return nullptr;
  auto* package = static_cast<ReadPackage*>(overlapped->Pointer);
  if (package == nullptr || package->signature != kReceiveSignature) {
    return nullptr;
  }
  return package;
}

std::unique_ptr<ReadPackages> ReadPackages::Allocate(Kind kind, size_t count,
                                                     DWORD capacity,
                                                     void* owner) {
  const size_t read_size = kind == Kind::kPacket
                               ? offsetof(PKIO_PACKET, Data) + capacity
                               : offsetof(MPR_PACKET_BUFFER, Data) + capacity;
  const size_t stride = RoundUp8(sizeof(ReadPackage) + read_size);
  std::unique_ptr<std::byte[]> memory(new (std::nothrow)
                                          std::byte[count * stride]());
  if (!memory || count == 0) return nullptr;
  std::unique_ptr<ReadPackages> packages(
      new ReadPackages(kind, count, capacity, stride, std::move(memory)));
  for (size_t i = 0; i < count; ++i) {
    ReadPackage* p = packages->at(i);
    p->signature = kReceiveSignature;
    p->owner = owner;
    p->event = nullptr;
    p->overlapped = {};
    p->overlapped.Pointer = p;
  }
  return packages;
}

DWORD ReadPackages::Post(const PkioApi& api, PKIO_HANDLE adapter,
                         ReadPackage* package,
                         LPOVERLAPPED_COMPLETION_ROUTINE routine) const {
  BOOL done;
  if (kind_ == Kind::kPacket) {
    package->packet()->BufferCapacity = capacity_;
    done = api.PacketReadEx(adapter, package->packet(), 0, &package->overlapped,
                            routine);
  } else {
    package->buffer()->BufferSize = capacity_;
    done = api.MprReadPacketBufferEx(adapter, package->buffer(),
                                     &package->overlapped, routine);
  }
  // A read never completes inside the call: TRUE would be the driver's
  // oddity, and the completion still comes.
  return done ? static_cast<DWORD>(ERROR_IO_PENDING) : api.GetLastError();
}

void ReadPackages::CancelAll(const PkioApi& api, PKIO_HANDLE adapter) {
  for (size_t i = 0; i < count_; ++i) {
    api.CancelPacketRead(adapter, &at(i)->overlapped);
  }
}

DWORD CompletionStatus(DWORD error_code, DWORD status_word) {
  return error_code != 0 ? error_code : status_word;
}

void ReportPostFailure(const char* call, DWORD error, FILE* out) {
  if (error == static_cast<DWORD>(ERROR_IO_PENDING)) return;
  fprintf(out, "%s Failed; Error: 0x%8.8X\n", call, error);
}

void ReportRepostFailure(const char* call, DWORD error, FILE* out) {
  if (error == static_cast<DWORD>(ERROR_NO_SYSTEM_RESOURCES)) {
    fprintf(out, "%s Failed; ERROR_NO_SYSTEM_RESOURCES\n", call);
    return;
  }
  ReportPostFailure(call, error, out);
}

}  // namespace kavex::utilities
