// The command line of the packet dump utilities (Tapdump and, without /s,
// Batchcap) and their usage text.
#ifndef KAVEX_UTILITIES_COMMON_DUMP_OPTIONS_H_
#define KAVEX_UTILITIES_COMMON_DUMP_OPTIONS_H_

#include <cstdio>
#include <optional>
#include <string>

#include "utilities/common/filter_program.h"

namespace kavex::utilities {

struct DumpOptions {
  bool quiet = false;
  bool auto_run = false;  // /go: no ENTER prompt
  bool send_packets = false;
  int dump_level = 0;  // 0-3
  bool loopback = true;
  std::optional<std::string> adapter_name;
  FilterProgram filter;
};

// What differs between the programs sharing the parser.
struct DumpProgramText {
  const char* usage_line;  // "Usage: TAPDUMP /a AdapterName [ options ]\r\n\n"
  const char* example;     // "    Example: TAPDUMP /a \\Device\\Ne20002\n"
  bool send_option;        // whether /s exists
};

// Options start with "/" or "-" and are matched case-insensitively by
// prefix in the order q, go, s, d, le, ld, a, p, h, ?; the first match
// wins, other arguments are ignored; /a and /p take the next argument.
// Prints each option's echo line to out. Returns false after /h or /?,
// having printed the usage (the program then exits with 1).
bool ParseDumpOptions(int argc, char** argv, const DumpProgramText& text,
                      DumpOptions* options, FILE* out);

void PrintDumpUsage(const DumpProgramText& text, FILE* out);

}  // namespace kavex::utilities

#endif  // KAVEX_UTILITIES_COMMON_DUMP_OPTIONS_H_
