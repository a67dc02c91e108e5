#include "utilities/common/statistics.h"

namespace kavex::utilities {
namespace {

double Seconds(const ReceiveSnapshot& s) { return s.elapsed_ms / 1000.0; }
unsigned Low32(uint64_t value) { return static_cast<unsigned>(value); }

}  // namespace

ReceiveSnapshot TakeSnapshot(const AdapterRecord& record, uint32_t elapsed_ms) {
  ReceiveSnapshot s;
  s.elapsed_ms = elapsed_ms;
  s.packets = record.packets.get();
  s.bytes = record.bytes.get();
  s.buffers = record.buffers.get();
  s.sequence_errors = record.sequence.errors();
  s.missing_ahead = record.sequence.missing_ahead();
  s.missing_behind = record.sequence.missing_behind();
  s.sends_completed = record.sends_completed.get();
  s.sends_in_flight = record.sends_in_flight.get();
  s.sends_issued = record.sends_issued.get();
  s.sends_done = record.sends_done.get();
  s.sends_at_once = record.sends_at_once.get();
  return s;
}

uint32_t AverageRate(uint64_t count, uint32_t elapsed_ms) {
  const uint32_t seconds = elapsed_ms / 1000;
  return seconds == 0 ? 0 : static_cast<uint32_t>(count / seconds);
}

void PrintSequenceErrors(const ReceiveSnapshot& s, FILE* out) {
  if (s.sequence_errors == 0) return;
  fprintf(out, "    Sequence Error Count      : %u (+%u/-%u)\n",
          s.sequence_errors, s.missing_ahead, s.missing_behind);
}

void PrintProgress(const ReceiveSnapshot& s, FILE* out) {
  fprintf(out, "Elapsed: %.2f Sec;", Seconds(s));
  fprintf(out, " RxBytes: %u;", Low32(s.bytes));
  fprintf(out, " RxPkt: %u\n", s.packets);
  fprintf(out, "   Ave RxByte Rate: %u;", AverageRate(s.bytes, s.elapsed_ms));
  fprintf(out, " Ave RxPkt Rate: %u\n", AverageRate(s.packets, s.elapsed_ms));
  PrintSequenceErrors(s, out);
  fputs("\n", out);
  fflush(out);
}

void PrintBufferProgress(const ReceiveSnapshot& s, FILE* out) {
  fprintf(out, "Elapsed: %.2f Sec;", Seconds(s));
  fprintf(out, " RxBytes: %u;", Low32(s.bytes));
  fprintf(out, " RxPkt: %u;", s.packets);
  fprintf(out, " RxBuf: %u\n", s.buffers);
  fprintf(out, " Ave RxByte Rate: %u;", AverageRate(s.bytes, s.elapsed_ms));
  fprintf(out, " Ave RxPkt Rate: %u;", AverageRate(s.packets, s.elapsed_ms));
  fprintf(out, " Ave RxBuf Rate: %u\n", AverageRate(s.buffers, s.elapsed_ms));
  PrintSequenceErrors(s, out);
  fflush(out);
}

void PrintApplicationStatistics(const ReceiveSnapshot& s, FILE* out) {
  fputs("Application Statistics:\n", out);
  fprintf(out, "  Elapsed Time                : %.2f Seconds\n", Seconds(s));
  fprintf(out, "  Received Packet Count       : %u\n", s.packets);
  fprintf(out, "  Received Byte Count         : %u\n", Low32(s.bytes));
  PrintSequenceErrors(s, out);
  fprintf(out, "      Sent Packet Count       : %u\n", s.sends_completed);
  fprintf(out, "Pending Send APC Count        : %u\n", s.sends_in_flight);
  fprintf(out, "      Sent C/D/I Counts       : %u/%u/%u\n", s.sends_issued,
          s.sends_done, s.sends_at_once);
  fputs("\n", out);
}

void PrintBufferApplicationStatistics(const ReceiveSnapshot& s, FILE* out) {
  fputs("Application Statistics:\n", out);
  fprintf(out, "  Elapsed Time                : %.2f Seconds\n", Seconds(s));
  fprintf(out, "  Received Buffer Count       : %u\n", s.buffers);
  fprintf(out, "  Received Packet Count       : %u\n", s.packets);
  fprintf(out, "  Received Byte Count         : %u\n", Low32(s.bytes));
  PrintSequenceErrors(s, out);
  fputs("\n", out);
}

}  // namespace kavex::utilities
