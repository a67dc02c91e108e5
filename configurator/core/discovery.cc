#include "configurator/core/discovery.h"

#include <algorithm>
#include <cstring>

#include "platform/text/utf.h"

namespace kavex::configurator {

void Discovery::Store(std::string_view text, Entry* entry) {
  const size_t length = std::min(text.size(), device::kConfigTextSize);
  // An empty view may have no data pointer at all.
  if (entry->length == length &&
      (length == 0 ||
       std::memcmp(entry->config_text, text.data(), length) == 0)) {
    return;
  }
  if (length > 0) std::memcpy(entry->config_text, text.data(), length);
  entry->length = static_cast<uint8_t>(length);
}

void Discovery::Add(uint64_t address, const uint8_t* mac,
                    std::string_view config_text) {
  auto [entry, added] = by_address_.try_emplace(address);
  Store(config_text, &entry->second);
  if (added) list_->Add(text::Utf8ToUtf16(device::AddressText(mac)));
}

void Discovery::SetConfigText(uint64_t address, std::string_view config_text) {
  auto entry = by_address_.find(address);
  if (entry != by_address_.end()) Store(config_text, &entry->second);
}

std::string Discovery::ConfigText(std::u16string_view address_text) const {
  uint64_t address = 0;
  if (!device::ParseAddressText(text::Utf16ToUtf8(address_text), &address))
    return std::string();
  auto entry = by_address_.find(address);
  if (entry == by_address_.end()) return std::string();
  return std::string(entry->second.config_text, entry->second.length);
}

void Discovery::Clear() {
  by_address_.clear();
  list_->Clear();
}

}  // namespace kavex::configurator
