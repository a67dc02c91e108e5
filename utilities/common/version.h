// The utilities' version text and the two GNU-style options every one of
// them answers.
#ifndef KAVEX_UTILITIES_COMMON_VERSION_H_
#define KAVEX_UTILITIES_COMMON_VERSION_H_

#include <cstdio>
#include <functional>
#include <string>

namespace kavex::utilities {

// "%d.%2.2d.%2.2d.%2.2d" of the four version fields (major, minor, build,
// revision), e.g. "10.04.00.00". Fields beyond 16 bits keep their low bits,
// as a version resource would.
std::string FormatVersion(unsigned major, unsigned minor, unsigned build,
                          unsigned revision);
// The build's own version (the project version in CMake).
std::string VersionText();

// When an argument is exactly "--help" or "--version": prints the help text
// (print_help) or "<program> <version text>" and returns true; the caller
// then exits with 0. Otherwise prints nothing and returns false.
bool AnswerHelpOrVersion(int argc, char** argv, const char* program,
                         const std::function<void(FILE*)>& print_help,
                         FILE* out);

}  // namespace kavex::utilities

#endif  // KAVEX_UTILITIES_COMMON_VERSION_H_
