// The switch model catalog "Switches.xml": every model the configurator can
// map, with its type code, alias prefix and fixed ports, and for modular
// chassis their slots, the module types each slot takes and the modules'
// ports. Read once at start-up, never written, not cross-checked: a name
// that matches nothing shows up when it is used (an empty slot box, a
// configuration text that cannot be built).
//
//   <ROOT>
//     <SWITCH Model Alias Type BlankType Chips Modular
//             [AddInOrder AllBlank StartChip MaxChip]>
//       <SlotType Name Text Prefix Number StartPort Empty Default/>
//       <Port Number Alias Disabled Exists/>
//     <Slot Name> <ModType Name Text Short Empty/> </Slot>
//     <Module Name AddChip> <Port Number Alias Disabled Exists/> </Module>
#ifndef KAVEX_CONFIGURATOR_CORE_MODEL_CATALOG_H_
#define KAVEX_CONFIGURATOR_CORE_MODEL_CATALOG_H_

#include <string>
#include <string_view>
#include <vector>

#include "platform/base/types.h"

namespace kavex::configurator {

inline constexpr char16_t kCatalogFileName[] = u"Switches.xml";
// The shown text of every module type marked as the blank choice.
inline constexpr char16_t kBlankChoice[] = u"Blank";
// A chassis has at most four slots, A to D.
inline constexpr int kMaxSlots = 4;

struct CatalogPort {
  BYTE number = 0;
  std::u16string alias;
  bool disabled = false;
  bool exists = false;
};

// One slot position of a chassis.
struct CatalogSlotType {
  std::u16string slot_name;  // the CatalogSlot listing what fits
  std::u16string label;
  std::u16string prefix;  // before the alias of each port of its module
  std::u16string default_mod_type;
  bool blank_allowed = true;
  BYTE number = 0;  // 1 = slot A ... 4 = slot D; anything else ends the slots
  BYTE start_port = 0;
};

struct CatalogModel {
  std::u16string name;
  std::u16string alias_prefix;
  WORD start_chip = 0;
  WORD max_chip = 0;
  BYTE chips = 0;
  bool modular = false;
  bool add_in_order = false;
  bool all_blank = false;
  bool chip_present[3] = {false, false, false};
  BYTE type = 0;
  BYTE blank_type = 0;  // 0: none
  std::vector<CatalogPort> ports;
  std::vector<CatalogSlotType> slot_types;
};

struct CatalogModType {
  std::u16string module_name;
  std::u16string text;  // "Blank" for the blank choice
  std::u16string short_code;
  bool blank = false;
};

struct CatalogSlot {
  std::u16string name;
  std::vector<CatalogModType> mod_types;
};

struct CatalogModule {
  std::u16string name;
  bool adds_chip = false;
  std::vector<CatalogPort> ports;  // numbered from 1 within the module
};

struct ModelCatalog {
  // In document order.
  std::vector<CatalogModel> models;
  std::vector<CatalogSlot> slots;
  std::vector<CatalogModule> modules;

  // The first entry of that exact name; null when there is none.
  const CatalogModel* FindModel(std::u16string_view name) const;
  const CatalogSlot* FindSlot(std::u16string_view name) const;
  const CatalogModule* FindModule(std::u16string_view name) const;
  // Model names in catalog order (what a stored switch's model is derived
  // from when the file has none).
  std::vector<std::u16string> ModelNames() const;
};

// The chip-present flags for a chip count: 1 gives chip 0 only, 2 chips 0
// and 1, any other count all three.
void ChipFlagsForCount(int chips, bool flags[3]);

enum class CatalogStatus { kLoaded, kNotFound, kNotValid };

// Reads the catalog at `path` into *catalog (emptied first). kNotFound when
// there is no such file, kNotValid when it does not parse as XML.
CatalogStatus LoadModelCatalog(const std::u16string& path,
                               ModelCatalog* catalog);

// "Switches.xml" in the directory of the configuration file: the path up to
// and including its last '/'.
std::u16string CatalogPathFor(std::u16string_view configuration_path);

}  // namespace kavex::configurator

#endif  // KAVEX_CONFIGURATOR_CORE_MODEL_CATALOG_H_
