// The main window driven through its widgets over simulated adapters:
// start-up, switches heard appearing in the list, auto-selection, mapping,
// renaming, the data format, closing with and without saving, import and
// export through the file dialogs, and report mode.
#include "configurator/qt/main_window.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <filesystem>
#include <fstream>

#include "configurator/core/import_export.h"
#include "configurator/qt/testing/veltoopc_fixture.h"
#include "configurator/qt/select_adapter_dialog.h"

namespace kavex::configurator::qt {
namespace {

using configurator::testing::ReadTextFile;

class QtMainWindowTest : public testing::VeltoOpcTest {
 protected:
  QListWidget* Discovered() { return Find<QListWidget>("discovered"); }
  QListWidget* Mapped() { return Find<QListWidget>("mapped"); }
  QLabel* Status() { return Find<QLabel>("status"); }

  // Waits until both plant switches are listed as heard, the clock moving
  // on meanwhile so that they report.
  void HearThePlant() {
    ASSERT_TRUE(UntilAdvancing([&] { return Discovered()->count() == 2; }))
        << Items(Discovered()).join(", ").toStdString() << "; status "
        << Status()->text().toStdString();
  }

  // Selects the heard switch `row` and maps it to the model auto-selected.
  void MapHeard(int row) {
    Discovered()->setCurrentRow(row);
    Click(Find<QPushButton>("map"));
  }
};

TEST_F(QtMainWindowTest, ShowsEveryControlAtStartUp) {
  DeclareSimulatedAdapter("spare", "Spare LAN", "");
  MainWindow& window = StartWindow();
  EXPECT_EQ(window.windowTitle(), "VeltoOPC");
  EXPECT_TRUE(window.isVisible());
  EXPECT_FALSE(window.isMinimized());

  // The buttons show the model's texts; Qt's "&" marks a mnemonic.
  const std::pair<const char*, const char*> buttons[] = {
      {"save_close", "Save & Close"},   {"close", "Close, Don't save"},
      {"import", "Import"},             {"export", "Export"},
      {"map", "Map"},                   {"unmap", "Un-Map Switch"},
      {"rename", "Rename"},             {"switch_details", "Switch Details"},
      {"stop_server", "Stop OPC Server"}};
  for (const auto& [name, text] : buttons) {
    QPushButton* button = Find<QPushButton>(name);
    ASSERT_NE(button, nullptr) << name;
    EXPECT_EQ(ShownText(button->text()), text) << name;
  }
  EXPECT_EQ(ShownText(Find<QRadioButton>("string_format")->text()), "String");
  EXPECT_EQ(ShownText(Find<QRadioButton>("integer_format")->text()),
            "Integer");
  EXPECT_TRUE(Find<QRadioButton>("string_format")->isChecked());
  EXPECT_FALSE(Find<QRadioButton>("integer_format")->isChecked());
  EXPECT_EQ(Find<QLabel>("mapped_header")->text(),
            "          Switch               -  Alias Name");
  const QStringList labels = LabelTexts(&window);
  for (const char* label :
       {"Selected Network Card (Adapter)", "Current Switches"}) {
    EXPECT_TRUE(labels.contains(label) ||
                [&] {
                  for (const QString& text : labels)
                    if (ShownText(text) == label) return true;
                  return false;
                }())
        << label;
  }
  EXPECT_EQ(Find<QLineEdit>("alias_edit")->maxLength(), 35);

  // The sorted adapter box; the first entry selected and capturing.
  QComboBox* adapters = Find<QComboBox>("adapter_box");
  ASSERT_EQ(adapters->count(), 2);
  EXPECT_EQ(adapters->itemText(0), "Plant LAN");
  EXPECT_EQ(adapters->itemText(1), "Spare LAN");
  EXPECT_EQ(adapters->currentText(), "Plant LAN");
  EXPECT_TRUE(window.model().capturing());

  // Nothing heard yet: no model box, no Map button; no service to stop.
  EXPECT_TRUE(Find<QComboBox>("model_box")->isHidden());
  EXPECT_TRUE(Find<QPushButton>("map")->isHidden());
  EXPECT_TRUE(Find<QPushButton>("stop_server")->isHidden());
  EXPECT_EQ(Find<QLabel>("service_notice")->text(),
            StaticText(ServiceNotice(ServiceCheck::kNotFound)));

  // The window menu: the time-out command (enabled with an adapter) and
  // About.
  QAction* timeout = Find<QAction>("timeout_action");
  QAction* about = Find<QAction>("about_action");
  ASSERT_NE(timeout, nullptr);
  ASSERT_NE(about, nullptr);
  EXPECT_EQ(timeout->text(), "Change Timeout Value...");
  EXPECT_EQ(about->text(), "&About VeltoOPC...");
  EXPECT_TRUE(timeout->isEnabled());
  Screenshot(&window, "main_window_start");
}

// Keyboard use: Tab walks the controls in the order an operator maps a
// switch; a label's mnemonic reaches its control.
TEST_F(QtMainWindowTest, KeyboardReachesTheControls) {
  MainWindow& window = StartWindow();
  HearThePlant();
  window.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  auto* adapters = Find<QComboBox>("adapter_box");
  adapters->setFocus();
  ASSERT_TRUE(Until([&] { return adapters->hasFocus(); }));
  QTest::keyClick(&window, Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), Discovered());
  QTest::keyClick(&window, Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), Find<QComboBox>("model_box"));
  QTest::keyClick(&window, Qt::Key_C, Qt::AltModifier);
  EXPECT_EQ(QApplication::focusWidget(), adapters);
  QTest::keyClick(&window, Qt::Key_P, Qt::AltModifier);
  EXPECT_EQ(QApplication::focusWidget(), Mapped());
  // Tabbing into the list chose its first switch; a button's mnemonic
  // presses it (shown pressed a moment first): Alt+M maps that switch.
  EXPECT_EQ(Discovered()->currentRow(), 0);
  QTest::keyClick(&window, Qt::Key_M, Qt::AltModifier);
  ASSERT_TRUE(Until([&] { return Mapped()->count() == 1; }));
  EXPECT_TRUE(Mapped()->item(0)->text().startsWith("02.C4.7D.00.00.01  -  "));
  EXPECT_TRUE(Boxes().empty());
}

