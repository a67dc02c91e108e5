#include "platform/rpc/client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/base/results.h"

namespace kavex::rpc {

RpcClient::~RpcClient() { Close(); }

void RpcClient::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

DWORD RpcClient::Connect(const std::string& address, uint16_t port) {
  Close();
  sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  if (inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1) {
    return ERROR_INVALID_PARAMETER;
  }
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return ERROR_NO_SYSTEM_RESOURCES;
  if (connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    Close();
    return ERROR_NOT_READY;
  }
  int one = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return ERROR_SUCCESS;
}

DWORD RpcClient::SendRaw(std::span<const uint8_t> bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n =
        send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return ERROR_GEN_FAILURE;
    done += static_cast<size_t>(n);
  }
  return ERROR_SUCCESS;
}

DWORD RpcClient::SendPdu(const Pdu& pdu) {
  std::vector<uint8_t> bytes;
  EncodePdu(pdu, &bytes);
  return SendRaw(bytes);
}

DWORD RpcClient::ReceivePdu(Pdu* pdu) {
  for (;;) {
    size_t length = 0;
    ParseStatus status = PeekFragmentLength(input_, 0xFFFF, &length);
    if (status == ParseStatus::kOk) {
      status = ParsePdu({input_.data(), length}, pdu);
      input_.erase(input_.begin(), input_.begin() + static_cast<long>(length));
      return status == ParseStatus::kOk ? ERROR_SUCCESS : ERROR_INVALID_DATA;
    }
    if (status != ParseStatus::kNeedMore) return ERROR_INVALID_DATA;
    pollfd p = {fd_, POLLIN, 0};
    int ready = poll(&p, 1, options_.timeout_ms);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return ERROR_TIMEOUT;
    uint8_t buffer[16384];
    ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return ERROR_NOT_READY;  // closed
    input_.insert(input_.end(), buffer, buffer + n);
  }
}

bool RpcClient::WaitClosed() {
  for (;;) {
    pollfd p = {fd_, POLLIN, 0};
    int ready = poll(&p, 1, options_.timeout_ms);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    uint8_t buffer[4096];
    ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return true;
  }
}

void RpcClient::AddAuth(Pdu* pdu, std::vector<uint8_t> token) {
  pdu->has_auth = true;
  pdu->auth.auth_type = kAuthnWinNt;
  pdu->auth.auth_level = kAuthLevelConnect;
  pdu->auth.auth_context_id = 0;
  pdu->auth.auth_value = std::move(token);
}

DWORD RpcClient::Bind(const SyntaxId& interface) {
  Pdu bind;
  bind.header.type = PduType::kBind;
  bind.header.call_id = call_id_++;
  bind.max_xmit_frag = options_.max_fragment;
  bind.max_recv_frag = options_.max_fragment;
  bind.contexts.push_back({0, interface, {kNdr20Syntax}});
  if (options_.credentials) {
    AddAuth(&bind, BuildNtlmNegotiate(
                       kNtlmNegotiateUnicode | kNtlmNegotiateNtlm |
                       kNtlmRequestTarget | kNtlmExtendedSessionSecurity |
                       kNtlmNegotiateAlwaysSign | kNtlmNegotiate128));
  }
  DWORD error = SendPdu(bind);
  Pdu ack;
  if (error == ERROR_SUCCESS) error = ReceivePdu(&ack);
  if (error != ERROR_SUCCESS) return error;
  if (ack.header.type == PduType::kBindNak) return ERROR_ACCESS_DENIED;
  if (ack.header.type != PduType::kBindAck || ack.results.size() != 1) {
    return ERROR_INVALID_DATA;
  }
  if (ack.results[0].result != kResultAcceptance) return ERROR_ACCESS_DENIED;
  max_xmit_ = ack.max_xmit_frag;
  if (options_.credentials) {
    if (!ack.has_auth) return ERROR_INVALID_DATA;
    std::vector<uint8_t> authenticate;
    if (!BuildNtlmAuthenticate(ack.auth.auth_value, *options_.credentials,
                               &authenticate, &session_key_)) {
      return ERROR_INVALID_DATA;
    }
    Pdu auth3;
    auth3.header.type = PduType::kAuth3;
    auth3.header.call_id = call_id_++;
    AddAuth(&auth3, std::move(authenticate));
    error = SendPdu(auth3);
    if (error != ERROR_SUCCESS) return error;
    authenticated_ = true;
  }
  return ERROR_SUCCESS;
}

