#include "platform/service/event_log.h"

#include <syslog.h>
#include <systemd/sd-journal.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <unordered_map>

#include "platform/base/results.h"
#include "platform/sync/last_error.h"

namespace kavex::service {
namespace {

class JournalWriter : public EventLogWriter {
 public:
  DWORD Write(const EventRecord& record) override {
    // sd_journal_send sends a value holding line breaks in the protocol's
    // length-prefixed form, so a message stays one entry.
    int r = sd_journal_send(
        "MESSAGE=%s", record.message.c_str(), "PRIORITY=%d",
        PriorityForEventType(record.type), "SYSLOG_IDENTIFIER=%s",
        record.source.c_str(), "KAVEX_EVENT_ID=%u",
        static_cast<unsigned>(record.event_id), "KAVEX_EVENT_CATEGORY=%u",
        static_cast<unsigned>(record.category), nullptr);
    return r < 0 ? RPC_S_SERVER_UNAVAILABLE : ERROR_SUCCESS;
  }
};

std::atomic<EventLogWriter*> g_writer{nullptr};

struct Sources {
  std::mutex mu;
  std::unordered_map<uintptr_t, std::string> live;
  uintptr_t next = 1;
};
Sources& GetSources() {
  static Sources* sources = new Sources;  // used until exit
  return *sources;
}

EventLogWriter* CurrentWriter() {
  EventLogWriter* writer = g_writer.load();
  return writer != nullptr ? writer : JournalEventLogWriter();
}

}  // namespace

EventLogWriter* JournalEventLogWriter() {
  static JournalWriter* writer = new JournalWriter;
  return writer;
}

int PriorityForEventType(WORD type) {
  switch (type) {
    case EVENTLOG_ERROR_TYPE:
    case EVENTLOG_AUDIT_FAILURE:
      return LOG_ERR;
    case EVENTLOG_WARNING_TYPE:
      return LOG_WARNING;
    case EVENTLOG_AUDIT_SUCCESS:
      return LOG_NOTICE;
    default:
      return LOG_INFO;
  }
}

void SetEventLogWriter(EventLogWriter* writer) { g_writer.store(writer); }

DWORD RecordingEventLog::Write(const EventRecord& record) {
  std::lock_guard<std::mutex> lock(mu_);
  records_.push_back(record);
  return ERROR_SUCCESS;
}

std::vector<EventRecord> RecordingEventLog::records() const {
  std::lock_guard<std::mutex> lock(mu_);
  return records_;
}

void LogEvent(const char* source, const char* text, bool echo_to_stdout) {
  HANDLE handle = RegisterEventSourceA(nullptr, source);
  if (handle != nullptr) {
    const char* strings[] = {text};
    ReportEventA(handle, EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 1, 0,
                 strings, nullptr);
    DeregisterEventSource(handle);
  }
  if (echo_to_stdout) {
    std::fputs(text != nullptr ? text : "", stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  }
}

}  // namespace kavex::service

namespace svc = kavex::service;

// Handles are odd numbers: never the address of a kernel object, so a
// CloseHandle on one fails cleanly instead of closing something else.
HANDLE RegisterEventSourceA(const char* server, const char* source) {
  if (server != nullptr && *server != '\0') {
    SetLastError(RPC_S_SERVER_UNAVAILABLE);
    return nullptr;
  }
  if (source == nullptr || *source == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  svc::Sources& sources = svc::GetSources();
  std::lock_guard<std::mutex> lock(sources.mu);
  uintptr_t value = (sources.next++ << 4) | 0x3;
  sources.live.emplace(value, source);
  return reinterpret_cast<HANDLE>(value);
}

BOOL ReportEventA(HANDLE source, WORD type, WORD category, DWORD event_id,
                  void* user_sid, WORD num_strings, DWORD data_size,
                  const char** strings, void* data) {
  (void)user_sid;
  (void)data_size;
  (void)data;
  svc::EventRecord record;
  {
    svc::Sources& sources = svc::GetSources();
    std::lock_guard<std::mutex> lock(sources.mu);
    auto it = sources.live.find(reinterpret_cast<uintptr_t>(source));
    if (it == sources.live.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    record.source = it->second;
  }
  if (num_strings != 0 && strings == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  record.type = type;
  record.category = category;
  record.event_id = event_id;
  for (WORD i = 0; i < num_strings; ++i) {
    if (i != 0) record.message += ' ';
    if (strings[i] != nullptr) record.message += strings[i];
  }
  DWORD error = svc::CurrentWriter()->Write(record);
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return FALSE;
  }
  return TRUE;
}

BOOL DeregisterEventSource(HANDLE source) {
  svc::Sources& sources = svc::GetSources();
  std::lock_guard<std::mutex> lock(sources.mu);
  if (sources.live.erase(reinterpret_cast<uintptr_t>(source)) == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}
