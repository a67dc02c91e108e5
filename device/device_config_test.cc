#include "device/device_config.h"

#include <string>
#include <vector>

#include "device/testing/device_config_fixture.h"
#include "device/testing/scripted_packet_driver.h"
#include "gtest/gtest.h"
#include "platform/log/logger.h"
#include "platform/registry/configuration_path.h"

namespace kavex::device {
namespace {

constexpr char kEth0[] = "\\Device\\eth0";

// One ADAPTER element per argument, inside ROOT.
std::string Document(const std::string& adapters,
                     const std::string& format = "String") {
  return "<?xml version=\"1.0\"?>\n<ROOT DataFormat=\"" + format +
         "\" Version=\"1.0\">" + adapters + "</ROOT>\n";
}

std::string Switch(const std::string& alias, const std::string& ports,
                   const std::string& extra = "") {
  return "<SWITCH Address=\"02.C4.7D.00.00.01\" Alias=\"" + alias +
         "\" Model=\"T8\" Type=\"1\" " + extra + ">" + ports + "</SWITCH>";
}

// The registry value as the device reads it: with its 512 bytes.
bool ReadConfigurationPath(std::string* path) {
  return registry::ReadConfigurationPath(kMaxConfigurationPathBytes, path) ==
         ERROR_SUCCESS;
}

class ConfigurationPathTest : public DeviceConfigFixture {};

TEST_F(ConfigurationPathTest, ValueRules) {
  std::string path;
  EXPECT_FALSE(ReadConfigurationPath(&path)) << "no key";

  SetPathValue(REG_SZ, std::string("/etc/kavex/a.xml\0", 17));
  ASSERT_TRUE(ReadConfigurationPath(&path));
  EXPECT_EQ(path, "/etc/kavex/a.xml");

  // Expandable values are used as stored.
  SetPathValue(REG_EXPAND_SZ, std::string("%CONF%/a.xml\0", 13));
  ASSERT_TRUE(ReadConfigurationPath(&path));
  EXPECT_EQ(path, "%CONF%/a.xml");

  SetPathValue(REG_SZ, "/etc/kavex/a.xml");  // stored without its NUL
  EXPECT_FALSE(ReadConfigurationPath(&path));
  SetPathValue(REG_SZ, std::string());
  EXPECT_FALSE(ReadConfigurationPath(&path));
  SetPathValue(REG_BINARY, std::string("/a.xml\0", 7));
  EXPECT_FALSE(ReadConfigurationPath(&path));
  SetPathValue(REG_DWORD, std::string("\1\0\0\0", 4));
  EXPECT_FALSE(ReadConfigurationPath(&path));

  // 512 bytes with the NUL is the longest accepted.
  SetPathValue(REG_SZ, std::string(511, 'a') + '\0');
  ASSERT_TRUE(ReadConfigurationPath(&path));
  EXPECT_EQ(path.size(), 511u);
  SetPathValue(REG_SZ, std::string(512, 'a') + '\0');
  EXPECT_FALSE(ReadConfigurationPath(&path));

  // A NUL inside would cut the path short; an empty path names nothing.
  SetPathValue(REG_SZ, std::string("/etc/kavex\0/a.xml\0", 18));
  EXPECT_FALSE(ReadConfigurationPath(&path));
  SetPathValue(REG_SZ, std::string("\0", 1));
  EXPECT_FALSE(ReadConfigurationPath(&path));
}

// A refused value fails the start-up, and says so once, naming the value,
// however many adapters the driver reports.
TEST_F(ConfigurationPathTest, RefusedValueIsLoggedOnce) {
  struct Case {
    std::string bytes;
    const char* reason;
  };
  const Case cases[] = {
      {std::string("/srv/kavex\0/config.xml\0", 23),
       "holds a NUL at byte 10 of 23"},
      {std::string("\0", 1), "is empty"},
      {std::string(600, 'a') + '\0',
       "is 601 bytes, more than the 512 it may have"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    log::Recorder recorder;
    log::ScopedSink sink(recorder.sink());
    SetPathValue(REG_SZ, c.bytes);
    ScriptedPacketDriver driver;
    driver.adapters = {"\\Device\\eth0", "\\Device\\eth1"};
    AdapterEntry entry;
    std::string format;
    EXPECT_FALSE(SelectCaptureAdapter(&driver, &entry, &format));
    const std::vector<log::Recorder::Line> lines = recorder.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, log::Level::kError);
    EXPECT_EQ(lines[0].category, "device");
    EXPECT_EQ(lines[0].message,
              std::string("\"Configuration File\" under "
                          "HKEY_LOCAL_MACHINE\\SOFTWARE\\Kavex OPC ") +
                  c.reason + ": the configuration is not loaded");
  }
}

TEST(ParsePortNumberTest, DecimalTextKeptAsLowByte) {
  EXPECT_EQ(ParsePortNumber("3"), 3);
  EXPECT_EQ(ParsePortNumber("300"), 44);
  EXPECT_EQ(ParsePortNumber("  +7"), 7);
  EXPECT_EQ(ParsePortNumber("-1"), 255);
  EXPECT_EQ(ParsePortNumber("12abc"), 12);
  EXPECT_EQ(ParsePortNumber("abc"), 0);
  EXPECT_EQ(ParsePortNumber(""), 0);
  EXPECT_EQ(ParsePortNumber("-"), 0);
  // Far beyond 32 bits: wraps instead of overflowing; the low byte of
  // 99999999999999999999 is 0xFF.
  EXPECT_EQ(ParsePortNumber("99999999999999999999"), 0xFF);
}

class LoadConfigurationTest : public DeviceConfigFixture {
 protected:
  bool Load(const std::string& xml, AdapterEntry* entry,
            const std::string& ndis_name = kEth0) {
    InstallConfiguration(xml);
    entry->ndis_name = ndis_name;
    return LoadConfiguration(entry, &data_format_);
  }
  std::string data_format_;
};

TEST_F(LoadConfigurationTest, ReadsSwitchesAndPortsInDocumentOrder) {
  AdapterEntry entry;
  ASSERT_TRUE(Load(
      Document(
          "<ADAPTER Name=\"\\Device\\eth0\" Active=\"Yes\" Timeout=\"7\">" +
              Switch("SW1",
                     "<Port Number=\"2\" Alias=\"Uplink\"/>"
                     "<Port Number=\"300\" Alias=\"Wrapped\"/>"
                     "<Port Number=\"4\" Alias=\"Off\" Disabled=\"Yes\"/>"
                     "<Port Number=\"5\" Alias=\"Lower\" Disabled=\"yes\"/>",
                     "Ports=\"99\" Exists=\"No\"") +
              "<SWITCH Address=\"02.C4.7D.00.00.02\" Alias=\"SW2\" "
              "Model=\"T26\" Type=\"3\"><Port Number=\"1\" Alias=\"A\"/>"
              "</SWITCH></ADAPTER>",
          "Integer"),
      &entry));
  EXPECT_EQ(data_format_, "Integer");
  EXPECT_TRUE(entry.active);
  EXPECT_EQ(entry.timeout_seconds, 7u);
  ASSERT_EQ(entry.switches.size(), 2u);
  const SwitchRecord& sw1 = entry.switches[0];
  EXPECT_EQ(sw1.address, "02.C4.7D.00.00.01");
  EXPECT_EQ(sw1.alias, "SW1");
  EXPECT_EQ(sw1.model, "T8");
  EXPECT_EQ(sw1.type_code, 1);
  // The disabled port is dropped; "yes" in lower case is not "Yes".
  ASSERT_EQ(sw1.ports.size(), 3u);
  EXPECT_EQ(sw1.ports[0].number, 2);
  EXPECT_EQ(sw1.ports[0].number_text, "2");
  EXPECT_EQ(sw1.ports[0].alias, "Uplink");
  EXPECT_EQ(sw1.ports[1].number, 44);
  EXPECT_EQ(sw1.ports[1].number_text, "300");
  EXPECT_EQ(sw1.ports[2].alias, "Lower");
  // The configured count is the "TotalPorts" text ("Ports" changes
  // nothing); the number itself waits for the switch's first frame.
  EXPECT_EQ(SwitchTextSlot(sw1, sw1.live, kSwitchTotalPortsSlot), "3");
  EXPECT_EQ(sw1.live.total_ports, 0u);
  EXPECT_TRUE(sw1.ports[0].live.stale);
  EXPECT_EQ(entry.switches[1].type_code, 3);
  EXPECT_EQ(entry.switches[1].alias, "SW2");
}

TEST_F(LoadConfigurationTest, TimeoutZeroAbsentOrUnreadableGivesTwenty) {
  for (const char* timeout :
       {"Timeout=\"0\"", "", "Timeout=\"soon\"", "Timeout=\"-5\""}) {
    AdapterEntry entry;
    entry.timeout_seconds = 99;
    ASSERT_TRUE(Load(Document(std::string("<ADAPTER Name=\"\\Device\\eth0\" "
                                          "Active=\"Yes\" ") +
                              timeout + ">" + Switch("S", "") + "</ADAPTER>"),
                     &entry));
    EXPECT_EQ(entry.timeout_seconds, 20u) << timeout;
    EXPECT_TRUE(entry.active);
  }
}

TEST_F(LoadConfigurationTest, FirstMatchingAdapterDecides) {
  // The first "\Device\eth0" is inactive: the active duplicate is not used.
  AdapterEntry entry;
  ASSERT_TRUE(Load(
      Document("<ADAPTER Name=\"\\Device\\eth0\" Active=\"No\">" +
               Switch("A", "") +
               "</ADAPTER><ADAPTER Name=\"\\Device\\eth0\" Active=\"Yes\">" +
               Switch("B", "") + "</ADAPTER>"),
      &entry));
  EXPECT_FALSE(entry.active);
  EXPECT_TRUE(entry.switches.empty());

  // Names without a backslash, or differing in letter case, never match.
  for (const char* name : {"eth0", "\\device\\ETH0", "\\Device\\eth0 "}) {
    AdapterEntry other;
    ASSERT_TRUE(
        Load(Document(std::string("<ADAPTER Name=\"") + name +
                      "\" Active=\"Yes\">" + Switch("A", "") + "</ADAPTER>"),
             &other, name[0] == 'e' ? "eth0" : kEth0));
    EXPECT_FALSE(other.active) << name;
  }

  // "yes" in lower case does not activate.
  AdapterEntry lower;
  ASSERT_TRUE(Load(Document("<ADAPTER Name=\"\\Device\\eth0\" Active=\"yes\">" +
                            Switch("A", "") + "</ADAPTER>"),
                   &lower));
  EXPECT_FALSE(lower.active);

  // Active without any SWITCH: treated as not active.
  AdapterEntry empty;
  ASSERT_TRUE(Load(
      Document("<ADAPTER Name=\"\\Device\\eth0\" Active=\"Yes\"></ADAPTER>"),
      &empty));
  EXPECT_FALSE(empty.active);
}

TEST_F(LoadConfigurationTest, BadFilesFail) {
  AdapterEntry entry;
  entry.ndis_name = kEth0;
  std::string format;
  // Registry points at a file that is not there.
  SetPathValue(REG_SZ, root_.dir() + "/missing.xml" + '\0');
  EXPECT_FALSE(LoadConfiguration(&entry, &format));

  for (const char* text :
       {"", "<ROOT", "<ROOT></ADAPTER>", "not xml at all", "\xFF\xFE\x00"}) {
    InstallConfiguration(text);
    EXPECT_FALSE(LoadConfiguration(&entry, &format)) << text;
    EXPECT_FALSE(entry.active);
  }
  // A directory is not a file.
  SetPathValue(REG_SZ, root_.dir() + '\0');
  EXPECT_FALSE(LoadConfiguration(&entry, &format));
}

// An alias is repeated in every item identifier of its switch or port: one
// far beyond what the configurator writes is refused, and the refusal names
// the file and the element.
TEST_F(LoadConfigurationTest, OverlongAliasesAreRefused) {
  auto adapter = [](const std::string& switches) {
    return Document("<ADAPTER Name=\"\\Device\\eth0\" Active=\"Yes\">" +
                    switches + "</ADAPTER>");
  };
  // 255 characters, counted as characters: 255 of U+00E9 are 510 bytes.
  std::string e_acute;
  for (int i = 0; i < 255; ++i) e_acute += "\xC3\xA9";
  const std::string longest(255, 'S');
  {
    AdapterEntry entry;
    ASSERT_TRUE(Load(adapter(Switch(longest, "<Port Number=\"1\" Alias=\"" +
                                                 e_acute + "\"/>")),
                     &entry));
    ASSERT_EQ(entry.switches.size(), 1u);
    EXPECT_EQ(entry.switches[0].alias, longest);
    EXPECT_EQ(entry.switches[0].ports.at(0).alias, e_acute);
  }

  struct Case {
    const char* what;
    std::string switches;
    std::string element;
    size_t length;
    char shown;  // the alias's character
  };
  const std::string huge(1 << 20, 'H');
  const Case cases[] = {
      {"switch alias one too long", Switch("A", "") + Switch(longest + "S", ""),
       "SWITCH 2 (Address \"02.C4.7D.00.00.01\")", 256, 'S'},
      {"port alias one too long",
       Switch("A",
              "<Port Number=\"1\" Alias=\"P1\"/>"
              "<Port Number=\"2\" Alias=\"" +
                  std::string(256, 'P') + "\"/>"),
       "Port 2 (Number \"2\") of SWITCH 1 (Address \"02.C4.7D.00.00.01\")", 256,
       'P'},
      {"a megabyte", Switch(huge, ""),
       "SWITCH 1 (Address \"02.C4.7D.00.00.01\")", huge.size(), 'H'},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    log::Recorder recorder;
    log::ScopedSink sink(recorder.sink());
    AdapterEntry entry;
    EXPECT_FALSE(Load(adapter(c.switches), &entry));
    EXPECT_FALSE(entry.active);
    EXPECT_TRUE(entry.switches.empty());
    const std::vector<log::Recorder::Line> lines = recorder.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].category, "device");
    const std::string path = root_.dir() + "/Kavex OPC.xml";
    EXPECT_EQ(lines[0].message,
              "configuration file '" + path + "': " + c.element +
                  " has an alias of " + std::to_string(c.length) +
                  " characters (\"" + std::string(40, c.shown) +
                  "...\"), more than the 255 an alias may have; the "
                  "configuration is not loaded");
  }

