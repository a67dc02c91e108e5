#include "utilities/common/version.h"

#include <cstring>

namespace kavex::utilities {

std::string FormatVersion(unsigned major, unsigned minor, unsigned build,
                          unsigned revision) {
  char text[32];
  snprintf(text, sizeof text, "%d.%2.2d.%2.2d.%2.2d", int(major & 0xFFFF),
           int(minor & 0xFFFF), int(build & 0xFFFF), int(revision & 0xFFFF));
  return text;
}

std::string VersionText() {
  return FormatVersion(KAVEX_VERSION_MAJOR, KAVEX_VERSION_MINOR,
                       KAVEX_VERSION_BUILD, KAVEX_VERSION_REVISION);
}

bool AnswerHelpOrVersion(int argc, char** argv, const char* program,
                         const std::function<void(FILE*)>& print_help,
                         FILE* out) {
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--help") == 0) {
      print_help(out);
      return true;
    }
    if (strcmp(argv[i], "--version") == 0) {
      fprintf(out, "%s %s\n", program, VersionText().c_str());
      return true;
    }
  }
  return false;
}

}  // namespace kavex::utilities
