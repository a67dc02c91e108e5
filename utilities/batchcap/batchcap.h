// Batchcap: the packet dump utility on multi-packet reads. Four 128 KB
// buffers stay posted; each comes back holding many frames, which are
// printed (or, quiet, counted) as Tapdump prints single reads.
#ifndef KAVEX_UTILITIES_BATCHCAP_BATCHCAP_H_
#define KAVEX_UTILITIES_BATCHCAP_BATCHCAP_H_

#include <cstring>

#include "utilities/common/dump_utility.h"

namespace kavex::utilities {

constexpr size_t kBatchcapReadPackages = 4;
constexpr DWORD kBatchcapBufferSize = 131072;
constexpr DWORD kBatchcapReadTimeout = 10;  // the driver's unit: ms

// Walks the packet records of a completed multi-packet buffer: the first
// at data, each next one MprRecordStride(bytes delivered) after the one
// before. Calls visit(header, frame) for up to count records while it
// returns true; a record that does not lie wholly within the used bytes
// ends the walk. Returns the number of records visited.
template <typename Visit>
DWORD WalkPacketRecords(const BYTE* data, DWORD used, DWORD count,
                        Visit&& visit) {
  uint64_t offset = 0;
  for (DWORD i = 0; i < count; ++i) {
    if (offset + MPR_RECORD_FRAME_OFFSET > used) return i;
    PKIO_PACKET_HEADER header;
    memcpy(&header, data + offset, sizeof header);
    if (offset + MPR_RECORD_FRAME_OFFSET + header.BytesDelivered > used) {
      return i;
    }
    if (!visit(header, data + offset + MPR_RECORD_FRAME_OFFSET)) return i + 1;
    offset += MprRecordStride(header.BytesDelivered);
  }
  return count;
}

class Batchcap : public DumpUtility {
 public:
  Batchcap(const PkioApi& api, Console& console);

  // The completion of one buffer: counts it, walks its records (printing
  // those with a non-zero reported length), and posts it again.
  void OnBuffer(ReadPackage* package, DWORD status);

 protected:
  PKIO_HANDLE OpenAdapter(const char* name) override;
  void CloseAdapter(PKIO_HANDLE handle) override;
  DWORD ReceiveThreadBody() override;
  void AfterReceiveThreadStarted(DWORD thread_id) override;
  DWORD progress_interval_ms() const override { return 10000; }
  void PrintProgressLine(const ReceiveSnapshot& s) override;
  void PrintApplicationStatistics(const ReceiveSnapshot& s) override;
  bool prompt_before_exit() const override { return false; }

 private:
  static void BufferComplete(DWORD error, DWORD bytes, OVERLAPPED* overlapped);
};

// Raises the thread (by kernel id) one step above normal priority.
bool RaiseThreadPriority(DWORD thread_id);

}  // namespace kavex::utilities

#endif  // KAVEX_UTILITIES_BATCHCAP_BATCHCAP_H_
