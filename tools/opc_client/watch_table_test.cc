// The watch table: every line within 80 columns whatever the items hold,
// the columns aligned, failed items shown with their error.
#include "tools/opc_client/watch_table.h"

#include <gtest/gtest.h>

#include <sstream>

#include "platform/com/bstr.h"
#include "platform/com/filetime.h"
#include "platform/opc/opc_error.h"

namespace kavex::opc_client {
namespace {

FILETIME At(WORD hour, WORD minute, WORD second, WORD ms) {
  SYSTEMTIME st = {};
  st.wYear = 2026;
  st.wMonth = 12;
  st.wDay = 11;
  st.wHour = hour;
  st.wMinute = minute;
  st.wSecond = second;
  st.wMilliseconds = ms;
  FILETIME ft = {};
  EXPECT_TRUE(SystemTimeToFileTime(&st, &ft));
  return ft;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(WatchTable, ColumnsFitEightyAndLineUp) {
  opc::RegisterOpcResultNames();
  const std::vector<std::string> items = {
      "Line.Status", "Packing.P5.Link_Status",
      "A.Very.Long.Switch.Alias.With.Many.Parts.P26.RX_Octets",
      "Ring.IP_Address", "SW1.Nope"};
  std::vector<ItemValue> values(items.size());
  values[0].error = S_OK;
  values[0].value.vt = VT_BSTR;
  values[0].value.bstrVal = SysAllocString(u"Online");
  values[0].quality = 0xC0;
  values[0].timestamp = At(11, 0, 5, 123);
  values[1].error = S_OK;
  values[1].value.vt = VT_I4;
  values[1].value.lVal = 0;
  values[1].quality = 0x18;  // bad, comm failure
  values[1].timestamp = At(9, 59, 1, 7);
  values[2].error = S_OK;
  values[2].value.vt = VT_BSTR;
  values[2].value.bstrVal =
      SysAllocString(u"a value far longer than its column could hold");
  values[2].quality = 0x44;
  values[3].error = S_OK;  // no timestamp yet
  values[3].quality = 0x00;
  values[4].error = OPC_E_UNKNOWNITEMID;

  const std::string table =
      WatchTable(17, At(11, 0, 6, 0), items, values, /*redraw=*/false);
  const std::vector<std::string> lines = Lines(table);
  ASSERT_EQ(lines.size(), 2 + items.size()) << table;
  EXPECT_EQ(lines[0], "poll 17   2026-12-11 11:00:06.000 UTC   5 items");
  for (const std::string& line : lines) {
    EXPECT_LE(line.size(), kTableWidth) << line;
    EXPECT_EQ(line.find('\033'), std::string::npos) << "no escape codes";
    EXPECT_NE(line.back(), ' ') << "no trailing blanks: " << line;
  }
  // Every column begins where the heading's does.
  const size_t value_at = lines[1].find("VALUE");
  const size_t quality_at = lines[1].find("QUALITY");
  const size_t time_at = lines[1].find("TIME");
  EXPECT_EQ(lines[2].find("\"Online\""), value_at) << lines[2];
  EXPECT_EQ(lines[2].find("good"), quality_at) << lines[2];
  EXPECT_EQ(lines[2].find("11:00:05.123"), time_at) << lines[2];
  EXPECT_EQ(lines[3].find("bad comm failure"), quality_at) << lines[3];
  EXPECT_EQ(lines[3].find("09:59:01.007"), time_at) << lines[3];
  // Cut short, visibly, without shifting the next column.
  EXPECT_EQ(lines[4].rfind("A.Very.Long.Switch.Alias.W~ ", 0), 0u)
      << lines[4];
  EXPECT_EQ(lines[4].find("uncertain last usable"), quality_at) << lines[4];
  EXPECT_EQ(lines[4][quality_at - 2], '~') << lines[4];
  EXPECT_EQ(lines[5].find("bad"), quality_at) << lines[5];
  EXPECT_EQ(lines[5].substr(time_at), "-") << lines[5];
  EXPECT_EQ(lines[6].substr(value_at),
            "error 0xC0040007 OPC_E_UNKNOWNITEMID")
      << lines[6];
}

TEST(WatchTable, RedrawClearsTheScreenFirstAndMissingValuesAreLeftOut) {
  const std::vector<std::string> items = {"A", "B"};
  std::vector<ItemValue> values(1);  // the read answered for one item only
  values[0].error = S_OK;
  values[0].value.vt = VT_I4;
  values[0].value.lVal = 3;
  values[0].quality = 0xC0;
  const std::string table = WatchTable(1, At(0, 0, 0, 0), items, values, true);
  EXPECT_EQ(table.rfind("\033[H\033[2J", 0), 0u);
  const std::vector<std::string> lines = Lines(table.substr(7));
  ASSERT_EQ(lines.size(), 3u) << table;
  EXPECT_EQ(lines[2].rfind("A ", 0), 0u);
}

}  // namespace
}  // namespace kavex::opc_client
