// What the whole-system tests share beside the private network: running a
// command for its output, reading "key=value" lines from it, and writing a
// registry text value.
#ifndef KAVEX_TESTS_E2E_COMMAND_OUTPUT_H_
#define KAVEX_TESTS_E2E_COMMAND_OUTPUT_H_

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "platform/registry/registry.h"

namespace kavex::e2e {

// Runs `command` through the shell; its standard output, and through
// *status its exit code (-1 when it did not exit normally).
inline std::string Run(const std::string& command, int* status) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) {
    *status = -1;
    return output;
  }
  char buffer[4096];
  while (fgets(buffer, sizeof buffer, pipe)) output += buffer;
  int raw = pclose(pipe);
  *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return output;
}

// The value printed for `key` ("key=..." line), or "".
inline std::string Field(const std::string& out, const std::string& key) {
  size_t at = out.find("\n" + key + "=");
  if (at == std::string::npos) {
    if (out.rfind(key + "=", 0) != 0) return "";
    at = 0;
  } else {
    ++at;
  }
  at += key.size() + 1;
  return out.substr(at, out.find('\n', at) - at);
}

// Writes the REG_SZ value `name` of `root`\`sub`, creating the key.
inline void SetString(HKEY root, const std::string& sub, const char* name,
                      const std::string& text) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(root, sub.c_str(), 0, nullptr, 0, KEY_WRITE,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, name, 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(text.c_str()),
                           static_cast<DWORD>(text.size() + 1)),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

}  // namespace kavex::e2e

#endif  // KAVEX_TESTS_E2E_COMMAND_OUTPUT_H_
