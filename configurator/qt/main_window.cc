#include "configurator/qt/main_window.h"

#include <QCloseEvent>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QMenu>
#include <QMenuBar>
#include <QVBoxLayout>

#include "configurator/core/import_export.h"
#include "configurator/core/ports_window.h"
#include "configurator/core/timeout_window.h"
#include "configurator/qt/about_dialog.h"
#include "configurator/qt/control_view.h"
#include "configurator/qt/icon.h"
#include "configurator/qt/ports_dialog.h"
#include "configurator/qt/qt_text.h"
#include "configurator/qt/select_adapter_dialog.h"
#include "configurator/qt/timeout_dialog.h"

namespace kavex::configurator::qt {
namespace {

QPushButton* Button(const char* text, const char* name, QWidget* parent) {
  auto* button = new QPushButton(text, parent);
  button->setObjectName(name);
  return button;
}

QLabel* Static(const char* name, QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setObjectName(name);
  return label;
}

}  // namespace

MainWindow::MainWindow(std::unique_ptr<MainWindowModel> model,
                       std::unique_ptr<FileDialogs> dialogs, QWidget* parent)
    : QWidget(parent), model_(std::move(model)), dialogs_(std::move(dialogs)) {
  setObjectName("main_window");
  setWindowTitle(kMainCaption);
  setWindowIcon(VeltoIcon());
  report_timer_ = new WindowTimer(this, [this] {
    report_timer_->Stop();
    model_->OnReportTimer();
    Redraw();
  });
  BuildControls();
  BuildLayout();
  // From any thread, under the model's lock: only post the redraw.
  model_->SetChangeCallback([this] { PostRedraw(); });
}

MainWindow::~MainWindow() {
  // The windows opened over this one hold parts of the model: they go
  // first, then the model (which stops capture), then the widgets.
  for (QDialog* child : findChildren<QDialog*>(Qt::FindDirectChildrenOnly))
    delete child;
  model_.reset();
}

void MainWindow::Start(std::u16string_view command_line) {
  model_->Initialize(command_line);
  Redraw();
  if (model_->state().minimized) {
    showMinimized();
  } else {
    show();
  }
}

void MainWindow::PostRedraw() {
  if (redraw_posted_.exchange(true)) return;
  QMetaObject::invokeMethod(
      this,
      [this] {
        redraw_posted_ = false;
        Redraw();
      },
      Qt::QueuedConnection);
}

void MainWindow::BuildControls() {
  auto* menu_bar = new QMenuBar(this);
  menu_bar->setObjectName("menu_bar");
  QMenu* menu = menu_bar->addMenu("&VeltoOPC");
  menu->setObjectName("window_menu");
  timeout_action_ = menu->addAction("Change Timeout Value...");
  timeout_action_->setObjectName("timeout_action");
  menu->addSeparator();
  about_action_ = menu->addAction("&About VeltoOPC...");
  about_action_->setObjectName("about_action");
  connect(timeout_action_, &QAction::triggered, this, [this] { OpenTimeout(); });
  connect(about_action_, &QAction::triggered, this, [this] { OpenAbout(); });

  const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  adapter_box_ = new QComboBox(this);
  adapter_box_->setObjectName("adapter_box");
  adapter_box_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  adapter_box_->setMinimumContentsLength(24);
  status_ = Static("status", this);
  status_->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
  status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  status_->setMinimumHeight(status_->fontMetrics().height() + 8);
  discovered_ = new QListWidget(this);
  discovered_->setObjectName("discovered");
  discovered_->setFont(fixed);
  mapped_header_ = new QLabel(StaticText(kMappedHeader), this);
  mapped_header_->setObjectName("mapped_header");
  mapped_header_->setFont(fixed);
  mapped_ = new QListWidget(this);
  mapped_->setObjectName("mapped");
  mapped_->setFont(fixed);
  switch_hint_ = Static("switch_hint", this);
  switch_hint_->setWordWrap(true);
  model_box_ = new QComboBox(this);
  model_box_->setObjectName("model_box");
  model_box_->setEditable(true);
  model_box_->setInsertPolicy(QComboBox::NoInsert);
  slot_hint_ = Static("slot_hint", this);
  slot_hint_->setWordWrap(true);
  for (int i = 0; i < kMaxSlots; ++i) {
    slot_labels_[i] = Static("", this);
    slot_labels_[i]->setObjectName(QString("slot_label%1").arg(i));
    slot_boxes_[i] = new QComboBox(this);
    slot_boxes_[i]->setObjectName(QString("slot_box%1").arg(i));
    slot_labels_[i]->setBuddy(slot_boxes_[i]);
  }
  map_ = Button("&Map", "map", this);
  unmap_ = Button("&Un-Map Switch", "unmap", this);
  alias_edit_ = new QLineEdit(this);
  alias_edit_->setObjectName("alias_edit");
  alias_edit_->setMaxLength(static_cast<int>(kSwitchAliasLimit));
  alias_edit_->setPlaceholderText("New switch alias");
  rename_ = Button("&Rename", "rename", this);
  details_ = Button("Switch &Details", "switch_details", this);
  string_format_ = new QRadioButton("&String", this);
  string_format_->setObjectName("string_format");
  integer_format_ = new QRadioButton("I&nteger", this);
  integer_format_->setObjectName("integer_format");
  service_notice_ = Static("service_notice", this);
  service_notice_->setWordWrap(true);
  stop_server_ = Button("Stop OPC Server", "stop_server", this);
  import_ = Button("&Import", "import", this);
  export_ = Button("&Export", "export", this);
  // Qt marks mnemonics with "&" as the model's texts do.
  save_close_ = Button("Save && Close", "save_close", this);
  save_close_->setDefault(true);
  close_ = Button("Close, Don't save", "close", this);

  connect(adapter_box_, &QComboBox::activated, this, [this](int index) {
    model_->SelectAdapter(index);
    Redraw();
  });
  connect(discovered_, &QListWidget::currentRowChanged, this, [this](int row) {
    model_->SelectDiscovered(row);
    Redraw();
  });
  connect(mapped_, &QListWidget::currentRowChanged, this, [this](int row) {
    model_->SelectMapped(row);
    Redraw();
  });
  connect(mapped_, &QListWidget::itemDoubleClicked, this,
          [this] { OpenSwitchDetails(); });
  connect(model_box_, &QComboBox::activated, this, [this](int index) {
    model_->SelectModel(index);
    Redraw();
  });
  connect(model_box_, &QComboBox::editTextChanged, this,
          [this](const QString& text) { model_->SetModelText(U16(text)); });
  for (int i = 0; i < kMaxSlots; ++i) {
    connect(slot_boxes_[i], &QComboBox::activated, this, [this, i](int index) {
      model_->SelectSlot(i, index);
      Redraw();
    });
  }
  connect(map_, &QPushButton::clicked, this, [this] {
    model_->Map();
    Redraw();
  });
  connect(unmap_, &QPushButton::clicked, this, [this] {
    model_->UnMap();
    Redraw();
  });
  connect(alias_edit_, &QLineEdit::textEdited, this,
          [this](const QString& text) { model_->SetAliasText(U16(text)); });
  connect(alias_edit_, &QLineEdit::returnPressed, rename_,
          &QPushButton::click);
  connect(rename_, &QPushButton::clicked, this, [this] {
    model_->Rename();
    Redraw();
  });
  connect(details_, &QPushButton::clicked, this,
          [this] { OpenSwitchDetails(); });
  connect(string_format_, &QRadioButton::clicked, this, [this] {
    model_->SetDataFormat(u"String");
    Redraw();
  });
  connect(integer_format_, &QRadioButton::clicked, this, [this] {
    model_->SetDataFormat(u"Integer");
    Redraw();
  });
  connect(stop_server_, &QPushButton::clicked, this, [this] {
    model_->StopServer();
    Redraw();
  });
  connect(import_, &QPushButton::clicked, this, [this] { Import(); });
  connect(export_, &QPushButton::clicked, this, [this] { Export(); });
  connect(save_close_, &QPushButton::clicked, this, [this] {
    model_->SaveAndClose();
    Redraw();
  });
  connect(close_, &QPushButton::clicked, this, [this] {
    model_->CloseWithoutSaving();
    Redraw();
  });
}

void MainWindow::BuildLayout() {
  auto* adapter_label = new QLabel("Selected Network &Card (Adapter)", this);
  adapter_label->setBuddy(adapter_box_);
  auto* adapter_row = new QHBoxLayout;
  adapter_row->addWidget(adapter_label);
  adapter_row->addWidget(adapter_box_, 1);

  // Left: what is heard, and the model to map it to.
  discovered_label_ = new QLabel("Current S&witches", this);
  discovered_label_->setBuddy(discovered_);
  auto* slot_grid = new QGridLayout;
  for (int i = 0; i < kMaxSlots; ++i) {
    slot_grid->addWidget(slot_labels_[i], i / 2, (i % 2) * 2);
    slot_grid->addWidget(slot_boxes_[i], i / 2, (i % 2) * 2 + 1);
  }
  slot_grid->setColumnStretch(1, 1);
  slot_grid->setColumnStretch(3, 1);
  auto* model_row = new QHBoxLayout;
  model_row->addWidget(model_box_, 1);
  model_row->addWidget(map_);
  auto* left = new QVBoxLayout;
  left->addWidget(discovered_label_);
  left->addWidget(discovered_, 1);
  left->addWidget(switch_hint_);
  left->addLayout(model_row);
  left->addWidget(slot_hint_);
  left->addLayout(slot_grid);

  // Right: what is mapped, and what can be done with it.
  auto* mapped_label = new QLabel("Ma&pped Switches", this);
  mapped_label->setBuddy(mapped_);
  auto* rename_row = new QHBoxLayout;
  rename_row->addWidget(alias_edit_, 1);
  rename_row->addWidget(rename_);
  auto* mapped_buttons = new QHBoxLayout;
  mapped_buttons->addWidget(unmap_);
  mapped_buttons->addWidget(details_);
  mapped_buttons->addStretch();
  auto* right = new QVBoxLayout;
  right->addWidget(mapped_label);
  right->addWidget(mapped_header_);
  right->addWidget(mapped_, 1);
  right->addLayout(rename_row);
  right->addLayout(mapped_buttons);

  auto* lists = new QHBoxLayout;
  lists->addLayout(left, 1);
  lists->addSpacing(12);
  lists->addLayout(right, 1);

  auto* format = new QGroupBox("Data Format", this);
  auto* format_layout = new QHBoxLayout(format);
  format_layout->addWidget(string_format_);
  format_layout->addWidget(integer_format_);
  auto* service = new QHBoxLayout;
  service->addWidget(format);
  service->addSpacing(12);
  service->addWidget(service_notice_, 1);
  service->addWidget(stop_server_, 0, Qt::AlignVCenter);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(import_);
  buttons->addWidget(export_);
  buttons->addStretch();
  buttons->addWidget(save_close_);
  buttons->addWidget(close_);

  auto* top = new QVBoxLayout(this);
  top->setMenuBar(findChild<QMenuBar*>("menu_bar"));
  top->addLayout(adapter_row);
  top->addLayout(lists, 1);
  top->addLayout(service);
  top->addWidget(status_);
  top->addLayout(buttons);

  // Tab order: the way an operator maps a switch, then the rest.
  QWidget* order[] = {adapter_box_, discovered_,     model_box_,
                      slot_boxes_[0], slot_boxes_[1], slot_boxes_[2],
                      slot_boxes_[3], map_,           mapped_,
                      alias_edit_,  rename_,         unmap_,
                      details_,     string_format_, integer_format_,
                      stop_server_, import_,         export_,
                      save_close_,  close_};
  for (size_t i = 1; i < std::size(order); ++i)
    setTabOrder(order[i - 1], order[i]);
  resize(1040, 680);
}

void MainWindow::Redraw() {
  if (model_ == nullptr) return;
  const MainWindowState state = model_->state();
  timeout_action_->setEnabled(state.timeout_command_enabled);
  ShowCombo(adapter_box_, state.adapter_box);
  ShowStatic(status_, state.status);
  ShowList(discovered_, state.discovered);
  ShowList(mapped_, state.mapped);
  ShowStatic(switch_hint_, state.switch_hint);
  ShowCombo(model_box_, state.model.model_box);
  ShowStatic(slot_hint_, state.model.slot_hint);
  for (int i = 0; i < kMaxSlots; ++i) {
    ShowStatic(slot_labels_[i], state.model.slot_labels[i]);
    ShowCombo(slot_boxes_[i], state.model.slot_boxes[i]);
  }
  ShowButton(map_, state.map_button);
  ShowEdit(alias_edit_, state.alias_edit);
  if (string_format_->isChecked() != state.string_format_checked)
    string_format_->setChecked(state.string_format_checked);
  if (integer_format_->isChecked() != state.integer_format_checked)
    integer_format_->setChecked(state.integer_format_checked);
  ShowStatic(service_notice_, state.service_notice);
  ShowButton(stop_server_, state.stop_server_button);

  if (state.closed) {
    report_timer_->Stop();
    close();
    return;
  }
  if (state.report_timer_ms != 0 && !report_timer_->active())
    report_timer_->Start(state.report_timer_ms);
}

void MainWindow::closeEvent(QCloseEvent* event) {
  // The window's close box is "Close, Don't save".
  if (!model_->state().closed) model_->CloseWithoutSaving();
  report_timer_->Stop();
  event->accept();
}

void MainWindow::OpenOver(QDialog* dialog) {
  connect(dialog, &QDialog::finished, dialog, &QObject::deleteLater);
  connect(dialog, &QDialog::finished, this, [this] { Redraw(); });
  dialog->open();
}

void MainWindow::OpenSwitchDetails() {
  std::unique_ptr<PortsWindow> ports = model_->OpenSwitchDetails();
  Redraw();
  if (ports == nullptr) return;
  OpenOver(new PortsDialog(std::move(ports), this));
}

void MainWindow::OpenTimeout() {
  std::unique_ptr<TimeoutWindow> timeout = model_->OpenTimeoutWindow();
  if (timeout == nullptr) return;
  OpenOver(new TimeoutDialog(std::move(timeout), this));
}

void MainWindow::OpenAbout() { OpenOver(new AboutDialog(this)); }

void MainWindow::Import() {
  const QString path = dialogs_->OpenFile(
      this, Q(model_->FileDialogDirectory()), kExportFilter);
  if (path.isEmpty()) return;
  std::unique_ptr<ImportWindow> window = model_->OpenImportWindow(U16(path));
  Redraw();
  if (window == nullptr) return;
  OpenOver(new SelectAdapterDialog(std::move(window), this));
}

void MainWindow::Export() {
  const QString path =
      dialogs_->SaveFile(this, Q(model_->FileDialogDirectory()), kExportFilter,
                         kExportExtension);
  if (path.isEmpty()) return;
  model_->Export(U16(path));
  Redraw();
}

}  // namespace kavex::configurator::qt