TEST_F(QtMainWindowTest, WithoutAdaptersTheTimeoutCommandIsGreyed) {
  RegDeleteTreeA(HKEY_LOCAL_MACHINE, simulator::kSimulatedKey);
  MainWindow& window = StartWindow();
  EXPECT_EQ(Find<QComboBox>("adapter_box")->count(), 0);
  EXPECT_FALSE(Find<QAction>("timeout_action")->isEnabled());
  EXPECT_EQ(Status()->text(), "Nothing is selected");
  Click(Find<QPushButton>("save_close"));
  EXPECT_TRUE(Until([&] { return !window.isVisible(); }));
  const std::string file = ReadTextFile(config_path_);
  EXPECT_NE(file.find("<ROOT"), std::string::npos);
  EXPECT_EQ(file.find("ADAPTER"), std::string::npos);
}

TEST_F(QtMainWindowTest, HeardSwitchesAreAutoSelectedMappedAndRenamed) {
  fake_service_.AddUnit(service::kServerUnitName,
                        service::ActiveState::kInactive);
  MainWindow& window = StartWindow();
  // Frames arrive on the capture thread; the list follows by itself.
  HearThePlant();
  EXPECT_EQ(Items(Discovered()),
            (QStringList{"02.C4.7D.00.00.01", "02.C4.7D.00.00.02"}));
  QComboBox* model_box = Find<QComboBox>("model_box");
  EXPECT_TRUE(Until([&] { return !model_box->isHidden(); }));
  EXPECT_FALSE(Find<QPushButton>("map")->isHidden());
  EXPECT_EQ(Find<QLabel>("service_notice")->text(), "");

  // Choosing a heard switch selects the model it reports.
  Discovered()->setCurrentRow(1);
  EXPECT_EQ(Status()->text(),
            "Configuration For Switch '02.C4.7D.00.00.02' Has Been "
            "Auto-Selected.");
  EXPECT_EQ(model_box->currentText(), "KX-217");
  EXPECT_EQ(window.model().current_model(), u"KX-217");
  Click(Find<QPushButton>("map"));
  ASSERT_EQ(Mapped()->count(), 1);
  EXPECT_TRUE(Mapped()->item(0)->text().startsWith("02.C4.7D.00.00.02  -  "))
      << Mapped()->item(0)->text().toStdString();
  MapHeard(0);
  ASSERT_EQ(Mapped()->count(), 2);
  EXPECT_EQ(Items(Mapped()), [&] {
    QStringList lines;
    const MainWindowState state = window.model().state();
    for (const auto& line : state.mapped.items()) lines << Q(line);
    return lines;
  }());

  // Renaming: the edit takes 35 characters at most; forbidden characters
  // are refused with the model's message.
  QLineEdit* alias = Find<QLineEdit>("alias_edit");
  Mapped()->setCurrentRow(0);
  QTest::keyClicks(alias, "SW-1");
  Click(Find<QPushButton>("rename"));
  EXPECT_EQ(Boxes().back(),
            "Velto OPC: '.', '-' and Spaces are not allowed in the alias name");
  alias->clear();
  QTest::keyClicks(alias, QString(40, u'L'));
  EXPECT_EQ(alias->text(), QString(35, u'L'));
  EXPECT_EQ(window.model().state().alias_edit.text, std::u16string(35, u'L'));
  alias->clear();
  QTest::keyClicks(alias, "Line");
  QTest::keyClick(alias, Qt::Key_Return);  // as "Rename"
  EXPECT_TRUE(Items(Mapped()).contains("02.C4.7D.00.00.01  -  Line"))
      << Items(Mapped()).join(", ").toStdString();

  // The data format radios.
  Click(Find<QRadioButton>("integer_format"));
  EXPECT_EQ(window.model().data_format(), u"Integer");
  EXPECT_FALSE(Find<QRadioButton>("string_format")->isChecked());

  Mapped()->setCurrentRow(Items(Mapped()).indexOf("02.C4.7D.00.00.01  -  Line"));
  Screenshot(&window, "main_window_mapped");

  // Un-Map removes the selected one.
  const int line = Items(Mapped()).indexOf("02.C4.7D.00.00.01  -  Line");
  ASSERT_GE(line, 0);
  Mapped()->setCurrentRow(line == 0 ? 1 : 0);
  Click(Find<QPushButton>("unmap"));
  EXPECT_EQ(Items(Mapped()), QStringList{"02.C4.7D.00.00.01  -  Line"});

  // Save & Close writes the mapping and closes the window.
  Click(Find<QPushButton>("save_close"));
  EXPECT_TRUE(Until([&] { return !window.isVisible(); }));
  EXPECT_EQ(window.model().state().end_result, IDOK);
  const std::string file = ReadTextFile(config_path_);
  EXPECT_NE(file.find("Address=\"02.C4.7D.00.00.01\""), std::string::npos)
      << file;
  EXPECT_NE(file.find("Alias=\"Line\""), std::string::npos);
  EXPECT_EQ(file.find("02.C4.7D.00.00.02"), std::string::npos);
  EXPECT_NE(file.find("DataFormat=\"Integer\""), std::string::npos);
}

