// A private registry root with the device's configuration in it: the
// "Configuration File" value, the file itself and simulated adapters.
#ifndef KAVEX_DEVICE_TESTING_DEVICE_CONFIG_FIXTURE_H_
#define KAVEX_DEVICE_TESTING_DEVICE_CONFIG_FIXTURE_H_

#include <fstream>
#include <string>

#include "device/device_config.h"
#include "gtest/gtest.h"
#include "platform/com/scoped_registry_root_for_test.h"
#include "platform/pkio/testing/testing_support.h"
#include "platform/registry/configuration_path.h"
#include "platform/registry/registry.h"

namespace kavex::device {

class DeviceConfigFixture : public ::testing::Test {
 protected:
  // Writes `text` as a file in the private root and returns its path.
  std::string WriteFile(const std::string& name, const std::string& text) {
    const std::string path = root_.dir() + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }

  // Sets "Configuration File" to exactly these bytes.
  void SetPathValue(DWORD type, const std::string& bytes) {
    HKEY key = nullptr;
    ASSERT_EQ(
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, registry::kConfigurationKey, 0,
                        nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
        ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, registry::kConfigurationValue, 0, type,
                             reinterpret_cast<const BYTE*>(bytes.data()),
                             static_cast<DWORD>(bytes.size())),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }

  // Writes the configuration file and points the registry at it.
  std::string InstallConfiguration(const std::string& xml) {
    const std::string path = WriteFile("Kavex OPC.xml", xml);
    SetPathValue(REG_SZ, std::string(path.c_str(), path.size() + 1));
    return path;
  }

  // Declares simulated adapter `name` ("\Device\Simulated\<name>") hearing
  // the switches of `scenario`, and the module that serves simulated
  // adapters (KAVEX_SIMULATED_ADAPTERS_MODULE, set by the test target).
  void DeclareSimulatedAdapter(const std::string& name,
                               const std::string& scenario) {
    ASSERT_TRUE(pkio::testing::DeclareFrameSourceModule(
        "Simulated", KAVEX_SIMULATED_ADAPTERS_MODULE));
    const std::string sub =
        std::string("SOFTWARE\\Kavex OPC\\Pkiolib\\Simulated\\") + name;
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, sub.c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "Scenario", 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(scenario.c_str()),
                             static_cast<DWORD>(scenario.size() + 1)),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }

  com::ScopedRegistryRootForTest root_;
};

}  // namespace kavex::device

#endif  // KAVEX_DEVICE_TESTING_DEVICE_CONFIG_FIXTURE_H_
