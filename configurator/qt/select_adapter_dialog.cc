#include "configurator/qt/select_adapter_dialog.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "configurator/qt/control_view.h"

namespace kavex::configurator::qt {

SelectAdapterDialog::SelectAdapterDialog(std::unique_ptr<ImportWindow> window,
                                         QWidget* parent)
    : QDialog(parent), window_(std::move(window)) {
  setObjectName("select_adapter_dialog");
  setWindowTitle("Select Adapter");
  auto* hint = new QLabel(
      "Select adapter in Imported file list, Current adapters list and "
      "press \"Import\" button.",
      this);
  hint->setWordWrap(true);
  imported_ = new QListWidget(this);
  imported_->setObjectName("imported");
  current_ = new QListWidget(this);
  current_->setObjectName("current");
  auto* imported_label = new QLabel("I&mported File", this);
  imported_label->setBuddy(imported_);
  auto* current_label = new QLabel("C&urrent Adapters", this);
  current_label->setBuddy(current_);
  auto* import = new QPushButton("&Import", this);
  import->setObjectName("import");
  import->setDefault(true);
  auto* cancel = new QPushButton("Cancel", this);
  cancel->setObjectName("cancel");

  connect(imported_, &QListWidget::currentRowChanged, this, [this](int row) {
    window_->SelectImported(row);
    Redraw();
  });
  connect(current_, &QListWidget::currentRowChanged, this, [this](int row) {
    window_->SelectCurrent(row);
    Redraw();
  });
  connect(import, &QPushButton::clicked, this, [this] {
    window_->Import();
    if (window_->state().closed) {
      accept();
    } else {
      Redraw();
    }
  });
  connect(cancel, &QPushButton::clicked, this, [this] {
    window_->Cancel();
    reject();
  });

  auto* lists = new QGridLayout;
  lists->addWidget(imported_label, 0, 0);
  lists->addWidget(current_label, 0, 1);
  lists->addWidget(imported_, 1, 0);
  lists->addWidget(current_, 1, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(import);
  buttons->addWidget(cancel);
  auto* top = new QVBoxLayout(this);
  top->addWidget(hint);
  top->addLayout(lists, 1);
  top->addLayout(buttons);
  resize(560, 320);
  Redraw();
}

void SelectAdapterDialog::Redraw() {
  ShowList(imported_, window_->state().imported);
  ShowList(current_, window_->state().current);
}

}  // namespace kavex::configurator::qt
