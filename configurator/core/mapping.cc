// The main window's editing operations on the active adapter's mapping:
// Map, Un-Map, Rename and Switch Details (MainWindowModel, window_model.h).
// None of them writes the configuration file; "Save && Close" does.
#include <algorithm>

#include "configurator/core/configuration_text.h"
#include "configurator/core/ports_window.h"
#include "configurator/core/switch_generation.h"
#include "configurator/core/window_model.h"
#include "platform/text/utf.h"

namespace kavex::configurator {
namespace {

constexpr char16_t kSelectSwitchToMap[] = u"Select switch MAC address to map.";
constexpr char16_t kSelectModelToMap[] = u"Select switch model to map.";
constexpr char16_t kNoConfiguration[] =
    u"Could not find an appropriate configuration to map.";
constexpr char16_t kRemapQuestion[] =
    u"You are trying to map a switch that has been mapped before. All your "
    u"switch and ports settings will be replaced by the default values for "
    u"the new model. Do you want to proceed?";
constexpr char16_t kSelectMappedSwitch[] =
    u"Select the switch in the right side list.";

// The address of a mapped-list line: the text up to its first space.
std::u16string AddressOfLine(const std::u16string& line) {
  return line.substr(0, line.find(u' '));
}

ConfigSwitch* FirstWithAddress(ConfigAdapter* adapter,
                               std::u16string_view address) {
  if (adapter == nullptr) return nullptr;
  for (ConfigSwitch& sw : adapter->switches) {
    if (sw.address == address) return &sw;
  }
  return nullptr;
}

}  // namespace

bool AliasHasForbiddenCharacter(std::u16string_view alias) {
  return alias.find_first_of(u" .-") != std::u16string_view::npos;
}

void MainWindowModel::Map() {
  Lock lock(mu_);
  // The ports window is modal: nothing is mapped behind it.
  if (details_open_) return;
  if (state_.discovered.empty() || state_.discovered.selection() < 0) {
    Show(&lock, {{kSelectSwitchToMap, kViewCaption, MB_OK}});
    return;
  }
  const ComboControl& model_box = state_.model.model_box;
  if (model_box.empty() || model_box.selection() < 0) {
    Show(&lock, {{kSelectModelToMap, kViewCaption, MB_OK}});
    return;
  }
  const std::u16string model_name = model_box.text;
  const std::u16string address = state_.discovered.SelectedText();
  const CatalogModel* model = current_model_;
  Messages messages;
  ConfigurationChoice choice;
  if (model == nullptr ||
      !BuildConfigurationText(catalog_, *model, model_name, state_.model,
                              &choice, &messages)) {
    messages.push_back({kNoConfiguration, kViewCaption, MB_OK});
    Show(&lock, messages);
    return;
  }

  ConfigAdapter* adapter = ActiveAdapter();
  if (adapter == nullptr) return;
  if (FirstWithAddress(adapter, address) != nullptr) {
    const Message question{kRemapQuestion, kVeltoCaption, MB_YESNO};
    if (Ask(&lock, question) != IDYES) return;
    adapter = ActiveAdapter();
    if (adapter == nullptr) return;
    auto existing = std::find_if(
        adapter->switches.begin(), adapter->switches.end(),
        [&](const ConfigSwitch& sw) { return sw.address == address; });
    if (existing != adapter->switches.end()) adapter->switches.erase(existing);
  }
  ConfigSwitch sw = GenerateSwitch(*model, choice, address);
  sw.heard = true;
  adapter->switches.push_back(std::move(sw));
  RebuildAddressIndex();
  RebuildMapped();
  state_.status.text.clear();
  Changed();
}

void MainWindowModel::UnMap() {
  Lock lock(mu_);
  if (details_open_) return;
  if (state_.mapped.empty() || state_.mapped.selection() < 0) {
    Show(&lock, {{kSelectMappedSwitch, kVeltoCaption, MB_OK}});
    return;
  }
  const std::u16string address = AddressOfLine(state_.mapped.SelectedText());
  if (ConfigAdapter* adapter = ActiveAdapter()) {
    auto at = std::find_if(
        adapter->switches.begin(), adapter->switches.end(),
        [&](const ConfigSwitch& sw) { return sw.address == address; });
    if (at != adapter->switches.end()) adapter->switches.erase(at);
  }
  RebuildAddressIndex();
  RebuildMapped();
  Changed();
}

void MainWindowModel::Rename() {
  Lock lock(mu_);
  if (details_open_) return;
  const std::u16string alias = state_.alias_edit.text;
  if (alias.empty()) {
    Show(&lock, {{kTypeNewAlias, kVeltoCaption, MB_OK}});
    return;
  }
  if (AliasHasForbiddenCharacter(alias)) {
    Show(&lock, {{kForbiddenAliasCharacters, kVeltoCaption, MB_OK}});
    return;
  }
  if (state_.mapped.empty() || state_.mapped.selection() < 0) {
    Show(&lock, {{kSelectMappedSwitch, kVeltoCaption, MB_OK}});
    return;
  }
  const std::u16string address = AddressOfLine(state_.mapped.SelectedText());
  if (ConfigSwitch* sw = FirstWithAddress(ActiveAdapter(), address))
    sw->alias = alias;
  RebuildMapped();
  Changed();
}

std::unique_ptr<PortsWindow> MainWindowModel::OpenSwitchDetails() {
  Lock lock(mu_);
  if (details_open_) return nullptr;
  if (state_.mapped.selection() < 0) {
    Show(&lock, {{kNothingSelected, kDetailsCaption, MB_OK}});
    return nullptr;
  }
  const std::u16string line = state_.mapped.SelectedText();
  const size_t separator = line.find(kAliasSeparator);
  const std::u16string alias =
      separator == std::u16string::npos
          ? std::u16string()
          : line.substr(separator + std::char_traits<char16_t>::length(
                                        kAliasSeparator));
  ConfigSwitch* shown = nullptr;
  if (ConfigAdapter* adapter = ActiveAdapter()) {
    for (ConfigSwitch& sw : adapter->switches) {
      if (sw.alias == alias) {
        shown = &sw;
        break;
      }
    }
  }
  if (shown == nullptr) return nullptr;
  details_open_ = true;
  shown_switch_ = shown;
  shown_key_ = 0;
  device::ParseAddressText(text::Utf16ToUtf8(shown->address), &shown_key_);
  Changed();
  std::u16string adapter_name = state_.adapter_box.text;
  // The window takes the lock itself to fill its list.
  lock.unlock();
  return std::make_unique<PortsWindow>(this, shown, std::move(adapter_name));
}

}  // namespace kavex::configurator
