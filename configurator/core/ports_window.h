// The ports window ("Ports") of one mapped switch: its existing ports,
// hidden ones as ">>>HIDDEN  - " and the alias, to rename (unique within the
// switch) and to hide from the device's item list. Until the switch has been
// heard it lists only "Please wait for update." and its two views stay
// disabled; a one-second timer refills the list when it no longer matches
// the switch. While it is open the main window maps nothing, and the
// capture thread lists new switches only until this one has been heard and
// feeds the live statistics of this switch alone.
#ifndef KAVEX_CONFIGURATOR_CORE_PORTS_WINDOW_H_
#define KAVEX_CONFIGURATOR_CORE_PORTS_WINDOW_H_

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "configurator/core/config_model.h"
#include "configurator/core/controls.h"
#include "platform/base/types.h"

namespace kavex::configurator {

class MainWindowModel;
class PortCountersWindow;
class SwitchDetailsWindow;

inline constexpr char16_t kHiddenPrefix[] = u">>>HIDDEN  - ";
inline constexpr char16_t kPleaseWait[] = u"Please wait for update.";
inline constexpr size_t kPortAliasLimit = 24;
inline constexpr DWORD kPortsTimerMs = 1000;

struct PortsWindowState {
  TextControl adapter;       // 1000
  TextControl switch_alias;  // 1008
  ListControl ports;         // 1009
  TextControl alias_edit;    // 1010
  CheckControl hide_port;    // 1013 "Hide Port"
  TextControl view_ports;    // 1017
  TextControl view_switch;   // 1064
  bool closed = false;
};

class PortsWindow {
 public:
  // Made by MainWindowModel::OpenSwitchDetails, for `sw` of its active
  // adapter; `main` must outlive it. Destroying it closes the window.
  PortsWindow(MainWindowModel* main, ConfigSwitch* sw,
              std::u16string adapter_name);
  ~PortsWindow();
  PortsWindow(const PortsWindow&) = delete;
  PortsWindow& operator=(const PortsWindow&) = delete;

  const PortsWindowState& state() const { return state_; }

  // The window's one-second timer.
  void OnTimer();
  void SelectPort(int index);
  // Edit 1010 holds at most 24 characters, as typed.
  void SetAliasText(std::u16string_view text);
  // ">>": the selected port gets the new alias.
  void RenamePort();
  // "Hide Port" checked or cleared: the selected port follows it.
  void SetHidePort(bool checked);
  // "View Ports" and "View Switch": null while they are disabled.
  std::unique_ptr<PortCountersWindow> OpenPortCounters();
  std::unique_ptr<SwitchDetailsWindow> OpenSwitchView();
  void Close() { state_.closed = true; }

 private:
  // What the list should show now, and the ports of its lines (none while
  // the switch has not been heard). Needs the main window's lock.
  std::vector<std::u16string> Lines(std::vector<size_t>* ports) const;
  void Fill();
  // The port on the selected line; null when none is.
  ConfigPort* SelectedPort();

  MainWindowModel* const main_;
  ConfigSwitch* const sw_;
  PortsWindowState state_;
  std::vector<size_t> listed_;  // the port of each line
};

}  // namespace kavex::configurator

#endif  // KAVEX_CONFIGURATOR_CORE_PORTS_WINDOW_H_
