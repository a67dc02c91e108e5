#include "configurator/qt/ports_dialog.h"

#include <QFontDatabase>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "configurator/core/counters_window.h"
#include "configurator/core/details_window.h"
#include "configurator/qt/control_view.h"
#include "configurator/qt/counters_dialog.h"
#include "configurator/qt/details_dialog.h"
#include "configurator/qt/qt_text.h"

namespace kavex::configurator::qt {
namespace {

QLabel* Help(const char* text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setWordWrap(true);
  return label;
}

// Opened over `parent`, gone once closed.
void OpenOver(QDialog* dialog) {
  QObject::connect(dialog, &QDialog::finished, dialog, &QObject::deleteLater);
  dialog->open();
}

}  // namespace

PortsDialog::PortsDialog(std::unique_ptr<PortsWindow> window, QWidget* parent)
    : QDialog(parent), window_(std::move(window)) {
  setObjectName("ports_dialog");
  setWindowTitle("Ports");
  timer_ = new WindowTimer(this, [this] {
    window_->OnTimer();
    Redraw();
  });

  adapter_ = new QLabel(this);
  adapter_->setObjectName("adapter");
  switch_alias_ = new QLabel(this);
  switch_alias_->setObjectName("switch_alias");
  ports_ = new QListWidget(this);
  ports_->setObjectName("ports");
  ports_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  auto* ports_label = new QLabel("&Ports:", this);
  ports_label->setBuddy(ports_);
  alias_edit_ = new QLineEdit(this);
  alias_edit_->setObjectName("port_alias");
  alias_edit_->setMaxLength(static_cast<int>(kPortAliasLimit));
  rename_ = new QPushButton(">>", this);
  rename_->setObjectName("rename_port");
  rename_->setToolTip("Give the selected port the new alias");
  hide_port_ = new QCheckBox("&Hide Port", this);
  hide_port_->setObjectName("hide_port");
  view_ports_ = new QPushButton("View P&orts", this);
  view_ports_->setObjectName("view_ports");
  view_switch_ = new QPushButton("View S&witch", this);
  view_switch_->setObjectName("view_switch");
  auto* close = new QPushButton("Close", this);
  close->setObjectName("close");
  close->setDefault(true);

  connect(ports_, &QListWidget::currentRowChanged, this, [this](int row) {
    window_->SelectPort(row);
    Redraw();
  });
  connect(alias_edit_, &QLineEdit::textEdited, this,
          [this](const QString& text) { window_->SetAliasText(U16(text)); });
  connect(alias_edit_, &QLineEdit::returnPressed, rename_,
          &QPushButton::click);
  connect(rename_, &QPushButton::clicked, this, [this] {
    window_->RenamePort();
    Redraw();
  });
  connect(hide_port_, &QCheckBox::clicked, this, [this](bool checked) {
    window_->SetHidePort(checked);
    Redraw();
  });
  connect(view_ports_, &QPushButton::clicked, this, [this] { OpenCounters(); });
  connect(view_switch_, &QPushButton::clicked, this,
          [this] { OpenSwitchView(); });
  connect(close, &QPushButton::clicked, this, [this] { accept(); });

  auto* names = new QGridLayout;
  names->addWidget(new QLabel("Adapter:", this), 0, 0);
  names->addWidget(adapter_, 0, 1);
  names->addWidget(new QLabel("Switch: ", this), 1, 0);
  names->addWidget(switch_alias_, 1, 1);
  names->setColumnStretch(1, 1);

  auto* left = new QVBoxLayout;
  left->addWidget(ports_label);
  left->addWidget(ports_, 1);

  auto* rename_row = new QHBoxLayout;
  rename_row->addWidget(alias_edit_, 1);
  rename_row->addWidget(rename_);
  auto* right = new QVBoxLayout;
  right->addWidget(Help(
      "To change the port alias type in the new alias name in the box below, "
      "select the port and press '>>' button.",
      this));
  right->addLayout(rename_row);
  right->addSpacing(12);
  right->addWidget(Help(
      "Select the port then check the box. Hidden port will not be visible "
      "in the item list of the Kavex OPC Server.",
      this));
  right->addWidget(hide_port_);
  right->addSpacing(12);
  right->addWidget(view_ports_);
  right->addWidget(view_switch_);
  right->addStretch();

  auto* middle = new QHBoxLayout;
  middle->addLayout(left, 1);
  middle->addSpacing(12);
  middle->addLayout(right, 1);
  auto* bottom = new QHBoxLayout;
  bottom->addStretch();
  bottom->addWidget(close);
  auto* top = new QVBoxLayout(this);
  top->addLayout(names);
  top->addLayout(middle, 1);
  top->addLayout(bottom);

  setTabOrder(ports_, alias_edit_);
  setTabOrder(alias_edit_, rename_);
  setTabOrder(rename_, hide_port_);
  setTabOrder(hide_port_, view_ports_);
  setTabOrder(view_ports_, view_switch_);
  setTabOrder(view_switch_, close);
  resize(620, 420);
  Redraw();
  timer_->Start(kPortsTimerMs);
}

PortsDialog::~PortsDialog() {
  // The live views hold the switch this window shows: they go first.
  for (QDialog* child : findChildren<QDialog*>(Qt::FindDirectChildrenOnly))
    delete child;
}

void PortsDialog::done(int result) {
  timer_->Stop();
  window_->Close();
  QDialog::done(result);
}

void PortsDialog::Redraw() {
  const PortsWindowState& state = window_->state();
  ShowStatic(adapter_, state.adapter);
  ShowStatic(switch_alias_, state.switch_alias);
  ShowList(ports_, state.ports);
  ShowEdit(alias_edit_, state.alias_edit);
  ShowCheck(hide_port_, state.hide_port);
  ShowButton(view_ports_, state.view_ports);
  ShowButton(view_switch_, state.view_switch);
}

void PortsDialog::OpenCounters() {
  std::unique_ptr<PortCountersWindow> counters = window_->OpenPortCounters();
  if (counters == nullptr) return;
  OpenOver(new CountersDialog(std::move(counters), this));
}

void PortsDialog::OpenSwitchView() {
  std::unique_ptr<SwitchDetailsWindow> details = window_->OpenSwitchView();
  if (details == nullptr) return;
  OpenOver(new DetailsDialog(std::move(details), this));
}

}  // namespace kavex::configurator::qt