// A modular switch reports its modules: the slot boxes show them, with
// their labels, and the switch maps with that configuration.
TEST_F(QtMainWindowTest, ModularSwitchShowsItsSlots) {
  DeclareSimulatedAdapter("plant", "Plant LAN",
                          "switch 02.C4.7D.00.00.07 type=4");
  MainWindow& window = StartWindow();
  ASSERT_TRUE(UntilAdvancing([&] { return Discovered()->count() == 1; }));
  Discovered()->setCurrentRow(0);
  EXPECT_EQ(Find<QComboBox>("model_box")->currentText(), "KM-414");
  EXPECT_FALSE(Find<QLabel>("slot_hint")->isHidden());
  const MainWindowState state = window.model().state();
  int shown = 0;
  for (int i = 0; i < kMaxSlots; ++i) {
    auto* label = Find<QLabel>(("slot_label" + std::to_string(i)).c_str());
    auto* box = Find<QComboBox>(("slot_box" + std::to_string(i)).c_str());
    ASSERT_NE(label, nullptr);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(label->isHidden(), !state.model.slot_labels[i].visible) << i;
    EXPECT_EQ(box->isHidden(), !state.model.slot_boxes[i].visible) << i;
    if (box->isHidden()) continue;
    ++shown;
    EXPECT_EQ(label->text(), QString("Slot ") + QChar(u'A' + i));
    EXPECT_EQ(box->currentText(), Q(state.model.slot_boxes[i].text)) << i;
    EXPECT_FALSE(box->currentText().isEmpty()) << i;
  }
  EXPECT_GE(shown, 2);
  Screenshot(&window, "main_window_slots");
  Click(Find<QPushButton>("map"));
  ASSERT_EQ(Mapped()->count(), 1);
  EXPECT_TRUE(Mapped()->item(0)->text().startsWith("02.C4.7D.00.00.07  -  "));
}

