#include "configurator/qt/timeout_dialog.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QRegularExpressionValidator>

#include "configurator/qt/control_view.h"
#include "configurator/qt/qt_text.h"

namespace kavex::configurator::qt {

TimeoutDialog::TimeoutDialog(std::unique_ptr<TimeoutWindow> window,
                             QWidget* parent)
    : QDialog(parent), window_(std::move(window)) {
  setObjectName("timeout_dialog");
  setWindowTitle("Change Timeout Value");
  auto* label = new QLabel("&Timeout Value for Current Adapter:", this);
  value_ = new QLineEdit(this);
  value_->setObjectName("timeout_value");
  value_->setValidator(new QRegularExpressionValidator(
      QRegularExpression("[0-9]{0,10}"), value_));
  value_->setMaxLength(10);
  label->setBuddy(value_);
  auto* note = new QLabel(
      StaticText(u"'Save && Close' must be selected for any\nchanges here "
                 u"to be saved."),
      this);
  note->setObjectName("timeout_note");
  ok_ = new QPushButton("OK", this);
  ok_->setObjectName("ok");
  ok_->setDefault(true);
  auto* cancel = new QPushButton("Cancel", this);
  cancel->setObjectName("cancel");

  connect(value_, &QLineEdit::textEdited, this, [this](const QString& text) {
    window_->SetValueText(U16(text));
    Redraw();
  });
  connect(ok_, &QPushButton::clicked, this, [this] {
    if (window_->Ok()) accept();
  });
  connect(cancel, &QPushButton::clicked, this, [this] {
    window_->Cancel();
    reject();
  });

  auto* grid = new QGridLayout;
  grid->addWidget(label, 0, 0);
  grid->addWidget(value_, 0, 1);
  grid->addWidget(note, 1, 0, 1, 2);
  auto* buttons = new QVBoxLayout;
  buttons->addWidget(ok_);
  buttons->addWidget(cancel);
  buttons->addStretch();
  auto* top = new QHBoxLayout(this);
  top->addLayout(grid, 1);
  top->addSpacing(12);
  top->addLayout(buttons);
  Redraw();
}

void TimeoutDialog::Redraw() {
  const TimeoutWindowState& state = window_->state();
  ShowEdit(value_, state.value);
  ShowButton(ok_, state.ok_button);
}

}  // namespace kavex::configurator::qt
