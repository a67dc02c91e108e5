// Drawing the models' controls on widgets: only what differs changes, the
// selection follows the model, and no drawing reads as an operator's
// action; static texts show as a static control shows them.
#include "configurator/qt/control_view.h"

#include <gtest/gtest.h>

#include "configurator/qt/testing/qstring_printer.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

#include "configurator/qt/qt_text.h"

namespace kavex::configurator::qt {
namespace {

TEST(QtTextTest, StaticAndButtonTexts) {
  const std::pair<std::u16string, QString> cases[] = {
      {u"Save && Close", "Save & Close"},
      {u"&About VeltoOPC...", "About VeltoOPC..."},
      {u"running!\n\rFor VeltoOPC", "running!\nFor VeltoOPC"},
      {u"a && b & c&&", "a & b  c&"},
      {u"&", ""},
      {u"&&&", "&"},
      {u"", ""},
      {u"\u00c4rger \u65e5\u672c", "\u00c4rger \u65e5\u672c"},
  };
  for (const auto& [text, shown] : cases)
    EXPECT_EQ(StaticText(text), shown) << Q(text).toStdString();
  EXPECT_EQ(ShownText("Save && Close"), "Save & Close");
  EXPECT_EQ(ShownText("Switch &Details"), "Switch Details");
  EXPECT_EQ(U16(Q(u"02.C4.7D  -  \u00e9")), u"02.C4.7D  -  \u00e9");
}

TEST(ControlViewTest, ListFollowsTheModelWithoutActions) {
  QListWidget list;
  int actions = 0;
  QObject::connect(&list, &QListWidget::currentRowChanged, [&] { ++actions; });
  ListControl control(/*sorted=*/true);
  control.Add(u"02.C4.7D.00.00.02");
  control.Add(u"02.C4.7D.00.00.01");
  control.Select(1);
  ShowList(&list, control);
  ASSERT_EQ(list.count(), 2);
  EXPECT_EQ(list.item(0)->text(), "02.C4.7D.00.00.01");
  EXPECT_EQ(list.currentRow(), 1);
  // The same items are not put in again: an item the view holds stays.
  QListWidgetItem* first = list.item(0);
  ShowList(&list, control);
  EXPECT_EQ(list.item(0), first);
  // A new item before the selected one: the selection moves with it.
  control.Add(u"02.C4.7D.00.00.00");
  ShowList(&list, control);
  EXPECT_EQ(list.count(), 3);
  EXPECT_EQ(list.currentRow(), 2);
  control.Select(-1);
  ShowList(&list, control);
  EXPECT_EQ(list.currentRow(), -1);
  EXPECT_TRUE(list.selectedItems().isEmpty());
  control.Clear();
  control.visible = false;
  control.enabled = false;
  ShowList(&list, control);
  EXPECT_EQ(list.count(), 0);
  EXPECT_TRUE(list.isHidden());
  EXPECT_FALSE(list.isEnabled());
  EXPECT_EQ(actions, 0);
}

TEST(ControlViewTest, ComboEditAndStatics) {
  QComboBox box;
  box.setEditable(true);
  int actions = 0;
  QObject::connect(&box, &QComboBox::editTextChanged, [&] { ++actions; });
  QObject::connect(&box, &QComboBox::currentIndexChanged, [&] { ++actions; });
  ComboControl control(/*sorted=*/true);
  control.Add(u"KX-217");
  control.Add(u"KX-108");
  control.Select(1);
  ShowCombo(&box, control);
  EXPECT_EQ(box.count(), 2);
  EXPECT_EQ(box.currentIndex(), 1);
  EXPECT_EQ(box.currentText(), "KX-217");
  // Typed text the model holds shows in the edit.
  control.text = u"KM-414(T4";
  ShowCombo(&box, control);
  EXPECT_EQ(box.currentText(), "KM-414(T4");
  EXPECT_EQ(actions, 0);

  QLineEdit edit;
  TextControl alias{u"Line", true, true};
  ShowEdit(&edit, alias);
  edit.setCursorPosition(2);
  ShowEdit(&edit, alias);  // the same text: the cursor stays
  EXPECT_EQ(edit.cursorPosition(), 2);

  QLabel label;
  ShowStatic(&label, TextControl{u"'Save && Close' must be", false, false});
  EXPECT_EQ(label.text(), "'Save & Close' must be");
  EXPECT_TRUE(label.isHidden());
  EXPECT_FALSE(label.isEnabled());

  QPushButton button("Stop OPC Server");
  ShowButton(&button, TextControl{u"ignored", false, true});
  EXPECT_EQ(button.text(), "Stop OPC Server");
  EXPECT_TRUE(button.isHidden());

  QCheckBox check("Hide Port");
  int toggles = 0;
  QObject::connect(&check, &QCheckBox::toggled, [&] { ++toggles; });
  ShowCheck(&check, CheckControl{true, true, false});
  EXPECT_TRUE(check.isChecked());
  EXPECT_FALSE(check.isEnabled());
  EXPECT_EQ(toggles, 0);
}

}  // namespace
}  // namespace kavex::configurator::qt
