#include "configurator/qt/ring_view.h"

#include "configurator/qt/control_view.h"

namespace kavex::configurator::qt {
namespace {

void ShowPair(QLabel* label, QLabel* value, const TextControl& control) {
  ShowStatic(value, control);
  if (label->isHidden() == control.visible) label->setVisible(control.visible);
}

}  // namespace

RingView::RingView(QWidget* parent, QGridLayout* grid, int row) {
  auto add = [&](const char* label, const char* name, Pair* pair) {
    pair->label = new QLabel(label, parent);
    pair->value = new QLabel(parent);
    pair->value->setObjectName(name);
    pair->label->hide();
    pair->value->hide();
    grid->addWidget(pair->label, row, 0);
    grid->addWidget(pair->value, row, 1);
    ++row;
  };
  add("IP Address:", "ip_address", &ip_);
  add("Z-Ring Version:", "ring_version", &version_);
  add("Z-Ring Manager:", "ring_manager", &manager_);
  add("Z-Ring Member:", "ring_member", &member_);
  add("Z-Ring State:", "ring_state", &state_);
}

void RingView::Show(const RingControls& ring) {
  ShowPair(ip_.label, ip_.value, ring.ip_address);
  ShowPair(version_.label, version_.value, ring.ring_version);
  ShowPair(manager_.label, manager_.value, ring.ring_manager);
  ShowPair(member_.label, member_.value, ring.ring_member);
  ShowPair(state_.label, state_.value, ring.ring_state);
}

}  // namespace kavex::configurator::qt
