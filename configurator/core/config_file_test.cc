#include "configurator/core/config_file.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/registry/configuration_path.h"
#include "platform/registry/registry.h"
#include "platform/sync/clock.h"
#include "platform/text/utf.h"

namespace kavex::configurator {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A private registry and directory per test.
class ConfigFileTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/config-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    std::filesystem::create_directory(dir_ + "/registry");
    setenv("KAVEX_REGISTRY_ROOT", (dir_ + "/registry").c_str(), 1);
    path_ = dir_ + "/KavexOPC.xml";
  }
  void TearDown() override {
    unsetenv("KAVEX_REGISTRY_ROOT");
    std::filesystem::remove_all(dir_);
  }

  void RegisterPath(const std::string& path) {
    HKEY key = nullptr;
    ASSERT_EQ(
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, registry::kConfigurationKey, 0,
                        nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
        ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, registry::kConfigurationValue, 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(path.c_str()),
                             static_cast<DWORD>(path.size() + 1)),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }

  void WriteConfig(const std::string& xml) { std::ofstream(path_) << xml; }

  ConfigAdapter Load(const std::u16string& ndis_name,
                     const std::vector<std::u16string>& models = {}) {
    ConfigAdapter adapter;
    adapter.ndis_name = ndis_name;
    std::u16string format;
    EXPECT_TRUE(LoadAdapterConfigurationFile(text::Utf8ToUtf16(path_), &adapter,
                                             models, &format));
    return adapter;
  }

  std::string dir_;
  std::string path_;
};

std::vector<ConfigAdapter> SampleMapping() {
  std::vector<ConfigAdapter> adapters(3);
  adapters[0] = {u"Intel Ethernet", u"\\Device\\eth0", true, 45, {}};
  adapters[1] = {
      u"Realtek Gigabit Ünïcode", u"\\Device\\enp3s0", false, 20, {}};
  adapters[2] = {u"Spare", u"\\Device\\eth9", false, 1500, {}};
  for (int s = 0; s < 3; ++s) {
    ConfigSwitch sw;
    sw.address = u"02.C4.7D.1A.2B.3" + std::u16string(1, u'A' + s);
    sw.alias = u"Halle_Süd_" + std::u16string(1, u'0' + s);
    sw.model = s == 2 ? u"" : u"VX-8(A1,B,C2)";
    sw.type = static_cast<BYTE>(10 + s);
    for (int p = 1; p <= 4; ++p)
      sw.ports.push_back(
          ConfigPort{static_cast<BYTE>(p * 3),
                     p == 2 ? u"" : u"Port_北_" + std::u16string(1, u'0' + p),
                     p == 3, p != 4});
    adapters[s == 2 ? 1 : 0].switches.push_back(sw);
  }
  return adapters;
}

void ExpectSameStoredFields(const ConfigAdapter& got,
                            const ConfigAdapter& want) {
  EXPECT_EQ(got.timeout, want.timeout);
  ASSERT_EQ(got.switches.size(), want.switches.size());
  for (size_t s = 0; s < want.switches.size(); ++s) {
    const ConfigSwitch& g = got.switches[s];
    const ConfigSwitch& w = want.switches[s];
    EXPECT_EQ(g.address, w.address);
    EXPECT_EQ(g.alias, w.alias);
    EXPECT_EQ(g.model, w.model);
    EXPECT_EQ(g.type, w.type);
    EXPECT_EQ(g.runtime_type, w.type);
    EXPECT_FALSE(g.heard);
    ASSERT_EQ(g.ports.size(), w.ports.size());
    for (size_t p = 0; p < w.ports.size(); ++p) {
      EXPECT_EQ(g.ports[p].number, w.ports[p].number);
      EXPECT_EQ(g.ports[p].alias, w.ports[p].alias);
      EXPECT_EQ(g.ports[p].hidden, w.ports[p].hidden);
      EXPECT_EQ(g.ports[p].exists, w.ports[p].exists);
    }
  }
}

