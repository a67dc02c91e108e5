#include "platform/registry/configuration_path.h"

#include <string>

#include "gtest/gtest.h"
#include "platform/registry/registry.h"
#include "platform/registry/registry_test_util.h"

namespace kavex::registry {
namespace {

class ConfigurationPathTest : public RegistryRootTest {
 protected:
  // Sets "Configuration File" to exactly these bytes.
  void SetValue(DWORD type, const std::string& bytes) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kConfigurationKey, 0, nullptr,
                              0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, kConfigurationValue, 0, type,
                             reinterpret_cast<const BYTE*>(bytes.data()),
                             static_cast<DWORD>(bytes.size())),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }
};

TEST_F(ConfigurationPathTest, MissingKeyOrValue) {
  std::string path = "stale", reason;
  EXPECT_EQ(ReadConfigurationPath(512, &path, &reason), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(path, "");
  EXPECT_EQ(reason, "is missing (the key is not there)");

  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kConfigurationKey, 0, nullptr,
                            0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(ReadConfigurationPath(512, &path, &reason), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reason, "is missing");
}

// Every value a hand or a tool could leave there, against both limits in
// use: the device's 512 bytes and the configurator's 255.
TEST_F(ConfigurationPathTest, HostileValues) {
  struct Case {
    const char* what;
    DWORD type;
    std::string bytes;
    size_t limit;
    LONG result;
    const char* path_or_reason;
  };
  const std::string nul(1, '\0');
  const Case cases[] = {
      {"plain", REG_SZ, "/etc/kavex/a.xml" + nul, 512, ERROR_SUCCESS,
       "/etc/kavex/a.xml"},
      {"expandable, as stored", REG_EXPAND_SZ, "%CONF%/a.xml" + nul, 512,
       ERROR_SUCCESS, "%CONF%/a.xml"},
      {"beyond ASCII", REG_SZ,
       "/srv/Halle S\xC3\xBC"
       "d.xml" +
           nul,
       255, ERROR_SUCCESS,
       "/srv/Halle S\xC3\xBC"
       "d.xml"},
      {"longest for 512", REG_SZ, std::string(511, 'a') + nul, 512,
       ERROR_SUCCESS, nullptr},
      {"one too long for 512", REG_SZ, std::string(512, 'a') + nul, 512,
       ERROR_MORE_DATA, "is 513 bytes, more than the 512 it may have"},
      {"longest for 255", REG_SZ, std::string(254, 'a') + nul, 255,
       ERROR_SUCCESS, nullptr},
      {"one too long for 255", REG_SZ, std::string(255, 'a') + nul, 255,
       ERROR_MORE_DATA, "is 256 bytes, more than the 255 it may have"},
      {"huge", REG_SZ, std::string(1 << 20, 'a') + nul, 512, ERROR_MORE_DATA,
       "is 1048577 bytes, more than the 512 it may have"},
      {"without its NUL", REG_SZ, "/etc/kavex/a.xml", 512, ERROR_INVALID_DATA,
       "does not end with a NUL"},
      {"no bytes at all", REG_SZ, "", 512, ERROR_INVALID_DATA,
       "does not end with a NUL"},
      {"empty", REG_SZ, nul, 512, ERROR_INVALID_DATA, "is empty"},
      {"only NULs", REG_SZ, nul + nul + nul, 512, ERROR_INVALID_DATA,
       "holds a NUL at byte 0 of 3"},
      {"NUL inside", REG_SZ, "/etc" + nul + "/evil.xml" + nul, 512,
       ERROR_INVALID_DATA, "holds a NUL at byte 4 of 15"},
      {"NUL before the end", REG_EXPAND_SZ, "/a.xml" + nul + nul, 255,
       ERROR_INVALID_DATA, "holds a NUL at byte 6 of 8"},
      {"binary", REG_BINARY, "/a.xml" + nul, 512, ERROR_INVALID_DATA,
       "is REG_BINARY"},
      {"number", REG_DWORD, std::string("\1\0\0\0", 4), 512, ERROR_INVALID_DATA,
       "is REG_DWORD"},
      {"list", REG_MULTI_SZ, "/a.xml" + nul + nul, 512, ERROR_INVALID_DATA,
       "is REG_MULTI_SZ"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetValue(c.type, c.bytes);
    std::string path = "stale", reason = "stale";
    ASSERT_EQ(ReadConfigurationPath(c.limit, &path, &reason), c.result);
    if (c.result == ERROR_SUCCESS) {
      EXPECT_EQ(reason, "");
      EXPECT_EQ(path, c.path_or_reason ? std::string(c.path_or_reason)
                                       : c.bytes.substr(0, c.bytes.size() - 1));
    } else {
      EXPECT_EQ(path, "");
      EXPECT_EQ(reason, c.path_or_reason);
    }
    // The reason is optional.
    EXPECT_EQ(ReadConfigurationPath(c.limit, &path), c.result);
  }
}

}  // namespace
}  // namespace kavex::registry
