// Simulated adapters: a frame source for the driver library
// (platform/pkio/frame_source.h) whose adapters hear a simulated Velto LAN,
// the frames of a scenario's switches, generated when they fall due by the
// installed clock (platform/sync). No privilege is needed.
//
// Every subkey of
//   HKEY_LOCAL_MACHINE "SOFTWARE\Kavex OPC\Pkiolib\Simulated"
// declares one adapter "\Device\Simulated\<subkey>", with the values
//   "Description"  REG_SZ   friendly name (default "<name> (simulated Velto
//                           LAN)")
//   "Scenario"     REG_SZ or REG_MULTI_SZ   the switches it hears, in the
//                  velto-sim scenario language (simulator/scenario.h); lines
//                  are separated by newlines or ';'. Default: a small mixed
//                  plant of three switches.
//   "Address"      REG_SZ   the adapter's own station address
//                           (default 02.00.00.00.00.01)
// An adapter whose scenario does not parse is still listed, so that the
// operator sees it; opening it fails with ERROR_INVALID_DATA and the
// offending line, which is also logged (category "pkio").
//
// The source is served by the module libkavex-simulated-adapters.so: its
// DllRegisterServer (regsvr, or a program that wants simulated adapters)
// declares it under the library's "Frame Sources" key with its own path, and
// from then on every program using the library in that registry has
// simulated adapters, whether it loads the device plug-in or not.
#ifndef KAVEX_SIMULATOR_SIMULATED_ADAPTERS_H_
#define KAVEX_SIMULATOR_SIMULATED_ADAPTERS_H_

#include <array>
#include <cstdint>
#include <string>

#include "platform/base/types.h"
#include "platform/pkio/frame_source.h"
#include "simulator/scenario.h"

namespace kavex::simulator {

inline constexpr char kSimulatedNdisPrefix[] = "\\Device\\Simulated\\";
inline constexpr char kSimulatedKey[] =
    "SOFTWARE\\Kavex OPC\\Pkiolib\\Simulated";
// The value under pkio::kFrameSourcesKey that names the module.
inline constexpr char kFrameSourceValue[] = "Simulated";

struct SimulatedAdapterConfig {
  std::string name;       // the registry subkey
  std::string ndis_name;  // "\Device\Simulated\<name>"
  std::string friendly_name;
  Scenario scenario;
  std::array<uint8_t, 6> address{0x02, 0, 0, 0, 0, 1};
};

// Reads one simulated adapter's declaration; false with a Win32 error and a
// reason when it is missing (ERROR_FILE_NOT_FOUND) or its scenario does not
// parse (ERROR_INVALID_DATA).
bool ReadSimulatedAdapter(const std::string& name,
                          SimulatedAdapterConfig* config, DWORD* error,
                          std::string* reason);

// The source's table.
const pkio::FrameSourceType* SimulatedFrameSource();

}  // namespace kavex::simulator

#endif  // KAVEX_SIMULATOR_SIMULATED_ADAPTERS_H_
