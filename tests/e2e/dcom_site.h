// What the DCOM tests set up before a client comes: the device plug-in
// registered in the test's registry root with the simulated adapters as
// its frame source, a simulated LAN of switches "SW1".."SWn" with ports
// "P1".."Pn" and the configuration that maps all of them, and the account
// the clients log on as (KAVEX\opc, password "secret").
#ifndef KAVEX_TESTS_E2E_DCOM_SITE_H_
#define KAVEX_TESTS_E2E_DCOM_SITE_H_

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "platform/pkio/testing/testing_support.h"
#include "platform/registry/registry.h"
#include "platform/rpc/accounts.h"
#include "platform/rpc/ntlm.h"
#include "simulator/simulated_adapters.h"
#include "tests/e2e/command_output.h"

namespace kavex::e2e {

// The simulated LAN: switch s has address 02.C4.7D.00.<subnet>.<s> and IP
// 10.0.<subnet>.<s>, every one of type 1 ("T24") with 20 % load.
struct SiteLan {
  const char* adapter;  // "\Device\Simulated\<adapter>"
  int switches;
  int ports;
  int subnet;
};

// Registers the device module by its own DllRegisterServer and declares
// the simulated adapters' module as a frame source (registry root first).
inline void RegisterSiteModules() {
  void* module = dlopen(KAVEX_DEVICE_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << dlerror();
  auto reg =
      reinterpret_cast<HRESULT (*)()>(dlsym(module, "DllRegisterServer"));
  ASSERT_NE(reg, nullptr);
  ASSERT_EQ(reg(), S_OK);
  dlclose(module);
  ASSERT_TRUE(pkio::testing::DeclareFrameSourceModule(
      simulator::kFrameSourceValue, KAVEX_SIMULATED_ADAPTERS_MODULE));
}

// Declares `lan` and writes its configuration ("Kavex OPC.xml" in `dir`,
// data format Integer, time-out 20 s), named as the configuration file;
// its path goes to *config when given.
inline void DeclareSite(const std::string& dir, const SiteLan& lan,
                        std::string* config = nullptr) {
  std::string scenario;
  std::string xml = std::string("<ROOT DataFormat=\"Integer\">\n") +
                    " <ADAPTER Name=\"\\Device\\Simulated\\" + lan.adapter +
                    "\" Active=\"Yes\" Timeout=\"20\">\n";
  for (int s = 1; s <= lan.switches; ++s) {
    char mac[32];
    snprintf(mac, sizeof mac, "02.C4.7D.00.%02X.%02X", lan.subnet, s);
    scenario += std::string("switch ") + mac +
                " type=1 ports=" + std::to_string(lan.ports) + " ip=10.0." +
                std::to_string(lan.subnet) + "." + std::to_string(s) +
                " load=20;";
    xml += std::string("  <SWITCH Model=\"T24\" Address=\"") + mac +
           "\" Alias=\"SW" + std::to_string(s) + "\" Type=\"1\">\n";
    for (int p = 1; p <= lan.ports; ++p) {
      xml += "   <Port Number=\"" + std::to_string(p) + "\" Alias=\"P" +
             std::to_string(p) + "\" Disabled=\"No\" Exists=\"Yes\"/>\n";
    }
    xml += "  </SWITCH>\n";
  }
  xml += " </ADAPTER>\n</ROOT>\n";
  SetString(HKEY_LOCAL_MACHINE,
            std::string("SOFTWARE\\Kavex OPC\\Pkiolib\\Simulated\\") +
                lan.adapter,
            "Scenario", scenario);
  const std::string path = dir + "/Kavex OPC.xml";
  std::ofstream(path) << xml;
  SetString(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kavex OPC", "Configuration File",
            path);
  if (config != nullptr) *config = path;
}

// The accounts the clients log on with: KAVEX\opc, password "secret".
inline rpc::AccountStore SiteAccounts() {
  rpc::AccountStore accounts;
  rpc::Account account;
  account.user = "opc";
  account.domain = "KAVEX";
  account.nt_hash = rpc::NtOwfV1(u"secret");
  accounts.Put(account);
  return accounts;
}

}  // namespace kavex::e2e

#endif  // KAVEX_TESTS_E2E_DCOM_SITE_H_