TEST_F(ConfigFileTest, SavedMappingLoadsBackPerAdapter) {
  const std::vector<ConfigAdapter> saved = SampleMapping();
  SYSTEMTIME t{2016, 7, 1, 4, 15, 5, 9, 0};
  std::u16string error;
  ASSERT_EQ(SaveConfigurationFile(text::Utf8ToUtf16(path_), saved, u"Integer",
                                  t, true, &error),
            S_OK);
  EXPECT_EQ(error, u"");
  for (const ConfigAdapter& want : saved) {
    ConfigAdapter got;
    got.ndis_name = want.ndis_name;
    std::u16string format;
    ASSERT_TRUE(LoadAdapterConfigurationFile(text::Utf8ToUtf16(path_), &got, {},
                                             &format));
    EXPECT_EQ(format, u"Integer");
    ExpectSameStoredFields(got, want);
  }
  // The adapter name is matched ignoring case.
  ConfigAdapter upper = Load(u"\\DEVICE\\ETH0");
  EXPECT_EQ(upper.switches.size(), 2u);
}

TEST_F(ConfigFileTest, FileHasTheExactElementsAndAttributeOrder) {
  std::vector<ConfigAdapter> adapters(1);
  adapters[0] = {u"Intel", u"\\Device\\eth0", true, 30, {}};
  ConfigSwitch sw{u"02.C4.7D.00.00.01", u"SW_000001", u"VX", 7, {}};
  sw.ports.push_back(ConfigPort{1, u"P1", false, true});
  adapters[0].switches.push_back(sw);
  SYSTEMTIME t{2016, 7, 1, 4, 15, 5, 9, 0};
  std::u16string error;
  ASSERT_EQ(SaveConfigurationFile(text::Utf8ToUtf16(path_), adapters, u"String",
                                  t, true, &error),
            S_OK);
  const std::string text = ReadFile(path_);
  EXPECT_EQ(text.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>", 0), 0u);
  for (const char* expected :
       {"<ROOT LastModified=\"07/04/2016 03:05:09 PM\" Copyright=\"",
        "\" Version=\"10.4.0\" DataFormat=\"String\">",
        "<ADAPTER Name=\"\\Device\\eth0\" Description=\"Intel\" Active=\"Yes\" "
        "Timeout=\"30\">",
        "<SWITCH Model=\"VX\" Address=\"02.C4.7D.00.00.01\" "
        "Alias=\"SW_000001\" "
        "Type=\"7\">",
        "<Port Number=\"1\" Alias=\"P1\" Disabled=\"No\" Exists=\"Yes\" />"})
    EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n"
                                                      << text;

  // Export files leave out the time-out.
  ASSERT_EQ(SaveConfigurationFile(text::Utf8ToUtf16(path_), adapters, u"String",
                                  t, false, &error),
            S_OK);
  EXPECT_EQ(ReadFile(path_).find("Timeout"), std::string::npos);
}

TEST_F(ConfigFileTest, NoAdaptersWritesRootWithItsFourAttributes) {
  SYSTEMTIME t{2016, 7, 1, 4, 15, 5, 9, 0};
  std::u16string error;
  ASSERT_EQ(SaveConfigurationFile(text::Utf8ToUtf16(path_), {}, u"String", t,
                                  true, &error),
            S_OK);
  xmldoc::CXDocument document;
  document.Load(text::Utf8ToUtf16(path_).c_str());
  ASSERT_EQ(document.Valid(), 1);
  xmldoc::CXNode root = document.SelectSingleNode(u"ROOT");
  for (const char16_t* name :
       {u"LastModified", u"Copyright", u"Version", u"DataFormat"})
    EXPECT_EQ(root.GetAttribute(name).Valid(), 1);
  EXPECT_EQ(root.SelectNodes(u"*").Length(), 0);
}

TEST_F(ConfigFileTest, AdapterMatchingRules) {
  WriteConfig(
      "<ROOT DataFormat=\"\">"
      "<ADAPTER Name=\"eth0\" Timeout=\"99\"><SWITCH Alias=\"x\"/></ADAPTER>"
      "<ADAPTER Name=\"\\eth1\" Timeout=\"99\"><SWITCH Alias=\"x\"/></ADAPTER>"
      "<ADAPTER Name=\"\\Device\\ETH2\" Active=\"No\" Timeout=\"0\">"
      "<SWITCH Alias=\"first\"/></ADAPTER>"
      "<ADAPTER Name=\"\\device\\eth2\" Timeout=\"77\">"
      "<SWITCH Alias=\"second\"/></ADAPTER>"
      "<ADAPTER Name=\"\\Device\\eth3\"><SWITCH Alias=\"s\"/></ADAPTER>"
      "</ROOT>");
  ConfigAdapter adapter;
  adapter.ndis_name = u"eth0";
  adapter.timeout = 55;
  std::u16string format;
  ASSERT_TRUE(LoadAdapterConfigurationFile(text::Utf8ToUtf16(path_), &adapter,
                                           {}, &format));
  EXPECT_EQ(format, u"String");  // empty reads as String
  EXPECT_TRUE(adapter.switches.empty());
  EXPECT_EQ(adapter.timeout, 55u);  // untouched without a match
  EXPECT_TRUE(Load(u"\\eth1").switches.empty());

  // Only the first of two same-named adapters counts; Timeout 0 is 20.
  ConfigAdapter eth2 = Load(u"\\Device\\eth2");
  ASSERT_EQ(eth2.switches.size(), 1u);
  EXPECT_EQ(eth2.switches[0].alias, u"first");
  EXPECT_EQ(eth2.timeout, 20u);
  EXPECT_EQ(Load(u"\\Device\\eth3").timeout, 20u);  // absent
}

TEST_F(ConfigFileTest, SwitchAndPortFieldsFollowTheReadingRules) {
  WriteConfig(
      "<ROOT><ADAPTER Name=\"\\Device\\eth0\">"
      "<SWITCH Address=\"02.C4.7D.00.00.01\" Alias=\"Hall_VX_000001\" "
      "Type=\"300\" Ports=\"99\">"
      "<Port Number=\"300\" Alias=\"a\" Disabled=\"yes\" Exists=\"YES\"/>"
      "<Port Number=\" 5\" Disabled=\"Yes\" Exists=\"Yes\"/>"
      "</SWITCH>"
      "<SWITCH Alias=\"VX_000002\" Type=\"9\"/>"
      "</ADAPTER></ROOT>");
  ConfigAdapter adapter = Load(u"\\Device\\eth0", {u"RX", u"VX"});
  ASSERT_EQ(adapter.switches.size(), 2u);
  const ConfigSwitch& first = adapter.switches[0];
  EXPECT_EQ(first.model, u"VX");  // from the alias
  EXPECT_EQ(first.type, 0);       // 300 does not fit a byte
  ASSERT_EQ(first.ports.size(), 2u);
  EXPECT_EQ(first.ports[0].number, 44);
  EXPECT_FALSE(first.ports[0].hidden);  // "yes" is not "Yes"
  EXPECT_FALSE(first.ports[0].exists);
  EXPECT_EQ(first.ports[1].number, 5);
  EXPECT_EQ(first.ports[1].alias, u"");
  EXPECT_TRUE(first.ports[1].hidden);
  EXPECT_TRUE(first.ports[1].exists);
  EXPECT_EQ(adapter.switches[1].model, u"");  // alias starts with the model
  EXPECT_EQ(adapter.switches[1].type, 9);
}

TEST_F(ConfigFileTest, RegistryPathDrivesSaveAndLoad) {
  std::vector<ConfigAdapter> adapters = SampleMapping();
  std::u16string status, format;
  EXPECT_FALSE(SaveConfiguration(adapters, u"String", &status));
  EXPECT_EQ(status, kNoSwitchesMapped);
  EXPECT_FALSE(std::filesystem::exists(path_));
  ConfigAdapter adapter;
  adapter.ndis_name = u"\\Device\\eth0";
  EXPECT_FALSE(LoadAdapterConfiguration(&adapter, {}, &format, &status));
  EXPECT_EQ(status, kNoSwitchesMapped);

  RegisterPath(path_);
  // Not there yet, or not well-formed: nothing mapped, no switches.
  EXPECT_FALSE(LoadAdapterConfiguration(&adapter, {}, &format, &status));
  WriteConfig("<ROOT><ADAPTER");
  EXPECT_FALSE(LoadAdapterConfiguration(&adapter, {}, &format, &status));
  EXPECT_EQ(status, kNoSwitchesMapped);
  EXPECT_TRUE(adapter.switches.empty());

  // "LastModified" is the local time of the installed clock.
  setenv("TZ", "UTC", 1);
  tzset();
  SYSTEMTIME when{2016, 7, 1, 4, 15, 5, 9, 0};
  FILETIME ft;
  ASSERT_TRUE(SystemTimeToFileTime(&when, &ft));
  sync::FakeClock clock(1000, FileTimeToUInt64(ft));
  sync::SetClockForTesting(&clock);
  EXPECT_TRUE(SaveConfiguration(adapters, u"String", &status));
  sync::SetClockForTesting(nullptr);
  EXPECT_EQ(status, u"");
  EXPECT_NE(ReadFile(path_).find("LastModified=\"07/04/2016 03:05:09 PM\""),
            std::string::npos);

  EXPECT_TRUE(LoadAdapterConfiguration(&adapter, {}, &format, &status));
  EXPECT_EQ(status, u"");
  ExpectSameStoredFields(adapter, adapters[0]);
}

// The path is read into 255 bytes: it must be shorter than 255 characters,
// and a NUL inside it does not quietly name another file.
TEST_F(ConfigFileTest, RegistryPathLimits) {
  std::u16string status;
  const std::string longest =
      dir_ + "/" + std::string(254 - dir_.size() - 1 - 4, 'c') + ".xml";
  ASSERT_EQ(longest.size(), 254u);
  RegisterPath(longest);
  EXPECT_TRUE(SaveConfiguration(SampleMapping(), u"String", &status));
  EXPECT_TRUE(std::filesystem::exists(longest));

  const std::string too_long = longest.substr(0, longest.size() - 4) + "c.xml";
  RegisterPath(too_long);
  EXPECT_FALSE(SaveConfiguration(SampleMapping(), u"String", &status));
  EXPECT_EQ(status, kNoSwitchesMapped);
  EXPECT_FALSE(std::filesystem::exists(too_long));

  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, registry::kConfigurationKey, 0,
                            nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  const std::string cut = path_ + std::string("\0.other\0", 8);
  ASSERT_EQ(RegSetValueExA(key, registry::kConfigurationValue, 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(cut.data()),
                           static_cast<DWORD>(cut.size())),
            ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_FALSE(SaveConfiguration(SampleMapping(), u"String", &status));
  EXPECT_EQ(status, kNoSwitchesMapped);
  EXPECT_FALSE(std::filesystem::exists(path_));
}

TEST_F(ConfigFileTest, FailedSaveIsReportedAndKeepsTheOldFile) {
  WriteConfig("<ROOT Version=\"old\"/>");
  // The file's directory is replaced by something the save cannot write
  // into: the path now runs through a regular file.
  const std::string blocked = path_ + "/inner.xml";
  RegisterPath(blocked);
  std::u16string status;
  EXPECT_FALSE(SaveConfiguration(SampleMapping(), u"String", &status));
  EXPECT_EQ(status, u"Xdomlib: Could not save file '" +
                        text::Utf8ToUtf16(blocked) + u"'");
  EXPECT_EQ(ReadFile(path_), "<ROOT Version=\"old\"/>");
}

}  // namespace
}  // namespace kavex::configurator
