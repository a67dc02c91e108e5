#include "platform/rpc/connection.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "platform/rpc/pdu.h"
#include "platform/rpc/rpc_test_support.h"

namespace kavex::rpc {
namespace {

using testing::EchoDispatcher;
using testing::kEchoInterface;

std::vector<uint8_t> Hex(const char* text) {
  std::vector<uint8_t> out;
  for (const char* p = text; *p;) {
    if (*p == ' ' || *p == '\n') {
      ++p;
      continue;
    }
    out.push_back(
        static_cast<uint8_t>(std::stoi(std::string(p, 2), nullptr, 16)));
    p += 2;
  }
  return out;
}

// A bind as the connection-oriented protocol lays it out: header (version
// 5.0, type 11, first|last, little-endian ASCII IEEE, frag_length 72, no
// auth, call id 1), max_xmit 5840, max_recv 5840, group 0, one context
// (id 0, one transfer syntax) for IRemUnknown 0.0 over NDR 2.0.
constexpr char kBindBytes[] =
    "05000b03 10000000 4800 0000 01000000"
    "d016 d016 00000000"
    "01 00 0000"
    "0000 01 00"
    "31010000 0000 0000 c000 000000000046 00000000"
    "045d888a eb1c c911 9fe8 08002b104860 02000000";

TEST(PduCodec, ParsesHandBuiltBindAndEncodesItBack) {
  std::vector<uint8_t> bytes = Hex(kBindBytes);
  ASSERT_EQ(bytes.size(), 72u);
  Pdu pdu;
  ASSERT_EQ(ParsePdu(bytes, &pdu), ParseStatus::kOk);
  EXPECT_EQ(pdu.header.type, PduType::kBind);
  EXPECT_EQ(pdu.header.call_id, 1u);
  EXPECT_EQ(pdu.max_xmit_frag, 5840);
  ASSERT_EQ(pdu.contexts.size(), 1u);
  EXPECT_EQ(pdu.contexts[0].abstract_syntax.uuid.Data1, 0x131u);
  EXPECT_EQ(pdu.contexts[0].abstract_syntax.uuid.Data4[7], 0x46);
  ASSERT_EQ(pdu.contexts[0].transfer_syntaxes.size(), 1u);
  EXPECT_EQ(pdu.contexts[0].transfer_syntaxes[0], kNdr20Syntax);
  std::vector<uint8_t> encoded;
  EncodePdu(pdu, &encoded);
  EXPECT_EQ(encoded, bytes);
}

TEST(PduCodec, RoundTripsEveryTypeWithTrailer) {
  // A request with object UUID, stub data of 5 bytes (3 bytes of padding
  // before the trailer) and a 16-byte verifier.
  Pdu request;
  request.header.type = PduType::kRequest;
  request.header.flags = kPfcFirstFrag | kPfcLastFrag | kPfcObjectUuid;
  request.header.call_id = 7;
  request.alloc_hint = 5;
  request.context_id = 2;
  request.opnum = 9;
  request.object = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  request.stub = {1, 2, 3, 4, 5};
  request.has_auth = true;
  request.auth.auth_type = kAuthnWinNt;
  request.auth.auth_level = kAuthLevelConnect;
  request.auth.auth_value.assign(16, 0xAB);
  std::vector<uint8_t> bytes;
  EncodePdu(request, &bytes);
  // 16 + 8 + 16 + 5 + 3 padding + 8 + 16.
  ASSERT_EQ(bytes.size(), 72u);
  EXPECT_EQ(bytes[10], 16);              // auth_length
  EXPECT_EQ(bytes[72 - 16 - 8 + 2], 3);  // auth_pad_length
  Pdu parsed;
  ASSERT_EQ(ParsePdu(bytes, &parsed), ParseStatus::kOk);
  EXPECT_EQ(parsed.stub, request.stub);
  EXPECT_EQ(parsed.opnum, 9);
  EXPECT_TRUE(parsed.has_object);
  EXPECT_EQ(parsed.object, request.object);
  EXPECT_EQ(parsed.auth.auth_value, request.auth.auth_value);

  Pdu ack;
  ack.header.type = PduType::kBindAck;
  ack.max_xmit_frag = ack.max_recv_frag = 4280;
  ack.assoc_group_id = 0x1234;
  ack.secondary_address = "4135";
  ack.results.push_back({kResultAcceptance, 0, kNdr20Syntax});
  ack.results.push_back({kResultProviderRejection, 2, {}});
  bytes.clear();
  EncodePdu(ack, &bytes);
  ASSERT_EQ(ParsePdu(bytes, &parsed), ParseStatus::kOk);
  EXPECT_EQ(parsed.secondary_address, "4135");
  ASSERT_EQ(parsed.results.size(), 2u);
  EXPECT_EQ(parsed.results[1].reason, 2);
  EXPECT_EQ(parsed.assoc_group_id, 0x1234u);

  Pdu fault;
  fault.header.type = PduType::kFault;
  fault.status = kFaultBadStubData;
  bytes.clear();
  EncodePdu(fault, &bytes);
  EXPECT_EQ(bytes.size(), 32u);
  ASSERT_EQ(ParsePdu(bytes, &parsed), ParseStatus::kOk);
  EXPECT_EQ(parsed.status, kFaultBadStubData);

  for (PduType type :
       {PduType::kShutdown, PduType::kOrphaned, PduType::kCoCancel,
        PduType::kAuth3, PduType::kBindNak}) {
    Pdu p;
    p.header.type = type;
    p.reject_reason = kNakLocalLimitExceeded;
    bytes.clear();
    EncodePdu(p, &bytes);
    ASSERT_EQ(ParsePdu(bytes, &parsed), ParseStatus::kOk);
    EXPECT_EQ(parsed.header.type, type);
  }
  EXPECT_EQ(parsed.reject_reason, kNakLocalLimitExceeded);
}

TEST(PduCodec, HostileBytesAreReportedNotRead) {
  std::vector<uint8_t> bind = Hex(kBindBytes);
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    ParseStatus expected;
  };
  std::vector<Case> cases;
  cases.push_back({"truncated header",
                   {bind.begin(), bind.begin() + 10},
                   ParseStatus::kNeedMore});
  cases.push_back({"truncated body",
                   {bind.begin(), bind.begin() + 50},
                   ParseStatus::kNeedMore});
  auto with = [&](size_t at, uint8_t value) {
    std::vector<uint8_t> b = bind;
    b[at] = value;
    return b;
  };
  cases.push_back({"version 4", with(0, 4), ParseStatus::kBadHeader});
  cases.push_back(
      {"frag_length below the header", with(8, 4), ParseStatus::kBadHeader});
  cases.push_back({"auth_length beyond the fragment", with(10, 80),
                   ParseStatus::kBadHeader});
  cases.push_back({"big-endian", with(4, 0x00),
                   ParseStatus::kUnsupportedDataRepresentation});
  cases.push_back(
      {"EBCDIC", with(4, 0x11), ParseStatus::kUnsupportedDataRepresentation});
  cases.push_back(
      {"VAX floats", with(5, 1), ParseStatus::kUnsupportedDataRepresentation});
  cases.push_back(
      {"more contexts than bytes", with(24, 200), ParseStatus::kMalformed});
  cases.push_back({"more transfer syntaxes than bytes", with(30, 9),
                   ParseStatus::kMalformed});
  cases.push_back({"unknown type", with(2, 99), ParseStatus::kMalformed});
  {
    // A request whose auth padding claims more than the body holds.
    Pdu r;
    r.header.type = PduType::kRequest;
    r.has_auth = true;
    r.auth.auth_value.assign(16, 0);
    std::vector<uint8_t> b;
    EncodePdu(r, &b);
    b[b.size() - 16 - 8 + 2] = 200;
    cases.push_back(
        {"auth padding beyond the body", b, ParseStatus::kMalformed});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Pdu pdu;
    size_t length = 0;
    ParseStatus peek = PeekFragmentLength(c.bytes, 0xFFFF, &length);
    ParseStatus status =
        peek == ParseStatus::kOk ? ParsePdu(c.bytes, &pdu) : peek;
    EXPECT_EQ(status, c.expected) << ParseStatusName(status);
  }
  size_t length = 0;
  EXPECT_EQ(PeekFragmentLength(bind, 64, &length), ParseStatus::kTooLarge);
}

class ConnectionTest : public ::testing::Test {
 protected:
  ConnectionTest() : accounts_(testing::TestAccounts()) {
    config_.dispatcher = &dispatcher_;
    config_.ntlm = &ntlm_;
    config_.accounts = &accounts_;
    config_.secondary_address = "4135";
  }

