// The client side of a connection: connect over TCP, bind one or more
// interfaces (NTLM at the connect level, or none), and make calls with
// fragmentation and reassembly both ways. Blocking, with a time-out on
// every wait. Used by our own DCOM client and by the tests.
#ifndef KAVEX_PLATFORM_RPC_CLIENT_H_
#define KAVEX_PLATFORM_RPC_CLIENT_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/base/types.h"
#include "platform/rpc/ntlm.h"
#include "platform/rpc/pdu.h"

namespace kavex::rpc {

struct ClientOptions {
  uint16_t max_fragment = 5840;  // offered max_xmit and max_recv
  int timeout_ms = 10000;        // per wait for the server
  // Null: no authentication.
  const NtlmClientCredentials* credentials = nullptr;
};

class RpcClient {
 public:
  explicit RpcClient(ClientOptions options = {}) : options_(options) {}
  ~RpcClient();
  RpcClient(const RpcClient&) = delete;
  RpcClient& operator=(const RpcClient&) = delete;

  // ERROR_SUCCESS or a Win32 error (ERROR_NOT_READY when refused).
  DWORD Connect(const std::string& address, uint16_t port);
  // Binds `interface` as context 0 (with the NTLM exchange when
  // credentials are set). ERROR_SUCCESS; ERROR_ACCESS_DENIED for a
  // bind_nak or a refused context; ERROR_INVALID_DATA for a bad reply.
  DWORD Bind(const SyntaxId& interface);
  // Adds a context for another interface; returns its id through *context.
  DWORD AlterContext(const SyntaxId& interface, uint16_t* context);
  // One call on `context`: *fault is 0 and *out the response stub data, or
  // *fault the server's fault status. ERROR_SUCCESS unless the connection
  // failed.
  DWORD Call(uint16_t context, uint16_t opnum, std::span<const uint8_t> in,
             std::vector<uint8_t>* out, uint32_t* fault,
             const GUID* object = nullptr);
  // Sends raw bytes (tests of hostile input).
  DWORD SendRaw(std::span<const uint8_t> bytes);
  // Receives one whole PDU.
  DWORD ReceivePdu(Pdu* pdu);
  // True once the server closed the connection (waits up to the time-out).
  bool WaitClosed();
  void Close();

  uint16_t max_xmit() const { return max_xmit_; }
  const Key16& session_key() const { return session_key_; }
  int fd() const { return fd_; }

 private:
  DWORD SendPdu(const Pdu& pdu);
  void AddAuth(Pdu* pdu, std::vector<uint8_t> token);

  ClientOptions options_;
  int fd_ = -1;
  uint32_t call_id_ = 1;
  uint16_t next_context_ = 1;
  uint16_t max_xmit_ = 0;
  std::vector<uint8_t> input_;
  bool authenticated_ = false;
  Key16 session_key_ = {};
};

}  // namespace kavex::rpc

#endif  // KAVEX_PLATFORM_RPC_CLIENT_H_
