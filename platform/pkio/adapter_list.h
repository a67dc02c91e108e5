// The adapters the library offers, in enumeration order: the machine's
// Ethernet interfaces (by interface index), then the simulated adapters
// declared in the registry (by name).
#ifndef KAVEX_PLATFORM_PKIO_ADAPTER_LIST_H_
#define KAVEX_PLATFORM_PKIO_ADAPTER_LIST_H_

#include <string>
#include <vector>

#include "platform/pkio/simulated_adapter.h"

namespace kavex::pkio {

constexpr char kNdisPrefix[] = "\\Device\\";
constexpr char kSimulatedNdisPrefix[] = "\\Device\\Simulated\\";
constexpr char kSimulatedKey[] = "SOFTWARE\\Kavex OPC\\Pkiolib\\Simulated";

struct AdapterInfo {
  std::string ndis_name;
  std::string friendly_name;
  std::string ifname;  // real interfaces
  bool simulated = false;
  SimulatedAdapterConfig simulation;  // simulated adapters
};

std::vector<AdapterInfo> EnumerateAdapters();

// Reads one simulated adapter's declaration; false (with a reason) when its
// scenario does not parse.
bool ReadSimulatedAdapter(const std::string& name,
                          SimulatedAdapterConfig* config, std::string* reason);

}  // namespace kavex::pkio

#endif  // KAVEX_PLATFORM_PKIO_ADAPTER_LIST_H_