  Connection& connection() {
    if (!connection_) connection_ = std::make_unique<Connection>(1, &config_);
    return *connection_;
  }

  // Sends PDUs, runs what queued, and parses what came back.
  std::vector<Pdu> Send(const std::vector<Pdu>& pdus) {
    std::vector<uint8_t> bytes;
    for (const Pdu& p : pdus) EncodePdu(p, &bytes);
    return SendBytes(bytes);
  }
  std::vector<Pdu> SendBytes(std::span<const uint8_t> bytes) {
    connection().Receive(bytes);
    connection().DispatchPendingForTesting();
    std::vector<Pdu> out;
    std::vector<uint8_t>& o = connection().output();
    size_t at = 0;
    while (at < o.size()) {
      size_t length = 0;
      EXPECT_EQ(
          PeekFragmentLength({o.data() + at, o.size() - at}, 0xFFFF, &length),
          ParseStatus::kOk);
      Pdu p;
      EXPECT_EQ(ParsePdu({o.data() + at, length}, &p), ParseStatus::kOk);
      out.push_back(std::move(p));
      at += length;
    }
    o.clear();
    return out;
  }

  Pdu Bind(uint16_t fragment = 5840) {
    Pdu bind;
    bind.header.type = PduType::kBind;
    bind.max_xmit_frag = bind.max_recv_frag = fragment;
    bind.contexts.push_back({0, kEchoInterface, {kNdr20Syntax}});
    bind.has_auth = true;
    bind.auth.auth_type = kAuthnWinNt;
    bind.auth.auth_level = kAuthLevelConnect;
    bind.auth.auth_value =
        BuildNtlmNegotiate(kNtlmNegotiateUnicode | kNtlmNegotiateNtlm |
                           kNtlmExtendedSessionSecurity);
    return bind;
  }

