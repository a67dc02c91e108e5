#include "server/objects/trace_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "platform/registry/registry.h"
#include "platform/text/utf.h"

namespace kavex::server {
namespace {

std::atomic<int> trace_level{0};

// The process-wide trace lock; never destroyed, lines come during exit.
std::mutex& TraceLock() {
  static auto* mu = new std::mutex;
  return *mu;
}

std::function<TraceTime()>& TimeSource() {
  static auto* source = new std::function<TraceTime()>;
  return *source;
}

TraceTime LocalTimeNow() {
  const auto now = std::chrono::system_clock::now();
  const time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      now.time_since_epoch())
                      .count() %
                  1000;
  tm local{};
  localtime_r(&seconds, &local);
  return TraceTime{local.tm_mon + 1,    local.tm_mday, local.tm_year + 1900,
                   local.tm_hour,       local.tm_min,  local.tm_sec,
                   static_cast<int>(ms)};
}

void WriteLine(const std::string& line) {
  // The lock also keeps lines of different threads whole and in order.
  std::lock_guard<std::mutex> lock(TraceLock());
  int fd = open(kTraceFileName,
                O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return;  // the line is lost; tracing never fails a call
  size_t done = 0;
  while (done < line.size()) {
    ssize_t n = write(fd, line.data() + done, line.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
}

void WriteSink(void*, log::Level level, const char* category,
               const char* message) {
  const int needed = level >= log::Level::kWarning ? kTraceError : kTraceStep;
  std::string text = std::string(category) + ": " + message;
  Trace(needed, nullptr, 0, text);
}

}  // namespace

int TraceLevel() { return trace_level.load(std::memory_order_relaxed); }

void SetTraceLevel(int level) { trace_level.store(level); }

void ReadTraceLevel() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kTraceLevelKey, 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return;
  }
  char buffer[50];
  DWORD size = sizeof buffer;
  DWORD type = REG_NONE;
  const LONG status = RegQueryValueExA(key, kTraceLevelValue, nullptr, &type,
                                       reinterpret_cast<BYTE*>(buffer), &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) {
    return;
  }
  std::string_view text(buffer, size);
  text = text.substr(0, text.find('\0'));
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  int32_t level = 0;
  const char* end = text.data() + text.size();
  auto [rest, error] = std::from_chars(text.data(), end, level);
  if (error != std::errc() || rest == text.data()) return;
  SetTraceLevel(level);
}

std::string FormatTraceLine(const TraceTime& t, const void* object, HRESULT hr,
                            std::string_view message, std::string_view detail) {
  char head[96];
  int n = std::snprintf(head, sizeof head,
                        "%02d/%02d/%04d %02d:%02d:%02d.%03d: ", t.month, t.day,
                        t.year, t.hour, t.minute, t.second, t.millisecond);
  std::string line(head, static_cast<size_t>(n));
  if (object != nullptr) {
    std::snprintf(head, sizeof head, "[0x%08X] ",
                  static_cast<unsigned>(reinterpret_cast<uintptr_t>(object)));
    line += head;
  }
  if (hr != 0) {
    std::snprintf(head, sizeof head, "[Error: 0x%08X] ",
                  static_cast<unsigned>(hr));
    line += head;
  }
  line += message;
  if (!detail.empty()) {
    line += " '";
    line += detail;
    line += "'";
  }
  line += '\n';
  return line;
}

void Trace(int level, const void* object, HRESULT hr, std::string_view message,
           std::string_view detail) {
  if (!TraceEnabled(level)) return;
  TraceTime time;
  {
    std::lock_guard<std::mutex> lock(TraceLock());
    time = TimeSource() ? TimeSource()() : LocalTimeNow();
  }
  WriteLine(FormatTraceLine(time, object, hr, message, detail));
}

void Trace(int level, const void* object, HRESULT hr, std::string_view message,
           std::u16string_view detail) {
  if (!TraceEnabled(level)) return;
  Trace(level, object, hr, message, text::Utf16ToUtf8(detail));
}

void SetTraceTimeSourceForTesting(std::function<TraceTime()> source) {
  std::lock_guard<std::mutex> lock(TraceLock());
  TimeSource() = std::move(source);
}

log::Sink TraceFileSink() {
  log::Sink sink;
  sink.log = &WriteSink;
  sink.level = log::Level::kDebug;
  return sink;
}

}  // namespace kavex::server
