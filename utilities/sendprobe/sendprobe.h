// Sendprobe: sends one broadcast test frame on every adapter the driver
// enumerates and tells whether each send completed at once, after waiting,
// timed out or failed.
#ifndef KAVEX_UTILITIES_SENDPROBE_SENDPROBE_H_
#define KAVEX_UTILITIES_SENDPROBE_SENDPROBE_H_

#include <cstddef>
#include <cstdio>

#include "utilities/common/console.h"
#include "utilities/common/pkio_api.h"

namespace kavex::utilities {

constexpr size_t kSendprobeFrameLength = 128;
// 26 characters and their NUL at byte 14 of the frame.
constexpr char kSendprobeMessage[] = "Kavex Sendprobe test frame";
static_assert(sizeof kSendprobeMessage == 27);
constexpr DWORD kSendprobeWaitMs = 5000;

// The frame before the station address goes in: 0x5A throughout, the
// message at byte 14, broadcast destination, zero source, type 60 00.
void FillSendprobeFrame(BYTE frame[kSendprobeFrameLength]);

// Opens the adapter, sends one test frame with Pkio_PacketSend and prints
// the outcome.
void SendTestFrame(const PkioApi& api, const char* ndis_name, FILE* out);

// The whole program; returns its exit code (always 0).
int RunSendprobe(const PkioApi& api, Console& console, int argc, char** argv);

}  // namespace kavex::utilities

#endif  // KAVEX_UTILITIES_SENDPROBE_SENDPROBE_H_
