// Configured records for table tests and benchmarks, built the way the
// configuration loader builds them.
#ifndef KAVEX_DEVICE_TESTING_SWITCH_TABLE_FIXTURES_H_
#define KAVEX_DEVICE_TESTING_SWITCH_TABLE_FIXTURES_H_

#include <string>
#include <utility>

#include "device/switch_records.h"

namespace kavex::device {

inline PortRecord MakePort(uint8_t number, std::string alias) {
  PortRecord port;
  port.number = number;
  port.number_text = std::to_string(number);
  port.alias = std::move(alias);
  return port;
}

// A switch with ports numbered 1..port_count, aliased "P1", "P2", ...
inline SwitchRecord MakeSwitch(std::string address, std::string alias,
                               uint8_t type_code, int port_count) {
  SwitchRecord record;
  record.address = std::move(address);
  record.alias = std::move(alias);
  // Appending, not operator+: g++ 12 warns falsely (-Wrestrict) on
  // "literal" + std::string at -O2.
  record.model.append("T").append(std::to_string(port_count));
  record.type_code = type_code;
  for (int n = 1; n <= port_count; ++n) {
    std::string alias = "P";
    alias.append(std::to_string(n));
    record.ports.push_back(MakePort(static_cast<uint8_t>(n), alias));
  }
  return record;
}

}  // namespace kavex::device

#endif  // KAVEX_DEVICE_TESTING_SWITCH_TABLE_FIXTURES_H_