  // Binds and logs on; true when the connection is ready for calls.
  bool LogOn(const NtlmClientCredentials& credentials,
             uint16_t fragment = 5840) {
    std::vector<Pdu> replies = Send({Bind(fragment)});
    if (replies.size() != 1 || replies[0].header.type != PduType::kBindAck ||
        !replies[0].has_auth) {
      return false;
    }
    Pdu auth3;
    auth3.header.type = PduType::kAuth3;
    auth3.has_auth = true;
    auth3.auth.auth_type = kAuthnWinNt;
    auth3.auth.auth_level = kAuthLevelConnect;
    if (!BuildNtlmAuthenticate(replies[0].auth.auth_value, credentials,
                               &auth3.auth.auth_value, nullptr)) {
      return false;
    }
    return Send({auth3}).empty();
  }

  static Pdu Request(uint16_t opnum, std::vector<uint8_t> stub,
                     uint32_t call_id = 0,
                     uint8_t flags = kPfcFirstFrag | kPfcLastFrag) {
    Pdu r;
    r.header.type = PduType::kRequest;
    r.header.call_id = call_id;
    r.header.flags = flags;
    r.opnum = opnum;
    r.alloc_hint = static_cast<uint32_t>(stub.size());
    r.stub = std::move(stub);
    // The dummy verifier of the connect level.
    r.has_auth = true;
    r.auth.auth_type = kAuthnWinNt;
    r.auth.auth_level = kAuthLevelConnect;
    r.auth.auth_value.assign(16, 0);
    r.auth.auth_value[0] = 1;
    return r;
  }

