// The switches heard on the selected adapter: the main window's list 1006
// (address texts, sorted) and, for each entry, the configuration text the
// switch last reported. Entries are found by the address itself, hashed,
// so that a frame costs one lookup however many switches are listed.
#ifndef KAVEX_CONFIGURATOR_CORE_DISCOVERY_H_
#define KAVEX_CONFIGURATOR_CORE_DISCOVERY_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "configurator/core/controls.h"
#include "device/velto_frame.h"

namespace kavex::configurator {

class Discovery {
 public:
  // The list the entries are shown in; Discovery is its only writer.
  explicit Discovery(ListControl* list) : list_(list) {}
  Discovery(const Discovery&) = delete;
  Discovery& operator=(const Discovery&) = delete;

  // `address` is a device::AddressKey.
  bool Contains(uint64_t address) const {
    return by_address_.count(address) != 0;
  }
  // Lists the switch with the configuration text it reported.
  void Add(uint64_t address, const uint8_t* mac, std::string_view config_text);
  // Keeps the latest reported text of a listed switch.
  void SetConfigText(uint64_t address, std::string_view config_text);
  // The text reported by the switch listed under `address_text`; "" when
  // it is not listed.
  std::string ConfigText(std::u16string_view address_text) const;
  void Clear();

 private:
  struct Entry {
    char config_text[device::kConfigTextSize] = {};
    uint8_t length = 0;
  };
  static void Store(std::string_view text, Entry* entry);

  ListControl* const list_;
  std::unordered_map<uint64_t, Entry> by_address_;
};

}  // namespace kavex::configurator

#endif  // KAVEX_CONFIGURATOR_CORE_DISCOVERY_H_
