// NTLM, the server side: NEGOTIATE -> CHALLENGE, then the AUTHENTICATE
// verified against the configured accounts (NTLMv2, and NTLMv1 with
// extended session security; plain NTLMv1 and anonymous logons are
// refused). A verified logon yields a SecurityContext with the exported
// session key and the signing and sealing keys derived from it, ready for
// the integrity and privacy levels.
//
// The legacy algorithms (MD4, MD5, HMAC-MD5, DES, RC4) come from nettle.
#ifndef KAVEX_PLATFORM_RPC_NTLM_H_
#define KAVEX_PLATFORM_RPC_NTLM_H_

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/types.h"

namespace kavex::rpc {

class AccountStore;

using Key16 = std::array<uint8_t, 16>;

// NegotiateFlags.
constexpr uint32_t kNtlmNegotiateUnicode = 0x00000001;
constexpr uint32_t kNtlmNegotiateOem = 0x00000002;
constexpr uint32_t kNtlmRequestTarget = 0x00000004;
constexpr uint32_t kNtlmNegotiateSign = 0x00000010;
constexpr uint32_t kNtlmNegotiateSeal = 0x00000020;
constexpr uint32_t kNtlmNegotiateLmKey = 0x00000080;
constexpr uint32_t kNtlmNegotiateNtlm = 0x00000200;
constexpr uint32_t kNtlmAnonymous = 0x00000800;
constexpr uint32_t kNtlmNegotiateAlwaysSign = 0x00008000;
constexpr uint32_t kNtlmTargetTypeDomain = 0x00010000;
constexpr uint32_t kNtlmTargetTypeServer = 0x00020000;
constexpr uint32_t kNtlmExtendedSessionSecurity = 0x00080000;
constexpr uint32_t kNtlmNegotiateIdentify = 0x00100000;
constexpr uint32_t kNtlmTargetInfo = 0x00800000;
constexpr uint32_t kNtlmNegotiateVersion = 0x02000000;
constexpr uint32_t kNtlmNegotiate128 = 0x20000000;
constexpr uint32_t kNtlmKeyExchange = 0x40000000;
constexpr uint32_t kNtlmNegotiate56 = 0x80000000;

// AV pair ids of the target information.
constexpr uint16_t kAvEol = 0;
constexpr uint16_t kAvNbComputerName = 1;
constexpr uint16_t kAvNbDomainName = 2;
constexpr uint16_t kAvDnsComputerName = 3;
constexpr uint16_t kAvDnsDomainName = 4;
constexpr uint16_t kAvFlags = 6;
constexpr uint16_t kAvTimestamp = 7;

// Message types.
constexpr uint32_t kNtlmNegotiateMessage = 1;
constexpr uint32_t kNtlmChallengeMessage = 2;
constexpr uint32_t kNtlmAuthenticateMessage = 3;

// The type of an NTLM message (the word after the "NTLMSSP" signature), or
// 0 when `message` does not begin like one.
uint32_t NtlmMessageType(std::span<const uint8_t> message);

// The primitives, for the key derivation and the tests.
Key16 Md4(std::span<const uint8_t> data);
Key16 Md5(std::span<const uint8_t> data);
Key16 HmacMd5(std::span<const uint8_t> key, std::span<const uint8_t> data);
// RC4 over `data` in place with a fresh key schedule.
void Rc4(std::span<const uint8_t> key, std::span<uint8_t> data);
// DESL: the 16-byte key padded to 21 bytes, three DES keys of 7 bytes, each
// encrypting `data`; 24 bytes.
std::array<uint8_t, 24> Desl(const Key16& key, const uint8_t data[8]);

// NTOWFv1: MD4 of the UTF-16 password (the "NT hash" accounts store).
Key16 NtOwfV1(std::u16string_view password);
// NTOWFv2: HMAC-MD5(NT hash, UTF-16(upper-case(user) + domain)).
Key16 NtOwfV2(const Key16& nt_hash, std::u16string_view user,
              std::u16string_view domain);
// Upper case as the NTLM derivations need it (ASCII and Latin-1 letters).
std::u16string NtlmUpper(std::u16string_view text);

// The keys of a session once the exported session key is known.
struct NtlmKeys {
  Key16 client_signing = {};
  Key16 server_signing = {};
  Key16 client_sealing = {};
  Key16 server_sealing = {};
};
// SIGNKEY and SEALKEY for both directions under extended session security
// (the sealing key shortened as NEGOTIATE_128 / NEGOTIATE_56 say).
NtlmKeys DeriveNtlmKeys(const Key16& exported_session_key, uint32_t flags);

// Who a connection authenticated as.
struct SecurityContext {
  bool authenticated = false;
  uint8_t auth_type = 0;
  uint8_t auth_level = 0;
  uint32_t auth_context_id = 0;
  std::string user;  // UTF-8, as the client sent it
  std::string domain;
  std::string workstation;
  bool ntlmv2 = false;
  uint32_t flags = 0;      // the negotiated NTLM flags
  Key16 session_key = {};  // ExportedSessionKey
  NtlmKeys keys;
};

struct NtlmServerConfig {
  std::u16string netbios_computer = u"KAVEX";
  std::u16string netbios_domain = u"WORKGROUP";
  std::u16string dns_computer = u"kavex";
  std::u16string dns_domain = u"local";
  // Draws the 8-byte server challenge; null = the kernel's random source.
  // Tests set a fixed one.
  std::function<void(uint8_t challenge[8])> random;
};

// One NTLM exchange (one connection's authentication). Not thread-safe.
class NtlmServer {
 public:
  NtlmServer(const NtlmServerConfig* config, const AccountStore* accounts)
      : config_(config), accounts_(accounts) {}

