#include "configurator/core/config_rules.h"

#include <stdio.h>
#include <string.h>

#include "platform/sync/clock.h"

namespace kavex::configurator {
namespace {

char16_t FoldAscii(char16_t c) {
  return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
}

}  // namespace

bool AdapterNameMatches(std::u16string_view file_name,
                        std::u16string_view ndis_name) {
  size_t backslash = file_name.rfind(u'\\');
  if (backslash == std::u16string_view::npos || backslash == 0) return false;
  if (file_name.size() != ndis_name.size()) return false;
  for (size_t i = 0; i < file_name.size(); ++i)
    if (FoldAscii(file_name[i]) != FoldAscii(ndis_name[i])) return false;
  return true;
}

std::u16string ModelFromAlias(std::u16string_view alias,
                              const std::vector<std::u16string>& models) {
  for (const std::u16string& model : models) {
    size_t at = alias.find(model);
    if (at != std::u16string_view::npos && at > 0) return model;
  }
  return std::u16string();
}

BYTE ParsePortNumber(std::u16string_view text) {
  size_t i = 0;
  while (i < text.size() &&
         (text[i] == u' ' || (text[i] >= u'\t' && text[i] <= u'\r')))
    ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-'))
    negative = text[i++] == u'-';
  uint32_t value = 0;  // wraps instead of overflowing; only the byte counts
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i)
    value = value * 10 + static_cast<uint32_t>(text[i] - u'0');
  if (negative) value = 0u - value;
  return static_cast<BYTE>(value & 0xFF);
}

std::u16string FormatLastModified(const SYSTEMTIME& t) {
  int hour12 = t.wHour % 12 == 0 ? 12 : t.wHour % 12;
  char text[128];
  snprintf(text, sizeof text, "%02u/%02u/%04u %02d:%02u:%02u %s",
           unsigned{t.wMonth}, unsigned{t.wDay}, unsigned{t.wYear}, hour12,
           unsigned{t.wMinute}, unsigned{t.wSecond},
           t.wHour < 12 ? "AM" : "PM");
  return std::u16string(text, text + strlen(text));
}

SYSTEMTIME LocalTimeNow() {
  FILETIME utc, local;
  SYSTEMTIME time{};
  GetSystemTimeAsFileTime(&utc);
  if (FileTimeToLocalFileTime(&utc, &local)) FileTimeToSystemTime(&local, &time);
  return time;
}

}  // namespace kavex::configurator
