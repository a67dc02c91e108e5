#include "configurator/core/details_window.h"

#include <mutex>
#include <string>

#include "configurator/core/window_model.h"

namespace kavex::configurator {
namespace {

// Row `row` of a side list shows `text`; missing rows are appended.
void SetRow(ListControl* list, size_t row, const std::u16string& text) {
  while (list->size() < row) list->Add(u"");
  if (list->size() == row) {
    list->Add(text);
  } else if (list->item(row) != text) {
    list->Replace(row, text);
  }
}

}  // namespace

SwitchDetailsWindow::SwitchDetailsWindow(MainWindowModel* main,
                                         ConfigSwitch* sw)
    : main_(main), sw_(sw) {
  std::lock_guard<std::mutex> lock(main_->mu_);
  state_.alias.text = sw_->alias;
  for (ConfigPort& port : sw_->ports) {
    port.live.updated = true;
    port.live.stale = true;
    port.live.listed = false;
  }
}

void SwitchDetailsWindow::ShowPort(ConfigPort* port) {
  const PortLive& live = port->live;
  std::u16string link = u"N/A", speed = u"N/A", duplex = u"N/A";
  if (!live.stale) {
    if (live.status & device::kStatusLinkUp) {
      link = u"Up";
      const std::string mbit = std::to_string(live.speed);
      speed.assign(mbit.begin(), mbit.end());
      duplex = (live.status & device::kStatusFullDuplex) ? u"Full" : u"Half";
    } else {
      link = u"Down";
    }
  }
  const int found = state_.ports.FindExact(port->alias);
  const size_t row =
      found >= 0 ? static_cast<size_t>(found) : state_.ports.size();
  if (found < 0) state_.ports.Add(port->alias);
  SetRow(&state_.link, row, link);
  SetRow(&state_.speed, row, speed);
  SetRow(&state_.duplex, row, duplex);
}

void SwitchDetailsWindow::OnTimer() {
  std::lock_guard<std::mutex> lock(main_->mu_);
  const ConfigAdapter* adapter = main_->ActiveAdapter();
  const DWORD timeout =
      adapter != nullptr ? adapter->timeout : kDefaultSwitchTimeout;
  if (SwitchOffline(*sw_, timeout)) {
    state_.alias.text = u"Offline";
    HideIpAndRing(&state_.ring);
    state_.ports.Clear();
    state_.link.Clear();
    state_.speed.Clear();
    state_.duplex.Clear();
    state_.ports.Add(kNoPortInformation);
    MarkPortsStale(sw_);
    sw_->live.offline_shown = true;
  } else {
    if (sw_->live.offline_shown) {
      state_.ports.Clear();
      sw_->live.offline_shown = false;
    }
    state_.alias.text = sw_->alias;
    AgeLivePorts(sw_, timeout);
    ShowIpAndRing(sw_->live, &state_.ring);
    for (ConfigPort& port : sw_->ports) {
      if (port.hidden || !port.exists) continue;
      if (!port.live.listed) {
        port.live.listed = true;
        if (state_.ports.FindExact(port.alias) < 0)
          state_.ports.Add(port.alias);
      }
      if (port.live.updated) {
        port.live.updated = false;
        ShowPort(&port);
      }
    }
  }
  ++sw_->live.seconds;
}

}  // namespace kavex::configurator
