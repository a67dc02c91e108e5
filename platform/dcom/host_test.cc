// The DCOM services over real TCP: activation, the object's stub, IRemUnknown,
// pinging and collection, logon refusal, and bad requests.
#include "platform/dcom/host.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/com/enumerators.h"
#include "platform/com/task_memory.h"
#include "platform/dcom/orpc.h"
#include "platform/dcom/testing/remote_activation.h"
#include "platform/opc/opc_descriptions.h"
#include "platform/rpc/client.h"
#include "platform/rpc/rpc_test_support.h"
#include "platform/sync/clock.h"

namespace kavex::dcom {
namespace {

constexpr CLSID kStringsClsid =
    com::GuidLiteral("{5b0d6a61-3c52-4f7e-9a1d-2e4b8c7f0a13}");

// A creatable class whose objects enumerate three strings.
struct Strings {
  static HRESULT CreateInstance(REFIID iid, void** out) {
    com::ComPtr<IEnumString> e;
    HRESULT hr =
        com::CreateEnumString({u"alpha", u"beta", u"gamma"}, e.GetAddressOf());
    if (FAILED(hr)) return hr;
    return e->QueryInterface(iid, out);
  }
};
constexpr CLSID kSourceClsid =
    com::GuidLiteral("{5b0d6a62-3c52-4f7e-9a1d-2e4b8c7f0a13}");

// An event source: its one connection point is itself.
class Source : public com::ComObject<Source, IConnectionPointContainer,
                                     IConnectionPoint> {
 public:
  static HRESULT CreateInstance(REFIID iid, void** out) {
    com::ComPtr<Source> source;
    HRESULT hr = com::ComObject<Source, IConnectionPointContainer,
                                IConnectionPoint>::CreateInstance(&source);
    return FAILED(hr) ? hr : source->QueryInterface(iid, out);
  }
  HRESULT EnumConnectionPoints(IEnumConnectionPoints**) override {
    return E_NOTIMPL;
  }
  HRESULT FindConnectionPoint(REFIID, IConnectionPoint** point) override {
    *point = this;
    AddRef();
    return S_OK;
  }
  HRESULT GetConnectionInterface(IID*) override { return E_NOTIMPL; }
  HRESULT GetConnectionPointContainer(IConnectionPointContainer**) override {
    return E_NOTIMPL;
  }
  HRESULT Advise(IUnknown*, DWORD* cookie) override {
    *cookie = 1;
    return S_OK;
  }
  HRESULT Unadvise(DWORD) override { return S_OK; }
  HRESULT EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }
};

const com::ClassEntry kClasses[] = {
    {&kStringsClsid, &com::CreateClassFactory<Strings>},
    {&kSourceClsid, &com::CreateClassFactory<Source>}};

// The client's side of interface pointers: keeps the OBJREFs it is given
// and hands out a fixed one.
class RecordingHook : public rpc::ObjrefHook {
 public:
  HRESULT Marshal(IUnknown*, REFIID, std::vector<uint8_t>* objref) override {
    *objref = outgoing;
    return S_OK;
  }
  HRESULT Unmarshal(std::span<const uint8_t> objref, REFIID,
                    IUnknown** object) override {
    received.assign(objref.begin(), objref.end());
    com::ComPtr<IEnumString> stand_in;
    HRESULT hr = com::CreateEnumString({}, stand_in.GetAddressOf());
    *object = stand_in.Detach();
    return hr;
  }
  std::vector<uint8_t> outgoing;
  std::vector<uint8_t> received;
};

using testing::Activation;
using testing::ActivationRequest;
using testing::OrpcHeader;
using testing::ParseActivation;

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    accounts_ = rpc::testing::TestAccounts();
    HostOptions options;
    options.activation_port = 0;
    options.object_port = 0;
    options.ntlm.random = [](uint8_t c[8]) {
      for (int i = 0; i < 8; ++i) c[i] = static_cast<uint8_t>(i + 1);
    };
    host_ = std::make_unique<DcomHost>(options, kClasses, &accounts_);
    ASSERT_EQ(host_->Start(), ERROR_SUCCESS);
  }

  std::unique_ptr<rpc::RpcClient> Client(const rpc::SyntaxId& interface,
                                         uint16_t port,
                                         const char16_t* password = u"secret") {
    credentials_ = rpc::testing::TestCredentials(password);
    rpc::ClientOptions options;
    options.credentials = &credentials_;
    options.timeout_ms = 5000;
    auto client = std::make_unique<rpc::RpcClient>(options);
    EXPECT_EQ(client->Connect("127.0.0.1", port), ERROR_SUCCESS);
    EXPECT_EQ(client->Bind(interface), ERROR_SUCCESS);
    return client;
  }

  Activation Activate(const CLSID& clsid, std::vector<IID> iids) {
    auto client = Client(kIActivation, host_->activation_port());
    std::vector<uint8_t> out;
    Activation a;
    EXPECT_EQ(
        client->Call(0, 0, ActivationRequest(clsid, iids), &out, &a.fault),
        ERROR_SUCCESS);
    if (a.fault == 0) {
      EXPECT_TRUE(ParseActivation(out, iids.size(), &a));
    }
    return a;
  }

  rpc::AccountStore accounts_;
  rpc::NtlmClientCredentials credentials_;
  std::unique_ptr<DcomHost> host_;
};

