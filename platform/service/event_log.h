// The event log: entries in the journal, with the event source as their
// identifier (SYSLOG_IDENTIFIER, so `journalctl -t "Kavex OPC Server"` shows
// them), the entry's strings joined by blanks as the message, a priority from
// the event type, and the event ID and category as KAVEX_EVENT_ID= and
// KAVEX_EVENT_CATEGORY=. Tests replace the writer.
#ifndef KAVEX_PLATFORM_SERVICE_EVENT_LOG_H_
#define KAVEX_PLATFORM_SERVICE_EVENT_LOG_H_

#include <mutex>
#include <string>
#include <vector>

#include "platform/base/handle.h"
#include "platform/base/types.h"

constexpr WORD EVENTLOG_SUCCESS = 0x0000;
constexpr WORD EVENTLOG_ERROR_TYPE = 0x0001;
constexpr WORD EVENTLOG_WARNING_TYPE = 0x0002;
constexpr WORD EVENTLOG_INFORMATION_TYPE = 0x0004;
constexpr WORD EVENTLOG_AUDIT_SUCCESS = 0x0008;
constexpr WORD EVENTLOG_AUDIT_FAILURE = 0x0010;

// server: null or "" (this machine; else RPC_S_SERVER_UNAVAILABLE). The
// handle is the event log's own: close it with DeregisterEventSource, not
// CloseHandle.
HANDLE RegisterEventSourceA(const char* server, const char* source);

// Writes one entry. user_sid and the binary data are not kept. Null strings
// read as "". FALSE with RPC_S_SERVER_UNAVAILABLE when the journal does not
// take the entry.
BOOL ReportEventA(HANDLE source, WORD type, WORD category, DWORD event_id,
                  void* user_sid, WORD num_strings, DWORD data_size,
                  const char** strings, void* data);

BOOL DeregisterEventSource(HANDLE source);

namespace kavex::service {

struct EventRecord {
  std::string source;
  WORD type = EVENTLOG_INFORMATION_TYPE;
  WORD category = 0;
  DWORD event_id = 0;
  std::string message;
};

class EventLogWriter {
 public:
  virtual ~EventLogWriter() = default;
  // ERROR_SUCCESS or the reason the entry was lost. From any thread.
  virtual DWORD Write(const EventRecord& record) = 0;
};

// The journal writer, installed by default.
EventLogWriter* JournalEventLogWriter();
// The syslog priority (LOG_ERR, ...) of an event type.
int PriorityForEventType(WORD type);

// The writer stays owned by the caller and must outlive its installation;
// nullptr restores the journal.
void SetEventLogWriter(EventLogWriter* writer);

// Keeps every entry, for tests; installs itself for its lifetime.
class RecordingEventLog : public EventLogWriter {
 public:
  RecordingEventLog() { SetEventLogWriter(this); }
  ~RecordingEventLog() override { SetEventLogWriter(nullptr); }
  RecordingEventLog(const RecordingEventLog&) = delete;
  RecordingEventLog& operator=(const RecordingEventLog&) = delete;

  DWORD Write(const EventRecord& record) override;
  std::vector<EventRecord> records() const;

 private:
  mutable std::mutex mu_;
  std::vector<EventRecord> records_;
};

// One information entry (category 0, event ID 0, one string) under
// `source`; with `echo_to_stdout` the text also goes to standard output as
// a line of its own (a server started as a local server, not as a service,
// shows its events on its console).
void LogEvent(const char* source, const char* text, bool echo_to_stdout);

}  // namespace kavex::service

#endif  // KAVEX_PLATFORM_SERVICE_EVENT_LOG_H_
