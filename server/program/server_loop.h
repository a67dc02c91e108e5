// The server program's loop, in both modes: the pre-loop (trace level,
// clipboard formats, start time, the device, the class objects registered
// suspended and then resumed), serving until told to quit, and the
// post-loop (class objects revoked).
#ifndef KAVEX_SERVER_PROGRAM_SERVER_LOOP_H_
#define KAVEX_SERVER_PROGRAM_SERVER_LOOP_H_

#include <cstdint>
#include <functional>

#include "platform/base/handle.h"
#include "platform/base/types.h"
#include "server/program/network_settings.h"

namespace kavex::server {

struct ServerLoopOptions {
  // Service mode: only Quit ends the loop. Local-server mode: the lifetime
  // monitor (lifetime_monitor.h) also ends it once the last client is gone.
  bool service_mode = false;
  // Creates the process's device (process_state.h); tests pass their own.
  std::function<HRESULT()> create_device;
  // The lock count the local server's lifetime follows; default: this
  // program's live objects and server locks. The objects remote clients
  // hold (serve_network) are always added.
  std::function<long()> lock_count;
  // Called once the pre-loop succeeded (a service reports RUNNING).
  std::function<void()> on_serving;
  // Serve remote clients over DCOM (network_host.h) once the class objects
  // are resumed; a network that cannot start fails the pre-loop. The
  // program turns it on; tests of the loop alone leave it off.
  bool serve_network = false;
  // The network settings; default: ReadNetworkSettings() (tests pass free
  // ports).
  std::function<NetworkSettings()> network_settings;
  // Called with the ports served, right before on_serving (tests).
  std::function<void(uint16_t activation_port, uint16_t object_port)>
      on_listening;
};

// Runs the loop on the calling thread and returns S_OK after a quit, or the
// pre-loop's failure: a device that cannot be created fails the loop before
// any class object is registered. COM must be initialised. While serving
// the network, the local server's lock count also counts the objects remote
// clients hold references on (the exporter's), so a client holding only a
// remote reference keeps the process; one that dies stops counting once
// its references are collected after three missed pings.
HRESULT RunServerLoop(const ServerLoopOptions& options);

// Asks the running loop to end (the service's stop control). Safe from any
// thread and before the loop runs: a quit asked for early ends the loop as
// soon as it serves.
void QuitServerLoop();
// Forgets an earlier quit, for a new loop in the same process (tests).
void ResetServerLoopForTesting();

}  // namespace kavex::server

#endif  // KAVEX_SERVER_PROGRAM_SERVER_LOOP_H_
