#include "configurator/core/model_catalog.h"

#include "configurator/core/config_rules.h"
#include "configurator/core/xml_attributes.h"
#include "platform/file/file.h"
#include "platform/text/utf.h"
#include "xmldoc/xdomlib.h"

namespace kavex::configurator {
namespace {

std::vector<CatalogPort> ReadPorts(xmldoc::CXNode& parent) {
  std::vector<CatalogPort> ports;
  xmldoc::CXNodeList list = parent.SelectNodes(u"Port");
  for (xmldoc::CXNode p = list.FirstNode(); p.Valid(); p = list.NextNode()) {
    CatalogPort port;
    port.number = ParsePortNumber(AttributeText(p, u"Number"));
    port.alias = AttributeText(p, u"Alias");
    port.disabled = AttributeYes(p, u"Disabled");
    port.exists = AttributeYes(p, u"Exists");
    ports.push_back(std::move(port));
  }
  return ports;
}

CatalogModel ReadModel(xmldoc::CXNode& node) {
  CatalogModel model;
  model.name = AttributeText(node, u"Model");
  model.alias_prefix = AttributeText(node, u"Alias");
  model.type = AttributeByte(node, u"Type");
  model.blank_type = AttributeByte(node, u"BlankType");
  model.chips = static_cast<BYTE>(AttributeShort(node, u"Chips"));
  model.modular = AttributeYes(node, u"Modular");
  if (model.modular) {
    model.add_in_order = AttributeYes(node, u"AddInOrder");
    model.all_blank = AttributeYes(node, u"AllBlank");
    model.start_chip = static_cast<BYTE>(AttributeShort(node, u"StartChip"));
    model.max_chip = static_cast<BYTE>(AttributeShort(node, u"MaxChip"));
  }
  ChipFlagsForCount(model.chips, model.chip_present);
  xmldoc::CXNodeList slot_types = node.SelectNodes(u"SlotType");
  for (xmldoc::CXNode s = slot_types.FirstNode(); s.Valid();
       s = slot_types.NextNode()) {
    CatalogSlotType slot;
    slot.slot_name = AttributeText(s, u"Name");
    slot.label = AttributeText(s, u"Text");
    slot.prefix = AttributeText(s, u"Prefix");
    slot.number = ParsePortNumber(AttributeText(s, u"Number"));
    slot.start_port = ParsePortNumber(AttributeText(s, u"StartPort"));
    slot.blank_allowed = AttributeText(s, u"Empty") != u"No";
    slot.default_mod_type = AttributeText(s, u"Default");
    model.slot_types.push_back(std::move(slot));
  }
  model.ports = ReadPorts(node);
  return model;
}

CatalogSlot ReadSlot(xmldoc::CXNode& node) {
  CatalogSlot slot;
  slot.name = AttributeText(node, u"Name");
  xmldoc::CXNodeList mod_types = node.SelectNodes(u"ModType");
  for (xmldoc::CXNode m = mod_types.FirstNode(); m.Valid();
       m = mod_types.NextNode()) {
    CatalogModType mod_type;
    mod_type.module_name = AttributeText(m, u"Name");
    mod_type.short_code = AttributeText(m, u"Short");
    mod_type.blank = AttributeYes(m, u"Empty");
    mod_type.text = mod_type.blank ? kBlankChoice : AttributeText(m, u"Text");
    slot.mod_types.push_back(std::move(mod_type));
  }
  return slot;
}

CatalogModule ReadModule(xmldoc::CXNode& node) {
  CatalogModule module;
  module.name = AttributeText(node, u"Name");
  module.adds_chip = AttributeYes(node, u"AddChip");
  module.ports = ReadPorts(node);
  return module;
}

template <class T>
const T* FindByName(const std::vector<T>& list, std::u16string_view name) {
  for (const T& entry : list) {
    if (entry.name == name) return &entry;
  }
  return nullptr;
}

}  // namespace

const CatalogModel* ModelCatalog::FindModel(std::u16string_view name) const {
  return FindByName(models, name);
}

const CatalogSlot* ModelCatalog::FindSlot(std::u16string_view name) const {
  return FindByName(slots, name);
}

const CatalogModule* ModelCatalog::FindModule(std::u16string_view name) const {
  return FindByName(modules, name);
}

std::vector<std::u16string> ModelCatalog::ModelNames() const {
  std::vector<std::u16string> names;
  names.reserve(models.size());
  for (const CatalogModel& model : models) names.push_back(model.name);
  return names;
}

void ChipFlagsForCount(int chips, bool flags[3]) {
  flags[0] = true;
  flags[1] = chips != 1;
  flags[2] = chips != 1 && chips != 2;
}

CatalogStatus LoadModelCatalog(const std::u16string& path,
                               ModelCatalog* catalog) {
  *catalog = ModelCatalog();
  file::FileIdentity identity;
  if (file::StatFile(text::Utf16ToUtf8(path), &identity) ==
      ERROR_FILE_NOT_FOUND) {
    return CatalogStatus::kNotFound;
  }
  xmldoc::CXDocument document;
  document.Load(path.c_str());
  if (!document.Valid()) return CatalogStatus::kNotValid;

  xmldoc::CXNodeList models = document.SelectNodes(u"ROOT/SWITCH");
  for (xmldoc::CXNode m = models.FirstNode(); m.Valid(); m = models.NextNode())
    catalog->models.push_back(ReadModel(m));
  xmldoc::CXNodeList slots = document.SelectNodes(u"ROOT/Slot");
  for (xmldoc::CXNode s = slots.FirstNode(); s.Valid(); s = slots.NextNode())
    catalog->slots.push_back(ReadSlot(s));
  xmldoc::CXNodeList modules = document.SelectNodes(u"ROOT/Module");
  for (xmldoc::CXNode m = modules.FirstNode(); m.Valid();
       m = modules.NextNode())
    catalog->modules.push_back(ReadModule(m));
  return CatalogStatus::kLoaded;
}

std::u16string CatalogPathFor(std::u16string_view configuration_path) {
  size_t slash = configuration_path.rfind(u'/');
  std::u16string path(slash == std::u16string_view::npos
                          ? std::u16string_view()
                          : configuration_path.substr(0, slash + 1));
  return path + kCatalogFileName;
}

}  // namespace kavex::configurator
