#include "configurator/core/counters_window.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "configurator/core/ports_window.h"
#include "configurator/core/window_model.h"

namespace kavex::configurator {
namespace {

constexpr char16_t kUnknown[] = u"NA";

std::u16string Ascii(const char* text) {
  return std::u16string(text, text + std::strlen(text));
}

}  // namespace

const std::array<CounterLabel, device::kPublishedCounterCount> kCounterLabels =
    {{
        {u"Tx Octets", 1026},
        {u"Tx Dropped Packets", 1029},
        {u"Tx Broadcast Packets", 1030},
        {u"Tx Multicast Packets", 1031},
        {u"Tx Unicast Packets", 1032},
        {u"Tx Collisions", 1033},
        {u"Tx Single Collision", 1034},
        {u"Tx Multiple Collision", 1035},
        {u"Tx Deferred Transmit", 1036},
        {u"Tx Late Collision", 1037},
        {u"Tx Excessive Collision", 1038},
        {u"Tx Frame In Disc", 1039},
        {u"Tx Pause Packets", 1040},
        {u"Rx Octets", 1044},
        {u"Rx Undersize Packets", 1049},
        {u"Rx Pause Packets", 1056},
        {u"64 Packets", 1041},
        {u"65 to 127 Packets", 1042},
        {u"128 to 255 Packets", 1043},
        {u"256 to 511 Packets", 1060},
        {u"512 to 1023 Packets", 1062},
        {u"1024 to 1522 Packets", 1061},
        {u"Rx Oversize Packets", 1050},
        {u"Rx Jabbers", 1051},
        {u"Rx Alignment Errors", 1052},
        {u"Rx FCS Errors", 1055},
        {u"Rx Good Octets", 1053},
        {u"Rx Dropped Packets", 1045},
        {u"Rx Unicast Packets", 1048},
        {u"Rx Multicast Packets", 1047},
        {u"Rx Broadcast Packets", 1046},
        {u"Rx SA Changes", 1054},
        {u"Rx Fragments", 1057},
        {u"Rx Excessive Disc Size", 1058},
        {u"Rx Symbol Errors", 1059},
    }};

PortCountersWindow::PortCountersWindow(MainWindowModel* main, ConfigSwitch* sw)
    : main_(main), sw_(sw) {
  std::lock_guard<std::mutex> lock(main_->mu_);
  state_.alias.text = sw_->alias;
  for (ConfigPort& port : sw_->ports) port.live.updated = false;
  ClearValues();
  state_.port.text = kUnknown;
  RefreshList();
}

void PortCountersWindow::ClearValues() {
  for (TextControl* value : {&state_.speed, &state_.duplex, &state_.link,
                             &state_.enabled, &state_.usage})
    value->text = kUnknown;
  for (TextControl& counter : state_.counters) counter.text = kUnknown;
  state_.progress = 0;
}

void PortCountersWindow::RefreshList() {
  std::vector<std::u16string> lines;
  std::vector<size_t> ports;
  if (!sw_->heard) {
    lines.push_back(kPleaseWait);
  } else {
    for (size_t i = 0; i < sw_->ports.size(); ++i) {
      if (sw_->ports[i].hidden) continue;
      lines.push_back(sw_->ports[i].alias);
      ports.push_back(i);
    }
  }
  if (lines == state_.ports.items()) return;
  const int selection = state_.ports.selection();
  state_.ports.Clear();
  for (std::u16string& line : lines) state_.ports.Add(std::move(line));
  state_.ports.Select(selection);
  listed_ = std::move(ports);
}

void PortCountersWindow::SelectPort(int index) {
  std::lock_guard<std::mutex> lock(main_->mu_);
  state_.ports.Select(index);
  ClearValues();
  current_ = nullptr;
  const int selection = state_.ports.selection();
  if (selection < 0 || static_cast<size_t>(selection) >= listed_.size()) return;
  current_ = &sw_->ports[listed_[static_cast<size_t>(selection)]];
  current_->live.usage.usage = 0;
}

void PortCountersWindow::ShowPort(const PortLive& live) {
  ClearValues();
  const bool enabled = live.status & device::kStatusEnabled;
  if (live.stale) return;
  state_.enabled.text = enabled ? u"Yes" : u"No";
  if (!(live.status & device::kStatusLinkUp)) {
    state_.link.text = u"Down";
    return;
  }
  char text[32];
  state_.link.text = u"Up";
  std::snprintf(text, sizeof text, "%d Mbps", int{live.speed});
  state_.speed.text = Ascii(text);
  state_.duplex.text =
      (live.status & device::kStatusFullDuplex) ? u"Full" : u"Half";
  for (size_t i = 0; i < device::kPublishedCounterCount; ++i) {
    const uint32_t value = static_cast<uint32_t>(
        device::CounterValue(live.counters, device::kPublishedCounters[i]));
    std::snprintf(text, sizeof text, "%u", value);
    state_.counters[i].text = Ascii(text);
  }
  const float usage = live.usage.usage;
  state_.progress = static_cast<int>(usage);
  std::snprintf(text, sizeof text, "%4.2f", static_cast<double>(usage));
  state_.usage.text = Ascii(text);
}

void PortCountersWindow::OnTimer() {
  std::lock_guard<std::mutex> lock(main_->mu_);
  const ConfigAdapter* adapter = main_->ActiveAdapter();
  const DWORD timeout =
      adapter != nullptr ? adapter->timeout : kDefaultSwitchTimeout;
  if (SwitchOffline(*sw_, timeout)) {
    state_.alias.text = u"Offline";
    state_.port.text = kUnknown;
    ClearValues();
    HideIpAndRing(&state_.ring);
    state_.ports.Clear();
    listed_.clear();
    current_ = nullptr;
    MarkPortsStale(sw_);
    return;
  }
  state_.alias.text = sw_->alias;
  AgeLivePorts(sw_, timeout);
  ShowIpAndRing(sw_->live, &state_.ring);
  RefreshList();
  if (state_.ports.selection() < 0) {
    current_ = nullptr;
  } else if (static_cast<size_t>(state_.ports.selection()) < listed_.size()) {
    current_ = &sw_->ports[listed_[static_cast<size_t>(state_.ports.selection())]];
  }
  if (current_ == nullptr) {
    state_.port.text = kUnknown;
    ClearValues();
  } else {
    state_.port.text = current_->alias;
    if (current_->live.updated) {
      current_->live.updated = false;
      ShowPort(current_->live);
    }
  }
  ++sw_->live.seconds;
}

}  // namespace kavex::configurator