TEST_F(QtMainWindowTest, ClosingWithoutSavingWritesNothing) {
  MainWindow& window = StartWindow();
  HearThePlant();
  MapHeard(0);
  ASSERT_EQ(Mapped()->count(), 1);
  // The window's close box is "Close, Don't save".
  window.close();
  EXPECT_FALSE(window.isVisible());
  EXPECT_TRUE(window.model().state().closed);
  EXPECT_EQ(window.model().state().end_result, IDCANCEL);
  EXPECT_FALSE(std::filesystem::exists(config_path_));
}

TEST_F(QtMainWindowTest, MapPrerequisitesAreMessageBoxes) {
  StartWindow();
  HearThePlant();
  Click(Find<QPushButton>("map"));
  EXPECT_EQ(Boxes().back(), "Kavex OPC View: Select switch MAC address to map.");
  Click(Find<QPushButton>("switch_details"));
  EXPECT_EQ(Boxes().back(), "Velto OPC. Switch details.: Nothing is selected");
  // No window opened.
  EXPECT_EQ(Find<QDialog>("ports_dialog"), nullptr);
}

TEST_F(QtMainWindowTest, AnotherAdapterIsListenedTo) {
  DeclareSimulatedAdapter("spare", "Spare LAN",
                          "switch 02.C4.7D.00.00.09 type=3");
  MainWindow& window = StartWindow();
  HearThePlant();
  QComboBox* adapters = Find<QComboBox>("adapter_box");
  adapters->setCurrentIndex(1);
  Q_EMIT adapters->activated(1);
  EXPECT_TRUE(UntilAdvancing([&] {
    return Items(Discovered()) == QStringList{"02.C4.7D.00.00.09"};
  })) << Items(Discovered()).join(", ").toStdString();
  EXPECT_TRUE(window.model().adapters()[1].active);
}

TEST_F(QtMainWindowTest, ExportAndImportThroughTheFileDialogs) {
  MainWindow& window = StartWindow();
  HearThePlant();
  MapHeard(0);
  MapHeard(1);
  ASSERT_EQ(Mapped()->count(), 2);

  // A cancelled dialog does nothing.
  Click(Find<QPushButton>("export"));
  ASSERT_EQ(files_.calls.size(), 1u);
  EXPECT_TRUE(files_.calls[0].save);
  EXPECT_EQ(files_.calls[0].filter, kExportFilter);
  EXPECT_EQ(files_.calls[0].suffix, u".KavexExp");
  EXPECT_EQ(files_.calls[0].directory, QString::fromStdString(dir_));
  EXPECT_EQ(QtFilter(files_.calls[0].filter),
            "Config Files (*.KavexExp);;All Files (*)");

  const std::string exported = dir_ + "/plant.KavexExp";
  files_.answers.push_back(QString::fromStdString(exported));
  Click(Find<QPushButton>("export"));
  const std::string file = ReadTextFile(exported);
  EXPECT_NE(file.find("02.C4.7D.00.00.01"), std::string::npos) << file;
  EXPECT_EQ(file.find("Timeout"), std::string::npos);

  // Un-map both, then import them back.
  for (int i = 0; i < 2; ++i) {
    Mapped()->setCurrentRow(0);
    Click(Find<QPushButton>("unmap"));
  }
  ASSERT_EQ(Mapped()->count(), 0);
  Click(Find<QPushButton>("import"));  // cancelled
  EXPECT_EQ(Find<QDialog>("select_adapter_dialog"), nullptr);
  EXPECT_FALSE(files_.calls.back().save);
  EXPECT_EQ(files_.calls.back().filter, kExportFilter);

  files_.answers.push_back(QString::fromStdString(exported));
  Click(Find<QPushButton>("import"));
  auto* select = Find<SelectAdapterDialog>("select_adapter_dialog");
  ASSERT_NE(select, nullptr);
  EXPECT_EQ(select->windowTitle(), "Select Adapter");
  EXPECT_TRUE(select->isModal());
  auto* imported = Find<QListWidget>("imported", select);
  auto* current = Find<QListWidget>("current", select);
  EXPECT_EQ(Items(imported), QStringList{"Plant LAN"});
  EXPECT_EQ(Items(current), QStringList{"Plant LAN"});
  Screenshot(select, "select_adapter");
  // Without both selections: the model's message, the window stays.
  Click(Find<QPushButton>("import", select));
  EXPECT_EQ(Boxes().back(),
            "VeltoOPC: You must select both Imported and Current adapters "
            "for import operation.");
  EXPECT_TRUE(select->isVisible());
  imported->setCurrentRow(0);
  current->setCurrentRow(0);
  boxes_.QueueAnswer(IDYES);
  Click(Find<QPushButton>("import", select));
  EXPECT_EQ(Boxes().back().rfind("VeltoOPC: This import operation", 0), 0u);
  EXPECT_TRUE(Until(
      [&] { return Find<QDialog>("select_adapter_dialog") == nullptr; }));
  EXPECT_EQ(Mapped()->count(), 2);
  EXPECT_EQ(window.model().adapters()[0].switches.size(), 2u);
}

