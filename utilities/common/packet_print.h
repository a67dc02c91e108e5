// The packet print format of the packet dump utilities: a summary line, the
// link header by medium and a hex dump of the delivered bytes, with the
// sequence check on the way.
#ifndef KAVEX_UTILITIES_COMMON_PACKET_PRINT_H_
#define KAVEX_UTILITIES_COMMON_PACKET_PRINT_H_

#include <cstdio>
#include <string>

#include "utilities/common/adapter_record.h"
#include "utilities/common/pkio_api.h"

namespace kavex::utilities {

enum class PacketFormat {
  kSingle,  // Tapdump: one frame per read
  kBuffer,  // Batchcap: records of a multi-packet buffer
};

class PacketPrinter {
 public:
  PacketPrinter(const PkioApi& api, PacketFormat format, FILE* out)
      : api_(api), format_(format), out_(out) {}

  // One frame: header is the driver's packet header, frame the size bytes
  // of it at hand (header.BytesDelivered, or less when the driver claims
  // more than the buffer holds). Runs the sequence check on the record's
  // counters. Quiet Tapdump prints only a sequence error's mark ("+" or
  // "-"), quiet Batchcap nothing; otherwise the whole packet, written and
  // flushed at once.
  void Print(AdapterRecord* record, const PKIO_PACKET_HEADER& header,
             const BYTE* frame, DWORD size, bool quiet);

 private:
  uint64_t Milliseconds(AdapterRecord* record, uint64_t timestamp);

  const PkioApi& api_;
  const PacketFormat format_;
  FILE* const out_;
  std::string text_;  // reused, so a packet costs no allocation
};

// "%6.6X: " offset, sixteen bytes as " %2.2X" with " :" after the eighth
// (three blanks past the end), four blanks and the sixteen characters
// (printable ones as they are, "." for others and past the end), per line.
void AppendHexDump(const BYTE* data, size_t size, std::string* text);

}  // namespace kavex::utilities

#endif  // KAVEX_UTILITIES_COMMON_PACKET_PRINT_H_
