#include "configurator/core/ports_window.h"

#include "configurator/core/counters_window.h"
#include "configurator/core/details_window.h"
#include "configurator/core/window_model.h"

namespace kavex::configurator {
namespace {

constexpr char16_t kAliasNotUnique[] =
    u"There is already such a port alias. Port aliases must be unique on one "
    u"switch.";
constexpr char16_t kSelectPort[] = u"Select a port in the ports list.";

}  // namespace

PortsWindow::PortsWindow(MainWindowModel* main, ConfigSwitch* sw,
                         std::u16string adapter_name)
    : main_(main), sw_(sw) {
  state_.adapter.text = std::move(adapter_name);
  state_.view_ports.text = u"View Ports";
  state_.view_switch.text = u"View Switch";
  state_.view_ports.enabled = false;
  state_.view_switch.enabled = false;
  state_.hide_port.enabled = false;
  std::lock_guard<std::mutex> lock(main_->mu_);
  state_.switch_alias.text = sw_->alias;
  Fill();
}

PortsWindow::~PortsWindow() {
  std::lock_guard<std::mutex> lock(main_->mu_);
  main_->details_open_ = false;
  main_->shown_switch_ = nullptr;
  main_->Changed();
}

std::vector<std::u16string> PortsWindow::Lines(
    std::vector<size_t>* ports) const {
  std::vector<std::u16string> lines;
  ports->clear();
  if (!sw_->heard) {
    lines.push_back(kPleaseWait);
    return lines;
  }
  for (size_t i = 0; i < sw_->ports.size(); ++i) {
    const ConfigPort& port = sw_->ports[i];
    if (!port.exists) continue;
    lines.push_back(port.hidden ? kHiddenPrefix + port.alias : port.alias);
    ports->push_back(i);
  }
  return lines;
}

void PortsWindow::Fill() {
  const int selection = state_.ports.selection();
  state_.ports.Clear();
  for (std::u16string& line : Lines(&listed_))
    state_.ports.Add(std::move(line));
  state_.ports.Select(selection);
}

void PortsWindow::OnTimer() {
  std::lock_guard<std::mutex> lock(main_->mu_);
  std::vector<size_t> ports;
  if (Lines(&ports) != state_.ports.items()) Fill();
  if (sw_->heard) {
    state_.view_ports.enabled = true;
    state_.view_switch.enabled = true;
  }
}

void PortsWindow::SelectPort(int index) {
  state_.ports.Select(index);
  if (state_.ports.selection() < 0) return;
  state_.hide_port.checked = state_.ports.SelectedText().find(u">>>HIDDEN") !=
                             std::u16string::npos;
  state_.hide_port.enabled = true;
}

void PortsWindow::SetAliasText(std::u16string_view text) {
  state_.alias_edit.text = std::u16string(text.substr(0, kPortAliasLimit));
}

ConfigPort* PortsWindow::SelectedPort() {
  const int selection = state_.ports.selection();
  if (selection < 0 || static_cast<size_t>(selection) >= listed_.size())
    return nullptr;
  return &sw_->ports[listed_[static_cast<size_t>(selection)]];
}

void PortsWindow::SetHidePort(bool checked) {
  state_.hide_port.checked = checked;
  std::lock_guard<std::mutex> lock(main_->mu_);
  // The port on the line, whether the line shows it hidden or not.
  if (ConfigPort* port = SelectedPort()) {
    port->hidden = checked;
    Fill();
  }
}

void PortsWindow::RenamePort() {
  const std::u16string alias = state_.alias_edit.text;
  Message refusal{std::u16string(), kVeltoCaption, MB_OK};
  {
    std::lock_guard<std::mutex> lock(main_->mu_);
    bool taken = false;
    for (const ConfigPort& port : sw_->ports) taken = taken || port.alias == alias;
    ConfigPort* port = SelectedPort();
    if (alias.empty()) {
      refusal.text = kTypeNewAlias;
    } else if (AliasHasForbiddenCharacter(alias)) {
      refusal.text = kForbiddenAliasCharacters;
    } else if (taken) {
      refusal.text = kAliasNotUnique;
    } else if (port == nullptr) {
      refusal.text = kSelectPort;
    } else {
      port->alias = alias;
      Fill();
      return;
    }
  }
  ShowMessage(refusal);
}

std::unique_ptr<PortCountersWindow> PortsWindow::OpenPortCounters() {
  if (!state_.view_ports.enabled) return nullptr;
  return std::make_unique<PortCountersWindow>(main_, sw_);
}

std::unique_ptr<SwitchDetailsWindow> PortsWindow::OpenSwitchView() {
  if (!state_.view_switch.enabled) return nullptr;
  return std::make_unique<SwitchDetailsWindow>(main_, sw_);
}

}  // namespace kavex::configurator