  // What the device does not load is not refused: a disabled port, an
  // adapter that is not this one.
  AdapterEntry entry;
  ASSERT_TRUE(Load(Document("<ADAPTER Name=\"\\Device\\eth1\" Active=\"Yes\">" +
                            Switch(huge, "") +
                            "</ADAPTER><ADAPTER Name=\"\\Device\\eth0\" "
                            "Active=\"Yes\">" +
                            Switch("A", "<Port Number=\"1\" Alias=\"" + huge +
                                            "\" Disabled=\"Yes\"/>") +
                            "</ADAPTER>"),
                   &entry));
  EXPECT_TRUE(entry.active);
  EXPECT_TRUE(entry.switches.at(0).ports.empty());
}

class SelectCaptureAdapterTest : public DeviceConfigFixture {
 protected:
  ScriptedPacketDriver driver_;
  AdapterEntry entry_;
  std::string format_;
};

TEST_F(SelectCaptureAdapterTest, TakesFirstBoundAdapterThatIsActive) {
  InstallConfiguration(Document(
      "<ADAPTER Name=\"\\Device\\eth1\" Active=\"Yes\">" + Switch("B", "") +
      "</ADAPTER><ADAPTER Name=\"\\Device\\eth2\" Active=\"Yes\">" +
      Switch("C", "") + "</ADAPTER>"));
  driver_.adapters = {"\\Device\\eth0", "", "\\Device\\eth2", "\\Device\\eth1"};
  ASSERT_TRUE(SelectCaptureAdapter(&driver_, &entry_, &format_));
  EXPECT_EQ(entry_.ndis_name, "\\Device\\eth2");
  EXPECT_EQ(entry_.switches.at(0).alias, "C");
  EXPECT_EQ(format_, "String");
  // Every entry taken from the enumeration is given back.
  EXPECT_EQ(driver_.released_entries, driver_.open_entries);
  EXPECT_EQ(driver_.open_entries, 3);  // stopped at the active one
}

