#include "tools/opc_client/watch_table.h"

#include <algorithm>

#include "tools/opc_client/value_text.h"

namespace kavex::opc_client {

namespace {

// Column widths: ID, value, quality, time ("hh:mm:ss.mmm"), and one space
// between them.
constexpr size_t kItemWidth = 27;
constexpr size_t kValueWidth = 15;
constexpr size_t kQualityWidth = 22;
constexpr size_t kTimeWidth = 12;
static_assert(kItemWidth + kValueWidth + kQualityWidth + kTimeWidth + 3 <=
              kTableWidth);

// `text` in exactly `width` columns (ASCII): padded, or cut with "~".
std::string Cell(const std::string& text, size_t width) {
  if (text.size() > width) return text.substr(0, width - 1) + "~";
  return text + std::string(width - text.size(), ' ');
}

// "good", "bad comm failure": the quality without its hex code.
std::string QualityWords(WORD quality) {
  std::string text = FormatQuality(quality);
  return text.substr(text.find(' ') + 1);
}

// The time of day of an ISO 8601 time ("2026-12-11T11:00:05.123Z").
std::string TimeOfDay(const FILETIME& time) {
  std::string text = FormatFileTime(time);
  const size_t t = text.find('T');
  if (t == std::string::npos) return text;
  return text.substr(t + 1, kTimeWidth);
}

std::string Trimmed(std::string line) {
  line.erase(line.find_last_not_of(' ') + 1);
  return line;
}

}  // namespace

std::string WatchTable(uint32_t poll, const FILETIME& now,
                       const std::vector<std::string>& items,
                       const std::vector<ItemValue>& values, bool redraw) {
  std::string out = redraw ? "\033[H\033[2J" : "";
  std::string when = FormatFileTime(now);
  std::replace(when.begin(), when.end(), 'T', ' ');
  if (!when.empty() && when.back() == 'Z') when.back() = ' ';
  out += "poll " + std::to_string(poll) + "   " + when + "UTC   " +
         std::to_string(items.size()) + " items\n";
  out += Trimmed(Cell("ITEM", kItemWidth) + " " + Cell("VALUE", kValueWidth) +
                 " " + Cell("QUALITY", kQualityWidth) + " " + "TIME (UTC)") +
         "\n";
  const size_t n = std::min(items.size(), values.size());
  for (size_t i = 0; i < n; ++i) {
    const ItemValue& v = values[i];
    std::string line = Cell(items[i], kItemWidth) + " ";
    if (FAILED(v.error)) {
      line += Cell("error " + FormatResult(v.error),
                   kTableWidth - kItemWidth - 1);
    } else {
      line += Cell(FormatValue(v.value), kValueWidth) + " " +
              Cell(QualityWords(v.quality), kQualityWidth) + " " +
              TimeOfDay(v.timestamp);
    }
    out += Trimmed(line) + "\n";
  }
  return out;
}

}  // namespace kavex::opc_client
