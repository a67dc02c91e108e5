#include "platform/rpc/ntlm.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/base/results.h"
#include "platform/rpc/accounts.h"
#include "platform/rpc/wire.h"

namespace kavex::rpc {
namespace {

std::vector<uint8_t> Hex(const char* text) {
  std::vector<uint8_t> out;
  for (const char* p = text; *p;) {
    if (*p == ' ') {
      ++p;
      continue;
    }
    out.push_back(
        static_cast<uint8_t>(std::stoi(std::string(p, 2), nullptr, 16)));
    p += 2;
  }
  return out;
}

Key16 Key(const char* text) {
  auto v = Hex(text);
  Key16 k = {};
  std::memcpy(k.data(), v.data(), 16);
  return k;
}

std::vector<uint8_t> Bytes(const Key16& k) { return {k.begin(), k.end()}; }

// The published example values: user "User", domain "Domain", password
// "Password", server challenge 0123456789abcdef, client challenge aa..aa,
// random session key 55..55, time 0.
constexpr uint8_t kServerChallenge[8] = {0x01, 0x23, 0x45, 0x67,
                                         0x89, 0xab, 0xcd, 0xef};
constexpr uint8_t kClientChallenge[8] = {0xaa, 0xaa, 0xaa, 0xaa,
                                         0xaa, 0xaa, 0xaa, 0xaa};

TEST(NtlmVectors, NtlmV1WithExtendedSessionSecurity) {
  Key16 owf = NtOwfV1(u"Password");
  EXPECT_EQ(Bytes(owf), Hex("a4f49c406510bdcab6824ee7c30fd852"));
  EXPECT_EQ(Bytes(Md4(owf)), Hex("d87262b0cde4b1cb7499becccdf10784"));
  std::vector<uint8_t> challenges(kServerChallenge, kServerChallenge + 8);
  challenges.insert(challenges.end(), kClientChallenge, kClientChallenge + 8);
  auto response = Desl(owf, Md5(challenges).data());
  EXPECT_EQ(std::vector<uint8_t>(response.begin(), response.end()),
            Hex("7537f803ae367128ca458204bde7caf81e97ed2683267232"));
  Key16 kek = HmacMd5(Md4(owf), challenges);
  EXPECT_EQ(Bytes(kek), Hex("eb93429a8bd952f8b89c55b87f475edc"));
  // Signing keys and the 56-bit sealing key of the example.
  NtlmKeys keys = DeriveNtlmKeys(kek, kNtlmNegotiate56);
  EXPECT_EQ(Bytes(keys.client_sealing),
            Hex("04dd7f014d8504d265a25cc86a3a7c06"));
  EXPECT_EQ(Bytes(keys.client_signing),
            Hex("60e799be5c72fc92922ae8ebe961fb8d"));
}

TEST(NtlmVectors, NtlmV2) {
  Key16 owf = NtOwfV2(NtOwfV1(u"Password"), u"User", u"Domain");
  EXPECT_EQ(Bytes(owf), Hex("0c868a403bfd7a93a3001ef22ef02e3f"));
  std::vector<uint8_t> temp = Hex(
      "0101000000000000 0000000000000000 aaaaaaaaaaaaaaaa 00000000"
      "02000c0044006f006d00610069006e00 01000c005300650072007600650072000000"
      "0000 00000000");
  std::vector<uint8_t> data(kServerChallenge, kServerChallenge + 8);
  data.insert(data.end(), temp.begin(), temp.end());
  Key16 proof = HmacMd5(owf, data);
  EXPECT_EQ(Bytes(proof), Hex("68cd0ab851e51c96aabc927bebef6a1c"));
  Key16 session_base = HmacMd5(owf, proof);
  EXPECT_EQ(Bytes(session_base), Hex("8de40ccadbc14a82f15cb0ad0de95ca3"));
  // The random session key 55..55 sent encrypted under the key exchange key.
  std::vector<uint8_t> random(16, 0x55);
  Rc4(session_base, random);
  EXPECT_EQ(random, Hex("c5dad2544fc9799094ce1ce90bc9d03e"));
  NtlmKeys keys =
      DeriveNtlmKeys(Key(std::string(32, '5').c_str()), kNtlmNegotiate128);
  EXPECT_EQ(Bytes(keys.client_sealing),
            Hex("59f600973cc4960a25480a7c196e4c58"));
  EXPECT_EQ(Bytes(keys.client_signing),
            Hex("4788dc861b4782f35d43fd98fe1a2d39"));
}

class NtlmExchangeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    config_.random = [](uint8_t c[8]) { std::memcpy(c, kServerChallenge, 8); };
    std::string error;
    ASSERT_EQ(
        accounts_.Parse("# test\nUser Domain a4f49c406510bdcab6824ee7c30fd852\n"
                        "opc KAVEX 00112233445566778899aabbccddeeff\n",
                        &error),
        ERROR_SUCCESS)
        << error;
    credentials_.user = u"User";
    credentials_.domain = u"Domain";
    credentials_.nt_hash = NtOwfV1(u"Password");
    credentials_.client_challenge = kClientChallenge;
  }

