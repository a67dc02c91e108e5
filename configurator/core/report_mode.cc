#include "configurator/core/report_mode.h"

#include "configurator/core/config_rules.h"
#include "configurator/core/controls.h"
#include "platform/text/utf.h"

namespace kavex::configurator {

ReportRequest ParseCommandLine(std::u16string_view line) {
  ReportRequest request;
  std::u16string_view texts[2];
  for (std::u16string_view& text : texts) {
    const size_t open = line.find(u'\'');
    if (open == std::u16string_view::npos) return request;
    const size_t close = line.find(u'\'', open + 1);
    if (close == std::u16string_view::npos) return request;
    text = line.substr(open + 1, close - open - 1);
    line.remove_prefix(close + 1);
  }
  request.report = EqualIgnoringLatinCase(texts[1], u"report");
  if (request.report) request.adapter = std::u16string(texts[0]);
  return request;
}

std::u16string CommandLineFromArguments(int argc, const char* const* argv) {
  std::u16string line;
  for (int i = 1; i < argc; ++i) {
    const std::u16string argument = text::Utf8ToUtf16(argv[i]);
    if (!line.empty()) line += u' ';
    const bool quoted = argument.size() >= 2 && argument.front() == u'\'' &&
                        argument.back() == u'\'';
    line += quoted ? argument : u"'" + argument + u"'";
  }
  return line;
}

std::string ReportText(
    const SYSTEMTIME& local_time,
    const std::vector<std::pair<std::u16string, std::u16string>>& switches) {
  std::string text = "\t\tActive Switches\n\n\t";
  text += text::Utf16ToUtf8(FormatLastModified(local_time));
  text += "\n\n";
  for (const auto& [address, alias] : switches) {
    text += text::Utf16ToUtf8(address) + " - " + text::Utf16ToUtf8(alias) +
            "\n";
  }
  return text;
}

}  // namespace kavex::configurator
