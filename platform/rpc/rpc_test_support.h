// Shared by the connection and listener tests: a test interface, its
// dispatcher and an account.
#ifndef KAVEX_PLATFORM_RPC_RPC_TEST_SUPPORT_H_
#define KAVEX_PLATFORM_RPC_RPC_TEST_SUPPORT_H_

#include <atomic>
#include <cstring>
#include <string>

#include "platform/base/results.h"
#include "platform/rpc/accounts.h"
#include "platform/rpc/connection.h"
#include "platform/rpc/dispatcher.h"
#include "platform/rpc/ntlm.h"

namespace kavex::rpc::testing {

// {6a8f3c52-1b0e-4d2a-9c71-3e5d2f8a4b10} v1.0
inline const SyntaxId kEchoInterface = {
    {0x6a8f3c52,
     0x1b0e,
     0x4d2a,
     {0x9c, 0x71, 0x3e, 0x5d, 0x2f, 0x8a, 0x4b, 0x10}},
    1,
    0};

// opnum 0 echoes the stub data; opnum 1 answers as many bytes (i & 0xff) as
// the first four bytes ask; any other opnum is out of range.
class EchoDispatcher : public Dispatcher {
 public:
  bool SupportsInterface(const SyntaxId& interface) const override {
    return interface == kEchoInterface;
  }
  void Dispatch(const CallRequest& call, CallResponse* response) override {
    ++calls;
    last_user = call.security ? call.security->user : "";
    if (call.opnum == 0) {
      response->stub.assign(call.stub.begin(), call.stub.end());
    } else if (call.opnum == 1 && call.stub.size() >= 4) {
      uint32_t n = 0;
      std::memcpy(&n, call.stub.data(), 4);
      for (uint32_t i = 0; i < n; ++i) {
        response->stub.push_back(static_cast<uint8_t>(i));
      }
    } else {
      response->fault = kFaultOpRangeError;
    }
  }
  void ConnectionClosed(uint64_t) override { ++closed; }

  std::atomic<int> calls{0};
  std::atomic<int> closed{0};
  std::string last_user;
};

// Account "opc" in domain "KAVEX", password "secret".
inline AccountStore TestAccounts() {
  AccountStore store;
  Account a;
  a.user = "opc";
  a.domain = "KAVEX";
  a.nt_hash = NtOwfV1(u"secret");
  store.Put(a);
  return store;
}

inline NtlmClientCredentials TestCredentials(
    const char16_t* password = u"secret") {
  NtlmClientCredentials c;
  c.user = u"opc";
  c.domain = u"KAVEX";
  c.nt_hash = NtOwfV1(password);
  return c;
}

}  // namespace kavex::rpc::testing

#endif  // KAVEX_PLATFORM_RPC_RPC_TEST_SUPPORT_H_
