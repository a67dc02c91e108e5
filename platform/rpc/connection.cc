#include "platform/rpc/connection.h"

#include <algorithm>
#include <atomic>

#include "platform/base/results.h"
#include "platform/log/logger.h"

namespace kavex::rpc {

namespace {

constexpr uint32_t kFaultCancel = 0x1C00000D;  // nca_s_fault_cancel
// Bind-time feature: keep the connection when a call is orphaned.
constexpr uint64_t kFeatureKeepConnectionOnOrphan = 0x2;

uint32_t NextAssocGroup() {
  static std::atomic<uint32_t> next{0x1000};
  return next.fetch_add(1);
}

}  // namespace

void EncodeResponse(uint32_t call_id, uint16_t context_id, uint16_t max_xmit,
                    std::span<const uint8_t> stub, std::vector<uint8_t>* out) {
  constexpr size_t kOverhead = kHeaderSize + 8;
  size_t per_fragment = max_xmit > kOverhead ? max_xmit - kOverhead : 8;
  per_fragment &= ~size_t{7};
  if (per_fragment == 0) per_fragment = 8;
  size_t offset = 0;
  Pdu pdu;
  pdu.header.type = PduType::kResponse;
  pdu.header.call_id = call_id;
  pdu.context_id = context_id;
  do {
    size_t n = std::min(per_fragment, stub.size() - offset);
    pdu.header.flags =
        static_cast<uint8_t>((offset == 0 ? kPfcFirstFrag : 0) |
                             (offset + n == stub.size() ? kPfcLastFrag : 0));
    pdu.alloc_hint = static_cast<uint32_t>(stub.size() - offset);
    pdu.stub.assign(stub.begin() + offset, stub.begin() + offset + n);
    EncodePdu(pdu, out);
    offset += n;
  } while (offset < stub.size());
}

Connection::Connection(uint64_t id, const ConnectionConfig* config)
    : id_(id), config_(config) {
  max_xmit_ = config->limits.max_fragment;
  max_recv_ = config->limits.max_fragment;
}

Connection::~Connection() = default;

void Connection::Receive(std::span<const uint8_t> data) {
  if (closing_) return;
  input_.insert(input_.end(), data.begin(), data.end());
  size_t offset = 0;
  while (!closing_) {
    std::span<const uint8_t> rest(input_.data() + offset,
                                  input_.size() - offset);
    size_t length = 0;
    // Binds and auth3 carry tokens of their own size; requests keep to the
    // negotiated fragment size.
    ParseStatus status =
        PeekFragmentLength(rest, config_->limits.max_fragment, &length);
    if (status == ParseStatus::kOk &&
        rest[2] == static_cast<uint8_t>(PduType::kRequest) &&
        length > max_recv_) {
      status = ParseStatus::kTooLarge;
    }
    if (status == ParseStatus::kNeedMore) break;
    if (status != ParseStatus::kOk) {
      log::Logf(log::Level::kWarning, "rpc", "connection %llu: %s; closing it",
                static_cast<unsigned long long>(id_), ParseStatusName(status));
      if (status == ParseStatus::kUnsupportedDataRepresentation &&
          rest.size() >= kHeaderSize) {
        uint32_t call_id = rest[12] | rest[13] << 8 | rest[14] << 16 |
                           static_cast<uint32_t>(rest[15]) << 24;
        auto type = static_cast<PduType>(rest[2]);
        if (type == PduType::kBind) {
          SendBindNak(call_id, kNakReasonNotSpecified);
        } else if (type == PduType::kRequest) {
          SendFault(call_id, 0, kFaultUnsupportedType);
        }
      }
      Close();
      break;
    }
    Pdu pdu;
    status = ParsePdu(rest.subspan(0, length), &pdu);
    offset += length;
    if (status != ParseStatus::kOk) {
      log::Logf(log::Level::kWarning, "rpc", "connection %llu: %s; closing it",
                static_cast<unsigned long long>(id_), ParseStatusName(status));
      if (rest[2] == static_cast<uint8_t>(PduType::kRequest)) {
        SendFault(pdu.header.call_id, 0, kFaultProtocolError);
      }
      Close();
      break;
    }
    HandlePdu(pdu);
  }
  if (closing_) {
    input_.clear();
  } else {
    input_.erase(input_.begin(), input_.begin() + static_cast<long>(offset));
  }
  if (output_.size() > config_->limits.max_output_bytes) Close();
}

void Connection::HandlePdu(const Pdu& pdu) {
  switch (pdu.header.type) {
    case PduType::kBind:
      HandleBind(pdu, false);
      return;
    case PduType::kAlterContext:
      HandleBind(pdu, true);
      return;
    case PduType::kAuth3:
      HandleAuth3(pdu);
      return;
    case PduType::kRequest:
      HandleRequest(pdu);
      return;
    case PduType::kCoCancel:
      HandleCancel(pdu, false);
      return;
    case PduType::kOrphaned:
      HandleCancel(pdu, true);
      return;
    case PduType::kShutdown:
      return;  // only servers send it; nothing to do
    default:
      // Responses, faults and acknowledgements are not for a server.
      log::Logf(log::Level::kWarning, "rpc",
                "connection %llu: unexpected PDU type %u; closing it",
                static_cast<unsigned long long>(id_),
                static_cast<unsigned>(pdu.header.type));
      Close();
  }
}

void Connection::SendFault(uint32_t call_id, uint16_t context_id,
                           uint32_t status) {
  Pdu fault;
  fault.header.type = PduType::kFault;
  fault.header.flags = kPfcFirstFrag | kPfcLastFrag | kPfcDidNotExecute;
  fault.header.call_id = call_id;
  fault.context_id = context_id;
  fault.status = status;
  EncodePdu(fault, &output_);
}

void Connection::SendBindNak(uint32_t call_id, uint16_t reason) {
  Pdu nak;
  nak.header.type = PduType::kBindNak;
  nak.header.call_id = call_id;
  nak.reject_reason = reason;
  EncodePdu(nak, &output_);
}

void Connection::NegotiateContexts(const Pdu& pdu, Pdu* reply) {
  for (const ContextElement& e : pdu.contexts) {
    ContextResult result;
    uint64_t features = 0;
    bool feature_negotiation = false;
    for (const SyntaxId& t : e.transfer_syntaxes) {
      if (IsBindTimeFeatureSyntax(t, &features)) feature_negotiation = true;
    }
    auto known = contexts_.find(e.context_id);
    if (feature_negotiation) {
      result.result = kResultNegotiateAck;
      result.reason =
          static_cast<uint16_t>(features & kFeatureKeepConnectionOnOrphan);
    } else if (known == contexts_.end() &&
               contexts_.size() >= config_->limits.max_contexts) {
      result.result = kResultProviderRejection;
      result.reason = kReasonLocalLimitExceeded;
    } else if (!config_->dispatcher->SupportsInterface(e.abstract_syntax) ||
               (known != contexts_.end() &&
                !(known->second == e.abstract_syntax))) {
      result.result = kResultProviderRejection;
      result.reason = kReasonAbstractSyntaxNotSupported;
    } else if (std::find(e.transfer_syntaxes.begin(), e.transfer_syntaxes.end(),
                         kNdr20Syntax) == e.transfer_syntaxes.end()) {
      // NDR64 and anything else: only NDR 2.0 is spoken.
      result.result = kResultProviderRejection;
      result.reason = kReasonTransferSyntaxesNotSupported;
    } else {
      result.transfer_syntax = kNdr20Syntax;
      contexts_[e.context_id] = e.abstract_syntax;
    }
    reply->results.push_back(result);
  }
}

void Connection::HandleBind(const Pdu& pdu, bool alter) {
  const uint32_t call_id = pdu.header.call_id;
  if (!alter && bound_) {
    // One bind per connection; a second one is a protocol error.
    SendBindNak(call_id, kNakReasonNotSpecified);
    Close();
    return;
  }
  if (alter && !bound_) {
    SendFault(call_id, 0, kFaultProtocolError);
    Close();
    return;
  }
  Pdu reply;
  reply.header.type = alter ? PduType::kAlterContextResp : PduType::kBindAck;
  reply.header.call_id = call_id;
  if (!alter) {
    const Limits& l = config_->limits;
    // The client's max_xmit is what we receive, its max_recv what we send.
    max_recv_ =
        std::clamp<uint16_t>(pdu.max_xmit_frag, l.min_fragment, l.max_fragment);
    max_xmit_ =
        std::clamp<uint16_t>(pdu.max_recv_frag, l.min_fragment, l.max_fragment);
    assoc_group_ = pdu.assoc_group_id != 0    ? pdu.assoc_group_id
                   : config_->new_assoc_group ? config_->new_assoc_group()
                                              : NextAssocGroup();
  }
  reply.max_xmit_frag = max_xmit_;
  reply.max_recv_frag = max_recv_;
  reply.assoc_group_id = assoc_group_;
  if (!alter) reply.secondary_address = config_->secondary_address;

  if (pdu.has_auth) {
    const AuthVerifier& a = pdu.auth;
    if (a.auth_type != kAuthnWinNt) {
      if (alter) {
        SendFault(call_id, 0, kFaultAccessDenied);
      } else {
        SendBindNak(call_id, kNakAuthenticationTypeNotRecognized);
      }
      Close();
      return;
    }
    const uint32_t message = NtlmMessageType(a.auth_value);
    if (!ntlm_challenged_ &&
        (!security_.authenticated || message == kNtlmNegotiateMessage)) {
      // A first exchange, or a new one on an authenticated connection (a
      // client adding an interface under a logon of its own): the caller
      // stays who it was until the new AUTHENTICATE is verified.
      if (a.auth_level != kAuthLevelConnect) {
        // Integrity and privacy need signing and sealing, not served yet.
        if (alter) {
          SendFault(call_id, 0, kFaultAccessDenied);
        } else {
          SendBindNak(call_id, kNakAuthenticationTypeNotRecognized);
        }
        Close();
        return;
      }
      ntlm_ = std::make_unique<NtlmServer>(config_->ntlm, config_->accounts);
      std::vector<uint8_t> challenge;
      if (!ntlm_->Negotiate(a.auth_value, &challenge)) {
        log::Logf(log::Level::kWarning, "rpc",
                  "connection %llu: NTLM message type %u where a NEGOTIATE "
                  "belongs; closing it",
                  static_cast<unsigned long long>(id_), message);
        if (alter) {
          SendFault(call_id, 0, kFaultAccessDenied);
        } else {
          SendBindNak(call_id, kNakInvalidChecksum);
        }
        Close();
        return;
      }
      ntlm_challenged_ = true;
      exchange_type_ = a.auth_type;
      exchange_level_ = a.auth_level;
      exchange_context_id_ = a.auth_context_id;
      reply.has_auth = true;
      reply.auth.auth_type = a.auth_type;
      reply.auth.auth_level = a.auth_level;
      reply.auth.auth_context_id = a.auth_context_id;
      reply.auth.auth_value = std::move(challenge);
    } else if (ntlm_challenged_) {
      // The third leg in an alter_context instead of an auth3.
      if (!FinishExchange(a)) {
        SendFault(call_id, 0, kFaultAccessDenied);
        Close();
        return;
      }
    } else if (message == kNtlmAuthenticateMessage &&
               NtlmServer::IsEmptyAuthenticate(a.auth_value)) {
      // Some clients put an empty AUTHENTICATE in an alter_context on an
      // authenticated connection: it needs no answer and changes nothing.
    } else {
      // An AUTHENTICATE with no exchange running, a CHALLENGE, or no NTLM
      // message at all.
      log::Logf(log::Level::kWarning, "rpc",
                "connection %llu: NTLM message type %u out of turn; closing it",
                static_cast<unsigned long long>(id_), message);
      SendFault(call_id, 0, kFaultAccessDenied);
      Close();
      return;
    }
  }
  NegotiateContexts(pdu, &reply);
  bound_ = true;
  EncodePdu(reply, &output_);
}

void Connection::HandleAuth3(const Pdu& pdu) {
  if (!pdu.has_auth || !ntlm_challenged_) {
    // An auth3 out of turn: nothing to answer, and later calls fail.
    auth_failed_ = true;
    return;
  }
  if (!FinishExchange(pdu.auth)) auth_failed_ = true;
}

bool Connection::FinishExchange(const AuthVerifier& auth) {
  SecurityContext context;
  DWORD result = auth.auth_type == exchange_type_
                     ? ntlm_->Authenticate(auth.auth_value, &context)
                     : ERROR_ACCESS_DENIED;
  ntlm_challenged_ = false;
  if (result != ERROR_SUCCESS) {
    log::Logf(log::Level::kWarning, "rpc",
              "connection %llu: logon refused (%s)",
              static_cast<unsigned long long>(id_), Win32ErrorName(result));
    return false;
  }
  context.auth_type = exchange_type_;
  context.auth_level = exchange_level_;
  context.auth_context_id = exchange_context_id_;
  const bool again = security_.authenticated;
  security_ = context;
  log::Logf(log::Level::kDebug, "rpc",
            "connection %llu: %s\\%s logged on%s%s (context %u)",
            static_cast<unsigned long long>(id_), security_.domain.c_str(),
            security_.user.c_str(),
            security_.ntlmv2 ? " (NTLMv2)" : " (NTLMv1, extended)",
            again ? " again" : "", security_.auth_context_id);
  return true;
}

void Connection::HandleRequest(const Pdu& pdu) {
  const uint32_t call_id = pdu.header.call_id;
  const bool first = pdu.header.flags & kPfcFirstFrag;
  const bool last = pdu.header.flags & kPfcLastFrag;
  const Limits& l = config_->limits;
  auto it = reassembling_.find(call_id);
  if (first) {
    if (it != reassembling_.end()) {
      // A new call under the id of one still arriving.
      buffered_bytes_ -= it->second.call.stub.size();
      reassembling_.erase(it);
      SendFault(call_id, pdu.context_id, kFaultProtocolError);
      Close();
      return;
    }
    if (auth_failed_) {
      SendFault(call_id, pdu.context_id, kFaultAccessDenied);
      Close();
      return;
    }
    auto context = contexts_.find(pdu.context_id);
    if (context == contexts_.end()) {
      SendFault(call_id, pdu.context_id, kFaultUnknownInterface);
      return;
    }
    if (!security_.authenticated &&
        !config_->dispatcher->AllowsAnonymous(context->second)) {
      SendFault(call_id, pdu.context_id, kFaultAccessDenied);
      Close();
      return;
    }
    if (pending_calls() >= l.max_pending_calls) {
      SendFault(call_id, pdu.context_id, kFaultServerTooBusy);
      return;
    }
    Reassembly r;
    r.call.call_id = call_id;
    r.call.context_id = pdu.context_id;
    r.call.opnum = pdu.opnum;
    r.call.interface = context->second;
    r.call.has_object = pdu.has_object;
    r.call.object = pdu.object;
    r.call.max_xmit = max_xmit_;
    // The hint is the client's word only: reserve no more than the limit.
    r.call.stub.reserve(std::min<size_t>(pdu.alloc_hint, l.max_call_bytes));
    it = reassembling_.emplace(call_id, std::move(r)).first;
  } else if (it == reassembling_.end()) {
    SendFault(call_id, pdu.context_id, kFaultProtocolError);
    Close();
    return;
  } else if (pdu.context_id != it->second.call.context_id ||
             pdu.opnum != it->second.call.opnum) {
    buffered_bytes_ -= it->second.call.stub.size();
    reassembling_.erase(it);
    SendFault(call_id, pdu.context_id, kFaultProtocolError);
    Close();
    return;
  }
  Reassembly& r = it->second;
  if (++r.fragments > l.max_fragments_per_call ||
      r.call.stub.size() + pdu.stub.size() > l.max_call_bytes ||
      buffered_bytes_ + pdu.stub.size() > l.max_buffered_bytes) {
    buffered_bytes_ -= r.call.stub.size();
    reassembling_.erase(it);
    SendFault(call_id, pdu.context_id, kFaultRemoteNoMemory);
    Close();
    return;
  }
  r.call.stub.insert(r.call.stub.end(), pdu.stub.begin(), pdu.stub.end());
  buffered_bytes_ += pdu.stub.size();
  if (last) {
    ready_.push_back(std::move(r.call));
    reassembling_.erase(it);
  }
}

void Connection::HandleCancel(const Pdu& pdu, bool orphaned) {
  const uint32_t call_id = pdu.header.call_id;
  bool dropped = false;
  if (auto r = reassembling_.find(call_id); r != reassembling_.end()) {
    buffered_bytes_ -= r->second.call.stub.size();
    reassembling_.erase(r);
    dropped = true;
  }
  for (auto it = ready_.begin(); it != ready_.end(); ++it) {
    if (it->call_id == call_id) {
      buffered_bytes_ -= it->stub.size();
      ready_.erase(it);
      dropped = true;
      break;
    }
  }
  // A call already running answers as usual; an orphaned call is dropped
  // silently.
  if (dropped && !orphaned) SendFault(call_id, 0, kFaultCancel);
}

std::optional<PendingCall> Connection::TakeCall() {
  if (running_ || ready_.empty() || closing_) return std::nullopt;
  PendingCall call = std::move(ready_.front());
  ready_.pop_front();
  buffered_bytes_ -= call.stub.size();
  running_ = true;
  return call;
}

CallRequest Connection::MakeRequest(const PendingCall& call) const {
  CallRequest request;
  request.connection_id = id_;
  request.assoc_group_id = assoc_group_;
  request.interface = call.interface;
  request.context_id = call.context_id;
  request.opnum = call.opnum;
  request.has_object = call.has_object;
  request.object = call.object;
  request.stub = call.stub;
  request.security = &security_;
  return request;
}

void Connection::Complete(const PendingCall& call,
                          const CallResponse& response) {
  running_ = false;
  if (closing_) return;
  if (response.fault != 0) {
    SendFault(call.call_id, call.context_id, response.fault);
  } else {
    EncodeResponse(call.call_id, call.context_id, call.max_xmit, response.stub,
                   &output_);
  }
  if (output_.size() > config_->limits.max_output_bytes) Close();
}

void Connection::DispatchPendingForTesting() {
  while (auto call = TakeCall()) {
    CallResponse response;
    config_->dispatcher->Dispatch(MakeRequest(*call), &response);
    Complete(*call, response);
  }
}

}  // namespace kavex::rpc