  EchoDispatcher dispatcher_;
  NtlmServerConfig ntlm_;
  AccountStore accounts_;
  ConnectionConfig config_;
  std::unique_ptr<Connection> connection_;
};

TEST_F(ConnectionTest, BindNegotiatesEachContext) {
  Pdu bind = Bind();
  SyntaxId feature = {
      {0x6cb71c2c, 0x9812, 0x4540, {3, 0, 0, 0, 0, 0, 0, 0}}, 1, 0};
  SyntaxId unknown = kEchoInterface;
  unknown.uuid.Data1 ^= 1;
  bind.contexts.push_back({1, kEchoInterface, {kNdr64Syntax}});
  bind.contexts.push_back({2, kEchoInterface, {feature}});
  bind.contexts.push_back({3, unknown, {kNdr20Syntax}});
  bind.contexts.push_back({4, kEchoInterface, {kNdr64Syntax, kNdr20Syntax}});
  std::vector<Pdu> replies = Send({bind});
  ASSERT_EQ(replies.size(), 1u);
  const Pdu& ack = replies[0];
  EXPECT_EQ(ack.header.type, PduType::kBindAck);
  EXPECT_EQ(ack.secondary_address, "4135");
  EXPECT_NE(ack.assoc_group_id, 0u);
  ASSERT_EQ(ack.results.size(), 5u);
  EXPECT_EQ(ack.results[0].result, kResultAcceptance);
  EXPECT_EQ(ack.results[0].transfer_syntax, kNdr20Syntax);
  EXPECT_EQ(ack.results[1].result, kResultProviderRejection);
  EXPECT_EQ(ack.results[1].reason, kReasonTransferSyntaxesNotSupported);
  EXPECT_EQ(ack.results[2].result, kResultNegotiateAck);
  EXPECT_EQ(ack.results[2].reason, 2) << "keep connection on orphan only";
  EXPECT_EQ(ack.results[3].result, kResultProviderRejection);
  EXPECT_EQ(ack.results[3].reason, kReasonAbstractSyntaxNotSupported);
  EXPECT_EQ(ack.results[4].result, kResultAcceptance);
  // The CHALLENGE rides in the trailer with the client's type and level.
  ASSERT_TRUE(ack.has_auth);
  EXPECT_EQ(ack.auth.auth_type, kAuthnWinNt);
  EXPECT_EQ(ack.auth.auth_level, kAuthLevelConnect);
  EXPECT_EQ(std::memcmp(ack.auth.auth_value.data(), "NTLMSSP", 8), 0);
  EXPECT_EQ(ack.auth.auth_value[8], 2);
}

TEST_F(ConnectionTest, AuthenticatedCallsWithCallIdZeroAndDummyVerifier) {
  ASSERT_TRUE(LogOn(testing::TestCredentials()));
  EXPECT_TRUE(connection().security().authenticated);
  EXPECT_EQ(connection().security().user, "opc");
  for (int i = 0; i < 3; ++i) {
    std::vector<Pdu> replies = Send({Request(0, {1, 2, 3, 4, 5, 6, 7, 8, 9})});
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].header.type, PduType::kResponse);
    EXPECT_EQ(replies[0].header.call_id, 0u);
    EXPECT_FALSE(replies[0].has_auth) << "no trailer at the connect level";
    EXPECT_EQ(replies[0].stub,
              (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
  }
  EXPECT_EQ(dispatcher_.last_user, "opc");
  // An alter_context with an empty AUTHENTICATE, as some clients send it.
  Pdu alter;
  alter.header.type = PduType::kAlterContext;
  alter.contexts.push_back({5, kEchoInterface, {kNdr20Syntax}});
  alter.has_auth = true;
  alter.auth.auth_type = kAuthnWinNt;
  alter.auth.auth_level = kAuthLevelConnect;
  alter.auth.auth_value =
      Hex("4e544c4d53535000 03000000"
          "0000000048000000 0000000048000000"
          "0000000048000000 0000000048000000"
          "0000000048000000 0000000048000000"
          "05028a02");
  EXPECT_TRUE(NtlmServer::IsEmptyAuthenticate(alter.auth.auth_value));
  std::vector<Pdu> replies = Send({alter});
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].header.type, PduType::kAlterContextResp);
  EXPECT_FALSE(replies[0].has_auth);
  ASSERT_EQ(replies[0].results.size(), 1u);
  EXPECT_EQ(replies[0].results[0].result, kResultAcceptance);
  Pdu on_new_context = Request(0, {42});
  on_new_context.context_id = 5;
  replies = Send({on_new_context});
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].stub, std::vector<uint8_t>{42});
}

// Helpers for the exchanges after the first: an alter_context adding a
// context under a token, and an auth3, both under an auth context id of
// their own (as a client opening a second security context uses).
constexpr uint32_t kSecondAuthContext = 79232;

Pdu AlterWith(std::vector<uint8_t> token, uint16_t context_id = 1,
              uint32_t auth_context_id = kSecondAuthContext) {
  Pdu alter;
  alter.header.type = PduType::kAlterContext;
  alter.header.call_id = 2;
  alter.contexts.push_back({context_id, kEchoInterface, {kNdr20Syntax}});
  alter.has_auth = true;
  alter.auth.auth_type = kAuthnWinNt;
  alter.auth.auth_level = kAuthLevelConnect;
  alter.auth.auth_context_id = auth_context_id;
  alter.auth.auth_value = std::move(token);
  return alter;
}

Pdu Auth3With(std::vector<uint8_t> token,
              uint32_t auth_context_id = kSecondAuthContext) {
  Pdu auth3;
  auth3.header.type = PduType::kAuth3;
  auth3.has_auth = true;
  auth3.auth.auth_type = kAuthnWinNt;
  auth3.auth.auth_level = kAuthLevelConnect;
  auth3.auth.auth_context_id = auth_context_id;
  auth3.auth.auth_value = std::move(token);
  return auth3;
}

std::vector<uint8_t> NegotiateToken() {
  return BuildNtlmNegotiate(kNtlmNegotiateUnicode | kNtlmNegotiateNtlm |
                            kNtlmExtendedSessionSecurity);
}

std::vector<uint8_t> AnswerTo(const std::vector<uint8_t>& challenge,
                              const NtlmClientCredentials& credentials) {
  std::vector<uint8_t> token;
  EXPECT_TRUE(BuildNtlmAuthenticate(challenge, credentials, &token, nullptr));
  return token;
}

