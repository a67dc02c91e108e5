// The RPC listener against an independent client: impacket (python3)
// binds over TCP to 127.0.0.1 inside a network namespace of the test's own,
// logs on with NTLMv2 at the connect level, and calls methods of the OPC
// Common interface whose parameters the NDR engine decodes and encodes. A
// wrong password is refused and the next correct client is served.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/com/com_object.h"
#include "platform/com/task_memory.h"
#include "platform/opc/opc_descriptions.h"
#include "platform/rpc/accounts.h"
#include "platform/rpc/listener.h"
#include "platform/rpc/ndr.h"
#include "tests/e2e/command_output.h"
#include "tests/e2e/private_network.h"

namespace kavex::e2e {
namespace {

class Common : public com::ComObject<Common, IOPCCommon> {
 public:
  HRESULT SetLocaleID(LCID) override { return S_OK; }
  HRESULT GetLocaleID(LCID* lcid) override {
    *lcid = 0x409;
    return S_OK;
  }
  HRESULT QueryAvailableLocaleIDs(DWORD* count, LCID** lcids) override {
    *count = 2;
    *lcids = static_cast<LCID*>(CoTaskMemAlloc(2 * sizeof(LCID)));
    (*lcids)[0] = 0x409;
    (*lcids)[1] = 0x407;
    return S_OK;
  }
  HRESULT GetErrorString(HRESULT error, LPWSTR* text) override {
    const char16_t* message = error == E_FAIL ? u"Unspecified error" : u"?";
    size_t bytes = (std::char_traits<char16_t>::length(message) + 1) * 2;
    *text = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
    std::memcpy(*text, message, bytes);
    return S_OK;
  }
  HRESULT SetClientName(LPCWSTR name) override {
    client_name = name;
    return S_OK;
  }
  std::u16string client_name;
};

// Serves one object's IOPCCommon as a plain RPC interface.
class CommonDispatcher : public rpc::Dispatcher {
 public:
  explicit CommonDispatcher(IOPCCommon* object) : object_(object) {}
  bool SupportsInterface(const rpc::SyntaxId& s) const override {
    return s.uuid == IID_IOPCCommon && s.major == 0;
  }
  void Dispatch(const rpc::CallRequest& call,
                rpc::CallResponse* response) override {
    if (call.security && call.security->ntlmv2) ntlmv2_calls++;
    const com::InterfaceDescription* d =
        opc::FindInterfaceDescription(IID_IOPCCommon);
    response->fault = rpc::InvokeDescribedMethod(
        *d, object_, call.opnum, call.stub, 0, nullptr, &response->stub);
  }
  std::atomic<int> ntlmv2_calls{0};

 private:
  IOPCCommon* object_;
};

void ImpacketBody() {
  ASSERT_EQ(system("ip link set lo up"), 0);
  ASSERT_EQ(system("/usr/bin/python3 -c 'import impacket' 2>/dev/null"), 0)
      << "python3-impacket is missing (scripts/deps installs it)";
  com::ComPtr<Common> common;
  ASSERT_EQ(Common::CreateInstance(&common), S_OK);
  CommonDispatcher dispatcher(common.Get());
  rpc::AccountStore accounts;
  rpc::Account account;
  account.user = "opc";
  account.domain = "KAVEX";
  account.nt_hash = rpc::NtOwfV1(u"secret");
  accounts.Put(account);
  rpc::NtlmServerConfig ntlm;
  rpc::ConnectionConfig config;
  config.dispatcher = &dispatcher;
  config.ntlm = &ntlm;
  config.accounts = &accounts;
  rpc::Listener listener(rpc::ListenerOptions{}, &config);
  ASSERT_EQ(listener.Start(), ERROR_SUCCESS);
  std::string script =
      std::string(KAVEX_SOURCE_DIR) + "/tests/e2e/impacket_rpc_call.py";
  auto client = [&](const char* password, int* status) {
    return Run("/usr/bin/python3 " + script + " " +
                   std::to_string(listener.port()) + " opc KAVEX " + password +
                   " 2>&1",
               status);
  };
  int status = -1;
  std::string out = client("secret", &status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("string=Unspecified error"), std::string::npos) << out;
  EXPECT_NE(out.find("locales=409,407"), std::string::npos) << out;
  EXPECT_NE(out.find("client name set"), std::string::npos) << out;
  EXPECT_EQ(common->client_name, u"impacket");
  EXPECT_EQ(dispatcher.ntlmv2_calls, 3) << "impacket logs on with NTLMv2";

  out = client("wrong", &status);
  EXPECT_EQ(status, 3) << out;
  EXPECT_NE(out.find("access_denied"), std::string::npos) << out;

  common->client_name.clear();
  out = client("secret", &status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_EQ(common->client_name, u"impacket");
  listener.Stop();
}

TEST(RpcImpacketE2e, NtlmV2LogonAndDescribedCallsOverTcp) {
  InPrivateNetwork(ImpacketBody);
}

}  // namespace
}  // namespace kavex::e2e
