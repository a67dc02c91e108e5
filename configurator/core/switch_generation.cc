#include "configurator/core/switch_generation.h"

#include <algorithm>

namespace kavex::configurator {
namespace {

ConfigPort FromCatalog(const CatalogPort& port, BYTE number,
                       std::u16string alias) {
  ConfigPort result;
  result.number = number;
  result.alias = std::move(alias);
  result.hidden = port.disabled;
  result.exists = port.exists;
  return result;
}

}  // namespace

std::u16string AliasSuffix(std::u16string_view address) {
  std::u16string_view tail =
      address.size() > 8 ? address.substr(address.size() - 8) : address;
  std::u16string suffix = u"_";
  for (char16_t c : tail) {
    if (c != u'.') suffix += c;
  }
  return suffix;
}

ConfigSwitch GenerateSwitch(const CatalogModel& model,
                            const ConfigurationChoice& choice,
                            std::u16string_view address) {
  ConfigSwitch sw;
  sw.address = std::u16string(address);
  sw.type = model.modular && choice.all_blank && model.blank_type != 0
                ? model.blank_type
                : model.type;
  if (model.modular) {
    const size_t open = choice.text.find(u'(');
    sw.alias = model.alias_prefix +
               (open == std::u16string::npos ? std::u16string()
                                             : choice.text.substr(open)) +
               AliasSuffix(address);
    sw.model = choice.text;
  } else {
    sw.alias = model.alias_prefix + AliasSuffix(address);
    sw.model = model.name;
  }

  for (const CatalogPort& port : model.ports)
    sw.ports.push_back(FromCatalog(port, port.number, port.alias));
  int chips = model.start_chip;
  if (model.modular) {
    for (size_t i = 0;
         i < model.slot_types.size() && i < choice.modules.size(); ++i) {
      const CatalogModule* module = choice.modules[i];
      if (module == nullptr) continue;
      const CatalogSlotType& slot = model.slot_types[i];
      if (module->adds_chip) ++chips;
      for (const CatalogPort& port : module->ports) {
        const BYTE number =
            static_cast<BYTE>(slot.start_port + port.number - 1);
        auto at = std::find_if(
            sw.ports.begin(), sw.ports.end(),
            [number](const ConfigPort& p) { return p.number >= number; });
        sw.ports.insert(at, FromCatalog(port, number, slot.prefix + port.alias));
      }
    }
    ChipFlagsForCount(std::min(chips, static_cast<int>(model.max_chip)),
                      sw.chip_present);
  } else {
    std::copy(model.chip_present, model.chip_present + 3, sw.chip_present);
  }
  sw.runtime_type = sw.type;
  return sw;
}

}  // namespace kavex::configurator
