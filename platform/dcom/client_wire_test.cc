// The client's requests as the real dispatcher reads them, and the
// dispatcher's replies as the client parses them; hostile replies
// (truncated at every byte, counts and referents that lie) are refused.
#include "platform/dcom/client_wire.h"

#include <gtest/gtest.h>

#include <cstring>

#include "platform/com/enumerators.h"
#include "platform/com/guid.h"
#include "platform/dcom/dispatcher.h"
#include "platform/opc/opc_descriptions.h"
#include "platform/rpc/accounts.h"

namespace kavex::dcom {
namespace {

constexpr CLSID kStringsClsid =
    com::GuidLiteral("{0e6b2d71-5a43-4c9e-8f12-7d3a9b6c5e01}");

struct Strings {
  static HRESULT CreateInstance(REFIID iid, void** out) {
    com::ComPtr<IEnumString> e;
    HRESULT hr = com::CreateEnumString({u"one"}, e.GetAddressOf());
    return FAILED(hr) ? hr : e->QueryInterface(iid, out);
  }
};
const com::ClassEntry kClasses[] = {
    {&kStringsClsid, &com::CreateClassFactory<Strings>}};

class ClientWireTest : public ::testing::Test {
 protected:
  ClientWireTest()
      : exporter_({{{kTowerNcacnIpTcp, u"127.0.0.1[4135]"}},
                   {{kAuthnWinNt, 0xffff, u""}}}),
        dispatcher_(kClasses, &exporter_) {
    security_.authenticated = true;
  }

  rpc::CallResponse Dispatch(const rpc::SyntaxId& interface, uint16_t opnum,
                             const std::vector<uint8_t>& stub,
                             const GUID* object = nullptr) {
    rpc::CallRequest call;
    call.interface = interface;
    call.opnum = opnum;
    call.stub = stub;
    call.security = &security_;
    if (object) {
      call.has_object = true;
      call.object = *object;
    }
    rpc::CallResponse response;
    dispatcher_.Dispatch(call, &response);
    return response;
  }

