#include "utilities/common/packet_print.h"

#include <cinttypes>
#include <cstdarg>
#include <cstring>

#include "utilities/common/adapter_info.h"

namespace kavex::utilities {
namespace {

void Append(std::string* text, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

void Append(std::string* text, const char* format, ...) {
  char line[160];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (n > 0) text->append(line, std::min<size_t>(n, sizeof line - 1));
}

void AppendAddress(std::string* text, const char* format, const BYTE* a) {
  char field[64];
  snprintf(field, sizeof field, format, a[0], a[1], a[2], a[3], a[4], a[5]);
  text->append(field);
}

// The frequency sits at byte offset 10 of the timestamp information record.
constexpr size_t kFrequencyOffset = 10;
static_assert(offsetof(PKIO_TIMESTAMP_INFO, Frequency) == kFrequencyOffset);

}  // namespace

char SequenceCheck::Check(uint32_t sequence) {
  char mark = 0;
  if (previous_ != 0) {
    const uint32_t expected = previous_ + 1;
    if (sequence != expected) {
      errors_.Add(1);
      if (sequence > expected) {
        ahead_.Add(sequence - expected);
        mark = '+';
      } else {
        behind_.Add(expected - sequence);
        mark = '-';
      }
    }
  }
  previous_ = sequence;
  return mark;
}

void SequenceCheck::Reset() {
  previous_ = 0;
  errors_.Reset();
  ahead_.Reset();
  behind_.Reset();
}

uint64_t PacketPrinter::Milliseconds(AdapterRecord* record,
                                     uint64_t timestamp) {
  if (record->timestamp_frequency == 0) {
    PKIO_TIMESTAMP_INFO info{};
    info.Size = sizeof info;
    if (api_.GetTimestampInformation(record->handle, &info)) {
      uint64_t frequency;
      memcpy(&frequency,
             reinterpret_cast<const BYTE*>(&info) + kFrequencyOffset,
             sizeof frequency);
      record->timestamp_frequency = frequency;
    }
  }
  const uint64_t f = record->timestamp_frequency;
  // Without a frequency there is no time to tell; never divide by zero.
  if (f == 0) return 0;
  return timestamp / f * 1000 + timestamp % f * 1000 / f;
}

void PacketPrinter::Print(AdapterRecord* record,
                          const PKIO_PACKET_HEADER& header, const BYTE* frame,
                          DWORD size, bool quiet) {
  const char mark = record->sequence.Check(header.SequenceNumber);
  if (quiet) {
    // No time is shown: quiet mode costs no divisions per frame.
    if (mark != 0 && format_ == PacketFormat::kSingle) {
      fputc(mark, out_);
      fflush(out_);
    }
    return;
  }
  const uint64_t ms = Milliseconds(record, header.Timestamp);
  std::string& t = text_;
  t.clear();
  if (format_ == PacketFormat::kSingle) {
    Append(&t, "Packet No.: %10.10u            ", header.SequenceNumber);
    Append(&t, "Time: %10.10" PRIu64 " msec       ", ms);
  } else {
    Append(&t, "Packet No.: %10.10u        ", header.SequenceNumber);
    Append(&t, "      SYS Time: %10.10" PRIu64 " msec  ", ms);
  }
  Append(&t, "Length: %u/%u", header.FrameLength, header.BytesDelivered);
  if (mark != 0) t += " * LOST PACKET *";
  t += '\n';

  bool dump = true;
  switch (record->medium) {
    case kMedium802_3:
    case kMediumWan:
      // A header line only for the bytes that are there.
      if (size >= 14) {
        const unsigned type_or_length = frame[12] << 8 | frame[13];
        t += type_or_length > 1500 ? "Ethernet " : "802.3    ";
        AppendAddress(&t, "Dest: %2.2X.%2.2X.%2.2X.%2.2X.%2.2X.%2.2X   ",
                      frame);
        AppendAddress(&t, "Src:  %2.2X.%2.2X.%2.2X.%2.2X.%2.2X.%2.2X    ",
                      frame + 6);
        if (type_or_length > 1500) {
          Append(&t, "Type: 0x%4.4X\n", type_or_length);
        } else {
          Append(&t, "Length: %u\n", type_or_length);
        }
      }
      break;
    case kMedium802_5:
      if (size >= 14) {
        AppendAddress(&t, "Destination: %2.2X.%2.2X.%2.2X.%2.2X.%2.2X.%2.2X   ",
                      frame + 2);
        AppendAddress(&t, "Source: %2.2X.%2.2X.%2.2X.%2.2X.%2.2X.%2.2X\n",
                      frame + 8);
      }
      break;
    case kMediumLocalTalk:
      if (size >= 2) {
        Append(&t, "Destination Node: %2.2X   ", frame[0]);
        Append(&t, "Source Node: %2.2X\n", frame[1]);
      }
      break;
    default:
      t += "Received Packet\n";
      dump = false;
      break;
  }
  if (dump) {
    AppendHexDump(frame, size, &t);
    t += '\n';
  }
  fwrite(t.data(), 1, t.size(), out_);
  fflush(out_);
}

void AppendHexDump(const BYTE* data, size_t size, std::string* text) {
  static const char kHex[] = "0123456789ABCDEF";
  for (size_t offset = 0; offset < size; offset += 16) {
    Append(text, "%6.6X: ", static_cast<unsigned>(offset));
    for (size_t i = 0; i < 16; ++i) {
      if (i == 8) *text += " :";
      if (offset + i < size) {
        const BYTE b = data[offset + i];
        *text += ' ';
        *text += kHex[b >> 4];
        *text += kHex[b & 15];
      } else {
        *text += "   ";
      }
    }
    *text += "    ";
    for (size_t i = 0; i < 16; ++i) {
      const bool printable = offset + i < size && data[offset + i] >= 0x20 &&
                             data[offset + i] < 0x7F;
      *text += printable ? static_cast<char>(data[offset + i]) : '.';
    }
    *text += '\n';
  }
}

}  // namespace kavex::utilities
