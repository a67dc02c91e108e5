// For the widget tests: the configurator's test set-up (a private registry
// and configuration directory with the shipped catalog, a fake clock, a
// fake service manager, recorded message boxes) with simulated adapters
// instead of a scripted driver, the real main window over them, file
// dialogs the test answers, and screenshots into the build tree.
#ifndef KAVEX_CONFIGURATOR_QT_TESTING_VELTOOPC_FIXTURE_H_
#define KAVEX_CONFIGURATOR_QT_TESTING_VELTOOPC_FIXTURE_H_

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QListWidget>
#include <QTest>
#include <deque>
#include <ostream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "configurator/core/testing/configurator_fixture.h"
#include "configurator/qt/file_dialogs.h"
#include "configurator/qt/main_window.h"
#include "configurator/qt/qt_text.h"
#include "configurator/qt/testing/qstring_printer.h"
#include "configurator/qt/testing/simulated_only_driver.h"
#include "platform/pkio/testing/testing_support.h"
#include "simulator/simulated_adapters.h"

namespace kavex::configurator::qt::testing {

// Two switches of the plant LAN: a KX-108 with an IP address, and a KX-217
// that manages a healthy ring.
inline constexpr char kPlantScenario[] =
    "switch 02.C4.7D.00.00.01 type=1 ip=192.168.1.11 cycle=1000\n"
    "switch 02.C4.7D.00.00.02 type=2 ip=192.168.1.12 ring=1 ringflags=13 "
    "cycle=1000";

// What the test answers the file dialogs with, and what they were asked.
struct FileDialogScript {
  struct Call {
    bool save = false;
    QString directory;
    std::u16string filter;
    std::u16string suffix;
  };
  std::vector<Call> calls;
  std::deque<QString> answers;  // "" cancels; none left cancels too
};

class ScriptedFileDialogs : public FileDialogs {
 public:
  explicit ScriptedFileDialogs(FileDialogScript* script) : script_(script) {}
  QString OpenFile(QWidget*, const QString& directory,
                   std::u16string_view filter) override {
    script_->calls.push_back({false, directory, std::u16string(filter), {}});
    return Next();
  }
  QString SaveFile(QWidget*, const QString& directory,
                   std::u16string_view filter,
                   std::u16string_view suffix) override {
    script_->calls.push_back({true, directory, std::u16string(filter),
                              std::u16string(suffix)});
    return Next();
  }

 private:
  QString Next() {
    if (script_->answers.empty()) return QString();
    QString answer = script_->answers.front();
    script_->answers.pop_front();
    return answer;
  }
  FileDialogScript* script_;
};

class VeltoOpcTest : public configurator::testing::ConfiguratorTest {
 protected:
  void SetUp() override {
    ConfiguratorTest::SetUp();
    Install(configurator::testing::ReadTextFile(KAVEX_SHIPPED_CATALOG));
    DeclareSimulatedAdapter("plant", "Plant LAN", kPlantScenario);
  }

  void TearDown() override {
    window_.reset();
    ConfiguratorTest::TearDown();
  }

  // "\Device\Simulated\<name>" named `description`, hearing `scenario`.
  void DeclareSimulatedAdapter(const std::string& name,
                               const std::string& description,
                               const std::string& scenario) {
    ASSERT_TRUE(pkio::testing::DeclareFrameSourceModule(
        simulator::kFrameSourceValue, KAVEX_SIMULATED_ADAPTERS_MODULE));
    const std::string path = std::string(simulator::kSimulatedKey) + "\\" + name;
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    auto set = [key](const char* value, const std::string& text) {
      ASSERT_EQ(RegSetValueExA(key, value, 0, REG_SZ,
                               reinterpret_cast<const BYTE*>(text.c_str()),
                               static_cast<DWORD>(text.size() + 1)),
                ERROR_SUCCESS);
    };
    set("Scenario", scenario);
    set("Description", description);
    RegCloseKey(key);
  }

  // The main window over the real driver library (its simulated adapters
  // only), started with `command_line`.
  MainWindow& StartWindow(std::u16string_view command_line = u"") {
    MainWindowOptions options = Options();
    options.driver = &simulated_only_;
    window_ = std::make_unique<MainWindow>(
        std::make_unique<MainWindowModel>(options),
        std::make_unique<ScriptedFileDialogs>(&files_));
    window_->Start(command_line);
    return *window_;
  }

  // Waits (30 s at most, events handled meanwhile) until `done`.
  static bool Until(const std::function<bool()>& done) {
    return QTest::qWaitFor(done, 30000);
  }
  // Waits while the fake clock moves on in steps of `step_ms`, until
  // `done` (30 s of real time at most).
  bool UntilAdvancing(const std::function<bool()>& done,
                      uint32_t step_ms = 100) {
    return QTest::qWaitFor(
        [&] {
          if (done()) return true;
          clock_.Advance(step_ms);
          return false;
        },
        30000);
  }

  template <class T>
  T* Find(const char* name, QObject* parent = nullptr) {
    return (parent != nullptr ? parent : window_.get())
        ->findChild<T*>(QString::fromLatin1(name));
  }

  static QStringList Items(const QListWidget* list) {
    QStringList items;
    for (int i = 0; i < list->count(); ++i) items << list->item(i)->text();
    return items;
  }
  // Every label's text under `parent`.
  static QStringList LabelTexts(const QWidget* parent) {
    QStringList texts;
    for (const QLabel* label : parent->findChildren<QLabel*>())
      texts << label->text();
    return texts;
  }

  static void Click(QAbstractButton* button) {
    ASSERT_NE(button, nullptr);
    ASSERT_TRUE(button->isVisible() && button->isEnabled())
        << button->objectName().toStdString();
    QTest::mouseClick(button, Qt::LeftButton);
  }

  // Saves a picture of `widget` as screenshots/<name>.png in the build tree.
  static void Screenshot(QWidget* widget, const QString& name) {
    QDir().mkpath(KAVEX_SCREENSHOT_DIR);
    QApplication::processEvents();
    EXPECT_TRUE(widget->grab().save(QString(KAVEX_SCREENSHOT_DIR) + "/" +
                                    name + ".png"));
  }

  SimulatedOnlyDriver simulated_only_;
  FileDialogScript files_;
  std::unique_ptr<MainWindow> window_;
};

}  // namespace kavex::configurator::qt::testing

#endif  // KAVEX_CONFIGURATOR_QT_TESTING_VELTOOPC_FIXTURE_H_
