#include "platform/com/hresult.h"

#include <cstdio>
#include <mutex>
#include <vector>

namespace {

#define KAVEX_RESULT_ENTRY(name, value) {name, #name},
const ResultName kComResults[] = {KAVEX_COM_RESULT_CODES(KAVEX_RESULT_ENTRY)};
#undef KAVEX_RESULT_ENTRY

struct Tables {
  std::mutex mu;
  std::vector<std::pair<const ResultName*, size_t>> list{
      {kComResults, sizeof(kComResults) / sizeof(kComResults[0])}};
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
  // Unknown codes get a per-thread buffer so the result stays valid until the
  // thread asks again.
  thread_local char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08X", static_cast<unsigned>(hr));
  return buffer;
}