TEST_F(ConnectionTest, NewExchangeOnAnAuthenticatedConnection) {
  Account historian;
  historian.user = "historian";
  historian.domain = "PLANT";
  historian.nt_hash = NtOwfV1(u"other");
  accounts_.Put(historian);
  NtlmClientCredentials second;
  second.user = u"historian";
  second.domain = u"PLANT";
  second.nt_hash = NtOwfV1(u"other");
  // Every challenge different, to see the second exchange draw its own.
  uint8_t draw = 0;
  ntlm_.random = [&draw](uint8_t challenge[8]) {
    std::memset(challenge, ++draw, 8);
  };

  // The third leg in an auth3, and in the alter_context itself.
  for (bool in_auth3 : {true, false}) {
    SCOPED_TRACE(in_auth3 ? "auth3" : "alter_context");
    connection_.reset();
    ASSERT_TRUE(LogOn(testing::TestCredentials()));
    std::vector<Pdu> replies = Send({AlterWith(NegotiateToken())});
    ASSERT_EQ(replies.size(), 1u);
    const Pdu resp = replies[0];
    EXPECT_EQ(resp.header.type, PduType::kAlterContextResp);
    ASSERT_TRUE(resp.has_auth) << "the CHALLENGE rides in the reply";
    EXPECT_EQ(NtlmMessageType(resp.auth.auth_value), kNtlmChallengeMessage);
    EXPECT_EQ(resp.auth.auth_context_id, kSecondAuthContext);
    ASSERT_EQ(resp.results.size(), 1u);
    EXPECT_EQ(resp.results[0].result, kResultAcceptance);
    // The first logon still holds while the exchange runs.
    Pdu between = Request(0, {7});
    between.context_id = 1;
    replies = Send({between});
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].header.type, PduType::kResponse);
    EXPECT_EQ(dispatcher_.last_user, "opc");

    std::vector<uint8_t> answer = AnswerTo(resp.auth.auth_value, second);
    if (in_auth3) {
      EXPECT_TRUE(Send({Auth3With(answer)}).empty());
    } else {
      replies = Send({AlterWith(answer, 2)});
      ASSERT_EQ(replies.size(), 1u);
      EXPECT_EQ(replies[0].header.type, PduType::kAlterContextResp);
      EXPECT_FALSE(replies[0].has_auth);
    }
    EXPECT_EQ(connection().security().user, "historian");
    EXPECT_EQ(connection().security().auth_context_id, kSecondAuthContext);
    // Calls with the verifier of either context, on either context.
    for (uint32_t auth_context : {0u, kSecondAuthContext}) {
      for (uint16_t context : {0, 1}) {
        Pdu call = Request(0, {9});
        call.context_id = context;
        call.auth.auth_context_id = auth_context;
        replies = Send({call});
        ASSERT_EQ(replies.size(), 1u);
        EXPECT_EQ(replies[0].header.type, PduType::kResponse);
        EXPECT_EQ(dispatcher_.last_user, "historian");
      }
    }
    EXPECT_FALSE(connection().closing());
  }
}

