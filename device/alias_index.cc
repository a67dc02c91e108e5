#include "device/alias_index.h"

#include <algorithm>
#include <bit>
#include <string>

#include "platform/text/utf.h"

namespace kavex::device {
namespace {

// An alias containing a dot can never be addressed, so it is not indexed.
bool Addressable(std::string_view alias) {
  return !alias.empty() && alias.find('.') == std::string_view::npos;
}

// A power of two, at least 16, at least twice `count`: probe sequences stay
// short.
size_t TableSize(size_t count) {
  return std::bit_ceil(std::max<size_t>(16, 2 * count));
}

}  // namespace

uint64_t HashPortKey(std::string_view key) {
  // Short ASCII keys, nearly all of them, are widened on the stack.
  char16_t wide[64];
  if (key.size() <= std::size(wide)) {
    size_t i = 0;
    for (; i < key.size() && static_cast<unsigned char>(key[i]) < 0x80; ++i)
      wide[i] = static_cast<char16_t>(key[i]);
    if (i == key.size()) return HashPortKey(std::u16string_view(wide, i));
  }
  return HashPortKey(text::Utf8ToUtf16(key));
}

void AliasIndex::Build(const std::vector<SwitchRecord>& switches) {
  switches_ = &switches;
  size_t port_count = 0;
  for (const SwitchRecord& record : switches) port_count += record.ports.size();
  switch_slots_.assign(TableSize(switches.size()), kNoSwitch);
  port_slots_.assign(TableSize(port_count), PortSlot());

  std::string key;
  for (uint32_t s = 0; s < switches.size(); ++s) {
    const SwitchRecord& record = switches[s];
    if (!Addressable(record.alias)) continue;
    // Only the first keeps a slot: list order of switches, then ports.
    uint32_t& switch_slot =
        switch_slots_[ProbeSwitch(record.alias, HashText(record.alias))];
    if (switch_slot == kNoSwitch) switch_slot = s;
    for (const PortRecord& port : record.ports) {
      if (!Addressable(port.alias)) continue;
      key.assign(record.alias).append(".").append(port.alias);
      PortSlot& slot = port_slots_[ProbePort(key, HashPortKey(key))];
      if (slot.port == nullptr) {
        slot.port = &port;
        slot.switch_index = s;
        slot.key_size = static_cast<uint32_t>(key.size());
        key.copy(slot.key, PortSlot::kInlineKey);
      }
    }
  }
}

}  // namespace kavex::device
