#include "platform/service/event_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <thread>

#include "platform/base/results.h"
#include "platform/sync/last_error.h"

namespace kavex::service {
namespace {

TEST(EventLogTest, EntriesCarrySourceTypeAndStrings) {
  RecordingEventLog log;
  HANDLE source = RegisterEventSourceA(nullptr, "Kavex OPC Server");
  ASSERT_NE(nullptr, source);
  const char* strings[] = {"Service", nullptr, "started"};
  ASSERT_TRUE(ReportEventA(source, EVENTLOG_WARNING_TYPE, 2, 7, nullptr, 3, 0,
                           strings, nullptr));
  ASSERT_TRUE(ReportEventA(source, EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 0,
                           0, nullptr, nullptr));
  std::vector<EventRecord> records = log.records();
  ASSERT_EQ(2u, records.size());
  EXPECT_EQ("Kavex OPC Server", records[0].source);
  EXPECT_EQ(EVENTLOG_WARNING_TYPE, records[0].type);
  EXPECT_EQ(2, records[0].category);
  EXPECT_EQ(7u, records[0].event_id);
  EXPECT_EQ("Service  started", records[0].message);
  EXPECT_EQ("", records[1].message);

  EXPECT_FALSE(ReportEventA(source, EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 1,
                            0, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  // The event source is not a kernel object: CloseHandle refuses it and
  // leaves it open.
  EXPECT_FALSE(CloseHandle(source));
  EXPECT_TRUE(DeregisterEventSource(source));
  EXPECT_FALSE(DeregisterEventSource(source));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  EXPECT_FALSE(ReportEventA(source, EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 1,
                            0, strings, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  EXPECT_EQ(2u, log.records().size());

  EXPECT_EQ(nullptr, RegisterEventSourceA("\\\\plant-pc", "x"));
  EXPECT_EQ(static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE), GetLastError());
  EXPECT_EQ(nullptr, RegisterEventSourceA(nullptr, ""));
  EXPECT_EQ(nullptr, RegisterEventSourceA(nullptr, nullptr));
}

TEST(EventLogTest, LogEventEchoesToStandardOutputOnlyWhenAsked) {
  RecordingEventLog log;
  ::testing::internal::CaptureStdout();
  LogEvent("Kavex OPC Server", "Service started", /*echo_to_stdout=*/true);
  LogEvent("Kavex OPC Server", "Service stopped", /*echo_to_stdout=*/false);
  EXPECT_EQ("Service started\n", ::testing::internal::GetCapturedStdout());
  std::vector<EventRecord> records = log.records();
  ASSERT_EQ(2u, records.size());
  EXPECT_EQ("Service started", records[0].message);
  EXPECT_EQ("Service stopped", records[1].message);
  EXPECT_EQ(EVENTLOG_INFORMATION_TYPE, records[1].type);
  EXPECT_EQ(0u, records[1].event_id);
}

TEST(EventLogTest, TypesMapToPriorities) {
  EXPECT_EQ(LOG_ERR, PriorityForEventType(EVENTLOG_ERROR_TYPE));
  EXPECT_EQ(LOG_WARNING, PriorityForEventType(EVENTLOG_WARNING_TYPE));
  EXPECT_EQ(LOG_INFO, PriorityForEventType(EVENTLOG_INFORMATION_TYPE));
  EXPECT_EQ(LOG_INFO, PriorityForEventType(EVENTLOG_SUCCESS));
  EXPECT_EQ(LOG_ERR, PriorityForEventType(EVENTLOG_AUDIT_FAILURE));
}

// Parses the journal's native datagram: "FIELD=value\n", or for values with
// line breaks "FIELD\n" + 64-bit little-endian length + bytes + "\n".
std::map<std::string, std::string> ParseJournalDatagram(const std::string& d) {
  std::map<std::string, std::string> fields;
  size_t i = 0;
  while (i < d.size()) {
    size_t end = d.find('\n', i);
    if (end == std::string::npos) break;
    std::string line = d.substr(i, end - i);
    size_t eq = line.find('=');
    if (eq != std::string::npos) {
      fields[line.substr(0, eq)] = line.substr(eq + 1);
      i = end + 1;
    } else {
      uint64_t length = 0;
      if (end + 9 > d.size()) break;
      std::memcpy(&length, d.data() + end + 1, 8);
      if (end + 9 + length > d.size()) break;
      fields[line] = d.substr(end + 9, length);
      i = end + 9 + length + 1;
    }
  }
  return fields;
}

// The journal writer, against a journal socket in a mount namespace of the
// test's own (a private /run), so nothing reaches the machine's journal.
TEST(JournalWriterTest, EntriesReachTheJournalSocketWhole) {
  int pipe_fds[2];
  ASSERT_EQ(0, pipe2(pipe_fds, O_CLOEXEC));
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(pipe_fds[0]);
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0)
      _exit(77);
    mkdir("/run/systemd", 0755);
    mkdir("/run/systemd/journal", 0755);
    int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, "/run/systemd/journal/socket");
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
      _exit(2);
    HANDLE source = RegisterEventSourceA(nullptr, "Kavex OPC Server");
    const char* first[] = {"Service started"};
    const char* second[] = {"two\nlines"};
    if (!ReportEventA(source, EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 1, 0,
                      first, nullptr) ||
        !ReportEventA(source, EVENTLOG_ERROR_TYPE, 3, 9, nullptr, 1, 0, second,
                      nullptr))
      _exit(3);
    for (int n = 0; n < 2; ++n) {
      pollfd p{s, POLLIN, 0};
      if (poll(&p, 1, 30000) != 1) _exit(4);
      char buffer[8192];
      ssize_t got = recv(s, buffer, sizeof buffer, 0);
      if (got <= 0) _exit(5);
      uint32_t size = static_cast<uint32_t>(got);
      if (write(pipe_fds[1], &size, sizeof size) != sizeof size ||
          write(pipe_fds[1], buffer, size) != got)
        _exit(6);
    }
    _exit(0);
  }
  close(pipe_fds[1]);
  std::vector<std::string> datagrams;
  while (true) {
    uint32_t size;
    if (read(pipe_fds[0], &size, sizeof size) != sizeof size) break;
    std::string datagram(size, '\0');
    if (read(pipe_fds[0], datagram.data(), size) != static_cast<ssize_t>(size))
      break;
    datagrams.push_back(datagram);
  }
  close(pipe_fds[0]);
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77)
    GTEST_SKIP() << "no private mount namespace here (needs root): the "
                    "journal writer is not tested against a socket";
  ASSERT_EQ(0, WEXITSTATUS(status));
  ASSERT_EQ(2u, datagrams.size());
  auto first = ParseJournalDatagram(datagrams[0]);
  EXPECT_EQ("Service started", first["MESSAGE"]);
  EXPECT_EQ("Kavex OPC Server", first["SYSLOG_IDENTIFIER"]);
  EXPECT_EQ("6", first["PRIORITY"]);
  EXPECT_EQ("0", first["KAVEX_EVENT_ID"]);
  auto second = ParseJournalDatagram(datagrams[1]);
  EXPECT_EQ("two\nlines", second["MESSAGE"]);
  EXPECT_EQ("3", second["PRIORITY"]);
  EXPECT_EQ("9", second["KAVEX_EVENT_ID"]);
  EXPECT_EQ("3", second["KAVEX_EVENT_CATEGORY"]);
}

}  // namespace
}  // namespace kavex::service
