#include "configurator/core/configuration_text.h"

namespace kavex::configurator {
namespace {

const CatalogModType* FindModType(const CatalogSlot& slot,
                                  std::u16string_view text) {
  for (const CatalogModType& mod_type : slot.mod_types) {
    if (mod_type.text == text) return &mod_type;
  }
  return nullptr;
}

const CatalogModType* FindModTypeByShort(const CatalogSlot& slot,
                                         std::u16string_view short_code) {
  for (const CatalogModType& mod_type : slot.mod_types) {
    if (mod_type.short_code == short_code) return &mod_type;
  }
  return nullptr;
}

const CatalogSlotType* SlotTypeNumbered(const CatalogModel& model, int number) {
  for (const CatalogSlotType& slot_type : model.slot_types) {
    if (slot_type.number == number) return &slot_type;
  }
  return nullptr;
}

std::vector<std::u16string_view> SplitAtCommas(std::u16string_view text) {
  std::vector<std::u16string_view> tokens;
  while (!text.empty()) {
    size_t comma = text.find(u',');
    tokens.push_back(text.substr(0, comma));
    if (comma == std::u16string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return tokens;
}

}  // namespace

bool BuildConfigurationText(const ModelCatalog& catalog,
                            const CatalogModel& model,
                            std::u16string_view model_name,
                            const ModelControls& controls,
                            ConfigurationChoice* choice, Messages* messages) {
  *choice = ConfigurationChoice();
  if (model_name != model.name) return false;
  choice->modules.assign(model.slot_types.size(), nullptr);
  if (!model.modular) {
    choice->text = model.name;
    return true;
  }

  std::u16string short_codes[kMaxSlots];
  std::u16string shown[kMaxSlots];
  bool all_blank = true;
  for (size_t i = 0; i < model.slot_types.size(); ++i) {
    const CatalogSlotType& slot_type = model.slot_types[i];
    if (slot_type.number < 1 || slot_type.number > kMaxSlots) return false;
    const int box = slot_type.number - 1;
    const std::u16string& selected = controls.slot_boxes[box].text;
    const CatalogSlot* slot = catalog.FindSlot(slot_type.slot_name);
    const CatalogModType* mod_type =
        slot != nullptr ? FindModType(*slot, selected) : nullptr;
    const CatalogModule* module =
        mod_type != nullptr ? catalog.FindModule(mod_type->module_name)
                            : nullptr;
    if (module == nullptr) return false;
    if (selected != kBlankChoice) all_blank = false;
    choice->modules[i] = module;
    short_codes[box] = mod_type->short_code;
    shown[box] = selected;
  }
  choice->all_blank = all_blank;
  if (all_blank && !model.all_blank) {
    messages->push_back({kAllBlanksRefused, kDetailsCaption, MB_OK});
    return false;
  }

  std::u16string text = model.name + u"(";
  bool gap = false;
  for (int slot = 0; slot < kMaxSlots; ++slot) {
    if (short_codes[slot].empty()) continue;
    if (shown[slot] == kBlankChoice) {
      gap = true;
    } else if (gap && model.add_in_order) {
      messages->push_back({kFillInOrder, kDetailsCaption, MB_OK});
      return false;
    }
    if (slot != 0) text += u',';
    text += short_codes[slot];
  }
  choice->text = text + u")";
  return true;
}

bool SelectReportedConfiguration(const ModelCatalog& catalog,
                                 std::u16string_view reported,
                                 ModelControls* controls,
                                 const CatalogModel** current) {
  if (reported.empty()) return false;
  const size_t open = reported.find(u'(');
  const std::u16string_view name = reported.substr(0, open);
  if (!controls->model_box.SelectExact(name)) return false;
  *current = SelectModel(catalog, controls);
  const CatalogModel* model = *current;
  if (model == nullptr) return false;
  if (!model->modular) return true;

  std::u16string slots;
  if (open != std::u16string_view::npos) {
    for (char16_t c : reported.substr(open)) {
      if (c != u'(' && c != u')') slots += c;
    }
  }
  const std::vector<std::u16string_view> tokens = SplitAtCommas(slots);
  const size_t count = model->slot_types.size();
  for (size_t i = 0; i < count; ++i) {
    if (i >= tokens.size()) return false;
    // Every slot type takes a token, and each must name a module of one of
    // slots A to D: a model with more slot types than that is never the
    // one reported.
    const CatalogSlotType* slot_type =
        i < kMaxSlots ? SlotTypeNumbered(*model, static_cast<int>(i) + 1)
                      : nullptr;
    const CatalogSlot* slot =
        slot_type != nullptr ? catalog.FindSlot(slot_type->slot_name) : nullptr;
    const CatalogModType* mod_type =
        slot != nullptr ? FindModTypeByShort(*slot, tokens[i]) : nullptr;
    // A choice the slot box does not offer is not the reported one either.
    if (mod_type == nullptr ||
        !controls->slot_boxes[i].SelectExact(mod_type->text)) {
      return false;
    }
  }
  Messages unused;  // silent
  ValidateSlots(*model, 0, /*silent=*/true, controls, &unused);
  return true;
}

std::u16string ReportedText(std::string_view bytes) {
  std::u16string text;
  text.reserve(bytes.size());
  for (char c : bytes) text += static_cast<char16_t>(static_cast<uint8_t>(c));
  return text;
}

}  // namespace kavex::configurator
