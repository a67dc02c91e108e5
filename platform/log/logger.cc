#include "platform/log/logger.h"

#include <errno.h>
#include <syslog.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

namespace kavex::log {
namespace {

// The installed sink. Writers take a reference under the lock and write
// outside it; a replaced sink is cleared when its last writer is done.
struct Installed {
  explicit Installed(Sink s) : sink(s) {}
  ~Installed() {
    if (sink.clear != nullptr) sink.clear(sink.context);
  }
  const Sink sink;
};

struct State {
  std::mutex mu;
  std::shared_ptr<Installed> current;
  // The installed sink's level, read without the lock to skip formatting.
  std::atomic<int> level{static_cast<int>(Level::kInfo)};
};

State& GetState() {
  // Never destroyed: libraries log while the process exits.
  static State* state = [] {
    auto* s = new State;
    s->current = std::make_shared<Installed>(StderrSink(Level::kInfo));
    return s;
  }();
  return *state;
}

void WriteStderr(void*, Level level, const char* category,
                 const char* message) {
  if (level >= Level::kWarning) {
    std::fprintf(stderr, "%s: %s: %s: %s\n", program_invocation_short_name,
                 category, LevelName(level), message);
  } else {
    std::fprintf(stderr, "%s: %s: %s\n", program_invocation_short_name,
                 category, message);
  }
}

struct JournalContext {
  std::string identifier;
};

int Priority(Level level) {
  switch (level) {
    case Level::kDebug:
      return LOG_DEBUG;
    case Level::kInfo:
      return LOG_INFO;
    case Level::kWarning:
      return LOG_WARNING;
    case Level::kError:
      return LOG_ERR;
  }
  return LOG_NOTICE;
}

void WriteJournal(void*, Level level, const char* category,
                  const char* message) {
  syslog(Priority(level), "%s: %s", category, message);
}

void ClearJournal(void* context) {
  closelog();
  std::unique_ptr<JournalContext> journal(
      static_cast<JournalContext*>(context));
}

}  // namespace

const char* LevelName(Level level) {
  switch (level) {
    case Level::kDebug:
      return "debug";
    case Level::kInfo:
      return "info";
    case Level::kWarning:
      return "warning";
    case Level::kError:
      return "error";
  }
  return "?";
}

void SetSink(Sink sink) {
  State& state = GetState();
  auto installed = std::make_shared<Installed>(sink);
  std::shared_ptr<Installed> old;
  {
    std::lock_guard<std::mutex> lock(state.mu);
    old = std::exchange(state.current, std::move(installed));
    state.level.store(static_cast<int>(sink.level));
  }
  // old is cleared here, or by the last writer still using it.
}

void ResetSink() { SetSink(StderrSink(Level::kInfo)); }

bool Enabled(Level level) {
  return static_cast<int>(level) >= GetState().level.load();
}

void Log(Level level, const char* category, const std::string& message) {
  if (!Enabled(level)) return;
  State& state = GetState();
  std::shared_ptr<Installed> installed;
  {
    std::lock_guard<std::mutex> lock(state.mu);
    installed = state.current;
  }
  const Sink& sink = installed->sink;
  if (sink.log == nullptr || level < sink.level) return;
  sink.log(sink.context, level, category != nullptr ? category : "",
           message.c_str());
}

void Logf(Level level, const char* category, const char* format, ...) {
  if (!Enabled(level)) return;
  char text[4096];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  Log(level, category, text);
}

Sink StderrSink(Level level) {
  Sink sink;
  sink.log = &WriteStderr;
  sink.level = level;
  return sink;
}

Sink JournalSink(const char* identifier, Level level) {
  Sink sink;
  sink.log = &WriteJournal;
  sink.clear = &ClearJournal;
  auto journal = std::make_unique<JournalContext>();
  journal->identifier = identifier != nullptr ? identifier : "";
  // openlog keeps the pointer: the context owns the text until cleared.
  openlog(journal->identifier.c_str(), LOG_PID, LOG_DAEMON);
  sink.context = journal.release();
  sink.level = level;
  return sink;
}

Sink Recorder::sink(Level level) {
  Sink s;
  s.log = &Recorder::Write;
  s.context = this;
  s.level = level;
  return s;
}

void Recorder::Write(void* context, Level level, const char* category,
                     const char* message) {
  auto* recorder = static_cast<Recorder*>(context);
  std::lock_guard<std::mutex> lock(recorder->mu_);
  recorder->lines_.push_back({level, category, message});
}

std::vector<Recorder::Line> Recorder::lines() const {
  std::lock_guard<std::mutex> lock(mu_);
  return lines_;
}

size_t Recorder::Count(const std::string& text) const {
  std::lock_guard<std::mutex> lock(mu_);
  size_t n = 0;
  for (const Line& line : lines_)
    if (line.message.find(text) != std::string::npos) ++n;
  return n;
}

void Recorder::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  lines_.clear();
}

}  // namespace kavex::log
