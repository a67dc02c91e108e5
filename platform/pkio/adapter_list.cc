#include "platform/pkio/adapter_list.h"

#include <ifaddrs.h>
#include <linux/if_arp.h>
#include <linux/if_packet.h>
#include <sys/socket.h>

#include <algorithm>

#include "platform/base/results.h"
#include "platform/pkio/real_adapter.h"
#include "platform/registry/registry.h"

namespace kavex::pkio {
namespace {

// The interfaces of the calling thread's network namespace, Ethernet only,
// by interface index. getifaddrs asks the kernel over rtnetlink, which
// answers for our own namespace; /sys/class/net keeps showing the host's
// interfaces to a process that only unshared its network namespace.
std::vector<AdapterInfo> EthernetInterfaces() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return {};
  std::vector<std::pair<int, AdapterInfo>> found;
  for (ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
    if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_PACKET ||
        a->ifa_name == nullptr) {
      continue;
    }
    const auto* link = reinterpret_cast<const sockaddr_ll*>(a->ifa_addr);
    if (link->sll_hatype != ARPHRD_ETHER) continue;
    std::string name = a->ifa_name;
    AdapterInfo info;
    info.ndis_name = kNdisPrefix + name;
    info.friendly_name = name + " (" + InterfaceDriverName(name) + ")";
    info.ifname = name;
    found.emplace_back(link->sll_ifindex, std::move(info));
  }
  freeifaddrs(list);
  std::sort(found.begin(), found.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<AdapterInfo> result;
  for (auto& f : found) result.push_back(std::move(f.second));
  return result;
}

// A REG_SZ or REG_MULTI_SZ value as text; REG_MULTI_SZ strings become lines.
bool ReadText(HKEY key, const char* name, std::string* text) {
  DWORD type = 0, size = 0;
  if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) !=
      ERROR_SUCCESS) {
    return false;
  }
  if (type != REG_SZ && type != REG_MULTI_SZ && type != REG_EXPAND_SZ) {
    return false;
  }
  std::string data(size, '\0');
  if (RegQueryValueExA(key, name, nullptr, &type,
                       reinterpret_cast<BYTE*>(data.data()),
                       &size) != ERROR_SUCCESS) {
    return false;
  }
  data.resize(size);
  while (!data.empty() && data.back() == '\0') data.pop_back();
  std::replace(data.begin(), data.end(), '\0', '\n');
  *text = data;
  return true;
}

std::vector<std::string> SimulatedNames() {
  std::vector<std::string> names;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSimulatedKey, 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return names;
  }
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD size = sizeof name;
    LONG rc =
        RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_MORE_DATA) continue;
    if (rc != ERROR_SUCCESS) break;
    names.emplace_back(name, size);
  }
  RegCloseKey(key);
  return names;
}

}  // namespace

bool ReadSimulatedAdapter(const std::string& name,
                          SimulatedAdapterConfig* config, std::string* reason) {
  HKEY key = nullptr;
  std::string path = std::string(kSimulatedKey) + "\\" + name;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    *reason = "no simulated adapter \"" + name + "\" in the registry";
    return false;
  }
  SimulatedAdapterConfig c;
  c.name = name;
  c.ndis_name = kSimulatedNdisPrefix + name;
  if (!ReadText(key, "Description", &c.friendly_name) ||
      c.friendly_name.empty()) {
    c.friendly_name = name + " (simulated Velto LAN)";
  }
  std::string text;
  bool ok = true;
  if (ReadText(key, "Scenario", &text)) {
    std::string error;
    if (!simulator::ParseScenario(text, &c.scenario, &error)) {
      *reason = "simulated adapter \"" + name + "\": scenario " + error;
      ok = false;
    }
  } else {
    c.scenario = simulator::DefaultScenario();
  }
  if (ReadText(key, "Address", &text)) {
    simulator::MacAddress mac;
    if (simulator::ParseMac(text, &mac)) c.address = mac;
  }
  RegCloseKey(key);
  if (ok) *config = std::move(c);
  return ok;
}

std::vector<AdapterInfo> EnumerateAdapters() {
  std::vector<AdapterInfo> adapters = EthernetInterfaces();
  for (const std::string& name : SimulatedNames()) {
    AdapterInfo info;
    std::string reason;
    if (!ReadSimulatedAdapter(name, &info.simulation, &reason)) {
      // Still listed, so that the operator sees it; opening it says why.
      info.simulation.name = name;
      info.simulation.ndis_name = kSimulatedNdisPrefix + name;
      info.simulation.friendly_name = name + " (simulated Velto LAN)";
    }
    info.ndis_name = info.simulation.ndis_name;
    info.friendly_name = info.simulation.friendly_name;
    info.simulated = true;
    adapters.push_back(std::move(info));
  }
  // Friendly names tell adapters apart for the operator: a declared
  // description that repeats another adapter's name gets the NDIS name added.
  for (size_t i = 0; i < adapters.size(); ++i) {
    for (size_t j = 0; j < i; ++j) {
      if (adapters[j].friendly_name == adapters[i].friendly_name) {
        adapters[i].friendly_name += " [" + adapters[i].ndis_name + "]";
        break;
      }
    }
  }
  return adapters;
}

}  // namespace kavex::pkio