  // Parses NEGOTIATE and builds the CHALLENGE (always with extended
  // session security, target information and a non-zero challenge).
  // False for a malformed NEGOTIATE.
  bool Negotiate(std::span<const uint8_t> negotiate,
                 std::vector<uint8_t>* challenge);

  // Verifies AUTHENTICATE against the accounts: ERROR_SUCCESS and *context
  // filled, ERROR_ACCESS_DENIED for an unknown user, a wrong password, a
  // refused form (plain NTLMv1, anonymous), or a call out of order;
  // ERROR_INVALID_DATA for a malformed message.
  DWORD Authenticate(std::span<const uint8_t> authenticate,
                     SecurityContext* context);

  // True for the AUTHENTICATE without user, domain or responses that some
  // clients put in an alter_context on an authenticated connection.
  static bool IsEmptyAuthenticate(std::span<const uint8_t> message);

 private:
  const NtlmServerConfig* config_;
  const AccountStore* accounts_;
  bool challenged_ = false;
  uint8_t server_challenge_[8] = {};
  uint32_t flags_ = 0;
  std::vector<uint8_t> negotiate_message_;
  std::vector<uint8_t> challenge_message_;
};

// The client side, for our own DCOM client and the tests: a NEGOTIATE, and
// the AUTHENTICATE answering a CHALLENGE.
struct NtlmClientCredentials {
  std::u16string user;
  std::u16string domain;
  Key16 nt_hash = {};
  std::u16string workstation = u"KAVEX";
  bool ntlmv2 = true;  // false: NTLMv1 with extended session security
  // Fixed values for reproducible messages; random when unset.
  const uint8_t* client_challenge = nullptr;  // 8 bytes
  uint64_t timestamp = 0;                     // 0: the challenge's
};
std::vector<uint8_t> BuildNtlmNegotiate(uint32_t flags);
// False when `challenge` is not a CHALLENGE. *session_key receives the
// exported session key (no key exchange: the key exchange key).
bool BuildNtlmAuthenticate(std::span<const uint8_t> challenge,
                           const NtlmClientCredentials& credentials,
                           std::vector<uint8_t>* authenticate,
                           Key16* session_key);

}  // namespace kavex::rpc

#endif  // KAVEX_PLATFORM_RPC_NTLM_H_