TEST_F(ConnectionTest, HostileAndOutOfOrderTokensAreRefused) {
  enum class Expect {
    kBindNak,         // the bind is refused, the connection closes
    kFault,           // the alter_context gets access denied and closes
    kNextCallDenied,  // no answer; the next call is denied and closes
  };
  struct Case {
    const char* name;
    bool logged_on;  // the sequence starts on an authenticated connection
    std::function<std::vector<Pdu>()> run;
    Expect expect;
  };
  // An AUTHENTICATE that would be right for some other challenge.
  std::vector<uint8_t> stray;
  {
    NtlmServer other(&ntlm_, &accounts_);
    std::vector<uint8_t> challenge;
    ASSERT_TRUE(other.Negotiate(NegotiateToken(), &challenge));
    stray = AnswerTo(challenge, testing::TestCredentials());
  }
  std::vector<uint8_t> unknown_type = NegotiateToken();
  unknown_type[8] = 7;
  std::vector<uint8_t> challenge_type = NegotiateToken();
  challenge_type[8] = 2;
  const std::vector<uint8_t> not_ntlm = {'K', 'E', 'R', 'B', 1, 0, 0, 0};
  // Opens a second exchange and answers its challenge with `credentials`.
  auto second_exchange = [this](const NtlmClientCredentials& credentials,
                                bool in_auth3) {
    std::vector<Pdu> r = Send({AlterWith(NegotiateToken())});
    if (r.size() != 1 || !r[0].has_auth) return r;
    std::vector<uint8_t> answer = AnswerTo(r[0].auth.auth_value, credentials);
    return in_auth3 ? Send({Auth3With(answer)}) : Send({AlterWith(answer, 2)});
  };
  auto bind_with = [this](std::vector<uint8_t> token) {
    Pdu bind = Bind();
    bind.auth.auth_value = std::move(token);
    return Send({bind});
  };
  std::vector<Case> cases = {
      {"AUTHENTICATE before any NEGOTIATE", false,
       [&] { return bind_with(stray); }, Expect::kBindNak},
      {"unknown message type in the bind", false,
       [&] { return bind_with(unknown_type); }, Expect::kBindNak},
      {"not an NTLM message in the bind", false,
       [&] { return bind_with(not_ntlm); }, Expect::kBindNak},
      {"NEGOTIATE twice in the first exchange", false,
       [&] {
         Send({Bind()});
         return Send({AlterWith(NegotiateToken())});
       },
       Expect::kFault},
      {"NEGOTIATE twice in a second exchange", true,
       [&] {
         Send({AlterWith(NegotiateToken())});
         return Send({AlterWith(NegotiateToken(), 2)});
       },
       Expect::kFault},
      {"AUTHENTICATE with no exchange running", true,
       [&] { return Send({AlterWith(stray)}); }, Expect::kFault},
      {"auth3 with no exchange running", true,
       [&] { return Send({Auth3With(stray)}); }, Expect::kNextCallDenied},
      {"AUTHENTICATE of another challenge for the second", true,
       [&] {
         Send({AlterWith(NegotiateToken())});
         return Send({Auth3With(stray)});
       },
       Expect::kNextCallDenied},
      {"wrong password on the second exchange (auth3)", true,
       [&] { return second_exchange(testing::TestCredentials(u"x"), true); },
       Expect::kNextCallDenied},
      {"wrong password on the second exchange (alter_context)", true,
       [&] { return second_exchange(testing::TestCredentials(u"x"), false); },
       Expect::kFault},
      {"unknown message type on an authenticated connection", true,
       [&] { return Send({AlterWith(unknown_type)}); }, Expect::kFault},
      {"a CHALLENGE from the client", true,
       [&] { return Send({AlterWith(challenge_type)}); }, Expect::kFault},
      {"not an NTLM message on an authenticated connection", true,
       [&] { return Send({AlterWith(not_ntlm)}); }, Expect::kFault},
      {"a signature cut short on an authenticated connection", true,
       [&] {
         return Send({AlterWith({'N', 'T', 'L', 'M', 'S', 'S', 'P', 0, 1})});
       },
       Expect::kFault},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    connection_.reset();
    if (c.logged_on) {
      ASSERT_TRUE(LogOn(testing::TestCredentials()));
    }
    const int calls = dispatcher_.calls;
    std::vector<Pdu> replies = c.run();
    switch (c.expect) {
      case Expect::kBindNak:
        ASSERT_EQ(replies.size(), 1u);
        EXPECT_EQ(replies[0].header.type, PduType::kBindNak);
        break;
      case Expect::kFault:
        ASSERT_EQ(replies.size(), 1u);
        EXPECT_EQ(replies[0].header.type, PduType::kFault);
        EXPECT_EQ(replies[0].status, kFaultAccessDenied);
        break;
      case Expect::kNextCallDenied:
        EXPECT_TRUE(replies.empty());
        EXPECT_FALSE(connection().closing());
        replies = Send({Request(0, {1})});
        ASSERT_EQ(replies.size(), 1u);
        EXPECT_EQ(replies[0].header.type, PduType::kFault);
        EXPECT_EQ(replies[0].status, kFaultAccessDenied);
        break;
    }
    EXPECT_TRUE(connection().closing());
    EXPECT_EQ(dispatcher_.calls, calls) << "no call ran after the refusal";
  }
}

