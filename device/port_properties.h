// The port property table: the 43 values published for every port, in the
// order items are enumerated. A property's position is its slot index in
// PortRecord.
#ifndef KAVEX_DEVICE_PORT_PROPERTIES_H_
#define KAVEX_DEVICE_PORT_PROPERTIES_H_

#include <array>
#include <cstddef>
#include <string_view>

namespace kavex::device {

inline constexpr int kPortIdProperty = 0;
inline constexpr int kPortAliasProperty = 1;
inline constexpr int kSpeedProperty = 2;
inline constexpr int kDuplexProperty = 3;
inline constexpr int kLinkStatusProperty = 4;
inline constexpr int kPortEnableProperty = 5;
inline constexpr int kFirstCounterProperty = 6;  // the 35 counters follow
inline constexpr int kUsageProperty = 41;
inline constexpr int kPortLastUpdateProperty = 42;
inline constexpr int kPortPropertyCount = 43;

// Property names by index.
extern const std::array<std::string_view, kPortPropertyCount>
    kPortPropertyNames;

// The index of the property called `name` (case-sensitive), or -1.
int FindPortProperty(std::string_view name);

}  // namespace kavex::device

#endif  // KAVEX_DEVICE_PORT_PROPERTIES_H_
