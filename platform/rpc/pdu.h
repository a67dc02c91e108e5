// The PDUs of connection-oriented DCE/RPC over TCP (ncacn_ip_tcp): the
// 16-byte common header, the body of each PDU type, and the authentication
// trailer (sec_trailer) that closes a PDU whose auth_length is not zero.
//
// Only little-endian, ASCII, IEEE data representations are spoken; Parse
// reports any other as kUnsupportedDataRepresentation so the caller can
// answer with a bind_nak or a fault. Every length read from the wire is
// checked against the bytes that are there: a PDU never reads outside its
// frag_length, and frag_length never outside the buffer.
#ifndef KAVEX_PLATFORM_RPC_PDU_H_
#define KAVEX_PLATFORM_RPC_PDU_H_

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/base/types.h"

namespace kavex::rpc {

enum class PduType : uint8_t {
  kRequest = 0,
  kResponse = 2,
  kFault = 3,
  kBind = 11,
  kBindAck = 12,
  kBindNak = 13,
  kAlterContext = 14,
  kAlterContextResp = 15,
  kAuth3 = 16,
  kShutdown = 17,
  kCoCancel = 18,
  kOrphaned = 19,
};

// pfc_flags.
constexpr uint8_t kPfcFirstFrag = 0x01;
constexpr uint8_t kPfcLastFrag = 0x02;
constexpr uint8_t kPfcPendingCancel = 0x04;  // in binds: header signing
constexpr uint8_t kPfcConcMpx = 0x10;
constexpr uint8_t kPfcDidNotExecute = 0x20;
constexpr uint8_t kPfcMaybe = 0x40;
constexpr uint8_t kPfcObjectUuid = 0x80;

constexpr size_t kHeaderSize = 16;
constexpr size_t kSecTrailerSize = 8;

// Authentication services and levels of the sec_trailer.
constexpr uint8_t kAuthnNone = 0;
constexpr uint8_t kAuthnGssNegotiate = 9;
constexpr uint8_t kAuthnWinNt = 10;  // NTLM
constexpr uint8_t kAuthLevelNone = 1;
constexpr uint8_t kAuthLevelConnect = 2;
constexpr uint8_t kAuthLevelCall = 3;
constexpr uint8_t kAuthLevelPkt = 4;
constexpr uint8_t kAuthLevelPktIntegrity = 5;
constexpr uint8_t kAuthLevelPktPrivacy = 6;

// Presentation context results of a bind_ack / alter_context_resp.
constexpr uint16_t kResultAcceptance = 0;
constexpr uint16_t kResultUserRejection = 1;
constexpr uint16_t kResultProviderRejection = 2;
constexpr uint16_t kResultNegotiateAck = 3;  // bind-time feature negotiation
constexpr uint16_t kReasonNotSpecified = 0;
constexpr uint16_t kReasonAbstractSyntaxNotSupported = 1;
constexpr uint16_t kReasonTransferSyntaxesNotSupported = 2;
constexpr uint16_t kReasonLocalLimitExceeded = 3;

// bind_nak reasons.
constexpr uint16_t kNakReasonNotSpecified = 0;
constexpr uint16_t kNakTemporaryCongestion = 1;
constexpr uint16_t kNakLocalLimitExceeded = 2;
constexpr uint16_t kNakProtocolVersionNotSupported = 4;
constexpr uint16_t kNakAuthenticationTypeNotRecognized = 8;
constexpr uint16_t kNakInvalidChecksum = 9;

// Fault statuses.
constexpr uint32_t kFaultAccessDenied = 0x00000005;
constexpr uint32_t kFaultBadStubData = 0x000006F7;  // RPC_X_BAD_STUB_DATA
constexpr uint32_t kFaultServerTooBusy = 0x000006BB;
constexpr uint32_t kFaultOpRangeError = 0x1C010002;      // nca_s_op_rng_error
constexpr uint32_t kFaultUnknownInterface = 0x1C010003;  // nca_s_unk_if
constexpr uint32_t kFaultProtocolError = 0x1C01000B;     // nca_s_proto_error
constexpr uint32_t kFaultUnsupportedType =
    0x1C000014;                                        // nca_s_unsupported_type
constexpr uint32_t kFaultRemoteNoMemory = 0x1C000016;  // nca_s_remote_no_memory

// An interface or transfer syntax: UUID and version (major in the low 16
// bits on the wire, minor in the high ones).
struct SyntaxId {
  GUID uuid = {};
  uint16_t major = 0;
  uint16_t minor = 0;
  friend bool operator==(const SyntaxId&, const SyntaxId&) = default;
};

// NDR 2.0, the only transfer syntax served.
extern const SyntaxId kNdr20Syntax;
// NDR64, refused per context.
extern const SyntaxId kNdr64Syntax;
// True for the bind-time feature negotiation syntax
// 6cb71c2c-9812-4540-xxxx-xxxxxxxxxxxx (version 1); *features receives the
// bits its UUID carries.
bool IsBindTimeFeatureSyntax(const SyntaxId& syntax, uint64_t* features);

struct Header {
  uint8_t rpc_vers = 5;
  uint8_t rpc_vers_minor = 0;
  PduType type = PduType::kRequest;
  uint8_t flags = kPfcFirstFrag | kPfcLastFrag;
  uint8_t drep[4] = {0x10, 0, 0, 0};
  uint16_t frag_length = 0;
  uint16_t auth_length = 0;
  uint32_t call_id = 0;
};

// The sec_trailer and the auth_value after it.
struct AuthVerifier {
  uint8_t auth_type = kAuthnNone;
  uint8_t auth_level = kAuthLevelNone;
  uint8_t auth_pad_length = 0;
  uint32_t auth_context_id = 0;
  std::vector<uint8_t> auth_value;
};

struct ContextElement {
  uint16_t context_id = 0;
  SyntaxId abstract_syntax;
  std::vector<SyntaxId> transfer_syntaxes;
};

struct ContextResult {
  uint16_t result = kResultAcceptance;
  uint16_t reason = kReasonNotSpecified;
  SyntaxId transfer_syntax;
};

// One parsed PDU. Which members are meaningful depends on header.type.
struct Pdu {
  Header header;
  bool has_auth = false;
  AuthVerifier auth;
  // bind, bind_ack, alter_context, alter_context_resp.
  uint16_t max_xmit_frag = 0;
  uint16_t max_recv_frag = 0;
  uint32_t assoc_group_id = 0;
  std::vector<ContextElement> contexts;  // bind, alter_context
  std::string secondary_address;         // bind_ack ("4135"), may be empty
  std::vector<ContextResult> results;    // bind_ack, alter_context_resp
  // bind_nak.
  uint16_t reject_reason = 0;
  // request, response, fault.
  uint32_t alloc_hint = 0;
  uint16_t context_id = 0;
  uint16_t opnum = 0;       // request
  bool has_object = false;  // request with kPfcObjectUuid
  GUID object = {};
  uint8_t cancel_count = 0;  // response, fault
  uint32_t status = 0;       // fault
  // The stub data of a request/response fragment (the auth padding cut
  // off), the optional body of a fault.
  std::vector<uint8_t> stub;
};

enum class ParseStatus {
  kOk,
  kNeedMore,   // fewer bytes than the header or frag_length announce
  kBadHeader,  // version, frag_length shorter than the header, ...
  kUnsupportedDataRepresentation,
  kMalformed,  // a body or trailer that does not fit the fragment
  kTooLarge,   // frag_length beyond the caller's limit
};
const char* ParseStatusName(ParseStatus status);

// The frag_length of the PDU at the start of `data` once its header is
// there (kOk and *length set), kNeedMore before, or the header's fault.
// Frag lengths above `max_fragment` give kTooLarge.
ParseStatus PeekFragmentLength(std::span<const uint8_t> data,
                               size_t max_fragment, size_t* length);

// Parses exactly one PDU of `data.size()` bytes (the frag_length).
ParseStatus ParsePdu(std::span<const uint8_t> data, Pdu* pdu);

// Encodes `pdu` (its header's type, flags, call_id; frag_length and
// auth_length are computed; the sec_trailer is padded to 4 bytes when
// has_auth). Appends to *out.
void EncodePdu(const Pdu& pdu, std::vector<uint8_t>* out);

}  // namespace kavex::rpc

#endif  // KAVEX_PLATFORM_RPC_PDU_H_