TEST_F(ConnectionTest, FragmentsBothWaysAtSmallNegotiatedSizes) {
  config_.limits.min_fragment = 64;
  ASSERT_TRUE(LogOn(testing::TestCredentials(), 64));
  // A request of 300 bytes in fragments of 64 bytes (24 of headers, 24 of
  // trailer with the verifier, so 16 of stub data each).
  std::vector<uint8_t> stub(300);
  for (size_t i = 0; i < stub.size(); ++i)
    stub[i] = static_cast<uint8_t>(i * 7);
  std::vector<Pdu> fragments;
  for (size_t at = 0; at < stub.size(); at += 16) {
    size_t n = std::min<size_t>(16, stub.size() - at);
    uint8_t flags =
        static_cast<uint8_t>((at == 0 ? kPfcFirstFrag : 0) |
                             (at + n == stub.size() ? kPfcLastFrag : 0));
    Pdu f = Request(0, {stub.begin() + at, stub.begin() + at + n}, 3, flags);
    f.alloc_hint = static_cast<uint32_t>(stub.size() - at);
    fragments.push_back(f);
  }
  std::vector<Pdu> replies = Send(fragments);
  ASSERT_GT(replies.size(), 1u);
  std::vector<uint8_t> answer;
  for (size_t i = 0; i < replies.size(); ++i) {
    const Pdu& r = replies[i];
    EXPECT_EQ(r.header.type, PduType::kResponse);
    EXPECT_LE(r.header.frag_length, 64);
    EXPECT_EQ((r.header.flags & kPfcFirstFrag) != 0, i == 0);
    EXPECT_EQ((r.header.flags & kPfcLastFrag) != 0, i + 1 == replies.size());
    EXPECT_EQ(r.alloc_hint, stub.size() - answer.size());
    answer.insert(answer.end(), r.stub.begin(), r.stub.end());
  }
  EXPECT_EQ(answer, stub);
}

TEST_F(ConnectionTest, RefusedLogonsAndCallsBeforeLogon) {
  // Wrong password: the auth3 has no answer; the first call is refused.
  ASSERT_TRUE(LogOn(testing::TestCredentials(u"wrong")));
  std::vector<Pdu> replies = Send({Request(0, {1})});
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].header.type, PduType::kFault);
  EXPECT_EQ(replies[0].status, kFaultAccessDenied);
  EXPECT_TRUE(connection().closing());
  EXPECT_EQ(dispatcher_.calls, 0);

  // No authentication at all.
  connection_.reset();
  Pdu bind = Bind();
  bind.has_auth = false;
  replies = Send({bind});
  ASSERT_EQ(replies.size(), 1u);
  replies = Send({Request(0, {1})});
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].status, kFaultAccessDenied);

  // Bound and challenged, but the call comes before the auth3.
  connection_.reset();
  replies = Send({Bind()});
  ASSERT_EQ(replies.size(), 1u);
  replies = Send({Request(0, {1})});
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].status, kFaultAccessDenied);

  // Negotiate (SPNEGO) and the integrity level are refused at bind time.
  for (auto [type, level] : {std::pair<uint8_t, uint8_t>{kAuthnGssNegotiate, 2},
                             {kAuthnWinNt, kAuthLevelPktPrivacy}}) {
    connection_.reset();
    bind = Bind();
    bind.auth.auth_type = type;
    bind.auth.auth_level = level;
    replies = Send({bind});
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].header.type, PduType::kBindNak);
    EXPECT_EQ(replies[0].reject_reason, kNakAuthenticationTypeNotRecognized);
    EXPECT_TRUE(connection().closing());
  }
  EXPECT_EQ(dispatcher_.calls, 0);
}

