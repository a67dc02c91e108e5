// The process-wide log of library chatter: one small interface that every
// layer writes to, and a function table behind it that decides where lines
// go (stderr by default, the journal in daemons, a recorder in tests, the
// server's trace file as one more sink).
//
// A sink is a table of two functions and a context, so a sink from another
// module or a test is plugged in without inheritance:
//   log(context, level, category, message)  called for each line at or above
//                                           the sink's level, from any thread,
//                                           possibly concurrently;
//   clear(context)                          called once when the sink is
//                                           replaced; frees the context.
// The message is one line of UTF-8 without the trailing newline; the category
// names the layer that speaks ("pkio", "registry", "device", ...).
//
// Output that a part of the system owes its user (the device's receive-path
// lines on standard output, a program's report) is not logging and does not
// go through here.
#ifndef KAVEX_PLATFORM_LOG_LOGGER_H_
#define KAVEX_PLATFORM_LOG_LOGGER_H_

#include <cstdarg>
#include <mutex>
#include <string>
#include <vector>

namespace kavex::log {

enum class Level { kDebug = 0, kInfo = 1, kWarning = 2, kError = 3 };

// "debug", "info", "warning", "error".
const char* LevelName(Level level);

struct Sink {
  void (*log)(void* context, Level level, const char* category,
              const char* message) = nullptr;
  void (*clear)(void* context) = nullptr;  // may be null
  void* context = nullptr;
  Level level = Level::kInfo;  // lines below it are not even formatted
};

// Installs `sink` for the whole process; the sink installed before is
// cleared once no line is being written to it any more. A sink with a null
// log function discards everything.
void SetSink(Sink sink);
// Back to the default: StderrSink(Level::kInfo).
void ResetSink();

// Writes one line through the installed sink when `level` reaches the sink's
// level. printf-style; the text is cut at 4095 bytes.
void Logf(Level level, const char* category, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void Log(Level level, const char* category, const std::string& message);
// True when a line of `level` would be written (to skip costly formatting).
bool Enabled(Level level);

// "<program>: <category>: <message>" on stderr (program from
// program_invocation_short_name), with the level for warnings and errors.
Sink StderrSink(Level level);
// syslog(3), which the journal reads on systemd machines: one entry per line
// with a priority from the level, under `identifier` (kept by the sink).
Sink JournalSink(const char* identifier, Level level);

// A sink that keeps every line, for tests. Install it with ScopedSink.
class Recorder {
 public:
  struct Line {
    Level level;
    std::string category;
    std::string message;
  };

  Sink sink(Level level = Level::kDebug);
  std::vector<Line> lines() const;
  // Lines whose message contains `text`.
  size_t Count(const std::string& text) const;
  void Clear();

 private:
  static void Write(void* context, Level level, const char* category,
                    const char* message);
  mutable std::mutex mu_;
  std::vector<Line> lines_;
};

// Installs a sink for its lifetime and restores the default afterwards.
class ScopedSink {
 public:
  explicit ScopedSink(Sink sink) { SetSink(sink); }
  ~ScopedSink() { ResetSink(); }
  ScopedSink(const ScopedSink&) = delete;
  ScopedSink& operator=(const ScopedSink&) = delete;
};

}  // namespace kavex::log

#endif  // KAVEX_PLATFORM_LOG_LOGGER_H_
