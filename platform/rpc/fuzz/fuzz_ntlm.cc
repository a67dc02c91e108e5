// NTLM messages: a NEGOTIATE, an AUTHENTICATE after a CHALLENGE, and the
// client's reading of a CHALLENGE, all from the same bytes.
#include <cstdint>
#include <cstring>

#include "platform/rpc/accounts.h"
#include "platform/rpc/ntlm.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static kavex::rpc::AccountStore accounts = [] {
    kavex::rpc::AccountStore store;
    kavex::rpc::Account a;
    a.user = "User";
    a.domain = "Domain";
    a.nt_hash = kavex::rpc::NtOwfV1(u"Password");
    store.Put(a);
    return store;
  }();
  static kavex::rpc::NtlmServerConfig config = [] {
    kavex::rpc::NtlmServerConfig c;
    c.random = [](uint8_t challenge[8]) { std::memset(challenge, 0x42, 8); };
    return c;
  }();
  std::span<const uint8_t> message(data, size);
  std::vector<uint8_t> challenge;
  {
    kavex::rpc::NtlmServer server(&config, &accounts);
    server.Negotiate(message, &challenge);
  }
  kavex::rpc::NtlmServer server(&config, &accounts);
  server.Negotiate(
      kavex::rpc::BuildNtlmNegotiate(kavex::rpc::kNtlmNegotiateUnicode |
                                     kavex::rpc::kNtlmExtendedSessionSecurity),
      &challenge);
  kavex::rpc::SecurityContext context;
  server.Authenticate(message, &context);
  kavex::rpc::NtlmServer::IsEmptyAuthenticate(message);
  kavex::rpc::NtlmMessageType(message);
  kavex::rpc::NtlmClientCredentials credentials;
  credentials.user = u"User";
  credentials.domain = u"Domain";
  std::vector<uint8_t> authenticate;
  kavex::rpc::Key16 key;
  kavex::rpc::BuildNtlmAuthenticate(message, credentials, &authenticate, &key);
  return 0;
}