TEST_F(ConnectionTest, HostileRequestsGetFaultsOrClose) {
  config_.limits.max_fragments_per_call = 4;
  config_.limits.max_call_bytes = 64;
  config_.limits.max_pending_calls = 2;
  struct Case {
    const char* name;
    std::vector<Pdu> pdus;
    uint32_t fault;  // 0: a response
    bool closes;
  };
  Pdu unknown_context = Request(0, {1});
  unknown_context.context_id = 9;
  Pdu huge_hint = Request(0, {1, 2});
  huge_hint.alloc_hint = 0xFFFFFFFF;
  std::vector<Pdu> many_fragments;
  for (int i = 0; i < 6; ++i) {
    many_fragments.push_back(Request(0, {1}, 5, i == 0 ? kPfcFirstFrag : 0));
  }
  std::vector<Pdu> too_big = {
      Request(0, std::vector<uint8_t>(40), 5, kPfcFirstFrag),
      Request(0, std::vector<uint8_t>(40), 5, kPfcLastFrag)};
  std::vector<Pdu> switching_opnum = {Request(0, {1}, 5, kPfcFirstFrag),
                                      Request(1, {1}, 5, kPfcLastFrag)};
  Pdu second_bind = Bind();
  std::vector<Case> cases = {
      {"unknown opnum", {Request(77, {})}, kFaultOpRangeError, false},
      {"unknown context", {unknown_context}, kFaultUnknownInterface, false},
      {"huge allocation hint", {huge_hint}, 0, false},
      {"too many fragments", many_fragments, kFaultRemoteNoMemory, true},
      {"too many bytes", too_big, kFaultRemoteNoMemory, true},
      {"middle fragment without a first",
       {Request(0, {1}, 6, 0)},
       kFaultProtocolError,
       true},
      {"opnum changes between fragments", switching_opnum, kFaultProtocolError,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    connection_.reset();
    ASSERT_TRUE(LogOn(testing::TestCredentials()));
    std::vector<Pdu> replies = Send(c.pdus);
    ASSERT_EQ(replies.size(), 1u);
    if (c.fault == 0) {
      EXPECT_EQ(replies[0].header.type, PduType::kResponse);
    } else {
      EXPECT_EQ(replies[0].header.type, PduType::kFault);
      EXPECT_EQ(replies[0].status, c.fault);
    }
    EXPECT_EQ(connection().closing(), c.closes);
  }
  // Calls that each keep to the limit but together exceed what a
  // connection may hold.
  connection_.reset();
  config_.limits.max_buffered_bytes = 100;
  ASSERT_TRUE(LogOn(testing::TestCredentials()));
  std::vector<Pdu> two = {
      Request(0, std::vector<uint8_t>(60), 20, kPfcFirstFrag),
      Request(0, std::vector<uint8_t>(60), 21, kPfcFirstFrag)};
  std::vector<Pdu> out = Send(two);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].status, kFaultRemoteNoMemory);
  EXPECT_TRUE(connection().closing());
  config_.limits.max_buffered_bytes = 8 << 20;

  // A second bind on the connection.
  connection_.reset();
  ASSERT_TRUE(LogOn(testing::TestCredentials()));
  std::vector<Pdu> replies = Send({Bind()});
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].header.type, PduType::kBindNak);
  EXPECT_TRUE(connection().closing());

  // More calls queued than allowed: the surplus is refused, not queued.
  connection_.reset();
  ASSERT_TRUE(LogOn(testing::TestCredentials()));
  std::vector<uint8_t> bytes;
  for (uint32_t id = 10; id < 13; ++id) EncodePdu(Request(0, {1}, id), &bytes);
  connection().Receive(bytes);
  EXPECT_EQ(connection().pending_calls(), 2u);
  replies = SendBytes({});
  ASSERT_EQ(replies.size(), 3u);
  EXPECT_EQ(replies[0].header.type, PduType::kFault);
  EXPECT_EQ(replies[0].status, kFaultServerTooBusy);
  EXPECT_EQ(replies[0].header.call_id, 12u);
  EXPECT_EQ(replies[1].header.call_id, 10u);
  EXPECT_EQ(replies[2].header.call_id, 11u);
}

TEST_F(ConnectionTest, GarbageAndOtherRepresentationsClose) {
  // A big-endian bind gets a bind_nak.
  std::vector<uint8_t> bind = Hex(kBindBytes);
  bind[4] = 0x00;
  std::vector<Pdu> replies = SendBytes(bind);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].header.type, PduType::kBindNak);
  EXPECT_TRUE(connection().closing());
  // Bytes that are no PDU at all.
  connection_.reset();
  std::vector<uint8_t> garbage(64, 0x41);
  EXPECT_TRUE(SendBytes(garbage).empty());
  EXPECT_TRUE(connection().closing());
  // A fragment longer than the negotiated size.
  connection_.reset();
  ASSERT_TRUE(LogOn(testing::TestCredentials(), 1432));
  Pdu big = Request(0, std::vector<uint8_t>(2000));
  std::vector<uint8_t> bytes;
  EncodePdu(big, &bytes);
  EXPECT_TRUE(SendBytes(bytes).empty());
  EXPECT_TRUE(connection().closing());
  // A truncated PDU waits for the rest and answers nothing.
  connection_.reset();
  bind = Hex(kBindBytes);
  connection().Receive({bind.data(), 40});
  EXPECT_TRUE(connection().partial_pdu());
  EXPECT_TRUE(connection().output().empty());
  EXPECT_FALSE(connection().closing());
}

TEST_F(ConnectionTest, OrphanedAndCancelledCallsAreDropped) {
  ASSERT_TRUE(LogOn(testing::TestCredentials()));
  Pdu orphaned;
  orphaned.header.type = PduType::kOrphaned;
  orphaned.header.call_id = 4;
  std::vector<Pdu> replies =
      Send({Request(0, {1}, 4, kPfcFirstFrag), orphaned});
  EXPECT_TRUE(replies.empty());
  EXPECT_EQ(connection().pending_calls(), 0u);
  Pdu cancel;
  cancel.header.type = PduType::kCoCancel;
  cancel.header.call_id = 4;
  replies = Send({Request(0, {1}, 4, kPfcFirstFrag), cancel});
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].header.type, PduType::kFault);
  // The same call id works again afterwards.
  replies = Send({Request(0, {9}, 4)});
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].stub, std::vector<uint8_t>{9});
  EXPECT_FALSE(connection().closing());
}

}  // namespace
}  // namespace kavex::rpc