DWORD RpcClient::AlterContext(const SyntaxId& interface, uint16_t* context) {
  Pdu alter;
  alter.header.type = PduType::kAlterContext;
  alter.header.call_id = call_id_++;
  alter.max_xmit_frag = options_.max_fragment;
  alter.max_recv_frag = options_.max_fragment;
  uint16_t id = next_context_++;
  alter.contexts.push_back({id, interface, {kNdr20Syntax}});
  DWORD error = SendPdu(alter);
  Pdu reply;
  if (error == ERROR_SUCCESS) error = ReceivePdu(&reply);
  if (error != ERROR_SUCCESS) return error;
  if (reply.header.type == PduType::kFault) return ERROR_ACCESS_DENIED;
  if (reply.header.type != PduType::kAlterContextResp ||
      reply.results.size() != 1) {
    return ERROR_INVALID_DATA;
  }
  if (reply.results[0].result != kResultAcceptance) return ERROR_ACCESS_DENIED;
  *context = id;
  return ERROR_SUCCESS;
}

DWORD RpcClient::Call(uint16_t context, uint16_t opnum,
                      std::span<const uint8_t> in, std::vector<uint8_t>* out,
                      uint32_t* fault, const GUID* object) {
  const uint32_t call_id = call_id_++;
  // Header, request header, object UUID and (at connect level) a trailer
  // with a 16-byte verifier.
  size_t overhead = kHeaderSize + 8 + (object ? 16 : 0) +
                    (authenticated_ ? kSecTrailerSize + 16 + 3 : 0);
  size_t per_fragment = max_xmit_ > overhead ? max_xmit_ - overhead : 8;
  per_fragment &= ~size_t{7};
  size_t offset = 0;
  do {
    size_t n = std::min(per_fragment, in.size() - offset);
    Pdu request;
    request.header.type = PduType::kRequest;
    request.header.call_id = call_id;
    request.header.flags =
        static_cast<uint8_t>((offset == 0 ? kPfcFirstFrag : 0) |
                             (offset + n == in.size() ? kPfcLastFrag : 0) |
                             (object ? kPfcObjectUuid : 0));
    request.alloc_hint = static_cast<uint32_t>(in.size() - offset);
    request.context_id = context;
    request.opnum = opnum;
    if (object) request.object = *object;
    request.stub.assign(in.begin() + offset, in.begin() + offset + n);
    if (authenticated_) {
      // The connect level carries a verifier nobody checks.
      std::vector<uint8_t> verifier(16, 0);
      verifier[0] = 1;
      AddAuth(&request, std::move(verifier));
    }
    DWORD error = SendPdu(request);
    if (error != ERROR_SUCCESS) return error;
    offset += n;
  } while (offset < in.size());

  out->clear();
  *fault = 0;
  for (;;) {
    Pdu reply;
    DWORD error = ReceivePdu(&reply);
    if (error != ERROR_SUCCESS) return error;
    if (reply.header.call_id != call_id) return ERROR_INVALID_DATA;
    if (reply.header.type == PduType::kFault) {
      *fault = reply.status;
      return ERROR_SUCCESS;
    }
    if (reply.header.type != PduType::kResponse) return ERROR_INVALID_DATA;
    out->insert(out->end(), reply.stub.begin(), reply.stub.end());
    if (reply.header.flags & kPfcLastFrag) return ERROR_SUCCESS;
  }
}

}  // namespace kavex::rpc
