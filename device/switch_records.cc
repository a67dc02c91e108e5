#include "device/switch_records.h"

#include <charconv>

namespace kavex::device {
namespace {

std::string_view Unsigned(uint32_t value,
                          char (&buffer)[kSlotTextBufferSize]) {
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string_view(buffer, result.ptr - buffer);
}

std::string Unsigned(uint32_t value) {
  char buffer[kSlotTextBufferSize];
  return std::string(Unsigned(value, buffer));
}

// "%4.2f": two decimals, at least four characters.
std::string_view Usage(float value, char (&buffer)[kSlotTextBufferSize]) {
  constexpr size_t kWidth = 4;
  // Room for the padding in front.
  char* const begin = buffer + kWidth;
  auto result =
      std::to_chars(begin, buffer + sizeof buffer, static_cast<double>(value),
                    std::chars_format::fixed, 2);
  if (result.ec != std::errc()) return {};
  size_t size = static_cast<size_t>(result.ptr - begin);
  char* first = begin;
  while (size < kWidth) {
    *--first = ' ';
    ++size;
  }
  return std::string_view(first, size);
}

}  // namespace

namespace {

bool IsCounterProperty(int property) {
  return property >= kFirstCounterProperty &&
         property <
             kFirstCounterProperty + static_cast<int>(kPublishedCounterCount);
}

// The number published into slots 2 to 40.
uint32_t PublishedNumber(const PortItemValues& values, int property) {
  switch (property) {
    case kSpeedProperty:
      return values.speed;
    case kDuplexProperty:
      return (values.status & kStatusFullDuplex) ? 1 : 0;
    case kLinkStatusProperty:
      return (values.status & kStatusLinkUp) ? 1 : 0;
    case kPortEnableProperty:
      return (values.status & kStatusEnabled) ? 1 : 0;
  }
  return values.counter;
}

}  // namespace

PortItemValues PortItemFrom(const PortValues& values, int property) {
  PortItemValues item;
  item.stale = values.stale;
  item.published = values.published;
  item.last_update_written = values.last_update_written;
  item.status = values.status;
  item.speed = values.speed;
  item.last_update = values.last_update;
  item.usage = values.usage.usage;
  if (IsCounterProperty(property)) {
    // Counters are published as their low 32 bits.
    const CounterField& field =
        kPublishedCounters[property - kFirstCounterProperty];
    item.counter = static_cast<uint32_t>(
        LoadLittleEndian(values.counters.bytes.data() + field.offset, 4));
  }
  return item;
}

int32_t PortIntegerSlot(const PortItemValues& values, int property) {
  if (property == kPortLastUpdateProperty) return values.last_update;
  if (property < kSpeedProperty || property > kUsageProperty ||
      values.published != SlotSet::kInteger) {
    return 0;
  }
  if (property == kUsageProperty) {
    // Truncated toward zero; the clamps keep usage within 0..100.
    const float usage = values.usage;
    return usage >= 0 && usage <= 100 ? static_cast<int32_t>(usage) : 0;
  }
  return static_cast<int32_t>(PublishedNumber(values, property));
}

std::string_view PortTextSlotView(const PortRecord& port,
                                  const PortItemValues& values, int property,
                                  char (&buffer)[kSlotTextBufferSize]) {
  if (property == kPortIdProperty) return port.number_text;
  if (property == kPortAliasProperty) return port.alias;
  if (property == kPortLastUpdateProperty) {
    if (!values.last_update_written) return {};
    return Unsigned(static_cast<uint32_t>(values.last_update), buffer);
  }
  if (property < kSpeedProperty || property > kUsageProperty ||
      values.published != SlotSet::kText) {
    return {};
  }
  if (property == kUsageProperty) return Usage(values.usage, buffer);
  return Unsigned(PublishedNumber(values, property), buffer);
}

std::string PortTextSlot(const PortRecord& port, const PortItemValues& values,
                         int property) {
  char buffer[kSlotTextBufferSize];
  return std::string(PortTextSlotView(port, values, property, buffer));
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

}  // namespace kavex::device
