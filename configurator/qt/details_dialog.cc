#include "configurator/qt/details_dialog.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QPushButton>
#include <QScrollBar>
#include <QVBoxLayout>

#include "configurator/qt/control_view.h"

namespace kavex::configurator::qt {

DetailsDialog::DetailsDialog(std::unique_ptr<SwitchDetailsWindow> window,
                             QWidget* parent)
    : QDialog(parent), window_(std::move(window)) {
  setObjectName("details_dialog");
  setWindowTitle("Switch Details");
  timer_ = new WindowTimer(this, [this] {
    window_->OnTimer();
    Redraw();
  });
  alias_ = new QLabel(this);
  alias_->setObjectName("switch_alias");

  auto* names = new QGridLayout;
  names->addWidget(new QLabel("Switch: ", this), 0, 0);
  names->addWidget(alias_, 0, 1);
  ring_ = std::make_unique<RingView>(this, names, 1);
  names->setColumnStretch(1, 1);

  auto* lists = new QGridLayout;
  auto add = [&](const char* header, const char* name, int column) {
    auto* list = new QListWidget(this);
    list->setObjectName(name);
    list->setSelectionMode(QAbstractItemView::NoSelection);
    list->setFocusPolicy(Qt::NoFocus);
    lists->addWidget(new QLabel(header, this), 0, column);
    lists->addWidget(list, 1, column);
    return list;
  };
  ports_ = add("Ports:", "ports", 0);
  link_ = add("Link", "link", 1);
  speed_ = add("Speed", "speed", 2);
  duplex_ = add("Duplex", "duplex", 3);
  lists->setColumnStretch(0, 2);
  for (int column = 1; column < 4; ++column) lists->setColumnStretch(column, 1);
  ports_->setFocusPolicy(Qt::StrongFocus);
  // The side lists scroll with the ports list, row beside row.
  for (QListWidget* side : {link_, speed_, duplex_}) {
    side->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    connect(ports_->verticalScrollBar(), &QScrollBar::valueChanged,
            side->verticalScrollBar(), &QScrollBar::setValue);
  }

  auto* close = new QPushButton("Close", this);
  close->setObjectName("close");
  close->setDefault(true);
  connect(close, &QPushButton::clicked, this, [this] { accept(); });
  auto* bottom = new QHBoxLayout;
  bottom->addStretch();
  bottom->addWidget(close);

  auto* top = new QVBoxLayout(this);
  top->addLayout(names);
  top->addLayout(lists, 1);
  top->addLayout(bottom);
  resize(560, 460);
  Redraw();
  timer_->Start(kDetailsTimerMs);
}

void DetailsDialog::done(int result) {
  timer_->Stop();
  window_->Close();
  QDialog::done(result);
}

void DetailsDialog::Redraw() {
  const SwitchDetailsState& state = window_->state();
  ShowStatic(alias_, state.alias);
  ring_->Show(state.ring);
  ShowList(ports_, state.ports);
  ShowList(link_, state.link);
  ShowList(speed_, state.speed);
  ShowList(duplex_, state.duplex);
}

}  // namespace kavex::configurator::qt