TEST_F(HostTest, ActivatesAndServesTheObjectsStub) {
  Activation a = Activate(kStringsClsid, {IID_IEnumString, IID_IOPCServer});
  ASSERT_EQ(a.fault, 0u);
  EXPECT_EQ(a.hr, S_OK);
  EXPECT_EQ(a.oxid, host_->exporter()->oxid());
  EXPECT_EQ(a.rem_unknown, host_->exporter()->rem_unknown_ipid());
  ASSERT_EQ(a.results.size(), 2u);
  EXPECT_EQ(a.results[0], S_OK);
  EXPECT_EQ(a.results[1], E_NOINTERFACE);
  const Objref& objref = a.objrefs[0];
  EXPECT_EQ(objref.iid, IID_IEnumString);
  EXPECT_EQ(objref.std.oxid, a.oxid);
  std::u16string expected_address =
      TcpBindingAddress("127.0.0.1", host_->object_port());
  EXPECT_EQ(objref.resolver_address.strings.at(0).network_address,
            expected_address);
  EXPECT_EQ(a.bindings.strings.at(0).network_address, expected_address);

  // IEnumString::Next(2) through the described stub on the object port.
  auto client = Client({IID_IEnumString, 0, 0}, host_->object_port());
  const com::MethodDescription* next =
      opc::FindInterfaceDescription("IEnumString")->FindMethod("Next");
  ULONG celt = 2;
  LPOLESTR elements[2] = {};
  ULONG fetched = 0;
  LPOLESTR* elements_pointer = elements;
  ULONG* fetched_pointer = &fetched;
  void* args[] = {&celt, &elements_pointer, &fetched_pointer};
  std::vector<uint8_t> request = OrpcHeader();
  ASSERT_EQ(rpc::EncodeRequest(next, args, nullptr, &request),
            rpc::NdrStatus::kOk);
  std::vector<uint8_t> out;
  uint32_t fault = 1;
  ASSERT_EQ(client->Call(0, 3, request, &out, &fault, &objref.std.ipid),
            ERROR_SUCCESS);
  ASSERT_EQ(fault, 0u);
  HRESULT result = E_FAIL;
  ASSERT_EQ(rpc::DecodeResponse(next, args, nullptr, out, 8, &result),
            rpc::NdrStatus::kOk);
  EXPECT_EQ(result, S_OK);
  ASSERT_EQ(fetched, 2u);
  EXPECT_EQ(std::u16string(elements[0]), u"alpha");
  EXPECT_EQ(std::u16string(elements[1]), u"beta");
  for (LPOLESTR e : elements) CoTaskMemFree(e);

  // The IPID of another interface than the context's, or none known.
  Ipid unknown = objref.std.ipid;
  unknown.Data1 ^= 1;
  for (const Ipid& ipid : {unknown, a.rem_unknown}) {
    ASSERT_EQ(client->Call(0, 3, request, &out, &fault, &ipid), ERROR_SUCCESS);
    EXPECT_EQ(fault, static_cast<uint32_t>(RPC_E_INVALID_OBJECT));
  }
  // A truncated ORPCTHIS.
  std::vector<uint8_t> truncated(request.begin(), request.begin() + 20);
  ASSERT_EQ(client->Call(0, 3, truncated, &out, &fault, &objref.std.ipid),
            ERROR_SUCCESS);
  EXPECT_EQ(fault, rpc::kFaultBadStubData);
}

