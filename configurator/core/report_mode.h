// Report mode: started with two texts in single quotes on the command line,
// an adapter's friendly name and "report" (any case), for example
//   veltoopc 'Local Area Connection' 'report'
// the configurator captures on that adapter for 7 s and writes the switches
// it heard that are mapped there to "Report.txt":
//
//   \t\tActive Switches\n\n\t07/04/2016 03:05:09 PM\n\n
//   02.C4.7D.00.00.01 - KX108_000001\n ...
#ifndef KAVEX_CONFIGURATOR_CORE_REPORT_MODE_H_
#define KAVEX_CONFIGURATOR_CORE_REPORT_MODE_H_

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/base/types.h"
#include "platform/com/filetime.h"

namespace kavex::configurator {

inline constexpr char kReportFileName[] = "Report.txt";

struct ReportRequest {
  bool report = false;
  std::u16string adapter;  // the first quoted text
};

// The first two single-quoted texts of the line; report mode when the
// second is "report" ignoring case. Anything else is the interactive mode.
ReportRequest ParseCommandLine(std::u16string_view command_line);

// The line a program started with argv[1..argc-1] stands for, each argument
// in single quotes unless it already is quoted: a shell takes the quotes of
// 'Local Area Connection' 'report' away, the configurator needs them.
std::u16string CommandLineFromArguments(int argc, const char* const* argv);

// The report: its header, the time, and one "%s - %s" line per switch
// (address, alias), in UTF-8.
std::string ReportText(
    const SYSTEMTIME& local_time,
    const std::vector<std::pair<std::u16string, std::u16string>>& switches);

}  // namespace kavex::configurator

#endif  // KAVEX_CONFIGURATOR_CORE_REPORT_MODE_H_
