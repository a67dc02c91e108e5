#include "configurator/qt/counters_dialog.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

#include "configurator/qt/control_view.h"
#include "configurator/qt/qt_text.h"

namespace kavex::configurator::qt {
namespace {

// The counters by control id: transmit and packet sizes on the left,
// receive on the right.
constexpr int kLeftColumn[] = {1026, 1029, 1030, 1031, 1032, 1033,
                               1034, 1035, 1036, 1037, 1038, 1039,
                               1040, 1041, 1042, 1043, 1060, 1062};
constexpr int kRightColumn[] = {1044, 1045, 1046, 1047, 1048, 1049,
                                1050, 1051, 1052, 1053, 1054, 1055,
                                1056, 1057, 1058, 1059, 1061};
static_assert(std::size(kLeftColumn) + std::size(kRightColumn) ==
              device::kPublishedCounterCount);

size_t CounterIndex(int id) {
  for (size_t i = 0; i < kCounterLabels.size(); ++i) {
    if (kCounterLabels[i].id == id) return i;
  }
  return kCounterLabels.size();
}

QLabel* Value(const char* name, QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setObjectName(name);
  label->setTextInteractionFlags(Qt::TextSelectableByMouse);
  return label;
}

}  // namespace

CountersDialog::CountersDialog(std::unique_ptr<PortCountersWindow> window,
                               QWidget* parent)
    : QDialog(parent), window_(std::move(window)) {
  setObjectName("counters_dialog");
  setWindowTitle("Port Counters");
  timer_ = new WindowTimer(this, [this] {
    window_->OnTimer();
    Redraw();
  });

  alias_ = Value("switch_alias", this);
  port_ = Value("port", this);
  speed_ = Value("speed", this);
  duplex_ = Value("duplex", this);
  link_ = Value("link", this);
  enabled_ = Value("enabled", this);
  usage_ = Value("usage", this);
  usage_bar_ = new QProgressBar(this);
  usage_bar_->setObjectName("usage_bar");
  usage_bar_->setRange(0, 100);
  usage_bar_->setTextVisible(false);
  ports_ = new QListWidget(this);
  ports_->setObjectName("ports");
  auto* close = new QPushButton("Close", this);
  close->setObjectName("close");
  close->setDefault(true);

  connect(ports_, &QListWidget::currentRowChanged, this, [this](int row) {
    window_->SelectPort(row);
    Redraw();
  });
  connect(close, &QPushButton::clicked, this, [this] { accept(); });

  // The switch and the chosen port.
  auto* status = new QGridLayout;
  int row = 0;
  status->addWidget(new QLabel("Switch: ", this), row, 0);
  status->addWidget(alias_, row++, 1);
  ring_ = std::make_unique<RingView>(this, status, row);
  row += 5;
  const std::pair<const char*, QLabel*> port_rows[] = {
      {"Port:", port_},   {"Link:", link_},       {"Speed:", speed_},
      {"Duplex:", duplex_}, {"Enabled:", enabled_}};
  for (const auto& [label, value] : port_rows) {
    status->addWidget(new QLabel(label, this), row, 0);
    status->addWidget(value, row++, 1);
  }
  auto* usage_row = new QHBoxLayout;
  usage_row->addWidget(new QLabel("Usage:   0", this));
  usage_row->addWidget(usage_bar_, 1);
  usage_row->addWidget(new QLabel("100 %", this));
  usage_row->addWidget(usage_);
  status->addLayout(usage_row, row++, 0, 1, 2);
  status->setColumnStretch(1, 1);

  auto* list_box = new QVBoxLayout;
  auto* hint = new QLabel("&Select the port from the list below:", this);
  hint->setBuddy(ports_);
  list_box->addWidget(hint);
  list_box->addWidget(ports_, 1);

  auto* upper = new QHBoxLayout;
  upper->addLayout(status, 3);
  upper->addSpacing(12);
  upper->addLayout(list_box, 2);

  // The counters, two label and value columns each side.
  auto* counters = new QGroupBox("Counters", this);
  auto* grid = new QGridLayout(counters);
  auto place = [&](const int* ids, size_t count, int column) {
    for (size_t i = 0; i < count; ++i) {
      const size_t index = CounterIndex(ids[i]);
      if (index >= kCounterLabels.size()) continue;
      QLabel* value = Value("", counters);
      value->setObjectName(QString("counter%1").arg(ids[i]));
      value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
      value->setMinimumWidth(value->fontMetrics().horizontalAdvance(
          "4294967295  "));
      counters_[index] = value;
      grid->addWidget(new QLabel(Q(kCounterLabels[index].label), counters),
                      static_cast<int>(i), column);
      grid->addWidget(value, static_cast<int>(i), column + 1);
    }
  };
  place(kLeftColumn, std::size(kLeftColumn), 0);
  place(kRightColumn, std::size(kRightColumn), 3);
  grid->setColumnMinimumWidth(2, 24);
  grid->setVerticalSpacing(2);

  auto* bottom = new QHBoxLayout;
  bottom->addStretch();
  bottom->addWidget(close);
  auto* top = new QVBoxLayout(this);
  top->addLayout(upper);
  top->addWidget(counters, 1);
  top->addLayout(bottom);
  Redraw();
  timer_->Start(kCountersTimerMs);
}

void CountersDialog::done(int result) {
  timer_->Stop();
  window_->Close();
  QDialog::done(result);
}

void CountersDialog::Redraw() {
  const PortCountersState& state = window_->state();
  ShowStatic(alias_, state.alias);
  ring_->Show(state.ring);
  ShowStatic(port_, state.port);
  ShowStatic(speed_, state.speed);
  ShowStatic(duplex_, state.duplex);
  ShowStatic(link_, state.link);
  ShowStatic(enabled_, state.enabled);
  if (usage_bar_->value() != state.progress) usage_bar_->setValue(state.progress);
  ShowStatic(usage_, state.usage);
  ShowList(ports_, state.ports);
  for (size_t i = 0; i < counters_.size(); ++i) {
    if (counters_[i] != nullptr) ShowStatic(counters_[i], state.counters[i]);
  }
}

}  // namespace kavex::configurator::qt
