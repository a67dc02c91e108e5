#include "device/port_properties.h"

#include "device/port_counters.h"

namespace kavex::device {
namespace {

constexpr std::array<std::string_view, kPortPropertyCount> MakeNames() {
  std::array<std::string_view, kPortPropertyCount> names{};
  names[kPortIdProperty] = "PortId";
  names[kPortAliasProperty] = "Alias";
  names[kSpeedProperty] = "Speed";
  names[kDuplexProperty] = "Duplex";
  names[kLinkStatusProperty] = "Link_Status";
  names[kPortEnableProperty] = "Port_Enable";
  for (size_t i = 0; i < kPublishedCounters.size(); ++i) {
    names[kFirstCounterProperty + i] = kPublishedCounters[i].name;
  }
  names[kUsageProperty] = "Usage";
  names[kPortLastUpdateProperty] = "Last_Update";
  return names;
}

static_assert(kFirstCounterProperty + kPublishedCounterCount == kUsageProperty);

}  // namespace

const std::array<std::string_view, kPortPropertyCount> kPortPropertyNames =
    MakeNames();

int FindPortProperty(std::string_view name) {
  for (int i = 0; i < kPortPropertyCount; ++i) {
    if (kPortPropertyNames[i] == name) return i;
  }
  return -1;
}

}  // namespace kavex::device
