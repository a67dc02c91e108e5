// Our own DCOM client: activates a class on a host, calls methods of the
// interfaces it got through their descriptions (the NDR engine marshals
// every parameter; no code per method), queries and releases interfaces
// through IRemUnknown, and pings the host's OXID resolver while it holds
// references.
//
//   kavex::dcom::DcomClient client;
//   HRESULT hr = client.Connect("127.0.0.1", 135, &credentials);
//   std::vector<RemoteInterface> got;  std::vector<HRESULT> results;
//   hr = client.Activate(CLSID_X, {{IID_IOPCServer}}, &got, &results);
//   OPCSERVERSTATUS* status = nullptr;  OPCSERVERSTATUS** p = &status;
//   void* args[] = {&p};
//   HRESULT result;
//   hr = client.Call(got[0], "GetStatus", args, &result);
//   ...
//   client.Close();   // RemRelease of every reference still held
//
// Two kinds of results: the HRESULT a function returns says whether the
// call reached the object and came back (network, logon, stub data); the
// method's own HRESULT comes through *result.
//
// Connection failures: RPC_S_SERVER_UNAVAILABLE (as an HRESULT) when the
// host cannot be reached, E_ACCESSDENIED when the logon is refused,
// kCallFailed when a connection broke or timed out, RPC_X_BAD_STUB_DATA
// for a reply that does not parse. A fault from the server is answered as
// its status when that is an HRESULT, E_ACCESSDENIED for an access fault,
// otherwise kCallFailed.
//
// Calls are serialised on one connection per port (activation and object
// port); the pinger has a connection of its own. Thread-safe.
#ifndef KAVEX_PLATFORM_DCOM_CLIENT_H_
#define KAVEX_PLATFORM_DCOM_CLIENT_H_

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/base/results.h"
#include "platform/base/handle.h"
#include "platform/base/unique_handle.h"
#include "platform/com/interface_description.h"
#include "platform/dcom/client_object.h"
#include "platform/dcom/exporter.h"
#include "platform/dcom/objref.h"
#include "platform/rpc/client.h"
#include "platform/rpc/ntlm.h"

namespace kavex::dcom {

// RPC_S_CALL_FAILED: a connection broke or a reply never came.
inline constexpr HRESULT kCallFailed = HRESULT_FROM_WIN32(1726);

struct DcomClientOptions {
  int timeout_ms = 10000;  // per wait for the server
  uint16_t max_fragment = 5840;
  // How often the pinger keeps the held objects alive; 0: no pinging.
  uint32_t ping_interval_ms = kPingPeriodMs;
  // How many references each interface handed out should carry.
  uint32_t public_refs = kPublicRefsPerObjref;
};

class DcomClient {
 public:
  explicit DcomClient(DcomClientOptions options = {});
  ~DcomClient();  // Close()
  DcomClient(const DcomClient&) = delete;
  DcomClient& operator=(const DcomClient&) = delete;

  // Connects to the activation port and logs on (null credentials: no
  // logon). S_OK, RPC_S_SERVER_UNAVAILABLE, E_INVALIDARG for a host that
  // is not an IPv4 address. A refused password shows at the first call.
  HRESULT Connect(const std::string& host, uint16_t port,
                  const rpc::NtlmClientCredentials* credentials);

  // IActivation::RemoteActivation of `clsid` for `iids`: S_OK with one
  // entry in *interfaces and *results per IID (an invalid RemoteInterface
  // where the result failed), or the activation's failure
  // (REGDB_E_CLASSNOTREG, E_NOINTERFACE, E_ACCESSDENIED, ...). The first
  // activation fixes the object exporter the client talks to.
  HRESULT Activate(REFCLSID clsid, std::span<const IID> iids,
                   std::vector<RemoteInterface>* interfaces,
                   std::vector<HRESULT>* results);

  // Calls `method` (of the interface `target.iid`) with `arguments` as an
  // in-process caller passes them; [out] parameters are filled as after
  // an in-process call (task memory the caller frees; interface pointers
  // are RemoteObjects whose references this client holds, see
  // RemoteInterfaceOf).
  HRESULT Call(const RemoteInterface& target,
               const com::MethodDescription* method, void* const* arguments,
               HRESULT* result);
  // The same by method name; E_NOTIMPL when the interface or method is not
  // described.
  HRESULT Call(const RemoteInterface& target, std::string_view method,
               void* const* arguments, HRESULT* result);

  // IRemUnknown::RemQueryInterface: S_OK and *out, or the object's answer
  // (E_NOINTERFACE).
  HRESULT QueryInterface(const RemoteInterface& from, REFIID iid,
                         RemoteInterface* out);
  // IRemUnknown::RemRelease of every reference held on `target`'s IPID.
  HRESULT Release(const RemoteInterface& target);

  // Releases every reference still held, stops the pinger and closes the
  // connections. Safe to call twice.
  void Close();

  // What the client holds: references per IPID, pings answered.
  size_t held_interfaces() const;
  uint64_t pings_answered() const;
  uint64_t ping_set() const;

 private:
  class Hook;
  struct Held {
    Oid oid = 0;
    uint32_t public_refs = 0;
    bool pinged = false;
  };

  HRESULT CallOn(rpc::RpcClient* rpc, uint16_t context, uint16_t opnum,
                 const std::vector<uint8_t>& in, std::vector<uint8_t>* out,
                 const GUID* object);
  HRESULT ObjectConnection();
  HRESULT ContextFor(REFIID iid, uint16_t* context);
  void Hold(const StdObjref& std);
  void Forget(const Ipid& ipid, std::vector<Oid>* unpinged);
  // The pinger's loop, until `stop` is set.
  void Ping(HANDLE stop);
  void StopPinger();

  DcomClientOptions options_;
  std::optional<rpc::NtlmClientCredentials> credentials_;
  std::string host_;
  uint16_t port_ = 0;
  std::unique_ptr<Hook> hook_;

  mutable std::mutex mu_;  // the connections and the exporter's identity
  std::unique_ptr<rpc::RpcClient> activation_;
  std::unique_ptr<rpc::RpcClient> objects_;
  std::map<IID, uint16_t, bool (*)(const IID&, const IID&)> contexts_;
  bool have_exporter_ = false;
  Oxid oxid_ = 0;
  DualStringArray bindings_;
  Ipid rem_unknown_ = {};

  mutable std::mutex held_mu_;  // references and the ping set
  std::map<Ipid, Held, bool (*)(const Ipid&, const Ipid&)> held_;
  std::map<Oid, uint32_t> oid_users_;  // IPIDs held per pinged OID
  std::vector<Oid> ping_add_;
  std::vector<Oid> ping_remove_;
  uint64_t set_ = 0;
  uint16_t ping_sequence_ = 0;
  uint64_t pings_answered_ = 0;

  UniqueHandle stop_event_;
  std::thread pinger_;
};

}  // namespace kavex::dcom

#endif  // KAVEX_PLATFORM_DCOM_CLIENT_H_
