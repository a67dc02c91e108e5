// kavex-opc-client: our OPC DA client over DCOM (see command_line.cc for
// the commands, options and exit codes).
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

#include "platform/com/guid.h"
#include "platform/sync/clock.h"
#include "platform/opc/opc_error.h"
#include "platform/rpc/ntlm.h"
#include "platform/text/utf.h"
#include "server/objects/server_object.h"
#include "tools/opc_client/command_line.h"
#include "tools/opc_client/opc_session.h"
#include "tools/opc_client/value_text.h"
#include "tools/opc_client/watch_table.h"

namespace kavex::opc_client {
namespace {

std::atomic<bool> interrupted{false};
void OnSignal(int) { interrupted = true; }

void Error(const std::string& text) {
  std::fprintf(stderr, "kavex-opc-client: %s\n", text.c_str());
}

std::string Utf8(const std::u16string& text) { return text::Utf16ToUtf8(text); }

// Reads a line from the terminal without echo; false without a terminal.
bool Prompt(const std::string& question, std::string* answer) {
  if (!isatty(STDIN_FILENO)) return false;
  std::fprintf(stderr, "%s", question.c_str());
  std::fflush(stderr);
  termios old = {};
  bool restore = tcgetattr(STDIN_FILENO, &old) == 0;
  if (restore) {
    termios quiet = old;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
  }
  bool got = static_cast<bool>(std::getline(std::cin, *answer));
  if (restore) tcsetattr(STDIN_FILENO, TCSANOW, &old);
  std::fprintf(stderr, "\n");
  return got;
}

class Program {
 public:
  explicit Program(const Options& options) : options_(options) {
    dcom::DcomClientOptions client;
    client.timeout_ms = static_cast<int>(options.timeout_ms);
    session_ = std::make_unique<OpcSession>(client);
  }

  int Run() {
    rpc::NtlmClientCredentials credentials;
    const rpc::NtlmClientCredentials* logon = nullptr;
    if (!options_.user.empty()) {
      std::string password;
      if (options_.password) {
        password = *options_.password;
      } else if (const char* env = std::getenv(kPasswordVariable)) {
        password = env;
      } else if (!Prompt("Password for " + Account() + ": ", &password)) {
        Error("no password: give --password, set " +
              std::string(kPasswordVariable) + " or run on a terminal");
        return kExitUsage;
      }
      credentials.user = text::Utf8ToUtf16(options_.user);
      credentials.domain = text::Utf8ToUtf16(options_.domain);
      credentials.nt_hash = rpc::NtOwfV1(text::Utf8ToUtf16(password));
      logon = &credentials;
    }
    HRESULT hr = session_->Connect(options_.host, options_.port, logon);
    if (hr == E_INVALIDARG) {
      Error("--host must be an IPv4 address, not '" + options_.host + "'");
      return kExitUsage;
    }
    if (FAILED(hr)) return Fail(hr, "connect");
    if (options_.command == Command::kServers) return Servers();

    CLSID clsid = CLSID_Server;
    if (!options_.server.empty()) {
      if (options_.server[0] == '{') {
        if (!com::GuidFromString(options_.server, &clsid)) {
          Error("--server: '" + options_.server + "' is not a CLSID");
          return kExitUsage;
        }
      } else if (FAILED(hr = session_->ClassOfProgId(
                            text::Utf8ToUtf16(options_.server), &clsid))) {
        return Fail(hr, "looking up " + options_.server);
      }
    }
    if (FAILED(hr = session_->Open(clsid))) {
      return Fail(hr, "creating the server " + com::GuidToString(clsid));
    }
    int code = kExitOk;
    switch (options_.command) {
      case Command::kStatus:
        code = Status();
        break;
      case Command::kBrowse:
        code = Browse();
        break;
      case Command::kRead:
      case Command::kWatch:
        code = Read();
        break;
      case Command::kWrite:
        code = Write();
        break;
      default:
        code = kExitUsage;
    }
    session_->Close();
    return code;
  }

 private:
  std::string Account() const {
    return options_.domain.empty() ? options_.user
                                   : options_.domain + "\\" + options_.user;
  }

