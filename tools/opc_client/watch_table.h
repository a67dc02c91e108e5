// watch --table: one poll of the watched items as a block that fits 80
// columns, for a person rather than a script: a heading with the poll's
// number and time, then per item its ID, value, quality and timestamp in
// aligned columns (over-long IDs and values are cut short with "~").
#ifndef KAVEX_TOOLS_OPC_CLIENT_WATCH_TABLE_H_
#define KAVEX_TOOLS_OPC_CLIENT_WATCH_TABLE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "tools/opc_client/opc_session.h"

namespace kavex::opc_client {

inline constexpr size_t kTableWidth = 80;

// The block for poll `poll` read at `now`; items[i] goes with values[i].
// A failed item shows its error in place of value, quality and time.
// `redraw` puts the escape codes that clear a terminal in front.
std::string WatchTable(uint32_t poll, const FILETIME& now,
                       const std::vector<std::string>& items,
                       const std::vector<ItemValue>& values, bool redraw);

}  // namespace kavex::opc_client

#endif  // KAVEX_TOOLS_OPC_CLIENT_WATCH_TABLE_H_
