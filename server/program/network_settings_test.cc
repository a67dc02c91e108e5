// The network settings under the server's AppID: each value's hostile
// inputs (a clear reason, never a crash, the default taken), and the
// registry read with the errors it logs.
#include "server/program/network_settings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/com/guid.h"
#include "platform/com/scoped_registry_root_for_test.h"
#include "platform/log/logger.h"
#include "platform/registry/registry.h"
#include "server/program/registration.h"

namespace kavex::server {
namespace {

std::vector<uint8_t> Sz(const std::string& text, bool nul = true) {
  std::vector<uint8_t> data(text.begin(), text.end());
  if (nul) data.push_back(0);
  return data;
}

std::vector<uint8_t> Dword(uint32_t value) {
  std::vector<uint8_t> data(4);
  std::memcpy(data.data(), &value, 4);
  return data;
}

TEST(NetworkSettingsTest, ListenAddressesTakenAndRefused) {
  struct Case {
    DWORD type;
    std::vector<uint8_t> data;
    const char* expected;  // null: refused
  };
  const Case cases[] = {
      {REG_SZ, Sz("127.0.0.1"), "127.0.0.1"},
      {REG_SZ, Sz("0.0.0.0"), "0.0.0.0"},
      {REG_SZ, Sz("192.168.10.7", false), "192.168.10.7"},
      {REG_SZ, Sz(""), nullptr},
      {REG_SZ, Sz("localhost"), nullptr},
      {REG_SZ, Sz("127.1"), nullptr},       // short form
      {REG_SZ, Sz("0x7f.0.0.1"), nullptr},  // hex
      {REG_SZ, Sz("256.0.0.1"), nullptr},
      {REG_SZ, Sz(" 127.0.0.1"), nullptr},
      {REG_SZ, Sz("127.0.0.1 "), nullptr},
      {REG_SZ, Sz("::1"), nullptr},  // the listener is IPv4
      {REG_SZ, Sz("127.0.0.1:135"), nullptr},
      {REG_SZ, Sz(std::string(300, '1')), nullptr},
      {REG_DWORD, Dword(0x0100007f), nullptr},
      {REG_BINARY, {127, 0, 0, 1}, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.data.begin(), c.data.end()));
    std::string address = "unchanged";
    std::string why;
    bool ok = ParseListenAddress(c.type, c.data, &address, &why);
    if (c.expected != nullptr) {
      EXPECT_TRUE(ok) << why;
      EXPECT_EQ(address, c.expected);
    } else {
      EXPECT_FALSE(ok);
      EXPECT_FALSE(why.empty());
      EXPECT_EQ(address, "unchanged");
    }
  }
}

TEST(NetworkSettingsTest, ObjectPortsTakenAndRefused) {
  struct Case {
    DWORD type;
    std::vector<uint8_t> data;
    int expected;  // -1: refused
  };
  const Case cases[] = {
      {REG_DWORD, Dword(4135), 4135},
      {REG_DWORD, Dword(1), 1},
      {REG_DWORD, Dword(65535), 65535},
      {REG_SZ, Sz("5000"), 5000},
      {REG_SZ, Sz("05000", false), 5000},
      {REG_DWORD, Dword(0), -1},
      {REG_DWORD, Dword(65536), -1},
      {REG_DWORD, Dword(0xFFFFFFFF), -1},
      {REG_DWORD, Dword(135), -1},  // the activation port itself
      {REG_DWORD, {1, 2}, -1},      // a short DWORD
      {REG_SZ, Sz(""), -1},
      {REG_SZ, Sz("-1"), -1},
      {REG_SZ, Sz("+80"), -1},
      {REG_SZ, Sz("4135x"), -1},
      {REG_SZ, Sz("0x1027"), -1},
      {REG_SZ, Sz("99999999999999999999"), -1},
      {REG_SZ, Sz("135"), -1},
      {REG_SZ, Sz(" 80"), -1},
      {REG_BINARY, {0x27, 0x10, 0, 0}, -1},
      {REG_MULTI_SZ, Sz("80"), -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "type " << c.type << " bytes " << c.data.size());
    uint16_t port = 7;
    std::string why;
    bool ok = ParseObjectPort(c.type, c.data, &port, &why);
    if (c.expected >= 0) {
      EXPECT_TRUE(ok) << why;
      EXPECT_EQ(port, c.expected);
    } else {
      EXPECT_FALSE(ok);
      EXPECT_FALSE(why.empty());
      EXPECT_EQ(port, 7);
    }
  }
}

TEST(NetworkSettingsTest, AdvertisedAddressesTakenAndRefused) {
  const std::pair<std::string, bool> cases[] = {
      {"opc-host.plant.example", true},
      {"10.1.2.3", true},
      {"HOST7", true},
      {"", false},
      {"-host", false},
      {".host", false},
      {"host name", false},
      {"host[135]", false},  // would end the binding's network address
      {"host\n", false},
      {std::string(254, 'a'), false},
  };
  for (const auto& [text, good] : cases) {
    SCOPED_TRACE(text);
    std::string address = "unchanged";
    std::string why;
    EXPECT_EQ(ParseAdvertisedAddress(REG_SZ, Sz(text), &address, &why), good)
        << why;
    EXPECT_EQ(address, good ? text : "unchanged");
  }
  std::string address, why;
  EXPECT_FALSE(ParseAdvertisedAddress(REG_DWORD, Dword(1), &address, &why));
}

class NetworkSettingsRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string sub = "AppID\\" + com::GuidToString(APPID_KavexOPCServer);
    ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, sub.c_str(), 0, nullptr, 0,
                              KEY_WRITE, nullptr, &key_, nullptr),
              ERROR_SUCCESS);
  }
  void TearDown() override { RegCloseKey(key_); }
  void Set(const char* name, DWORD type, const std::vector<uint8_t>& data) {
    ASSERT_EQ(RegSetValueExA(key_, name, 0, type, data.data(),
                             static_cast<DWORD>(data.size())),
              ERROR_SUCCESS);
  }

  com::ScopedRegistryRootForTest root_;
  HKEY key_ = nullptr;
  log::Recorder recorder_;
};

