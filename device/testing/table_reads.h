// Reads of a switch table for tests, made as item reads make them: through
// the table's copies (CopySwitchValues, CopyPortItem) and the slot rules
// that render them. What a test sees here is what a client's read sees.
#ifndef KAVEX_DEVICE_TESTING_TABLE_READS_H_
#define KAVEX_DEVICE_TESTING_TABLE_READS_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "device/switch_table.h"

namespace kavex::device {

// Port p of switch s, as an item of `property` copies it (the property only
// chooses the counter copied).
inline PortItemValues PortItemOf(const SwitchTable& table, size_t s, size_t p,
                                 int property = kSpeedProperty) {
  return table.CopyPortItem(s, table.switch_record(s).ports[p], property);
}

// The text and integer slot `property` of port p of switch s.
inline std::string PortTextOf(const SwitchTable& table, size_t s, size_t p,
                              int property) {
  const PortRecord& port = table.switch_record(s).ports[p];
  return PortTextSlot(port, table.CopyPortItem(s, port, property), property);
}
inline int32_t PortIntegerOf(const SwitchTable& table, size_t s, size_t p,
                             int property) {
  return PortIntegerSlot(PortItemOf(table, s, p, property), property);
}

// Text slot `slot` of switch s.
inline std::string SwitchTextOf(const SwitchTable& table, size_t s, int slot) {
  return SwitchTextSlot(table.switch_record(s), table.CopySwitchValues(s),
                        slot);
}

}  // namespace kavex::device

#endif  // KAVEX_DEVICE_TESTING_TABLE_READS_H_
