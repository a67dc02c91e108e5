// The server program's command line. Tokens starting with "-" or "/" are
// compared without regard to case; the first one naming an action decides
// ("RegServer", "UnregServer", "Service"); any other token is ignored and
// without one the program starts. "--help" and "--version" answer as in
// every program here.
#ifndef KAVEX_SERVER_PROGRAM_COMMAND_LINE_H_
#define KAVEX_SERVER_PROGRAM_COMMAND_LINE_H_

#include <string>

namespace kavex::server {

enum class ProgramAction {
  kStart,
  kRegServer,
  kUnregServer,
  kService,
  kHelp,
  kVersion
};

ProgramAction ParseCommandLine(int argc, const char* const* argv);

// The text --help prints.
std::string UsageText(const std::string& program);

}  // namespace kavex::server

#endif  // KAVEX_SERVER_PROGRAM_COMMAND_LINE_H_