  DWORD Exchange(SecurityContext* context, Key16* client_key = nullptr) {
    NtlmServer server(&config_, &accounts_);
    std::vector<uint8_t> challenge, authenticate;
    EXPECT_TRUE(server.Negotiate(
        BuildNtlmNegotiate(kNtlmNegotiateUnicode | kNtlmNegotiateNtlm |
                           kNtlmExtendedSessionSecurity | kNtlmNegotiate128),
        &challenge));
    challenge_ = challenge;
    EXPECT_TRUE(BuildNtlmAuthenticate(challenge, credentials_, &authenticate,
                                      client_key));
    return server.Authenticate(authenticate, context);
  }

  NtlmServerConfig config_;
  AccountStore accounts_;
  NtlmClientCredentials credentials_;
  std::vector<uint8_t> challenge_;
};

TEST_F(NtlmExchangeTest, ChallengeCarriesWhatClientsRequire) {
  SecurityContext context;
  ASSERT_EQ(Exchange(&context), ERROR_SUCCESS);
  WireReader r(challenge_);
  uint32_t flags = 0;
  ASSERT_TRUE(r.Skip(20) && r.U32(&flags));
  EXPECT_TRUE(flags & kNtlmExtendedSessionSecurity);
  EXPECT_TRUE(flags & kNtlmTargetInfo);
  EXPECT_EQ(0, std::memcmp(&challenge_[24], kServerChallenge, 8));
  uint16_t target_name_length =
      static_cast<uint16_t>(challenge_[12] | challenge_[13] << 8);
  EXPECT_GT(target_name_length, 0) << "the domain must not be empty";
  // Target info: NetBIOS and DNS names, a timestamp, the end.
  std::string all(challenge_.begin(), challenge_.end());
  std::u16string computer = u"KAVEX";
  EXPECT_NE(
      all.find(std::string(reinterpret_cast<const char*>(computer.data()), 10)),
      std::string::npos);
  uint32_t info_offset = 0;
  std::memcpy(&info_offset, &challenge_[44], 4);
  std::vector<uint16_t> ids;
  WireReader av(std::span<const uint8_t>(challenge_).subspan(info_offset));
  for (;;) {
    uint16_t id = 0, length = 0;
    std::span<const uint8_t> value;
    ASSERT_TRUE(av.U16(&id) && av.U16(&length) && av.Bytes(length, &value));
    ids.push_back(id);
    if (id == kAvEol) break;
  }
  EXPECT_EQ(ids, (std::vector<uint16_t>{kAvNbDomainName, kAvNbComputerName,
                                        kAvDnsDomainName, kAvDnsComputerName,
                                        kAvTimestamp, kAvEol}));
}

TEST_F(NtlmExchangeTest, BothFormsVerifyAndAgreeOnTheSessionKey) {
  for (bool v2 : {true, false}) {
    SCOPED_TRACE(v2 ? "NTLMv2" : "NTLMv1 with extended session security");
    credentials_.ntlmv2 = v2;
    SecurityContext context;
    Key16 client_key;
    ASSERT_EQ(Exchange(&context, &client_key), ERROR_SUCCESS);
    EXPECT_TRUE(context.authenticated);
    EXPECT_EQ(context.user, "User");
    EXPECT_EQ(context.domain, "Domain");
    EXPECT_EQ(context.ntlmv2, v2);
    EXPECT_EQ(context.session_key, client_key);
    if (!v2) {
      EXPECT_EQ(Bytes(context.session_key),
                Hex("eb93429a8bd952f8b89c55b87f475edc"));
    }
    // The user name compares without case.
    credentials_.user = u"USER";
    EXPECT_EQ(Exchange(&context), ERROR_SUCCESS);
    credentials_.user = u"User";
  }
}