TEST_F(SelectCaptureAdapterTest, FailsWithoutActiveAdapterOrConfiguration) {
  driver_.adapters = {"\\Device\\eth0"};
  EXPECT_FALSE(SelectCaptureAdapter(&driver_, &entry_, &format_))
      << "no registry value";

  InstallConfiguration(
      Document("<ADAPTER Name=\"\\Device\\eth9\" Active=\"Yes\">" +
               Switch("A", "") + "</ADAPTER>"));
  EXPECT_FALSE(SelectCaptureAdapter(&driver_, &entry_, &format_));
  EXPECT_FALSE(entry_.active);

  driver_.adapters = std::vector<std::string>{};
  EXPECT_FALSE(SelectCaptureAdapter(&driver_, &entry_, &format_));

  driver_.fail_enumeration = true;
  EXPECT_FALSE(SelectCaptureAdapter(&driver_, &entry_, &format_));
  EXPECT_EQ(driver_.released_entries, driver_.open_entries);
}

TEST_F(SelectCaptureAdapterTest, LongAdapterNamesAreCutTo259Characters) {
  const std::string long_name = "\\Device\\" + std::string(300, 'x');
  InstallConfiguration(Document("<ADAPTER Name=\"" + long_name.substr(0, 259) +
                                "\" Active=\"Yes\">" + Switch("A", "") +
                                "</ADAPTER>"));
  driver_.adapters = {long_name};
  ASSERT_TRUE(SelectCaptureAdapter(&driver_, &entry_, &format_));
  EXPECT_EQ(entry_.ndis_name.size(), 259u);
}

}  // namespace
}  // namespace kavex::device
