#include "device/switch_records.h"

#include <charconv>

namespace {

std::string Unsigned(uint32_t value) {
  char buffer[16];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

// "%4.2f": two decimals, at least four characters.
std::string Usage(float value) {
  char buffer[64];
  auto result =
      std::to_chars(buffer, buffer + sizeof buffer, static_cast<double>(value),
                    std::chars_format::fixed, 2);
  std::string text(buffer, result.ptr);
  if (text.size() < 4) text.insert(0, 4 - text.size(), ' ');
  return text;
}

}  // namespace

std::string PortTextSlot(const PortRecord& port, const PortValues& values,
                         int property) {
  if (property == kPortIdProperty) return port.number_text;
  if (property == kPortAliasProperty) return port.alias;
  if (property < 0 || property >= kPortPropertyCount) return {};
  const PortTextSlots& slots = values.text_slots;
  if (!(slots.written & (uint64_t{1} << property))) return {};
  if (property == kUsageProperty) return Usage(slots.usage);
  return Unsigned(slots.numbers[property]);
}

std::string_view StatusTextName(StatusText text) {
  switch (text) {
    case StatusText::kOnline:
      return "Online";
    case StatusText::kOffline:
      return "Offline";
    case StatusText::kNone:
      break;
  }
  return {};
}

std::string SwitchTextSlot(const SwitchRecord& record,
                           const SwitchValues& values, int slot) {
  switch (slot) {
    case kSwitchLastUpdateSlot:
      if (values.last_update_text == LastUpdateText::kSeconds) {
        return Unsigned(values.last_update);
      }
      if (values.last_update_text == LastUpdateText::kOffline) {
        return "Offline";
      }
      return {};
    case kSwitchMacAddressSlot:
      return record.address;
    case kSwitchAliasSlot:
      return record.alias;
    case kSwitchTotalPortsSlot:
      return Unsigned(static_cast<uint32_t>(record.ports.size()));
    case kSwitchStatusSlot:
      return std::string(StatusTextName(values.status_text));
  }
  return {};
}
