// For tests: simulated adapters declared in a private registry, with the
// simulated adapters' module declared so that the library loads it.
#ifndef KAVEX_SIMULATOR_TESTING_SIMULATED_LAN_H_
#define KAVEX_SIMULATOR_TESTING_SIMULATED_LAN_H_

#include <gtest/gtest.h>

#include <string>

#include "platform/base/results.h"
#include "platform/pkio/testing/testing_support.h"
#include "platform/registry/registry.h"
#include "simulator/simulated_adapters.h"

namespace kavex::simulator::testing {

// Declares (or replaces) "\Device\Simulated\<name>" hearing `scenario`, in
// the process's private registry; module is the simulated adapters' module.
inline void DeclareSimulatedAdapter(const std::string& module,
                                    const std::string& name,
                                    const std::string& scenario,
                                    const std::string& description = "") {
  pkio::testing::UsePrivateRegistry();
  ASSERT_TRUE(
      pkio::testing::DeclareFrameSourceModule(kFrameSourceValue, module));
  const std::string path = std::string(kSimulatedKey) + "\\" + name;
  RegDeleteTreeA(HKEY_LOCAL_MACHINE, path.c_str());
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
  if (!description.empty()) set("Description", description);
  set("Address", "02.00.00.00.00.42");
  RegCloseKey(key);
}

inline void UndeclareSimulatedAdapter(const std::string& name) {
  RegDeleteTreeA(HKEY_LOCAL_MACHINE,
                 (std::string(kSimulatedKey) + "\\" + name).c_str());
}

}  // namespace kavex::simulator::testing

#endif  // KAVEX_SIMULATOR_TESTING_SIMULATED_LAN_H_
