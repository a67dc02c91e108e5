// The kavex-reg command line: query, add and delete registry keys and values.
//
//   kavex-reg query  <KEY> [/v name | /ve] [/s]
//   kavex-reg add    <KEY> [/v name | /ve] [/t REG_SZ|REG_EXPAND_SZ|REG_DWORD]
//                          [/d data] [/f]
//   kavex-reg delete <KEY> [/v name | /ve | /va] [/f]
//
// KEY is HKLM\path or HKCR\path (HKEY_LOCAL_MACHINE\, HKEY_CLASSES_ROOT\ too).
// Without /f, overwriting or deleting asks for confirmation on `in`.
// Exit status: 0 success, 1 failure or declined, 2 bad command line.
#ifndef KAVEX_PLATFORM_REGISTRY_REG_TOOL_H_
#define KAVEX_PLATFORM_REGISTRY_REG_TOOL_H_

#include <iosfwd>
#include <string>
#include <vector>

namespace kavex::registry {

int RunRegTool(const std::vector<std::string>& args, std::istream& in,
               std::ostream& out, std::ostream& err);

}  // namespace kavex::registry

#endif  // KAVEX_PLATFORM_REGISTRY_REG_TOOL_H_
