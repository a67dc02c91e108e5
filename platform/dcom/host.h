// Serving a class table over DCOM: the listeners on the activation port
// (135: activation and the OXID resolver) and the object port (default
// 4135: IRemUnknown and the objects' interfaces), one exporter, and the
// collector that releases the objects of clients that stopped pinging.
//
//   kavex::dcom::DcomHost host({}, kClassTable, &accounts);
//   if (DWORD e = host.Start()) ...;   // ERROR_ACCESS_DENIED for port 135
//   ...                                // clients activate and call
//   host.Stop();
//
// Both listeners authenticate every caller with NTLM against `accounts`
// (ServerAlive2 excepted, which Windows answers anonymously too).
#ifndef KAVEX_PLATFORM_DCOM_HOST_H_
#define KAVEX_PLATFORM_DCOM_HOST_H_

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <thread>

#include "platform/base/unique_handle.h"
#include "platform/com/class_factory.h"
#include "platform/dcom/dispatcher.h"
#include "platform/dcom/exporter.h"
#include "platform/rpc/accounts.h"
#include "platform/rpc/listener.h"

namespace kavex::dcom {

struct HostOptions {
  // Where both listeners bind; loopback unless configured otherwise.
  std::string address = "127.0.0.1";
  uint16_t activation_port = 135;
  uint16_t object_port = 4135;  // 0: a free port (tests)
  // Listening sockets handed over (systemd socket activation), or -1. The
  // host owns them from construction on (closed by Stop or the
  // destructor); a handed-over socket's own address and port replace
  // `address` and the port above for its listener, and a later Start binds
  // anew.
  int activation_fd = -1;
  int object_fd = -1;
  // The host name or address clients are told to reach the object port at;
  // empty: the object listener's address, or this machine's host name when
  // that is the wildcard 0.0.0.0.
  std::string advertised_address;
  size_t workers = 2;
  // How often the collector looks for unpinged objects.
  uint32_t collect_interval_ms = 10 * 1000;
  rpc::NtlmServerConfig ntlm;
};

class DcomHost {
 public:
  // `classes` and `accounts` must outlive the host.
  DcomHost(HostOptions options, std::span<const com::ClassEntry> classes,
           const rpc::AccountStore* accounts);
  ~DcomHost();  // stops
  DcomHost(const DcomHost&) = delete;
  DcomHost& operator=(const DcomHost&) = delete;

  // Binds the object port, then the activation port (or takes the
  // handed-over sockets), and starts serving: ERROR_SUCCESS or the
  // listener's error (nothing left running then).
  DWORD Start();
  // Stops both listeners and the collector; releases every exported object.
  void Stop();

  uint16_t activation_port() const;
  uint16_t object_port() const;
  ObjectExporter* exporter() { return exporter_.get(); }

 private:
  void Collect();
  void CloseHandedOver();

  HostOptions options_;
  std::span<const com::ClassEntry> classes_;
  const rpc::AccountStore* accounts_;
  std::unique_ptr<ObjectExporter> exporter_;
  std::unique_ptr<DcomDispatcher> dispatcher_;
  rpc::ConnectionConfig activation_config_;
  rpc::ConnectionConfig object_config_;
  std::unique_ptr<rpc::Listener> object_listener_;
  std::unique_ptr<rpc::Listener> activation_listener_;
  UniqueHandle stop_event_;
  std::thread collector_;
};

}  // namespace kavex::dcom

#endif  // KAVEX_PLATFORM_DCOM_HOST_H_
