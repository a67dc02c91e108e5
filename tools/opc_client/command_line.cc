#include "tools/opc_client/command_line.h"

#include <cstdlib>

namespace kavex::opc_client {

namespace {

bool Number(const std::string& text, uint32_t min, uint32_t max,
            uint32_t* out) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v < min || v > max) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

}  // namespace

const char* UsageText() {
  return R"(usage: kavex-opc-client [options] COMMAND [arguments]

An OPC DA client over DCOM (TCP port 135 and the object port the server
names), for checking a Kavex OPC server from another machine.

Commands:
  status                 the server's status (vendor, state, times, groups)
  browse [--filter F]    every item ID, one a line (F: a pattern the
                         server matches item names against)
  read ITEM...           one synchronous read of the items
  write ITEM=VALUE...    one synchronous write; the server converts the
                         text to each item's type
  watch ITEM...          reads the items every --interval ms, printing
                         value, quality and timestamp, --count times
                         (0: until interrupted)
  servers                the OPC DA servers the host lists (OpcEnum)

Options:
  --host ADDRESS         IPv4 address of the server (127.0.0.1)
  --port N               activation port (135)
  --user NAME            account to log on as (NTLM); without it no
                         logon is made, which servers refuse
  --domain NAME          the account's domain ("")
  --password TEXT        its password; without this option the password
                         comes from the KAVEX_OPC_PASSWORD environment
                         variable, and failing that from a prompt on the
                         terminal (no echo)
  --server CLSID|PROGID  the server class ({...}, or a ProgID the host's
                         OpcEnum resolves); KavexOPCServer.Server by default
  --source cache|device  where read and watch take values from (read:
                         device, watch: cache)
  --interval MS          watch: time between polls (1000)
  --count N              watch: number of polls (0: until Ctrl-C)
  --layout lines|table   watch: lines (the default), or per poll a table
                         of ID, value, quality and time that fits 80
                         columns (redrawn in place on a terminal)
  --timeout MS           how long to wait for any answer (10000)
  --help, --version

Output: one "name=value" line per field (status), one item ID per line
(browse), and per item "ITEM value=V type=T quality=Q time=T" or
"ITEM error=CODE NAME" (read, watch; watch adds "poll=N" in front, or
with --layout table prints a heading and aligned columns per poll).

Exit codes: 0 success; 1 some item failed (unknown item, not writable,
bad value); 2 bad command line; 3 the host refused the logon (access
denied); 4 the host cannot be reached, or stopped answering; 5 the server
refused a call (class not registered, ...).

Example (over loopback):
  kavex-opc-client --user opc --domain KAVEX read SW1.P1.Link_Status
)";
}

bool ParseCommandLine(const std::vector<std::string>& args, Options* options,
                      std::string* error) {
  *options = Options{};
  bool source_given = false;
  bool layout_given = false;
  std::vector<std::string> words;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      options->help = true;
      return true;
    }
    if (arg == "--version") {
      options->version = true;
      return true;
    }
    if (arg.rfind("--", 0) != 0) {
      words.push_back(arg);
      continue;
    }
    if (i + 1 >= args.size()) {
      *error = arg + " needs a value";
      return false;
    }
    const std::string& value = args[++i];
    uint32_t n = 0;
    if (arg == "--host") {
      if (value.empty()) {
        *error = "--host needs an address";
        return false;
      }
      options->host = value;
    } else if (arg == "--port") {
      if (!Number(value, 1, 65535, &n)) {
        *error = "--port must be 1 to 65535, not '" + value + "'";
        return false;
      }
      options->port = static_cast<uint16_t>(n);
    } else if (arg == "--user") {
      options->user = value;
    } else if (arg == "--domain") {
      options->domain = value;
    } else if (arg == "--password") {
      options->password = value;
    } else if (arg == "--server") {
      if (value.empty()) {
        *error = "--server needs a CLSID or a ProgID";
        return false;
      }
      options->server = value;
    } else if (arg == "--source") {
      if (value != "cache" && value != "device") {
        *error = "--source must be cache or device, not '" + value + "'";
        return false;
      }
      options->from_device = value == "device";
      source_given = true;
    } else if (arg == "--interval") {
      if (!Number(value, 10, 3600 * 1000, &n)) {
        *error = "--interval must be 10 to 3600000 ms, not '" + value + "'";
        return false;
      }
      options->interval_ms = n;
    } else if (arg == "--count") {
      if (!Number(value, 0, 0xffffffffu, &n)) {
        *error = "--count must be a number, not '" + value + "'";
        return false;
      }
      options->count = n;
    } else if (arg == "--layout") {
      if (value != "lines" && value != "table") {
        *error = "--layout must be lines or table, not '" + value + "'";
        return false;
      }
      options->table = value == "table";
      layout_given = true;
    } else if (arg == "--timeout") {
      if (!Number(value, 100, 3600 * 1000, &n)) {
        *error = "--timeout must be 100 to 3600000 ms, not '" + value + "'";
        return false;
      }
      options->timeout_ms = n;
    } else if (arg == "--filter") {
      options->filter = value;
    } else {
      *error = "unknown option " + arg;
      return false;
    }
  }
  if (words.empty()) {
    *error = "no command given";
    return false;
  }
  const std::string command = words[0];
  words.erase(words.begin());
  struct Name {
    const char* name;
    Command command;
    bool takes_items;
  };
  const Name kCommands[] = {
      {"status", Command::kStatus, false}, {"browse", Command::kBrowse, false},
      {"read", Command::kRead, true},      {"write", Command::kWrite, true},
      {"watch", Command::kWatch, true},    {"servers", Command::kServers, false},
  };
  const Name* found = nullptr;
  for (const Name& c : kCommands) {
    if (command == c.name) found = &c;
  }
  if (!found) {
    *error = "unknown command '" + command + "'";
    return false;
  }
  options->command = found->command;
  if (!found->takes_items && !words.empty()) {
    *error = command + " takes no arguments ('" + words[0] + "')";
    return false;
  }
  if (found->takes_items && words.empty()) {
    *error = command + " needs at least one item";
    return false;
  }
  for (const std::string& word : words) {
    if (options->command != Command::kWrite) {
      options->items.push_back(word);
      continue;
    }
    size_t equals = word.find('=');
    if (equals == std::string::npos || equals == 0) {
      *error = "write takes ITEM=VALUE, not '" + word + "'";
      return false;
    }
    options->items.push_back(word.substr(0, equals));
    options->values.push_back(word.substr(equals + 1));
  }
  if (layout_given && options->command != Command::kWatch) {
    *error = "--layout is for watch only";
    return false;
  }
  if (!source_given) options->from_device = options->command == Command::kRead;
  return true;
}

}  // namespace kavex::opc_client