TEST_F(NetworkSettingsRegistryTest, NothingSetGivesLoopbackAnd4135) {
  NetworkSettings s = ReadNetworkSettings();
  EXPECT_EQ(s.listen_address, "127.0.0.1");
  EXPECT_EQ(s.activation_port, 135);
  EXPECT_EQ(s.object_port, 4135);
  EXPECT_EQ(s.advertised_address, "");
}

TEST_F(NetworkSettingsRegistryTest, GoodValuesAreTaken) {
  Set(kListenAddressValue, REG_SZ, Sz("0.0.0.0"));
  Set(kObjectPortValue, REG_DWORD, Dword(5135));
  Set(kAdvertisedAddressValue, REG_SZ, Sz("opc.plant.example"));
  NetworkSettings s = ReadNetworkSettings();
  EXPECT_EQ(s.listen_address, "0.0.0.0");
  EXPECT_EQ(s.object_port, 5135);
  EXPECT_EQ(s.advertised_address, "opc.plant.example");
}

TEST_F(NetworkSettingsRegistryTest, BadValuesFallBackToTheDefaultsAndSaySo) {
  log::ScopedSink sink(recorder_.sink(log::Level::kDebug));
  Set(kListenAddressValue, REG_SZ, Sz("all interfaces"));
  Set(kObjectPortValue, REG_SZ, Sz("70000"));
  Set(kAdvertisedAddressValue, REG_SZ, Sz("a b"));
  NetworkSettings s = ReadNetworkSettings();
  EXPECT_EQ(s.listen_address, "127.0.0.1");
  EXPECT_EQ(s.object_port, 4135);
  EXPECT_EQ(s.advertised_address, "");
  std::string text;
  for (const log::Recorder::Line& line : recorder_.lines()) {
    EXPECT_EQ(line.level, log::Level::kError);
    text += line.message + "\n";
  }
  for (const char* part :
       {"\"ListenAddress\" refused: \"all interfaces\" is not a dotted IPv4 "
        "address; using 127.0.0.1",
        "\"ObjectPort\" refused: 70000 is not a port from 1 to 65535; using "
        "4135",
        "\"AdvertisedAddress\" refused"}) {
    EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;
  }
}

}  // namespace
}  // namespace kavex::server