  rpc::SecurityContext security_;
  ObjectExporter exporter_;
  DcomDispatcher dispatcher_;
};

TEST_F(ClientWireTest, ActivationRequestAndReplyRoundTrip) {
  const IID iids[] = {IID_IEnumString, IID_IOPCServer};
  rpc::CallResponse response =
      Dispatch(kIActivation, 0, EncodeRemoteActivation(kStringsClsid, iids));
  ASSERT_EQ(response.fault, 0u);
  RemoteActivationReply reply;
  ASSERT_TRUE(ParseRemoteActivationReply(response.stub, 2, &reply));
  EXPECT_EQ(reply.hr, S_OK);
  EXPECT_EQ(reply.oxid, exporter_.oxid());
  EXPECT_EQ(reply.rem_unknown, exporter_.rem_unknown_ipid());
  EXPECT_EQ(reply.com_major, 5);
  ASSERT_EQ(reply.bindings.strings.size(), 1u);
  EXPECT_EQ(reply.bindings.strings[0].network_address, u"127.0.0.1[4135]");
  ASSERT_EQ(reply.results.size(), 2u);
  EXPECT_EQ(reply.results[0], S_OK);
  EXPECT_EQ(reply.results[1], E_NOINTERFACE);
  EXPECT_EQ(reply.objrefs[0].iid, IID_IEnumString);
  EXPECT_EQ(reply.objrefs[0].std.public_refs, kPublicRefsPerObjref);
  EXPECT_EQ(exporter_.object_count(), 1u);
  // Asked for a different count than the reply carries.
  EXPECT_FALSE(ParseRemoteActivationReply(response.stub, 1, &reply));
  EXPECT_FALSE(ParseRemoteActivationReply(response.stub, 3, &reply));

  // An unknown class: the failure parses as the activation's result.
  response = Dispatch(kIActivation, 0,
                      EncodeRemoteActivation(GUID{7, 7, 7, {}}, {iids, 1}));
  ASSERT_EQ(response.fault, 0u);
  RemoteActivationReply failed;
  ASSERT_TRUE(ParseRemoteActivationReply(response.stub, 1, &failed));
  EXPECT_EQ(failed.hr, REGDB_E_CLASSNOTREG);
  EXPECT_EQ(failed.results.at(0), REGDB_E_CLASSNOTREG);
}

TEST_F(ClientWireTest, HostileActivationRepliesAreRefused) {
  const IID iid = IID_IEnumString;
  std::vector<uint8_t> good =
      Dispatch(kIActivation, 0, EncodeRemoteActivation(kStringsClsid, {&iid, 1}))
          .stub;
  RemoteActivationReply reply;
  ASSERT_TRUE(ParseRemoteActivationReply(good, 1, &reply));
  for (size_t n = 0; n < good.size(); ++n) {
    std::vector<uint8_t> cut(good.begin(), good.begin() + n);
    EXPECT_FALSE(ParseRemoteActivationReply(cut, 1, &reply)) << n;
  }
  // Find the interface pointer array: its conformance (1) follows the
  // activation HRESULT, which follows the bindings.
  size_t objref_at = 0;
  for (size_t i = 0; i + 4 <= good.size(); ++i) {
    uint32_t v;
    std::memcpy(&v, good.data() + i, 4);
    if (v == kObjrefSignature) {
      objref_at = i;
      break;
    }
  }
  ASSERT_GT(objref_at, 12u);
  struct Case {
    const char* what;
    size_t offset;
    uint32_t value;
  };
  const Case cases[] = {
      {"interface count lies", objref_at - 16, 0x7fffffff},
      {"null referent for a success", objref_at - 12, 0},
      {"OBJREF size beyond the data", objref_at - 8, 0x10000},
      {"OBJREF size and conformance disagree", objref_at - 4, 3},
      {"not an OBJREF", objref_at, 0x12345678},
      {"handler OBJREF", objref_at + 4, kObjrefHandler},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> bad = good;
    std::memcpy(bad.data() + c.offset, &c.value, 4);
    EXPECT_FALSE(ParseRemoteActivationReply(bad, 1, &reply)) << c.what;
  }
  // A non-zero error status at the end.
  std::vector<uint8_t> bad = good;
  bad.back() = 1;
  EXPECT_FALSE(ParseRemoteActivationReply(bad, 1, &reply));
  EXPECT_FALSE(ParseRemoteActivationReply(good, 0, &reply));
}

TEST_F(ClientWireTest, RemUnknownQueryAndReleaseAsTheServerReadsThem) {
  const IID iid = IID_IEnumString;
  RemoteActivationReply activation;
  ASSERT_TRUE(ParseRemoteActivationReply(
      Dispatch(kIActivation, 0,
               EncodeRemoteActivation(kStringsClsid, {&iid, 1}))
          .stub,
      1, &activation));
  const Ipid ipid = activation.objrefs[0].std.ipid;
  const Ipid rem = exporter_.rem_unknown_ipid();
  const IID asked[] = {IID_IEnumString, IID_IOPCServer};
  rpc::CallResponse response = Dispatch(
      kIRemUnknown, 3, EncodeRemQueryInterface(ipid, 2, asked), &rem);
  ASSERT_EQ(response.fault, 0u);
  std::vector<RemQiResult> results;
  HRESULT hr = E_FAIL;
  ASSERT_TRUE(ParseRemQueryInterfaceReply(response.stub, 2, &results, &hr));
  EXPECT_EQ(hr, S_OK);
  EXPECT_EQ(results[0].hr, S_OK);
  EXPECT_EQ(results[0].std.ipid, ipid);
  EXPECT_EQ(results[0].std.public_refs, 2u);
  EXPECT_EQ(results[1].hr, E_NOINTERFACE);
  for (size_t n = 0; n < response.stub.size(); ++n) {
    std::vector<uint8_t> cut(response.stub.begin(), response.stub.begin() + n);
    EXPECT_FALSE(ParseRemQueryInterfaceReply(cut, 2, &results, &hr)) << n;
  }
  EXPECT_FALSE(ParseRemQueryInterfaceReply(response.stub, 3, &results, &hr));

  // Releasing the five and the two references frees the object.
  RemInterfaceRef ref = {ipid, kPublicRefsPerObjref + 2};
  response = Dispatch(kIRemUnknown, 5, EncodeRemRelease({&ref, 1}), &rem);
  ASSERT_EQ(response.fault, 0u);
  ASSERT_TRUE(ParseRemReleaseReply(response.stub, &hr));
  EXPECT_EQ(hr, S_OK);
  EXPECT_EQ(exporter_.object_count(), 0u);
  response = Dispatch(kIRemUnknown, 5, EncodeRemRelease({&ref, 1}), &rem);
  ASSERT_TRUE(ParseRemReleaseReply(response.stub, &hr));
  EXPECT_EQ(hr, S_FALSE);
  EXPECT_FALSE(ParseRemReleaseReply({response.stub.data(), 6}, &hr));
}

TEST_F(ClientWireTest, PingsAsTheResolverReadsThem) {
  const IID iid = IID_IEnumString;
  RemoteActivationReply activation;
  ASSERT_TRUE(ParseRemoteActivationReply(
      Dispatch(kIActivation, 0,
               EncodeRemoteActivation(kStringsClsid, {&iid, 1}))
          .stub,
      1, &activation));
  const Oid oid = activation.objrefs[0].std.oid;
  rpc::CallResponse response =
      Dispatch(kIObjectExporter, 2, EncodeComplexPing(0, 1, {&oid, 1}, {}));
  ASSERT_EQ(response.fault, 0u);
  uint64_t set = 0;
  uint32_t status = 1;
  ASSERT_TRUE(ParseComplexPingReply(response.stub, &set, &status));
  EXPECT_EQ(status, 0u);
  EXPECT_NE(set, 0u);
  response = Dispatch(kIObjectExporter, 1, EncodeSimplePing(set));
  ASSERT_TRUE(ParseSimplePingReply(response.stub, &status));
  EXPECT_EQ(status, 0u);
  response = Dispatch(kIObjectExporter, 1, EncodeSimplePing(set + 1));
  ASSERT_TRUE(ParseSimplePingReply(response.stub, &status));
  EXPECT_EQ(status, static_cast<uint32_t>(OR_INVALID_SET));
  // Removing the OID from the set, then pinging with an empty set.
  response =
      Dispatch(kIObjectExporter, 2, EncodeComplexPing(set, 2, {}, {&oid, 1}));
  ASSERT_TRUE(ParseComplexPingReply(response.stub, &set, &status));
  EXPECT_EQ(status, 0u);
  EXPECT_FALSE(ParseComplexPingReply({response.stub.data(), 10}, &set,
                                     &status));
  EXPECT_FALSE(ParseSimplePingReply({}, &status));
}

TEST(TcpBindingAddress, SplitsHostAndPortAndRefusesOthers) {
  std::string host;
  uint16_t port = 0;
  ASSERT_TRUE(ParseTcpBindingAddress(u"127.0.0.1[4135]", &host, &port));
  EXPECT_EQ(host, "127.0.0.1");
  EXPECT_EQ(port, 4135);
  ASSERT_TRUE(ParseTcpBindingAddress(u"plc-host[65535]", &host, &port));
  EXPECT_EQ(host, "plc-host");
  EXPECT_EQ(port, 65535);
  const char16_t* const bad[] = {
      u"",          u"127.0.0.1",    u"[4135]",
      u"host[]",    u"host[0]",      u"host[65536]",
      u"host[12a]", u"host[4135",    u"host 1[4135]",
      u"host[99999999999]", u"h\u00e9[4135]"};
  for (size_t i = 0; i < std::size(bad); ++i) {
    EXPECT_FALSE(ParseTcpBindingAddress(bad[i], &host, &port)) << i;
  }
}

}  // namespace
}  // namespace kavex::dcom
