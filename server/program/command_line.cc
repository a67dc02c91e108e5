#include "server/program/command_line.h"

#include <string.h>
#include <strings.h>

namespace kavex::server {

ProgramAction ParseCommandLine(int argc, const char* const* argv) {
  for (int i = 1; i < argc; ++i) {
    const char* token = argv[i];
    if (token == nullptr) continue;
    if (strcmp(token, "--help") == 0 || strcmp(token, "-h") == 0 ||
        strcmp(token, "/?") == 0)
      return ProgramAction::kHelp;
    if (strcmp(token, "--version") == 0) return ProgramAction::kVersion;
    if (token[0] != '-' && token[0] != '/') continue;
    const char* word = token + 1;
    if (strcasecmp(word, "RegServer") == 0) return ProgramAction::kRegServer;
    if (strcasecmp(word, "UnregServer") == 0)
      return ProgramAction::kUnregServer;
    if (strcasecmp(word, "Service") == 0) return ProgramAction::kService;
  }
  return ProgramAction::kStart;
}

std::string UsageText(const std::string& program) {
  return "Usage: " + program +
         " [/RegServer | /UnregServer | /Service]\n"
         "The Kavex OPC Server: serves the switch items of the device plug-in\n"
         "to OPC DA clients.\n"
         "\n"
         "  /RegServer    register the server's classes, type library and OPC\n"
         "                categories (removes the service if installed)\n"
         "  /UnregServer  remove what /RegServer or /Service wrote, and the\n"
         "                service\n"
         "  /Service      as /RegServer, and install the service\n"
         "                \"Kavex OPC Server\" (kavex-opc-server.service)\n"
         "  (none)        serve: as the service when installed as one, else\n"
         "                as a local server that ends 5 s after its last\n"
         "                client; DCOM clients reach it on 127.0.0.1 ports\n"
         "                135 and 4135 (the AppID's \"ListenAddress\" and\n"
         "                \"ObjectPort\"), or on the sockets systemd passes\n"
         "                (kavex-opc-server.socket)\n"
         "  --help        this text\n"
         "  --version     the version\n"
         "\n"
         "Switches start with - or / in any letter case. The registry is\n"
         "$KAVEX_REGISTRY_ROOT (default /etc/kavex-opc/registry); the trace "
         "log\n"
         "\"Kavex OPC Server Log.txt\" is written to the working directory "
         "when\n"
         "HKLM\\Software\\Kavex OPC \"Logging Level\" is above 0.\n";
}

}  // namespace kavex::server
