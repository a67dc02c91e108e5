// The RPC layer's costs: the server stub of an IOPCSyncIO::Read of N items
// (decode the handles, the object's arrays filled as a group would fill
// them, encode the reply, free), the client's decoding of that reply, and
// a connection reassembling a large request and fragmenting the reply.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstring>
#include <memory>

#include "platform/com/bstr.h"
#include "platform/com/com_object.h"
#include "platform/com/task_memory.h"
#include "platform/com/variant.h"
#include "platform/opc/opc_descriptions.h"
#include "platform/rpc/client.h"
#include "platform/rpc/connection.h"
#include "platform/rpc/listener.h"
#include "platform/rpc/ndr.h"
#include "platform/rpc/rpc_test_support.h"

namespace kavex::bench {
namespace {

const com::MethodDescription* ReadMethod() {
  return opc::FindInterfaceDescription(IID_IOPCSyncIO)->FindMethod("Read");
}

std::vector<uint8_t> ReadRequest(DWORD count) {
  OPCDATASOURCE source = OPC_DS_CACHE;
  std::vector<OPCHANDLE> handles(count);
  for (DWORD i = 0; i < count; ++i) handles[i] = i + 1;
  OPCHANDLE* h = handles.data();
  void* args[] = {&source, &count, &h, nullptr, nullptr};
  std::vector<uint8_t> stub;
  rpc::EncodeRequest(ReadMethod(), args, nullptr, &stub);
  return stub;
}

// What a group hands back: half the items text ("Online"), half numbers.
void FillRead(DWORD count, OPCITEMSTATE** values, HRESULT** errors) {
  *values =
      static_cast<OPCITEMSTATE*>(CoTaskMemAlloc(count * sizeof(OPCITEMSTATE)));
  *errors = static_cast<HRESULT*>(CoTaskMemAlloc(count * sizeof(HRESULT)));
  for (DWORD i = 0; i < count; ++i) {
    OPCITEMSTATE& s = (*values)[i];
    s.hClient = i;
    s.ftTimeStamp = {i, 0x01DB0000};
    s.wQuality = 0xC0;
    s.wReserved = 0;
    VariantInit(&s.vDataValue);
    if (i % 2) {
      s.vDataValue.vt = VT_BSTR;
      s.vDataValue.bstrVal = SysAllocString(u"Online");
    } else {
      s.vDataValue.vt = VT_I4;
      s.vDataValue.lVal = static_cast<LONG>(i * 1000);
    }
    (*errors)[i] = S_OK;
  }
}

void BM_ReadServerStub(benchmark::State& state) {
  DWORD count = static_cast<DWORD>(state.range(0));
  std::vector<uint8_t> request = ReadRequest(count);
  std::vector<uint8_t> reply;
  for (auto _ : state) {
    rpc::ServerCall call(ReadMethod(), nullptr);
    call.DecodeIn(request);
    FillRead(count, *static_cast<OPCITEMSTATE***>(call.arguments()[3]),
             *static_cast<HRESULT***>(call.arguments()[4]));
    call.set_result(S_OK);
    reply.clear();
    call.EncodeOut(&reply);
    benchmark::DoNotOptimize(reply.data());
  }
  state.counters["reply_bytes"] = static_cast<double>(reply.size());
}
BENCHMARK(BM_ReadServerStub)->Arg(1)->Arg(1000);

void BM_ReadClientDecode(benchmark::State& state) {
  DWORD count = static_cast<DWORD>(state.range(0));
  std::vector<uint8_t> reply;
  {
    rpc::ServerCall call(ReadMethod(), nullptr);
    call.DecodeIn(ReadRequest(count));
    FillRead(count, *static_cast<OPCITEMSTATE***>(call.arguments()[3]),
             *static_cast<HRESULT***>(call.arguments()[4]));
    call.set_result(S_OK);
    call.EncodeOut(&reply);
  }
  OPCDATASOURCE source = OPC_DS_CACHE;
  OPCHANDLE* handles = nullptr;
  for (auto _ : state) {
    OPCITEMSTATE* values = nullptr;
    HRESULT* errors = nullptr;
    OPCITEMSTATE** values_out = &values;
    HRESULT** errors_out = &errors;
    void* args[] = {&source, &count, &handles, &values_out, &errors_out};
    HRESULT result;
    rpc::DecodeResponse(ReadMethod(), args, nullptr, reply, 0, &result);
    for (DWORD i = 0; i < count; ++i) VariantClear(&values[i].vDataValue);
    CoTaskMemFree(values);
    CoTaskMemFree(errors);
  }
}
BENCHMARK(BM_ReadClientDecode)->Arg(1)->Arg(1000);

// A request of N bytes in 5840-byte fragments through a logged-on
// connection, echoed back in fragments.
void BM_Reassembly(benchmark::State& state) {
  size_t bytes = static_cast<size_t>(state.range(0));
  rpc::testing::EchoDispatcher dispatcher;
  rpc::AccountStore accounts = rpc::testing::TestAccounts();
  rpc::NtlmServerConfig ntlm;
  rpc::ConnectionConfig config;
  config.dispatcher = &dispatcher;
  config.ntlm = &ntlm;
  config.accounts = &accounts;
  rpc::Connection connection(1, &config);
  rpc::Pdu bind;
  bind.header.type = rpc::PduType::kBind;
  bind.max_xmit_frag = bind.max_recv_frag = 5840;
  bind.contexts.push_back(
      {0, rpc::testing::kEchoInterface, {rpc::kNdr20Syntax}});
  bind.has_auth = true;
  bind.auth.auth_type = rpc::kAuthnWinNt;
  bind.auth.auth_level = rpc::kAuthLevelConnect;
  bind.auth.auth_value = rpc::BuildNtlmNegotiate(rpc::kNtlmNegotiateUnicode);
  std::vector<uint8_t> wire;
  rpc::EncodePdu(bind, &wire);
  connection.Receive(wire);
  rpc::Pdu ack;
  size_t length = 0;
  rpc::PeekFragmentLength(connection.output(), 0xFFFF, &length);
  rpc::ParsePdu({connection.output().data(), length}, &ack);
  rpc::Pdu auth3;
  auth3.header.type = rpc::PduType::kAuth3;
  auth3.has_auth = true;
  auth3.auth.auth_type = rpc::kAuthnWinNt;
  auth3.auth.auth_level = rpc::kAuthLevelConnect;
  rpc::BuildNtlmAuthenticate(ack.auth.auth_value,
                             rpc::testing::TestCredentials(),
                             &auth3.auth.auth_value, nullptr);
  wire.clear();
  rpc::EncodePdu(auth3, &wire);
  connection.Receive(wire);
  connection.output().clear();
  // The request's fragments, ready to feed.
  wire.clear();
  std::vector<uint8_t> stub(bytes, 0x5A);
  for (size_t at = 0; at < bytes; at += 5792) {
    size_t n = std::min<size_t>(5792, bytes - at);
    rpc::Pdu f;
    f.header.type = rpc::PduType::kRequest;
    f.header.flags =
        static_cast<uint8_t>((at == 0 ? rpc::kPfcFirstFrag : 0) |
                             (at + n == bytes ? rpc::kPfcLastFrag : 0));
    f.alloc_hint = static_cast<uint32_t>(bytes - at);
    f.stub.assign(stub.begin() + at, stub.begin() + at + n);
    rpc::EncodePdu(f, &wire);
  }
  for (auto _ : state) {
    connection.Receive(wire);
    connection.DispatchPendingForTesting();
    benchmark::DoNotOptimize(connection.output().data());
    connection.output().clear();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_Reassembly)->Arg(64 << 10)->Arg(1 << 20);

// A logged-on connection's protocol state, without its socket.
std::unique_ptr<rpc::Connection> LoggedOn(const rpc::ConnectionConfig* config) {
  auto connection = std::make_unique<rpc::Connection>(1, config);
  rpc::Pdu bind;
  bind.header.type = rpc::PduType::kBind;
  bind.max_xmit_frag = bind.max_recv_frag = 5840;
  bind.contexts.push_back(
      {0, rpc::testing::kEchoInterface, {rpc::kNdr20Syntax}});
  bind.has_auth = true;
  bind.auth.auth_type = rpc::kAuthnWinNt;
  bind.auth.auth_level = rpc::kAuthLevelConnect;
  bind.auth.auth_value = rpc::BuildNtlmNegotiate(rpc::kNtlmNegotiateUnicode);
  std::vector<uint8_t> wire;
  rpc::EncodePdu(bind, &wire);
  connection->Receive(wire);
  rpc::Pdu ack;
  size_t length = 0;
  rpc::PeekFragmentLength(connection->output(), 0xFFFF, &length);
  rpc::ParsePdu({connection->output().data(), length}, &ack);
  rpc::Pdu auth3;
  auth3.header.type = rpc::PduType::kAuth3;
  auth3.has_auth = true;
  auth3.auth.auth_type = rpc::kAuthnWinNt;
  auth3.auth.auth_level = rpc::kAuthLevelConnect;
  rpc::BuildNtlmAuthenticate(ack.auth.auth_value,
                             rpc::testing::TestCredentials(),
                             &auth3.auth.auth_value, nullptr);
  wire.clear();
  rpc::EncodePdu(auth3, &wire);
  connection->Receive(wire);
  connection->output().clear();
  connection->output().shrink_to_fit();
  return connection;
}

// Heap bytes a logged-on connection keeps (the kernel's socket buffers
// not counted).
void BM_ConnectionMemory(benchmark::State& state) {
  rpc::testing::EchoDispatcher dispatcher;
  rpc::AccountStore accounts = rpc::testing::TestAccounts();
  rpc::NtlmServerConfig ntlm;
  rpc::ConnectionConfig config;
  config.dispatcher = &dispatcher;
  config.ntlm = &ntlm;
  config.accounts = &accounts;
  constexpr int kConnections = 100;
  double per_connection = 0;
  for (auto _ : state) {
    size_t before = mallinfo2().uordblks;
    std::vector<std::unique_ptr<rpc::Connection>> connections;
    for (int i = 0; i < kConnections; ++i)
      connections.push_back(LoggedOn(&config));
    per_connection =
        static_cast<double>(mallinfo2().uordblks - before) / kConnections;
  }
  state.counters["heap_bytes_per_connection"] = per_connection;
}
BENCHMARK(BM_ConnectionMemory)->Iterations(3);

// The object a Read round trip reaches: N items as a group returns them.
class SyncIo : public com::ComObject<SyncIo, IOPCSyncIO> {
 public:
  HRESULT Read(OPCDATASOURCE, DWORD count, OPCHANDLE*, OPCITEMSTATE** values,
               HRESULT** errors) override {
    FillRead(count, values, errors);
    return S_OK;
  }
  HRESULT Write(DWORD, OPCHANDLE*, VARIANT*, HRESULT**) override {
    return E_NOTIMPL;
  }
};

class SyncIoDispatcher : public rpc::Dispatcher {
 public:
  explicit SyncIoDispatcher(IOPCSyncIO* object) : object_(object) {}
  bool SupportsInterface(const rpc::SyntaxId& s) const override {
    return s.uuid == IID_IOPCSyncIO;
  }
  void Dispatch(const rpc::CallRequest& call,
                rpc::CallResponse* response) override {
    response->fault = rpc::InvokeDescribedMethod(
        *opc::FindInterfaceDescription(IID_IOPCSyncIO), object_, call.opnum,
        call.stub, 0, nullptr, &response->stub);
  }

 private:
  IOPCSyncIO* object_;
};

// IOPCSyncIO::Read of N items over loopback TCP: the client's encoding, the
// listener, the server stub and object, the reply in fragments, the
// client's decoding and freeing.
void BM_ReadRoundTripLoopback(benchmark::State& state) {
  DWORD count = static_cast<DWORD>(state.range(0));
  com::ComPtr<SyncIo> object;
  SyncIo::CreateInstance(&object);
  SyncIoDispatcher dispatcher(object.Get());
  rpc::AccountStore accounts = rpc::testing::TestAccounts();
  rpc::NtlmServerConfig ntlm;
  rpc::ConnectionConfig config;
  config.dispatcher = &dispatcher;
  config.ntlm = &ntlm;
  config.accounts = &accounts;
  rpc::Listener listener(rpc::ListenerOptions{}, &config);
  if (listener.Start() != ERROR_SUCCESS) {
    state.SkipWithError("no listener");
    return;
  }
  rpc::NtlmClientCredentials credentials = rpc::testing::TestCredentials();
  rpc::ClientOptions options;
  options.credentials = &credentials;
  rpc::RpcClient client(options);
  if (client.Connect("127.0.0.1", listener.port()) != ERROR_SUCCESS ||
      client.Bind({IID_IOPCSyncIO, 0, 0}) != ERROR_SUCCESS) {
    state.SkipWithError("no connection");
    return;
  }
  std::vector<OPCHANDLE> handles(count);
  for (DWORD i = 0; i < count; ++i) handles[i] = i + 1;
  OPCDATASOURCE source = OPC_DS_CACHE;
  const com::MethodDescription* read = ReadMethod();
  std::vector<uint8_t> request, reply;
  for (auto _ : state) {
    OPCHANDLE* h = handles.data();
    OPCITEMSTATE* values = nullptr;
    HRESULT* errors = nullptr;
    OPCITEMSTATE** values_out = &values;
    HRESULT** errors_out = &errors;
    void* args[] = {&source, &count, &h, &values_out, &errors_out};
    request.clear();
    rpc::EncodeRequest(read, args, nullptr, &request);
    uint32_t fault = 0;
    if (client.Call(0, read->opnum, request, &reply, &fault) != ERROR_SUCCESS ||
        fault != 0) {
      state.SkipWithError("call failed");
      break;
    }
    HRESULT result;
    rpc::DecodeResponse(read, args, nullptr, reply, 0, &result);
    for (DWORD i = 0; i < count; ++i) VariantClear(&values[i].vDataValue);
    CoTaskMemFree(values);
    CoTaskMemFree(errors);
  }
}
BENCHMARK(BM_ReadRoundTripLoopback)->Arg(1)->Arg(1000)->UseRealTime();

}  // namespace
}  // namespace kavex::bench

BENCHMARK_MAIN();