TEST_F(HostTest, AdvisingAClientsSinkFailsWithENotImpl) {
  Activation a = Activate(kSourceClsid, {IID_IConnectionPointContainer});
  ASSERT_EQ(a.results.at(0), S_OK);
  auto client =
      Client({IID_IConnectionPointContainer, 0, 0}, host_->object_port());
  RecordingHook hook;
  const com::MethodDescription* find =
      opc::FindInterfaceDescription("IConnectionPointContainer")
          ->FindMethod("FindConnectionPoint");
  IID wanted = IID_IEnumString;  // a reference parameter: its value itself
  IConnectionPoint* point = nullptr;
  IConnectionPoint** point_pointer = &point;
  void* find_args[] = {&wanted, &point_pointer};
  std::vector<uint8_t> request = OrpcHeader();
  ASSERT_EQ(rpc::EncodeRequest(find, find_args, &hook, &request),
            rpc::NdrStatus::kOk);
  std::vector<uint8_t> out;
  uint32_t fault = 1;
  ASSERT_EQ(client->Call(0, 4, request, &out, &fault, &a.objrefs[0].std.ipid),
            ERROR_SUCCESS);
  ASSERT_EQ(fault, 0u);
  HRESULT result = E_FAIL;
  ASSERT_EQ(rpc::DecodeResponse(find, find_args, &hook, out, 8, &result),
            rpc::NdrStatus::kOk);
  ASSERT_EQ(result, S_OK);
  com::ComPtr<IConnectionPoint> stand_in;
  stand_in.Attach(point);
  Objref point_ref;
  ASSERT_TRUE(DecodeObjref(hook.received, &point_ref));
  EXPECT_EQ(point_ref.iid, IID_IConnectionPoint);

  // Advise with a sink of the client's own exporter.
  Objref sink = point_ref;
  sink.std.oxid ^= 0x5a5a;
  hook.outgoing = EncodeObjref(sink);
  const com::MethodDescription* advise =
      opc::FindInterfaceDescription("IConnectionPoint")->FindMethod("Advise");
  IUnknown* sink_pointer = stand_in.Get();
  DWORD cookie = 0;
  DWORD* cookie_pointer = &cookie;
  void* advise_args[] = {&sink_pointer, &cookie_pointer};
  std::vector<uint8_t> advise_request = OrpcHeader();
  ASSERT_EQ(rpc::EncodeRequest(advise, advise_args, &hook, &advise_request),
            rpc::NdrStatus::kOk);
  uint16_t context = 0;
  ASSERT_EQ(client->AlterContext({IID_IConnectionPoint, 0, 0}, &context),
            ERROR_SUCCESS);
  ASSERT_EQ(client->Call(context, 5, advise_request, &out, &fault,
                         &point_ref.std.ipid),
            ERROR_SUCCESS);
  EXPECT_EQ(fault, static_cast<uint32_t>(E_NOTIMPL));
}