TEST_F(QtMainWindowTest, AnImportFileThatIsNotOneSaysSo) {
  StartWindow();
  std::ofstream(dir_ + "/bad.KavexExp") << "not <xml";
  files_.answers.push_back(QString::fromStdString(dir_ + "/bad.KavexExp"));
  Click(Find<QPushButton>("import"));
  EXPECT_EQ(Status()->text(), Q(kNotAnImportFile));
  auto* select = Find<QDialog>("select_adapter_dialog");
  ASSERT_NE(select, nullptr);
  EXPECT_EQ(Find<QListWidget>("imported", select)->count(), 0);
  Click(Find<QPushButton>("cancel", select));
  EXPECT_TRUE(Until(
      [&] { return Find<QDialog>("select_adapter_dialog") == nullptr; }));
}

// Started with the adapter's name and 'report': minimised, it listens 7 s
// on the model's clock, writes "Report.txt" and closes by itself.
TEST_F(QtMainWindowTest, ReportModeWritesTheReportAndCloses) {
  WriteConfiguration(
      "<ROOT DataFormat=\"String\"><ADAPTER Name=\"\\Device\\Simulated\\plant\""
      " Timeout=\"20\"><SWITCH Model=\"KX-108\" Address=\"02.C4.7D.00.00.01\""
      " Alias=\"Line\" Type=\"1\"/></ADAPTER></ROOT>");
  MainWindow& window = StartWindow(u"'plant lan' 'report'");
  EXPECT_TRUE(window.isMinimized());
  EXPECT_TRUE(window.model().report_mode());
  // Heard well before the report is due, however slow the machine: the
  // clock stands until capture has posted its reads (frames before that
  // are not kept), then moves on slowly, 3 s at most.
  ASSERT_TRUE(Until([&] {
    return window.model().capture().posted_reads() == kCaptureReads;
  }));
  uint32_t advanced = 0;
  ASSERT_TRUE(Until([&] {
    if (Discovered()->count() == 2) return true;
    if (advanced < 3000) {
      clock_.Advance(50);
      advanced += 50;
    }
    return false;
  }));
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/Report.txt"));
  EXPECT_TRUE(window.isVisible());
  ASSERT_TRUE(UntilAdvancing([&] { return !window.isVisible(); }, 250));
  const std::string report = ReadTextFile(dir_ + "/Report.txt");
  EXPECT_EQ(report.rfind("\t\tActive Switches\n\n\t", 0), 0u) << report;
  const std::string line = "M\n\n02.C4.7D.00.00.01 - Line\n";
  ASSERT_GT(report.size(), line.size());
  EXPECT_EQ(report.substr(report.size() - line.size()), line) << report;
  EXPECT_TRUE(window.model().state().closed);
}

TEST_F(QtMainWindowTest, AboutBox) {
  MainWindow& window = StartWindow();
  Find<QAction>("about_action")->trigger();
  auto* about = Find<QDialog>("about_dialog");
  ASSERT_NE(about, nullptr);
  EXPECT_EQ(about->windowTitle(), "About VeltoOPC");
  EXPECT_EQ(Find<QLabel>("version", about)->text(),
            QString("VeltoOPC Version ") + KAVEX_VERSION);
  EXPECT_EQ(QString(KAVEX_VERSION), "10.4.0");
  Screenshot(about, "about");
  QPushButton* ok = nullptr;
  for (QPushButton* button : about->findChildren<QPushButton*>())
    if (button->text() == "OK") ok = button;
  Click(ok);
  EXPECT_TRUE(Until([&] { return Find<QDialog>("about_dialog") == nullptr; }));
  EXPECT_TRUE(window.isVisible());
}

}  // namespace
}  // namespace kavex::configurator::qt
