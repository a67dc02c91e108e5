// The command line of kavex-opc-client: a command, its items and the
// connection options. The words come from the user: anything unknown,
// missing or out of range is a usage error with a message, never a guess.
#ifndef KAVEX_TOOLS_OPC_CLIENT_COMMAND_LINE_H_
#define KAVEX_TOOLS_OPC_CLIENT_COMMAND_LINE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kavex::opc_client {

// Exit codes.
inline constexpr int kExitOk = 0;
inline constexpr int kExitItemFailed = 1;   // some item failed (unknown, ...)
inline constexpr int kExitUsage = 2;        // bad command line
inline constexpr int kExitAccessDenied = 3; // the host refused the logon
inline constexpr int kExitUnreachable = 4;  // no answer / connection lost
inline constexpr int kExitServerError = 5;  // the server refused a call

// The environment variable a password may come from.
inline constexpr char kPasswordVariable[] = "KAVEX_OPC_PASSWORD";

enum class Command { kNone, kStatus, kBrowse, kRead, kWrite, kWatch, kServers };

struct Options {
  Command command = Command::kNone;
  bool help = false;
  bool version = false;
  std::string host = "127.0.0.1";
  uint16_t port = 135;
  std::string user;  // empty: no logon
  std::string domain;
  std::optional<std::string> password;  // from --password
  // A CLSID ("{...}") or a ProgID resolved through the host's OpcEnum;
  // empty: KavexOPCServer.Server.
  std::string server;
  bool from_device = false;     // --source device
  uint32_t interval_ms = 1000;  // watch: between polls
  uint32_t count = 0;           // watch: polls, 0 until interrupted
  bool table = false;           // watch: --layout table (watch_table.h)
  uint32_t timeout_ms = 10000;
  std::string filter;               // browse
  std::vector<std::string> items;   // read, watch
  std::vector<std::string> values;  // write: one per item ("ITEM=VALUE")
};

// Parses argv[1..]. True with *options filled; false with *error set.
bool ParseCommandLine(const std::vector<std::string>& args, Options* options,
                      std::string* error);

// The --help text.
const char* UsageText();

}  // namespace kavex::opc_client

#endif  // KAVEX_TOOLS_OPC_CLIENT_COMMAND_LINE_H_
