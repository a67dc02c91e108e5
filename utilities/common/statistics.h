// The packet dump utilities' running progress line (quiet mode) and the
// application statistics printed on Ctrl-C.
#ifndef KAVEX_UTILITIES_COMMON_STATISTICS_H_
#define KAVEX_UTILITIES_COMMON_STATISTICS_H_

#include <cstdint>
#include <cstdio>

#include "utilities/common/adapter_record.h"

namespace kavex::utilities {

// The record's counters at one moment, elapsed_ms after reception started.
struct ReceiveSnapshot {
  uint32_t elapsed_ms = 0;
  uint32_t packets = 0;
  uint64_t bytes = 0;
  uint32_t buffers = 0;
  uint32_t sequence_errors = 0;
  uint32_t missing_ahead = 0;
  uint32_t missing_behind = 0;
  uint32_t sends_completed = 0;
  uint32_t sends_in_flight = 0;
  uint32_t sends_issued = 0;
  uint32_t sends_done = 0;
  uint32_t sends_at_once = 0;
};
ReceiveSnapshot TakeSnapshot(const AdapterRecord& record, uint32_t elapsed_ms);

// count per whole elapsed second; 0 within the first second.
uint32_t AverageRate(uint64_t count, uint32_t elapsed_ms);

// "    Sequence Error Count      : errors (+ahead/-behind)", only when
// there were sequence errors.
void PrintSequenceErrors(const ReceiveSnapshot& s, FILE* out);

// Tapdump's and Batchcap's progress lines.
void PrintProgress(const ReceiveSnapshot& s, FILE* out);
void PrintBufferProgress(const ReceiveSnapshot& s, FILE* out);

// "Application Statistics:" with Tapdump's receive and send counts, or
// Batchcap's buffer, packet and byte counts; each ends with an empty line.
void PrintApplicationStatistics(const ReceiveSnapshot& s, FILE* out);
void PrintBufferApplicationStatistics(const ReceiveSnapshot& s, FILE* out);

}  // namespace kavex::utilities

#endif  // KAVEX_UTILITIES_COMMON_STATISTICS_H_
