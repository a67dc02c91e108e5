// An adapter that hears a simulated LAN: the frames of a scenario's switches,
// generated when they fall due by the installed clock. The filter program is
// run here, by the library's own interpreter, as the kernel would.
#ifndef KAVEX_PLATFORM_PKIO_SIMULATED_ADAPTER_H_
#define KAVEX_PLATFORM_PKIO_SIMULATED_ADAPTER_H_

#include <array>
#include <memory>
#include <string>

#include "platform/pkio/adapter.h"
#include "simulator/scenario.h"

namespace kavex::pkio {

struct SimulatedAdapterConfig {
  std::string name;       // the registry subkey
  std::string ndis_name;  // "\Device\Simulated\<name>"
  std::string friendly_name;
  simulator::Scenario scenario;
  std::array<uint8_t, 6> address{0x02, 0, 0, 0, 0, 1};
};

std::unique_ptr<Adapter> OpenSimulatedAdapter(
    Adapter::Mode mode, const SimulatedAdapterConfig& config);

}  // namespace kavex::pkio

#endif  // KAVEX_PLATFORM_PKIO_SIMULATED_ADAPTER_H_
