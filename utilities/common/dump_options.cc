#include "utilities/common/dump_options.h"

#include <strings.h>

#include <cctype>
#include <cstring>

namespace kavex::utilities {
namespace {

bool HasPrefix(const char* text, const char* prefix) {
  return strncasecmp(text, prefix, strlen(prefix)) == 0;
}

}  // namespace

void PrintDumpUsage(const DumpProgramText& text, FILE* out) {
  fputs(text.usage_line, out);
  fputs(text.example, out);
  fputs("\nWhere the \"AdapterName\" is really the exported DosDevice name\n",
        out);
  fputs("of the MAC adapter.\n", out);
  fputs("\nOptions:\n", out);
  fputs("  /q   - QUIET Mode (Packets Not Displayed)\n", out);
  if (text.send_option) fputs("  /s   - Send Test Packets\n", out);
  fputs("  /le  - Loopback Enable (Default)\n", out);
  fputs("  /ld  - Loopback Disable\n", out);
  fputs("  /p proto - Specify Protocol To Accept\n", out);
  fputs("  /d   - Dump BPF Filter Code\n", out);
  fputs("  /go  - GO (Bypass ENTER-to-START Prompt)\n", out);
}

bool ParseDumpOptions(int argc, char** argv, const DumpProgramText& text,
                      DumpOptions* options, FILE* out) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg == nullptr || (arg[0] != '/' && arg[0] != '-')) continue;
    const char* option = arg + 1;
    if (HasPrefix(option, "q")) {
      options->quiet = true;
      fputs("Display Mode: Quiet\n", out);
    } else if (HasPrefix(option, "go")) {
      options->auto_run = true;
      fputs("Auto Run    : On\n", out);
    } else if (text.send_option && HasPrefix(option, "s")) {
      options->send_packets = true;
      fputs("Send Packets: On\n", out);
    } else if (HasPrefix(option, "d")) {
      int level = 1;
      if (tolower(static_cast<unsigned char>(option[1])) == 'd') {
        level = 2;
        if (tolower(static_cast<unsigned char>(option[2])) == 'd') level = 3;
      }
      options->dump_level = level;
      fprintf(out, "Dump Filter : %d\n", level);
    } else if (HasPrefix(option, "le")) {
      options->loopback = true;
      fputs("Loopback    : Enabled\n", out);
    } else if (HasPrefix(option, "ld")) {
      options->loopback = false;
      fputs("Loopback    : Disabled\n", out);
    } else if (HasPrefix(option, "a")) {
      if (i + 1 < argc) options->adapter_name = argv[++i];
    } else if (HasPrefix(option, "p")) {
      if (i + 1 < argc) ParseProtocolList(argv[++i], &options->filter, out);
    } else if (HasPrefix(option, "h") || HasPrefix(option, "?")) {
      PrintDumpUsage(text, out);
      return false;
    }
  }
  return true;
}

}  // namespace kavex::utilities
