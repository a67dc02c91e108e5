#include "configurator/qt/control_view.h"

#include <QSignalBlocker>

#include "configurator/qt/qt_text.h"

namespace kavex::configurator::qt {
namespace {

void ShowFlags(QWidget* widget, bool visible, bool enabled) {
  // A widget of a window not yet shown is not visible either: compare with
  // what it was told, not with what shows.
  if (widget->isHidden() == visible) widget->setVisible(visible);
  if (widget->isEnabled() != enabled) widget->setEnabled(enabled);
}

}  // namespace

void ShowStatic(QLabel* label, const TextControl& control) {
  const QString text = StaticText(control.text);
  if (label->text() != text) label->setText(text);
  ShowFlags(label, control.visible, control.enabled);
}

void ShowButton(QAbstractButton* button, const TextControl& control) {
  ShowFlags(button, control.visible, control.enabled);
}

void ShowCheck(QAbstractButton* box, const CheckControl& control) {
  const QSignalBlocker block(box);
  if (box->isChecked() != control.checked) box->setChecked(control.checked);
  ShowFlags(box, control.visible, control.enabled);
}

void ShowEdit(QLineEdit* edit, const TextControl& control) {
  const QSignalBlocker block(edit);
  const QString text = Q(control.text);
  if (edit->text() != text) edit->setText(text);
  ShowFlags(edit, control.visible, control.enabled);
}

void ShowList(QListWidget* list, const ListControl& control) {
  const QSignalBlocker block(list);
  bool same = list->count() == static_cast<int>(control.size());
  for (int i = 0; same && i < list->count(); ++i)
    same = list->item(i)->text() == Q(control.item(i));
  if (!same) {
    list->clear();
    for (const std::u16string& item : control.items()) list->addItem(Q(item));
  }
  if (list->currentRow() != control.selection()) {
    list->setCurrentRow(control.selection());
    if (control.selection() < 0) list->clearSelection();
  }
  ShowFlags(list, control.visible, control.enabled);
}

void ShowCombo(QComboBox* box, const ComboControl& control) {
  const QSignalBlocker block(box);
  bool same = box->count() == static_cast<int>(control.size());
  for (int i = 0; same && i < box->count(); ++i)
    same = box->itemText(i) == Q(control.item(i));
  if (!same) {
    box->clear();
    for (const std::u16string& item : control.items()) box->addItem(Q(item));
  }
  if (box->currentIndex() != control.selection())
    box->setCurrentIndex(control.selection());
  if (box->isEditable() && box->currentText() != Q(control.text))
    box->setEditText(Q(control.text));
  ShowFlags(box, control.visible, control.enabled);
}

}  // namespace kavex::configurator::qt