  std::string Where() const {
    return options_.host + " port " + std::to_string(options_.port);
  }

  int Fail(HRESULT hr, const std::string& what) {
    if (hr == HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE)) {
      Error("cannot reach " + Where() +
            ": no DCOM server answers there (host down, wrong port, or a "
            "firewall)");
      return kExitUnreachable;
    }
    if (hr == dcom::kCallFailed) {
      Error("the connection to " + Where() +
            " broke or an answer did not come within " +
            std::to_string(options_.timeout_ms) + " ms (" + what + ")");
      return kExitUnreachable;
    }
    if (hr == E_ACCESSDENIED) {
      Error(options_.user.empty()
                ? "access denied: " + options_.host +
                      " refuses clients that do not log on (give --user)"
                : "access denied: " + options_.host + " refused the logon of " +
                      Account() + " (wrong user, domain or password?)");
      return kExitAccessDenied;
    }
    if (hr == REGDB_E_CLASSNOTREG) {
      Error(what + ": the class is not registered on " + options_.host);
      return kExitServerError;
    }
    if (hr == CO_E_CLASSSTRING) {
      Error(what + ": " + options_.host + " knows no such ProgID");
      return kExitServerError;
    }
    Error(what + " failed: " + FormatResult(hr));
    return kExitServerError;
  }

  int Servers() {
    std::vector<ServerEntry> servers;
    HRESULT hr = session_->ListServers(&servers);
    if (FAILED(hr)) return Fail(hr, "listing the servers (OpcEnum)");
    for (const ServerEntry& s : servers) {
      std::printf("%s\t%s\t%s\t%s\n", Utf8(s.prog_id).c_str(),
                  com::GuidToString(s.clsid).c_str(),
                  Utf8(s.versioned_prog_id).c_str(),
                  Utf8(s.description).c_str());
    }
    session_->Close();
    return kExitOk;
  }

  int Status() {
    ServerStatus s;
    HRESULT hr = session_->Status(&s);
    if (FAILED(hr)) return Fail(hr, "GetStatus");
    static const char* const kStates[] = {"?",         "running", "failed",
                                          "noconfig",  "suspended", "test"};
    std::printf("vendor=%s\n", Utf8(s.vendor).c_str());
    std::printf("state=%s\n",
                s.state < 6 ? kStates[s.state] : std::to_string(s.state).c_str());
    std::printf("start_time=%s\n", FormatFileTime(s.start_time).c_str());
    std::printf("current_time=%s\n", FormatFileTime(s.current_time).c_str());
    std::printf("last_update_time=%s\n",
                FormatFileTime(s.last_update_time).c_str());
    std::printf("groups=%u\n", static_cast<unsigned>(s.group_count));
    std::printf("bandwidth=%u\n", static_cast<unsigned>(s.bandwidth));
    std::printf("version=%u.%u.%u\n", unsigned{s.major}, unsigned{s.minor},
                unsigned{s.build});
    return kExitOk;
  }

  int Browse() {
    std::vector<std::u16string> ids;
    HRESULT hr = session_->Browse(text::Utf8ToUtf16(options_.filter), &ids);
    if (FAILED(hr)) return Fail(hr, "browsing");
    for (const auto& id : ids) std::printf("%s\n", Utf8(id).c_str());
    return kExitOk;
  }

  // Explains an item's failure on stderr.
  void ItemError(const std::string& item, HRESULT error,
                 const std::string& value = "") {
    if (error == OPC_E_UNKNOWNITEMID || error == OPC_E_INVALIDITEMID) {
      Error("unknown item '" + item + "'");
    } else if (error == OPC_E_BADRIGHTS) {
      Error("item '" + item + "' cannot be " +
            (value.empty() ? "read" : "written") + " (access rights)");
    } else if (error == DISP_E_TYPEMISMATCH || error == OPC_E_BADTYPE ||
               error == OPC_E_RANGE || error == DISP_E_OVERFLOW) {
      Error("the value '" + value + "' does not suit item '" + item + "' (" +
            FormatResult(error) + ")");
    } else {
      Error("item '" + item + "': " + FormatResult(error));
    }
  }

