// One client connection's protocol: bytes in, PDUs out, with no socket of
// its own (the listener moves the bytes; tests drive it directly).
//
// It keeps the presentation contexts, the negotiated fragment sizes, the
// association group, the NTLM exchange and the calls being reassembled.
// Complete calls queue up for the listener, which runs them through the
// Dispatcher on a worker and hands the result back with Complete().
//
// NTLM: the first exchange rides in the bind (or an alter_context) and an
// auth3 (or the alter_context's third leg). An authenticated connection may
// run a new exchange: an alter_context whose token is a NEGOTIATE gets a
// new CHALLENGE, and the AUTHENTICATE that follows is verified against the
// accounts like the first (refused: access denied, the connection closes);
// an empty AUTHENTICATE there changes nothing. At the connect level a
// request's verifier is a dummy, so calls run as the latest verified logon
// whichever auth_context_id they carry.
//
// Every limit is enforced here: fragment size, fragments and bytes per
// call, contexts, calls waiting. A client that breaks the protocol gets a
// fault (or bind_nak) where the PDU allows one and the connection closes.
#ifndef KAVEX_PLATFORM_RPC_CONNECTION_H_
#define KAVEX_PLATFORM_RPC_CONNECTION_H_

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/rpc/dispatcher.h"
#include "platform/rpc/ntlm.h"
#include "platform/rpc/pdu.h"

namespace kavex::rpc {

struct Limits {
  // Our largest fragment, both ways; the client's bind may lower it.
  uint16_t max_fragment = 5840;
  // Fragment sizes a client may ask for no smaller than this (C706's
  // minimum; tests lower it to see fragmentation with small payloads).
  uint16_t min_fragment = 1432;
  size_t max_fragments_per_call = 512;
  size_t max_call_bytes = 4 << 20;  // reassembled stub data of one request
  // Stub data of all the calls a connection has waiting or arriving.
  size_t max_buffered_bytes = 8 << 20;
  size_t max_contexts = 32;
  size_t max_pending_calls = 16;
  size_t max_connections = 512;
  size_t max_connections_per_peer = 64;
  // A PDU begun must be complete within this; a client sending a byte a
  // second is dropped.
  uint32_t pdu_deadline_ms = 10000;
  // A connection must have bound within this after it was accepted.
  uint32_t bind_deadline_ms = 30000;
  // A connection with no traffic and no call running closes after this.
  uint32_t idle_timeout_ms = 30 * 60 * 1000;
  // Replies not yet taken by the peer beyond this close the connection.
  size_t max_output_bytes = 16 << 20;
};

// What every connection of a listener shares.
struct ConnectionConfig {
  Limits limits;
  Dispatcher* dispatcher = nullptr;
  const NtlmServerConfig* ntlm = nullptr;
  const AccountStore* accounts = nullptr;
  // The port as text, sent in bind_ack ("135", "4135").
  std::string secondary_address;
  // Hands out association group ids (thread-safe); null: a counter of the
  // connection's own.
  uint32_t (*new_assoc_group)() = nullptr;
};

// A reassembled request waiting for (or in) dispatch.
struct PendingCall {
  uint32_t call_id = 0;
  uint16_t context_id = 0;
  uint16_t opnum = 0;
  SyntaxId interface;
  bool has_object = false;
  GUID object = {};
  std::vector<uint8_t> stub;
  uint16_t max_xmit = 0;  // fragment size for the response
};

class Connection {
 public:
  Connection(uint64_t id, const ConnectionConfig* config);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  uint64_t id() const { return id_; }

  // Consumes received bytes: replies are appended to output(), complete
  // calls queue for TakeCall(). After a protocol error closing() is true
  // and further bytes are ignored.
  void Receive(std::span<const uint8_t> data);

  // The next call to dispatch, in arrival order, when none is running.
  std::optional<PendingCall> TakeCall();
  // The running call ended: its response (fragmented) or fault goes out.
  void Complete(const PendingCall& call, const CallResponse& response);
  // Runs every queued call through the dispatcher on this thread.
  void DispatchPendingForTesting();

  // The request as the dispatcher sees it (pointing into `call`).
  CallRequest MakeRequest(const PendingCall& call) const;

  std::vector<uint8_t>& output() { return output_; }
  // True once the connection must close (after output() is sent).
  bool closing() const { return closing_; }
  bool call_running() const { return running_; }
  // True while a PDU has been begun but not received whole.
  bool partial_pdu() const { return !input_.empty(); }
  bool bound() const { return bound_; }
  uint32_t assoc_group() const { return assoc_group_; }
  const SecurityContext& security() const { return security_; }
  size_t pending_calls() const { return ready_.size() + reassembling_.size(); }

 private:
  struct Reassembly {
    PendingCall call;
    size_t fragments = 0;
  };

  void HandlePdu(const Pdu& pdu);
  void HandleBind(const Pdu& pdu, bool alter);
  void HandleAuth3(const Pdu& pdu);
  // Verifies the AUTHENTICATE of the running exchange (in an auth3 or an
  // alter_context); true when it logged on, and the connection's calls run
  // as that logon from then on.
  bool FinishExchange(const AuthVerifier& auth);
  void HandleRequest(const Pdu& pdu);
  void HandleCancel(const Pdu& pdu, bool orphaned);
  void NegotiateContexts(const Pdu& pdu, Pdu* reply);
  void SendFault(uint32_t call_id, uint16_t context_id, uint32_t status);
  void SendBindNak(uint32_t call_id, uint16_t reason);
  void Close() { closing_ = true; }

  uint64_t id_;
  const ConnectionConfig* config_;
  std::vector<uint8_t> input_;
  std::vector<uint8_t> output_;
  bool closing_ = false;
  bool bound_ = false;
  bool running_ = false;
  bool auth_failed_ = false;
  uint16_t max_xmit_ = 0;  // what we send
  uint16_t max_recv_ = 0;  // what we accept
  uint32_t assoc_group_ = 0;
  std::map<uint16_t, SyntaxId> contexts_;
  std::unique_ptr<NtlmServer> ntlm_;
  bool ntlm_challenged_ = false;
  // The trailer fields of the exchange running (valid while challenged).
  uint8_t exchange_type_ = 0;
  uint8_t exchange_level_ = 0;
  uint32_t exchange_context_id_ = 0;
  SecurityContext security_;
  std::map<uint32_t, Reassembly> reassembling_;
  std::deque<PendingCall> ready_;
  size_t buffered_bytes_ = 0;  // stub data in reassembling_ and ready_
};

// Splits a response into fragments of at most `max_xmit` bytes (appended to
// *out).
void EncodeResponse(uint32_t call_id, uint16_t context_id, uint16_t max_xmit,
                    std::span<const uint8_t> stub, std::vector<uint8_t>* out);

}  // namespace kavex::rpc

#endif  // KAVEX_PLATFORM_RPC_CONNECTION_H_
