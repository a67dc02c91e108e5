// What the RPC layer hands to the services above it: a complete call
// (interface, opnum, object UUID, reassembled stub data, who called) in,
// a status and the response stub data out. The DCOM layer plugs in its
// activation, OXID resolver, IRemUnknown and the ORPC stubs through one
// Dispatcher per listener.
#ifndef KAVEX_PLATFORM_RPC_DISPATCHER_H_
#define KAVEX_PLATFORM_RPC_DISPATCHER_H_

#include <cstdint>
#include <span>
#include <vector>

#include "platform/base/types.h"
#include "platform/rpc/ntlm.h"
#include "platform/rpc/pdu.h"

namespace kavex::rpc {

struct CallRequest {
  uint64_t connection_id = 0;
  uint32_t assoc_group_id = 0;
  SyntaxId interface;  // the abstract syntax of the call's context
  uint16_t context_id = 0;
  uint16_t opnum = 0;
  bool has_object = false;  // ORPC calls name the IPID here
  GUID object = {};
  std::span<const uint8_t> stub;  // NDR 2.0, little-endian
  // Who the connection authenticated as (authenticated false on an
  // interface that AllowsAnonymous).
  const SecurityContext* security = nullptr;
};

struct CallResponse {
  // Non-zero: the call fails with a fault PDU of this status (for example
  // kFaultOpRangeError, kFaultBadStubData, kFaultAccessDenied) and `stub`
  // is not sent.
  uint32_t fault = 0;
  std::vector<uint8_t> stub;
};

class Dispatcher {
 public:
  virtual ~Dispatcher() = default;
  // Whether a presentation context for this interface (UUID and version)
  // is accepted at bind time.
  virtual bool SupportsInterface(const SyntaxId& interface) const = 0;
  // Interfaces that may be called without authentication. None by default:
  // every caller logs on.
  virtual bool AllowsAnonymous(const SyntaxId& /*interface*/) const {
    return false;
  }
  // Runs one call. Called on a worker thread; calls of different
  // connections run concurrently, calls of one connection one at a time in
  // the order they arrived.
  virtual void Dispatch(const CallRequest& call, CallResponse* response) = 0;
  // The connection is gone (closed by either side); whatever it held can be
  // released. Called on the listener's thread after its last call ended.
  virtual void ConnectionClosed(uint64_t /*connection_id*/) {}
};

}  // namespace kavex::rpc

#endif  // KAVEX_PLATFORM_RPC_DISPATCHER_H_
