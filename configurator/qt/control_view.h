// Draws the window models' controls (configurator/core/controls.h) on Qt
// widgets. Each call changes only what differs, with the widget's signals
// blocked, so that drawing never reads as an operator's action and a
// redraw does not disturb what the operator is editing.
#ifndef KAVEX_CONFIGURATOR_QT_CONTROL_VIEW_H_
#define KAVEX_CONFIGURATOR_QT_CONTROL_VIEW_H_

#include <QAbstractButton>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>

#include "configurator/core/controls.h"

namespace kavex::configurator::qt {

// A static: its text as a static control shows it, visible, enabled.
void ShowStatic(QLabel* label, const TextControl& control);
// A button keeps its own (mnemonic-marked) text; visible and enabled.
void ShowButton(QAbstractButton* button, const TextControl& control);
void ShowCheck(QAbstractButton* box, const CheckControl& control);
// An edit: its text only when the model's differs from what it holds.
void ShowEdit(QLineEdit* edit, const TextControl& control);
// Items (replaced when they differ), the selection, visible and enabled.
void ShowList(QListWidget* list, const ListControl& control);
// Items, the selection and, for an editable box, its edit text.
void ShowCombo(QComboBox* box, const ComboControl& control);

}  // namespace kavex::configurator::qt

#endif  // KAVEX_CONFIGURATOR_QT_CONTROL_VIEW_H_
