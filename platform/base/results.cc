#include "platform/base/results.h"

#include <cstdio>
#include <mutex>
#include <utility>
#include <vector>

namespace kavex {
namespace {

#define KAVEX_RESULT_ENTRY(name, value) {name, #name},
const ResultName kHResults[] = {KAVEX_HRESULTS(KAVEX_RESULT_ENTRY)};
#undef KAVEX_RESULT_ENTRY

struct Win32Name {
  LONG code;
  const char* name;
};
#define KAVEX_WIN32_ENTRY(name, value) {name, #name},
const Win32Name kWin32Errors[] = {KAVEX_WIN32_ERRORS(KAVEX_WIN32_ENTRY)};
#undef KAVEX_WIN32_ENTRY

struct Tables {
  std::mutex mu;
  std::vector<std::pair<const ResultName*, size_t>> list{
      {kHResults, sizeof(kHResults) / sizeof(kHResults[0])}};
};
Tables& GetTables() {
  static Tables* tables = new Tables;  // never destroyed: used during exit
  return *tables;
}

}  // namespace

void RegisterResultNames(const ResultName* table, size_t count) {
  Tables& t = GetTables();
  std::lock_guard<std::mutex> lock(t.mu);
  for (auto& entry : t.list)
    if (entry.first == table) return;
  t.list.emplace_back(table, count);
}

const char* HResultName(HRESULT hr) {
  Tables& t = GetTables();
  {
    std::lock_guard<std::mutex> lock(t.mu);
    for (auto& [table, count] : t.list)
      for (size_t i = 0; i < count; ++i)
        if (table[i].code == hr) return table[i].name;
  }
  thread_local char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08X", static_cast<unsigned>(hr));
  return buffer;
}

const char* Win32ErrorName(DWORD error) {
  for (const Win32Name& entry : kWin32Errors)
    if (static_cast<DWORD>(entry.code) == error) return entry.name;
  thread_local char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%u", static_cast<unsigned>(error));
  return buffer;
}

}  // namespace kavex
