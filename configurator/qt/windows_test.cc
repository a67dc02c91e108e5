// The windows opened over the main window, driven through their widgets:
// the ports window, the two live views on their one-second timers (the
// fake clock moving them), and the time-out window's bounds.
#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>

#include "configurator/core/counters_window.h"
#include "configurator/qt/counters_dialog.h"
#include "configurator/qt/details_dialog.h"
#include "configurator/qt/ports_dialog.h"
#include "configurator/qt/testing/veltoopc_fixture.h"
#include "configurator/qt/timeout_dialog.h"

namespace kavex::configurator::qt {
namespace {

class QtWindowsTest : public testing::VeltoOpcTest {
 protected:
  // Hears the plant, maps every switch heard as auto-selected and opens
  // the ports window of `address`.
  PortsDialog* OpenPorts(const QString& address, int switches = 2) {
    StartWindow();
    auto* discovered = Find<QListWidget>("discovered");
    auto* mapped = Find<QListWidget>("mapped");
    EXPECT_TRUE(
        UntilAdvancing([&] { return discovered->count() == switches; }));
    for (int row = 0; row < discovered->count(); ++row) {
      discovered->setCurrentRow(row);
      Click(Find<QPushButton>("map"));
    }
    EXPECT_EQ(mapped->count(), switches);
    for (int row = 0; row < mapped->count(); ++row) {
      if (mapped->item(row)->text().startsWith(address)) {
        mapped->setCurrentRow(row);
        // The first click of the double click selects, the second opens.
        const QPoint at = mapped->visualItemRect(mapped->item(row)).center();
        QTest::mouseClick(mapped->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(mapped->viewport(), Qt::LeftButton, {}, at);
      }
    }
    PortsDialog* ports = Find<PortsDialog>("ports_dialog");
    if (ports == nullptr) {
      for (const std::string& box : Boxes()) ADD_FAILURE() << box;
    }
    return ports;
  }
};

TEST_F(QtWindowsTest, PortsWindowRenamesAndHidesPorts) {
  PortsDialog* ports = OpenPorts("02.C4.7D.00.00.01");
  ASSERT_NE(ports, nullptr);
  EXPECT_EQ(ports->windowTitle(), "Ports");
  EXPECT_TRUE(ports->isModal());
  EXPECT_EQ(Find<QLabel>("adapter", ports)->text(), "Plant LAN");
  EXPECT_EQ(Find<QLabel>("switch_alias", ports)->text(), "KX108_000001");
  auto* list = Find<QListWidget>("ports", ports);
  auto* hide = Find<QCheckBox>("hide_port", ports);
  auto* alias = Find<QLineEdit>("port_alias", ports);
  EXPECT_EQ(alias->maxLength(), 24);
  EXPECT_FALSE(hide->isEnabled());
  // Mapped, so heard: its ports are listed; the views open once the
  // window's timer has seen it.
  ASSERT_GT(list->count(), 2);
  EXPECT_NE(list->item(0)->text(), "Please wait for update.");
  auto* view_ports = Find<QPushButton>("view_ports", ports);
  auto* view_switch = Find<QPushButton>("view_switch", ports);
  EXPECT_TRUE(UntilAdvancing([&] { return view_ports->isEnabled(); }));
  EXPECT_TRUE(view_switch->isEnabled());

  // Hide the second port.
  const QString second = list->item(1)->text();
  list->setCurrentRow(1);
  EXPECT_TRUE(hide->isEnabled());
  EXPECT_FALSE(hide->isChecked());
  QTest::keyClick(hide, Qt::Key_Space);
  EXPECT_EQ(list->item(1)->text(), ">>>HIDDEN  - " + second);
  EXPECT_EQ(list->currentRow(), 1);

  // Rename the first; an alias in use and forbidden characters are
  // refused with the model's messages.
  list->setCurrentRow(0);
  EXPECT_FALSE(hide->isChecked());
  QTest::keyClicks(alias, second);
  Click(Find<QPushButton>("rename_port", ports));
  EXPECT_EQ(Boxes().back(),
            "Velto OPC: There is already such a port alias. Port aliases "
            "must be unique on one switch.");
  alias->clear();
  QTest::keyClicks(alias, "Feeder.1");
  Click(Find<QPushButton>("rename_port", ports));
  EXPECT_EQ(Boxes().back(),
            "Velto OPC: '.', '-' and Spaces are not allowed in the alias name");
  alias->clear();
  QTest::keyClicks(alias, QString(30, u'F'));
  EXPECT_EQ(alias->text().size(), 24);
  alias->clear();
  QTest::keyClicks(alias, "Feeder");
  QTest::keyClick(alias, Qt::Key_Return);  // as ">>"
  EXPECT_EQ(list->item(0)->text(), "Feeder");
  Screenshot(ports, "ports");

  const std::vector<ConfigAdapter> adapters = window_->model().adapters();
  const ConfigSwitch& sw = adapters[0].switches[0];
  EXPECT_EQ(sw.ports[0].alias, u"Feeder");
  EXPECT_TRUE(sw.ports[1].hidden);

  // Closing it lets the main window map again.
  Click(Find<QPushButton>("close", ports));
  EXPECT_TRUE(Until([&] { return Find<QDialog>("ports_dialog") == nullptr; }));
  Find<QListWidget>("discovered")->setCurrentRow(0);
  boxes_.QueueAnswer(IDNO);
  Click(Find<QPushButton>("map"));
  EXPECT_EQ(Boxes().back().rfind("Velto OPC: You are trying to map a switch "
                                 "that has been mapped before.",
                                 0),
            0u);
}

TEST_F(QtWindowsTest, PortCountersShowALivePort) {
  PortsDialog* ports = OpenPorts("02.C4.7D.00.00.02");
  ASSERT_NE(ports, nullptr);
  auto* view_ports = Find<QPushButton>("view_ports", ports);
  ASSERT_TRUE(UntilAdvancing([&] { return view_ports->isEnabled(); }));
  Click(view_ports);
  auto* counters = Find<CountersDialog>("counters_dialog", ports);
  ASSERT_NE(counters, nullptr);
  EXPECT_EQ(counters->windowTitle(), "Port Counters");
  EXPECT_TRUE(counters->isModal());

  // Every counter has its label; the usage bar runs from 0 to 100.
  const QStringList labels = LabelTexts(counters);
  for (const CounterLabel& counter : kCounterLabels)
    EXPECT_TRUE(labels.contains(Q(counter.label))) << Q(counter.label).toStdString();
  for (const char* label :
       {"Usage:   0", "100 %", "Switch: ", "Port:", "IP Address:",
        "Z-Ring Version:", "Z-Ring Manager:", "Z-Ring Member:",
        "Z-Ring State:"}) {
    EXPECT_TRUE(labels.contains(label)) << label;
  }
  auto* bar = Find<QProgressBar>("usage_bar", counters);
  EXPECT_EQ(bar->minimum(), 0);
  EXPECT_EQ(bar->maximum(), 100);
  auto* tx_octets = Find<QLabel>("counter1026", counters);
  ASSERT_NE(tx_octets, nullptr);
  EXPECT_EQ(tx_octets->text(), "NA");

  // A port chosen: its values follow the frames, on the window's timer.
  auto* list = Find<QListWidget>("ports", counters);
  ASSERT_TRUE(UntilAdvancing([&] {
    return list->count() > 0 && list->item(0)->text() != "Please wait for update.";
  }));
  list->setCurrentRow(0);
  auto* link = Find<QLabel>("link", counters);
  ASSERT_TRUE(UntilAdvancing([&] { return link->text() == "Up"; }));
  EXPECT_EQ(Find<QLabel>("speed", counters)->text(), "100 Mbps");
  EXPECT_EQ(Find<QLabel>("duplex", counters)->text(), "Full");
  EXPECT_EQ(Find<QLabel>("enabled", counters)->text(), "Yes");
  EXPECT_EQ(Find<QLabel>("port", counters)->text(), list->item(0)->text());
  // The counters count up and the usage settles near the scenario's load.
  ASSERT_TRUE(UntilAdvancing([&] {
    return tx_octets->text() != "NA" && tx_octets->text() != "0" &&
           bar->value() > 0;
  }));
  bool number = false;
  tx_octets->text().toUInt(&number);
  EXPECT_TRUE(number) << tx_octets->text().toStdString();
  EXPECT_LE(bar->value(), 100);
  EXPECT_TRUE(Find<QLabel>("usage", counters)->text().contains('.'));
  // The switch's IP address and its ring: manager of a healthy ring.
  EXPECT_EQ(Find<QLabel>("ip_address", counters)->text(), "192.168.1.12");
  EXPECT_FALSE(Find<QLabel>("ip_address", counters)->isHidden());
  EXPECT_EQ(Find<QLabel>("ring_version", counters)->text(), "1");
  EXPECT_EQ(Find<QLabel>("ring_manager", counters)->text(), "Yes");
  EXPECT_EQ(Find<QLabel>("ring_member", counters)->text(), "No");
  EXPECT_EQ(Find<QLabel>("ring_state", counters)->text(), "Ok");
  Screenshot(counters, "port_counters");

  Click(Find<QPushButton>("close", counters));
  EXPECT_TRUE(
      Until([&] { return Find<QDialog>("counters_dialog") == nullptr; }));
  EXPECT_TRUE(ports->isVisible());
}

// A switch that falls silent turns "Offline" once the adapter's time-out
// (20 s) has passed on the model's clock.
TEST_F(QtWindowsTest, SwitchDetailsListThePortsAndTurnOffline) {
  DeclareSimulatedAdapter(
      "plant", "Plant LAN",
      "switch 02.C4.7D.00.00.01 type=1 ip=192.168.1.11 down=3 "
      "silent=6000:");
  PortsDialog* ports = OpenPorts("02.C4.7D.00.00.01", 1);
  ASSERT_NE(ports, nullptr);
  auto* view_switch = Find<QPushButton>("view_switch", ports);
  ASSERT_TRUE(UntilAdvancing([&] { return view_switch->isEnabled(); }));
  Click(view_switch);
  auto* details = Find<DetailsDialog>("details_dialog", ports);
  ASSERT_NE(details, nullptr);
  EXPECT_EQ(details->windowTitle(), "Switch Details");
  const QStringList labels = LabelTexts(details);
  for (const char* header : {"Ports:", "Link", "Speed", "Duplex"})
    EXPECT_TRUE(labels.contains(header)) << header;

  auto* list = Find<QListWidget>("ports", details);
  auto* link = Find<QListWidget>("link", details);
  auto* speed = Find<QListWidget>("speed", details);
  auto* duplex = Find<QListWidget>("duplex", details);
  EXPECT_EQ(list->selectionMode(), QAbstractItemView::NoSelection);
  // Eight ports side by side, the third one down.
  ASSERT_TRUE(UntilAdvancing([&] {
    return list->count() == 8 && Items(link).count("Up") == 7 &&
           Items(link).count("Down") == 1;
  })) << Items(link).join(",").toStdString();
  EXPECT_EQ(link->item(2)->text(), "Down");
  EXPECT_EQ(speed->item(2)->text(), "N/A");
  EXPECT_EQ(speed->item(0)->text(), "100");
  EXPECT_EQ(duplex->item(0)->text(), "Full");
  EXPECT_EQ(Find<QLabel>("switch_alias", details)->text(), "KX108_000001");
  EXPECT_EQ(Find<QLabel>("ip_address", details)->text(), "192.168.1.11");
  // No ring: its pairs are hidden.
  EXPECT_TRUE(Find<QLabel>("ring_version", details)->isHidden());
  Screenshot(details, "switch_details");

  ASSERT_TRUE(UntilAdvancing(
      [&] {
        return Find<QLabel>("switch_alias", details)->text() == "Offline";
      },
      500));
  EXPECT_EQ(Items(list), QStringList{"No port information available"});
  EXPECT_EQ(link->count(), 0);
  EXPECT_TRUE(Find<QLabel>("ip_address", details)->isHidden());
  Click(Find<QPushButton>("close", details));
  EXPECT_TRUE(Until([&] { return Find<QDialog>("details_dialog") == nullptr; }));
}

TEST_F(QtWindowsTest, TimeoutWindowTakesTwentyToFifteenHundred) {
  StartWindow();
  Find<QAction>("timeout_action")->trigger();
  auto* timeout = Find<TimeoutDialog>("timeout_dialog");
  ASSERT_NE(timeout, nullptr);
  EXPECT_EQ(timeout->windowTitle(), "Change Timeout Value");
  EXPECT_TRUE(LabelTexts(timeout).contains(
      "'Save & Close' must be selected for any\nchanges here to be saved."));
  auto* value = Find<QLineEdit>("timeout_value", timeout);
  auto* ok = Find<QPushButton>("ok", timeout);
  EXPECT_EQ(value->text(), "20");
  EXPECT_TRUE(ok->isEnabled());
  Screenshot(timeout, "timeout");
  const std::pair<const char*, bool> cases[] = {
      {"19", false}, {"20", true},   {"1500", true}, {"1501", false},
      {"", false},   {"0020", true}, {"99999999", false}};
  for (const auto& [text, enabled] : cases) {
    value->clear();
    QTest::keyClicks(value, text);
    EXPECT_EQ(value->text(), text);
    EXPECT_EQ(ok->isEnabled(), enabled) << text;
  }
  // Digits only.
  value->clear();
  QTest::keyClicks(value, "4x-5");
  EXPECT_EQ(value->text(), "45");
  // "OK" does nothing while disabled; enabled, it takes the value.
  value->clear();
  QTest::keyClicks(value, "1501");
  QTest::keyClick(value, Qt::Key_Return);
  EXPECT_NE(Find<QDialog>("timeout_dialog"), nullptr);
  value->clear();
  QTest::keyClicks(value, "1500");
  Click(ok);
  EXPECT_TRUE(Until([&] { return Find<QDialog>("timeout_dialog") == nullptr; }));
  EXPECT_EQ(window_->model().adapters()[0].timeout, 1500u);

  // Cancel leaves it.
  Find<QAction>("timeout_action")->trigger();
  timeout = Find<TimeoutDialog>("timeout_dialog");
  ASSERT_NE(timeout, nullptr);
  value = Find<QLineEdit>("timeout_value", timeout);
  EXPECT_EQ(value->text(), "1500");
  value->clear();
  QTest::keyClicks(value, "30");
  Click(Find<QPushButton>("cancel", timeout));
  EXPECT_TRUE(Until([&] { return Find<QDialog>("timeout_dialog") == nullptr; }));
  EXPECT_EQ(window_->model().adapters()[0].timeout, 1500u);
}

}  // namespace
}  // namespace kavex::configurator::qt