TEST_F(NtlmExchangeTest, RefusesWhatItCannotVerify) {
  SecurityContext context;
  for (bool v2 : {true, false}) {
    credentials_.ntlmv2 = v2;
    credentials_.nt_hash = NtOwfV1(u"password");  // wrong password
    EXPECT_EQ(Exchange(&context), ERROR_ACCESS_DENIED);
    credentials_.nt_hash = NtOwfV1(u"Password");
    credentials_.user = u"Nobody";
    EXPECT_EQ(Exchange(&context), ERROR_ACCESS_DENIED);
    credentials_.user = u"User";
    credentials_.domain = u"Other";
    EXPECT_EQ(Exchange(&context), ERROR_ACCESS_DENIED);
    credentials_.domain = u"Domain";
  }
  EXPECT_FALSE(context.authenticated);

  NtlmServer server(&config_, &accounts_);
  std::vector<uint8_t> challenge, authenticate;
  // An AUTHENTICATE before any CHALLENGE.
  credentials_.ntlmv2 = true;
  ASSERT_TRUE(
      server.Negotiate(BuildNtlmNegotiate(kNtlmNegotiateUnicode), &challenge));
  ASSERT_TRUE(
      BuildNtlmAuthenticate(challenge, credentials_, &authenticate, nullptr));
  NtlmServer fresh(&config_, &accounts_);
  EXPECT_EQ(fresh.Authenticate(authenticate, &context), ERROR_ACCESS_DENIED);
  // A replay of a good AUTHENTICATE after it was used.
  EXPECT_EQ(server.Authenticate(authenticate, &context), ERROR_SUCCESS);
  EXPECT_EQ(server.Authenticate(authenticate, &context), ERROR_ACCESS_DENIED);

  // Plain NTLMv1 (no client challenge in the LM field) is refused.
  ASSERT_TRUE(
      server.Negotiate(BuildNtlmNegotiate(kNtlmNegotiateUnicode), &challenge));
  credentials_.ntlmv2 = false;
  ASSERT_TRUE(
      BuildNtlmAuthenticate(challenge, credentials_, &authenticate, nullptr));
  uint32_t flags = 0;
  std::memcpy(&flags, &authenticate[60], 4);
  flags &= ~kNtlmExtendedSessionSecurity;
  std::memcpy(&authenticate[60], &flags, 4);
  EXPECT_EQ(server.Authenticate(authenticate, &context), ERROR_ACCESS_DENIED);
}

TEST(NtlmMessages, HostileMessagesAreRefusedCleanly) {
  NtlmServerConfig config;
  AccountStore accounts;
  std::string error;
  ASSERT_EQ(accounts.Parse("u d 00112233445566778899aabbccddeeff\n", &error),
            ERROR_SUCCESS);
  NtlmClientCredentials credentials;
  credentials.user = u"u";
  credentials.domain = u"d";
  std::vector<uint8_t> challenge, good;
  {
    NtlmServer server(&config, &accounts);
    ASSERT_TRUE(server.Negotiate(BuildNtlmNegotiate(kNtlmNegotiateUnicode),
                                 &challenge));
    ASSERT_TRUE(BuildNtlmAuthenticate(challenge, credentials, &good, nullptr));
  }
  struct Case {
    const char* name;
    std::vector<uint8_t> message;
  };
  std::vector<Case> cases = {
      {"empty", {}},
      {"signature only", std::vector<uint8_t>(good.begin(), good.begin() + 8)},
      {"truncated fields",
       std::vector<uint8_t>(good.begin(), good.begin() + 40)},
      {"wrong type", good},
      {"field beyond the end", good},
      {"huge offset", good},
      {"anonymous", good},
  };
  cases[3].message[8] = 1;
  cases[4].message[20] = 0xff;  // NT response length
  cases[4].message[21] = 0xff;
  cases[5].message[24] = 0xff;  // NT response offset
  cases[5].message[27] = 0xff;
  std::memset(&cases[6].message[36], 0, 2);  // no user name
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NtlmServer server(&config, &accounts);
    std::vector<uint8_t> ignored;
    ASSERT_TRUE(
        server.Negotiate(BuildNtlmNegotiate(kNtlmNegotiateUnicode), &ignored));
    SecurityContext context;
    DWORD result = server.Authenticate(c.message, &context);
    EXPECT_NE(result, ERROR_SUCCESS);
    EXPECT_FALSE(context.authenticated);
  }
  NtlmServer server(&config, &accounts);
  std::vector<uint8_t> out;
  EXPECT_FALSE(server.Negotiate({}, &out));
  EXPECT_FALSE(server.Negotiate(
      std::vector<uint8_t>(good.begin(), good.begin() + 12), &out));
  EXPECT_FALSE(NtlmServer::IsEmptyAuthenticate(good));
  EXPECT_FALSE(NtlmServer::IsEmptyAuthenticate({}));
  // The message type: the word after the signature, or 0 without one.
  EXPECT_EQ(NtlmMessageType(good), kNtlmAuthenticateMessage);
  EXPECT_EQ(NtlmMessageType(BuildNtlmNegotiate(kNtlmNegotiateUnicode)),
            kNtlmNegotiateMessage);
  EXPECT_EQ(NtlmMessageType({}), 0u);
  EXPECT_EQ(NtlmMessageType(
                std::vector<uint8_t>(good.begin(), good.begin() + 11)),
            0u)
      << "cut inside the type";
  std::vector<uint8_t> other_signature = good;
  other_signature[0] = 'X';
  EXPECT_EQ(NtlmMessageType(other_signature), 0u);
}

}  // namespace
}  // namespace kavex::rpc