  bool AddItems(int* code) {
    std::vector<std::u16string> ids;
    for (const auto& item : options_.items) {
      ids.push_back(text::Utf8ToUtf16(item));
    }
    std::vector<HRESULT> errors;
    HRESULT hr = session_->AddItems(ids, options_.interval_ms, &errors);
    if (FAILED(hr)) {
      *code = Fail(hr, "adding the items");
      return false;
    }
    *code = kExitOk;
    return true;
  }

  int Read() {
    int code = kExitOk;
    if (!AddItems(&code)) return code;
    const bool watch = options_.command == Command::kWatch;
    signal(SIGINT, OnSignal);
    signal(SIGTERM, OnSignal);
    bool reported = false;
    const bool terminal = isatty(STDOUT_FILENO) == 1;
    for (uint32_t poll = 1; !interrupted; ++poll) {
      std::vector<ItemValue> values;
      HRESULT hr = session_->Read(
          options_.from_device ? OPC_DS_DEVICE : OPC_DS_CACHE, &values);
      if (FAILED(hr)) return Fail(hr, "reading");
      if (options_.table && watch) {
        FILETIME now = {};
        GetSystemTimeAsFileTime(&now);
        std::fputs(WatchTable(poll, now, options_.items, values, terminal)
                       .c_str(),
                   stdout);
      }
      for (size_t i = 0; i < values.size(); ++i) {
        const ItemValue& v = values[i];
        if (FAILED(v.error)) {
          if (!reported) ItemError(options_.items[i], v.error);
          code = kExitItemFailed;
        }
        if (options_.table && watch) continue;
        std::string line = watch ? "poll=" + std::to_string(poll) + " " : "";
        line += options_.items[i];
        if (FAILED(v.error)) {
          line += " error=" + FormatResult(v.error);
        } else {
          line += " value=" + FormatValue(v.value) +
                  " type=" + TypeName(v.value.vt) +
                  " quality=" + FormatQuality(v.quality) +
                  " time=" + FormatFileTime(v.timestamp);
        }
        std::printf("%s\n", line.c_str());
      }
      std::fflush(stdout);
      reported = true;
      if (!watch || (options_.count != 0 && poll >= options_.count)) break;
      auto until = std::chrono::steady_clock::now() +
                   std::chrono::milliseconds(options_.interval_ms);
      while (!interrupted && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
    return code;
  }

  int Write() {
    int code = kExitOk;
    if (!AddItems(&code)) return code;
    std::vector<std::u16string> texts;
    for (const auto& v : options_.values) texts.push_back(text::Utf8ToUtf16(v));
    std::vector<HRESULT> errors;
    HRESULT hr = session_->Write(texts, &errors);
    if (FAILED(hr)) return Fail(hr, "writing");
    for (size_t i = 0; i < errors.size(); ++i) {
      if (FAILED(errors[i])) {
        std::printf("%s error=%s\n", options_.items[i].c_str(),
                    FormatResult(errors[i]).c_str());
        ItemError(options_.items[i], errors[i], options_.values[i]);
        code = kExitItemFailed;
      } else {
        std::printf("%s written\n", options_.items[i].c_str());
      }
    }
    return code;
  }

  const Options& options_;
  std::unique_ptr<OpcSession> session_;
};

int Main(int argc, char** argv) {
  opc::RegisterOpcResultNames();
  Options options;
  std::string error;
  if (!ParseCommandLine({argv + 1, argv + argc}, &options, &error)) {
    Error(error + " (see --help)");
    return kExitUsage;
  }
  if (options.help) {
    std::fputs(UsageText(), stdout);
    return kExitOk;
  }
  if (options.version) {
    std::printf("kavex-opc-client %s\n", KAVEX_VERSION);
    return kExitOk;
  }
  return Program(options).Run();
}

}  // namespace
}  // namespace kavex::opc_client

int main(int argc, char** argv) { return kavex::opc_client::Main(argc, argv); }
