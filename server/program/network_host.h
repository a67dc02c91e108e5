// The server program's network side: the DCOM host that brings remote OPC
// clients to the class objects, set up from the registry's network settings
// (network_settings.h), the sockets a service manager handed over
// (inherited_sockets.h) and the accounts file (platform/rpc/accounts.h:
// $CREDENTIALS_DIRECTORY/accounts under systemd, else $KAVEX_OPC_ACCOUNTS or
// /etc/kavex-opc/accounts).
//
//   ProgramNetwork network;
//   if (HRESULT hr = network.Start(ReadNetworkSettings()); FAILED(hr)) ...;
//   ... network.exported_objects() counts toward the local server's locks
//   network.Stop();  // releases what remote clients still held
#ifndef KAVEX_SERVER_PROGRAM_NETWORK_HOST_H_
#define KAVEX_SERVER_PROGRAM_NETWORK_HOST_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/base/types.h"
#include "platform/com/class_factory.h"
#include "platform/rpc/accounts.h"
#include "server/program/network_settings.h"

namespace kavex::dcom {
class DcomHost;
}

namespace kavex::server {

// The classes remote clients can activate: the server's own (Server,
// Group, ServerCallback, EnumOPCItemAttributes). This is the one place the
// served class table is built; a further class (the OPC server browser,
// say) is appended here.
std::vector<com::ClassEntry> NetworkClassTable();

class ProgramNetwork {
 public:
  ProgramNetwork();
  ~ProgramNetwork();  // stops
  ProgramNetwork(const ProgramNetwork&) = delete;
  ProgramNetwork& operator=(const ProgramNetwork&) = delete;

  // Loads the accounts (a missing file: every logon is refused, with a
  // warning; a file that is refused or malformed fails the start), takes
  // the handed-over sockets or binds `settings`' address and ports, and
  // serves. S_OK, or the failure as an HRESULT with an error logged that
  // says what to fix (a port below 1024 without the right to bind it, a
  // port in use, ...).
  HRESULT Start(const NetworkSettings& settings);
  // Stops listening and releases every object remote clients held.
  void Stop();

  // Objects remote clients hold references on now (0 when not serving).
  // Safe from any thread, also while Start or Stop runs (the lifetime
  // monitor asks).
  size_t exported_objects();
  uint16_t activation_port();
  uint16_t object_port();

 private:
  std::vector<com::ClassEntry> classes_;
  rpc::AccountStore accounts_;
  std::mutex mu_;  // guards host_ (the pointer, not the host)
  std::unique_ptr<dcom::DcomHost> host_;
};

}  // namespace kavex::server

#endif  // KAVEX_SERVER_PROGRAM_NETWORK_HOST_H_