TEST_F(HostTest, ActivationFailuresAreReportedPerCall) {
  Activation a = Activate(GUID{1, 2, 3, {}}, {IID_IEnumString});
  ASSERT_EQ(a.fault, 0u);
  EXPECT_EQ(a.hr, REGDB_E_CLASSNOTREG);
  EXPECT_EQ(a.results.at(0), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(host_->exporter()->object_count(), 0u);

  // Hostile requests: no interfaces, counts beyond the data, truncation.
  auto client = Client(kIActivation, host_->activation_port());
  std::vector<uint8_t> good =
      ActivationRequest(kStringsClsid, {{IID_IEnumString}});
  std::vector<std::vector<uint8_t>> bad;
  bad.emplace_back(good.begin(), good.begin() + 40);
  bad.emplace_back(good.begin(), good.begin() + 70);
  {
    auto b = good;
    b[32 + 16 + 16] = 0;  // Interfaces = 0
    bad.push_back(b);
  }
  {
    auto b = good;
    b[32 + 16 + 16] = 0xff;  // Interfaces beyond the IIDs sent
    b[32 + 16 + 24] = 0xff;
    bad.push_back(b);
  }
  for (const auto& request : bad) {
    std::vector<uint8_t> out;
    uint32_t fault = 0;
    ASSERT_EQ(client->Call(0, 0, request, &out, &fault), ERROR_SUCCESS);
    EXPECT_EQ(fault, rpc::kFaultBadStubData);
  }
  EXPECT_EQ(host_->exporter()->object_count(), 0u);
}

TEST_F(HostTest, RemUnknownQueriesCountsAndReleases) {
  Activation a = Activate(kStringsClsid, {IID_IEnumString});
  ASSERT_EQ(a.results.at(0), S_OK);
  const Ipid ipid = a.objrefs[0].std.ipid;
  auto client = Client(kIRemUnknown, host_->object_port());

  // RemQueryInterface for a served and an unserved interface.
  std::vector<uint8_t> request = OrpcHeader();
  rpc::WireWriter w(&request);
  w.Guid(ipid);
  w.U32(1);  // references
  w.U16(2);
  w.Align(4);
  w.U32(2);
  w.Guid(IID_IEnumString);
  w.Guid(IID_IOPCServer);
  std::vector<uint8_t> out;
  uint32_t fault = 1;
  ASSERT_EQ(client->Call(0, 3, request, &out, &fault, &a.rem_unknown),
            ERROR_SUCCESS);
  ASSERT_EQ(fault, 0u);
  rpc::WireReader r(out);
  uint32_t referent = 0, count = 0, hr = 0;
  ASSERT_TRUE(ReadOrpcThat(&r) && r.U32(&referent) && r.U32(&count));
  ASSERT_EQ(count, 2u);
  StdObjref std;
  ASSERT_TRUE(r.Align(8) && r.U32(&hr) && r.Align(8) &&
              ReadStdObjref(&r, &std));
  EXPECT_EQ(hr, 0u);
  EXPECT_EQ(std.ipid, ipid);
  ASSERT_TRUE(r.Align(8) && r.U32(&hr));
  EXPECT_EQ(static_cast<HRESULT>(hr), E_NOINTERFACE);

  // Release the activation's five references and the query's one.
  auto release = [&](uint32_t refs) {
    std::vector<uint8_t> rq = OrpcHeader();
    rpc::WireWriter rw(&rq);
    rw.U16(1);
    rw.Align(4);
    rw.U32(1);
    rw.Guid(ipid);
    rw.U32(refs);
    rw.U32(0);
    std::vector<uint8_t> reply;
    uint32_t f = 1;
    EXPECT_EQ(client->Call(0, 5, rq, &reply, &f, &a.rem_unknown),
              ERROR_SUCCESS);
    EXPECT_EQ(f, 0u);
    return reply;
  };
  release(5);
  EXPECT_EQ(host_->exporter()->object_count(), 1u);
  std::vector<uint8_t> last = release(1);
  EXPECT_EQ(host_->exporter()->object_count(), 0u);
  ASSERT_EQ(last.size(), 12u);
  EXPECT_EQ(last[8], 0);  // S_OK
  // The IPID is gone now: releasing again reports S_FALSE.
  last = release(1);
  ASSERT_EQ(last.size(), 12u);
  EXPECT_EQ(last[8], 1);

  // A RemAddRef count beyond the data.
  std::vector<uint8_t> lying = OrpcHeader();
  rpc::WireWriter lw(&lying);
  lw.U16(1000);
  lw.Align(4);
  lw.U32(1000);
  ASSERT_EQ(client->Call(0, 4, lying, &out, &fault, &a.rem_unknown),
            ERROR_SUCCESS);
  EXPECT_EQ(fault, rpc::kFaultBadStubData);
}

TEST_F(HostTest, PingsKeepObjectsAndUnpingedOnesAreCollected) {
  sync::FakeClock clock;
  sync::SetClockForTesting(&clock);
  // The host's collector waits on the installed clock.
  host_->Stop();
  HostOptions options;
  options.activation_port = 0;
  options.object_port = 0;
  host_ = std::make_unique<DcomHost>(options, kClasses, &accounts_);
  ASSERT_EQ(host_->Start(), ERROR_SUCCESS);

  Activation a = Activate(kStringsClsid, {IID_IEnumString});
  ASSERT_EQ(a.results.at(0), S_OK);
  auto pinger = Client(kIObjectExporter, host_->activation_port());
  // ComplexPing: a new set holding the object.
  std::vector<uint8_t> request;
  rpc::WireWriter w(&request);
  w.U64(0);
  w.U16(0);
  w.U16(1);
  w.U16(0);
  w.Align(4);
  w.U32(0x20000);
  w.U32(1);
  w.Align(8);
  w.U64(a.objrefs[0].std.oid);
  w.U32(0);
  std::vector<uint8_t> out;
  uint32_t fault = 1;
  ASSERT_EQ(pinger->Call(0, 2, request, &out, &fault), ERROR_SUCCESS);
  ASSERT_EQ(fault, 0u);
  ASSERT_EQ(out.size(), 16u);
  uint64_t set = 0;
  std::memcpy(&set, out.data(), 8);
  EXPECT_NE(set, 0u);
  EXPECT_EQ(out[12], 0);

  auto simple_ping = [&](uint64_t id) {
    std::vector<uint8_t> rq(8);
    std::memcpy(rq.data(), &id, 8);
    std::vector<uint8_t> reply;
    uint32_t f = 1;
    EXPECT_EQ(pinger->Call(0, 1, rq, &reply, &f), ERROR_SUCCESS);
    EXPECT_EQ(f, 0u);
    uint32_t status = 1;
    if (reply.size() == 4) std::memcpy(&status, reply.data(), 4);
    return status;
  };
  for (int i = 0; i < 4; ++i) {
    clock.Advance(kPingPeriodMs);
    EXPECT_EQ(simple_ping(set), 0u);
  }
  EXPECT_EQ(simple_ping(set + 1), static_cast<uint32_t>(OR_INVALID_SET));
  EXPECT_EQ(host_->exporter()->object_count(), 1u);

  // The client dies: three periods later the collector releases it.
  pinger.reset();
  clock.Advance(kPingPeriodMs * kPingPeriodsBeforeRelease + 10 * 1000);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (host_->exporter()->object_count() != 0 &&
         std::chrono::steady_clock::now() < deadline) {
    clock.Advance(1000);  // wakes the collector again
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(host_->exporter()->object_count(), 0u);
  host_->Stop();
  sync::SetClockForTesting(nullptr);
}

// A listening socket on a free port of 127.0.0.1, as a service manager
// hands one over.
int ListeningSocket(uint16_t* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof sa;
  EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  EXPECT_EQ(listen(fd, 16), 0);
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &length);
  *port = ntohs(sa.sin_port);
  return fd;
}

TEST_F(HostTest, ServesOnHandedOverSocketsAndNamesTheirPorts) {
  host_->Stop();
  uint16_t activation_port = 0, object_port = 0;
  HostOptions options;
  options.activation_fd = ListeningSocket(&activation_port);
  options.object_fd = ListeningSocket(&object_port);
  // What the sockets are bound to wins over the configured address/ports.
  options.address = "127.0.0.2";
  options.activation_port = 1;
  options.object_port = 2;
  const int object_fd = options.object_fd;
  host_ = std::make_unique<DcomHost>(options, kClasses, &accounts_);
  ASSERT_EQ(host_->Start(), ERROR_SUCCESS);
  EXPECT_EQ(host_->activation_port(), activation_port);
  EXPECT_EQ(host_->object_port(), object_port);
  Activation a = Activate(kStringsClsid, {IID_IEnumString});
  ASSERT_EQ(a.results.at(0), S_OK);
  EXPECT_EQ(a.bindings.strings.at(0).network_address,
            TcpBindingAddress("127.0.0.1", object_port));
  host_->Stop();
  EXPECT_EQ(fcntl(object_fd, F_GETFD), -1) << "the host closes what it took";
}

TEST_F(HostTest, AHandedOverSocketThatIsNotListeningFailsTheStart) {
  host_->Stop();
  uint16_t object_port = 0;
  HostOptions options;
  options.activation_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  options.object_fd = ListeningSocket(&object_port);
  const int activation_fd = options.activation_fd;
  const int object_fd = options.object_fd;
  host_ = std::make_unique<DcomHost>(options, kClasses, &accounts_);
  EXPECT_NE(host_->Start(), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(host_->activation_port(), 0);
  host_.reset();
  EXPECT_EQ(fcntl(activation_fd, F_GETFD), -1);
  EXPECT_EQ(fcntl(object_fd, F_GETFD), -1);
}

TEST_F(HostTest, RefusesAWrongPasswordAndServesTheNextClient) {
  credentials_ = rpc::testing::TestCredentials(u"wrong");
  rpc::ClientOptions options;
  options.credentials = &credentials_;
  options.timeout_ms = 5000;
  rpc::RpcClient bad(options);
  ASSERT_EQ(bad.Connect("127.0.0.1", host_->activation_port()), ERROR_SUCCESS);
  bad.Bind(kIActivation);
  std::vector<uint8_t> out;
  uint32_t fault = 0;
  DWORD error =
      bad.Call(0, 0, ActivationRequest(kStringsClsid, {{IID_IEnumString}}),
               &out, &fault);
  EXPECT_TRUE(error != ERROR_SUCCESS || fault == rpc::kFaultAccessDenied);
  EXPECT_EQ(host_->exporter()->object_count(), 0u);

  Activation a = Activate(kStringsClsid, {IID_IEnumString});
  EXPECT_EQ(a.results.at(0), S_OK);
}

}  // namespace
}  // namespace kavex::dcom
