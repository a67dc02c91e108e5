// The server's trace log, "Kavex OPC Server Log.txt" in the working
// directory: one line per trace text of the server objects, gated by the
// trace level from the registry value "Logging Level".
//
// Levels: 2 forced thread terminations, 3 lines ending in ": Error", 4 lines
// ending in ": Done" and thread start/stop lines, 5 intermediate steps, 6 per
// item and per change details. A line is written only when the level read
// from the registry reaches the line's level; level 0 (the default) writes
// nothing and creates no file.
//
// A line: local time "MM/DD/YYYY hh:mm:ss.mmm: ", then "[0x" + the low 32
// bits of the object's address as 8 upper-case hex digits + "] " when an
// object is given, then "[Error: 0x" + the HRESULT as 8 hex digits + "] "
// when it is not zero, the message, " '" + detail + "'" when the detail is
// not empty, and a newline. All writers of the process share one lock; the
// file is opened for appending, written and closed for every line, and a
// file that cannot be opened loses the line and fails nothing.
#ifndef KAVEX_SERVER_OBJECTS_TRACE_LOG_H_
#define KAVEX_SERVER_OBJECTS_TRACE_LOG_H_

#include <functional>
#include <string>
#include <string_view>

#include "platform/base/types.h"
#include "platform/log/logger.h"

namespace kavex::server {

inline constexpr char kTraceFileName[] = "Kavex OPC Server Log.txt";
inline constexpr char kTraceLevelKey[] = "Software\\Kavex OPC";
inline constexpr char kTraceLevelValue[] = "Logging Level";

enum TraceLevel : int {
  kTraceTermination = 2,
  kTraceError = 3,
  kTraceDone = 4,
  kTraceStep = 5,
  kTraceDetail = 6,
};

// The process's trace level, 0 until read.
int TraceLevel();
void SetTraceLevel(int level);
// Reads "Logging Level" (a string of at most 50 bytes holding a decimal
// 32-bit integer) from HKEY_LOCAL_MACHINE\Software\Kavex OPC. A missing key
// or value, another type or text that does not convert leaves the level as
// it is. Called at start-up (after SetTraceLevel(0)) and by every server
// object's construction.
void ReadTraceLevel();

inline bool TraceEnabled(int level) { return TraceLevel() >= level; }

// Writes one line when TraceEnabled(level). `object` may be null (no object
// part); `detail` is UTF-8 or UTF-16.
void Trace(int level, const void* object, HRESULT hr, std::string_view message,
           std::string_view detail = {});
void Trace(int level, const void* object, HRESULT hr, std::string_view message,
           std::u16string_view detail);

// The text of one line as Trace writes it, for a given local time.
struct TraceTime {
  int month, day, year, hour, minute, second, millisecond;
};
std::string FormatTraceLine(const TraceTime& time, const void* object,
                            HRESULT hr, std::string_view message,
                            std::string_view detail);

// Tests replace the clock of the lines (null: the local time now).
void SetTraceTimeSourceForTesting(std::function<TraceTime()> source);

// The trace log as one more sink of the process log: library chatter of the
// server process (the driver library, the registry) lands in the trace file
// too, warnings and errors at level 3, the rest at level 5, written as
// "<category>: <message>" without an object part.
log::Sink TraceFileSink();

}  // namespace kavex::server

#endif  // KAVEX_SERVER_OBJECTS_TRACE_LOG_H_
