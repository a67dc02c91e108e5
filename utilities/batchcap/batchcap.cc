#include "utilities/batchcap/batchcap.h"

#include <errno.h>
#include <sys/resource.h>

#include <algorithm>

#include "platform/sync/event.h"
#include "platform/sync/wait.h"

namespace kavex::utilities {
namespace {

constexpr DWORD kReceiveWaitMs = 500;

const DumpUtilityText kText = {
    "batchcap",
    "Wirebay Multi-Packet Read (MPR) Utility - APC Version %s\n",
    "Receives an adapter's frames in batches through multi-packet reads and "
    "prints them (with /q their rate).\n",
    {"Usage: BATCHCAP /a AdapterName [ options ]\r\n\n",
     "    Example: BATCHCAP /a \\Device\\Ne20002\n", false}};

}  // namespace

bool RaiseThreadPriority(DWORD thread_id) {
  // A thread's nice value is its own on Linux; one lower is one step up.
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, thread_id);
  if (nice == -1 && errno != 0) return false;
  return setpriority(PRIO_PROCESS, thread_id, nice - 1) == 0;
}

Batchcap::Batchcap(const PkioApi& api, Console& console)
    : DumpUtility(api, console, kText, PacketFormat::kBuffer) {}

PKIO_HANDLE Batchcap::OpenAdapter(const char* name) {
  return api_.MprOpenAdapterA(name);
}

void Batchcap::CloseAdapter(PKIO_HANDLE handle) {
  api_.MprCloseAdapter(handle);
}

void Batchcap::AfterReceiveThreadStarted(DWORD thread_id) {
  if (thread_id != 0 && !RaiseThreadPriority(thread_id)) {
    fputs("Could Not Set Thread Priority\n", out_);
  }
  api_.MprSetReadTimeout(record_.handle, kBatchcapReadTimeout);
}

DWORD Batchcap::ReceiveThreadBody() {
  kavex::UniqueHandle event(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  packages_ =
      ReadPackages::Allocate(ReadPackages::Kind::kBuffer, kBatchcapReadPackages,
                             kBatchcapBufferSize, this);
  if (!packages_) {
    fputs("Could Not Create Read Packages\n", out_);
    return 0;
  }
  fprintf(out_, "Using %d Read Packages (%dKB)\n",
          static_cast<int>(packages_->count()),
          static_cast<int>(packages_->count() * kBatchcapBufferSize / 1024));
  const PKIO_HANDLE handle = record_.handle;
  for (size_t i = 0; i < packages_->count(); ++i) {
    ReportPostFailure("MPR_ReadPacketBufferEx",
                      packages_->Post(api_, handle, packages_->at(i),
                                      &Batchcap::BufferComplete),
                      out_);
  }
  fflush(out_);
  // The buffers still posted end with the adapter.
  while (!stopping()) {
    if (event) {
      WaitForSingleObjectEx(event.get(), kReceiveWaitMs, TRUE);
    } else {
      SleepEx(kReceiveWaitMs, TRUE);
    }
  }
  fflush(out_);
  return 0;
}

void Batchcap::BufferComplete(DWORD error, DWORD, OVERLAPPED* overlapped) {
  ReadPackage* package = ReadPackage::FromOverlapped(overlapped);
  if (package == nullptr) return;
  static_cast<Batchcap*>(package->owner)
      ->OnBuffer(package, CompletionStatus(error, package->buffer()->Status));
}

void Batchcap::OnBuffer(ReadPackage* package, DWORD status) {
  if (stopping()) return;
  if (status != 0) {
    fprintf(out_, "Read Error: 0x%4.4X\n", status);
    fflush(out_);
    return;
  }
  record_.buffers.Add(1);
  const MPR_PACKET_BUFFER* buffer = package->buffer();
  const DWORD used = std::min(buffer->BytesUsed, kBatchcapBufferSize);
  WalkPacketRecords(
      buffer->Data, used, buffer->PacketCount,
      [this](const PKIO_PACKET_HEADER& header, const BYTE* frame) {
        // Counted before it is printed: statistics printed meanwhile
        // include every frame already shown.
        record_.packets.Add(1);
        record_.bytes.Add(header.BytesDelivered);
        if (header.FrameLength != 0) {
          PrintPacket(header, frame, header.BytesDelivered);
        }
        return !stopping();
      });
  if (stopping()) return;
  ReportRepostFailure(
      "MPR_ReadPacketBufferEx",
      packages_->Post(api_, record_.handle, package, &Batchcap::BufferComplete),
      out_);
}

void Batchcap::PrintProgressLine(const ReceiveSnapshot& s) {
  PrintBufferProgress(s, out_);
}

void Batchcap::PrintApplicationStatistics(const ReceiveSnapshot& s) {
  PrintBufferApplicationStatistics(s, out_);
}

}  // namespace kavex::utilities
