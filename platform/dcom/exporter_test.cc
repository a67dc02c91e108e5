// The exporter's tables: references per IPID, identities, pinging and
// collection, and the OBJREF hook.
#include "platform/dcom/exporter.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/com/enumerators.h"
#include "platform/opc/opc_da.h"
#include "platform/sync/clock.h"

namespace kavex::dcom {
namespace {

ULONG RefCount(IUnknown* p) {
  p->AddRef();
  return p->Release();
}

class ExporterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sync::SetClockForTesting(&clock_);
    ASSERT_EQ(com::CreateEnumString({u"a", u"b"}, enum_.GetAddressOf()), S_OK);
    baseline_ = RefCount(enum_.Get());
  }
  void TearDown() override { sync::SetClockForTesting(nullptr); }

  DualStringArray Bindings() {
    DualStringArray a;
    a.strings.push_back({kTowerNcacnIpTcp, u"127.0.0.1[4135]"});
    return a;
  }

  sync::FakeClock clock_;
  com::ComPtr<IEnumString> enum_;
  ULONG baseline_ = 0;
};

TEST_F(ExporterTest, CountsReferencesPerIpidAndReleasesTheObjectAtZero) {
  ObjectExporter exporter(Bindings());
  StdObjref std;
  ASSERT_EQ(exporter.Export(enum_.Get(), IID_IEnumString, 5, &std), S_OK);
  EXPECT_EQ(std.oxid, exporter.oxid());
  EXPECT_EQ(std.public_refs, 5u);
  EXPECT_EQ(std.flags & kSorfNoPing, 0u);  // clients must ping
  EXPECT_GT(RefCount(enum_.Get()), baseline_);

  // The same interface again: the same IPID and OID, more references.
  StdObjref again;
  ASSERT_EQ(exporter.Export(enum_.Get(), IID_IEnumString, 5, &again), S_OK);
  EXPECT_EQ(again.ipid, std.ipid);
  EXPECT_EQ(again.oid, std.oid);
  EXPECT_EQ(exporter.interface_count(), 1u);

  ASSERT_EQ(exporter.AddRef(std.ipid, 2), S_OK);  // 12 now
  ASSERT_EQ(exporter.Release(std.ipid, 11), S_OK);
  EXPECT_EQ(exporter.object_count(), 1u);
  com::ComPtr<IUnknown> pointer;
  const com::InterfaceDescription* description = nullptr;
  ASSERT_TRUE(exporter.Lookup(std.ipid, &pointer, &description));
  EXPECT_EQ(description->iid, IID_IEnumString);
  pointer = nullptr;

  ASSERT_EQ(exporter.Release(std.ipid, 1), S_OK);
  EXPECT_EQ(exporter.object_count(), 0u);
  EXPECT_EQ(RefCount(enum_.Get()), baseline_);
  EXPECT_FALSE(exporter.Lookup(std.ipid, &pointer, &description));
  EXPECT_EQ(exporter.Release(std.ipid, 1), RPC_E_INVALID_OBJECT);
  EXPECT_EQ(exporter.AddRef(std.ipid, 1), RPC_E_INVALID_OBJECT);
}

TEST_F(ExporterTest, HandsOutOnlyServedInterfacesTheObjectHas) {
  ObjectExporter exporter(Bindings());
  StdObjref std;
  // Served, but the enumerator does not implement it.
  EXPECT_EQ(exporter.Export(enum_.Get(), IID_IOPCServer, 5, &std),
            E_NOINTERFACE);
  // Implemented, but no stub serves IUnknown itself.
  EXPECT_EQ(exporter.Export(enum_.Get(), IID_IUnknown, 5, &std), E_NOINTERFACE);
  ASSERT_EQ(exporter.Export(enum_.Get(), IID_IEnumString, 5, &std), S_OK);
  StdObjref qi;
  EXPECT_EQ(exporter.QueryInterface(std.ipid, IID_IEnumUnknown, 5, &qi),
            E_NOINTERFACE);
  EXPECT_EQ(exporter.QueryInterface(GUID{7, 7, 7, {}}, IID_IEnumString, 5, &qi),
            RPC_E_INVALID_OBJECT);
  EXPECT_EQ(exporter.interface_count(), 1u);
}

TEST_F(ExporterTest, ReleasesObjectsNotPingedForThreePeriods) {
  ObjectExporter exporter(Bindings());
  StdObjref pinged, forgotten;
  com::ComPtr<IEnumString> other;
  ASSERT_EQ(com::CreateEnumString({u"x"}, other.GetAddressOf()), S_OK);
  ASSERT_EQ(exporter.Export(enum_.Get(), IID_IEnumString, 5, &pinged), S_OK);
  ASSERT_EQ(exporter.Export(other.Get(), IID_IEnumString, 5, &forgotten), S_OK);

  uint64_t set = 0;
  Oid add[] = {pinged.oid, 0x1234 /* unknown: ignored */};
  ASSERT_TRUE(exporter.ComplexPing(&set, add, {}, GetTickCount()));
  EXPECT_NE(set, 0u);
  for (int i = 0; i < 5; ++i) {
    clock_.Advance(kPingPeriodMs);
    ASSERT_TRUE(exporter.SimplePing(set, GetTickCount()));
    // The unpinged object goes once three periods have passed.
    EXPECT_EQ(exporter.CollectGarbage(GetTickCount()), i == 2 ? 1u : 0u);
  }
  EXPECT_EQ(exporter.object_count(), 1u);
  com::ComPtr<IUnknown> pointer;
  const com::InterfaceDescription* description = nullptr;
  EXPECT_TRUE(exporter.Lookup(pinged.ipid, &pointer, &description));
  EXPECT_FALSE(exporter.Lookup(forgotten.ipid, &pointer, &description));
  pointer = nullptr;

  // The client dies: no more pings; just under three periods keep it.
  clock_.Advance(kPingPeriodMs * 3 - 1);
  EXPECT_EQ(exporter.CollectGarbage(GetTickCount()), 0u);
  clock_.Advance(1);
  EXPECT_EQ(exporter.CollectGarbage(GetTickCount()), 1u);
  EXPECT_EQ(exporter.object_count(), 0u);
  EXPECT_EQ(RefCount(enum_.Get()), baseline_);
  // Its set went too.
  EXPECT_FALSE(exporter.SimplePing(set, GetTickCount()));
  uint64_t unknown_set = 99;
  EXPECT_FALSE(exporter.ComplexPing(&unknown_set, {}, {}, GetTickCount()));
}

TEST_F(ExporterTest, ObjrefHookMarshalsAndResolvesOnlyItsOwnObjects) {
  ObjectExporter exporter(Bindings());
  std::vector<uint8_t> bytes;
  ASSERT_EQ(exporter.Marshal(enum_.Get(), IID_IEnumString, &bytes), S_OK);
  Objref ref;
  ASSERT_TRUE(DecodeObjref(bytes, &ref));
  EXPECT_EQ(ref.std.public_refs, kPublicRefsPerObjref);
  EXPECT_EQ(ref.resolver_address.strings.at(0).network_address,
            u"127.0.0.1[4135]");

  IUnknown* back = nullptr;
  ASSERT_EQ(exporter.Unmarshal(bytes, IID_IEnumString, &back), S_OK);
  com::ComPtr<IUnknown> own_back;
  own_back.Attach(back);
  com::ComPtr<IUnknown> identity;
  enum_.As(&identity);
  com::ComPtr<IUnknown> back_identity;
  own_back.As(&back_identity);
  EXPECT_EQ(identity.Get(), back_identity.Get());
  EXPECT_FALSE(ObjectExporter::TakeRefusedForeignObjref());

  // A client's own object (a callback sink) is refused with E_NOTIMPL.
  Objref foreign = ref;
  foreign.std.oxid ^= 1;
  EXPECT_EQ(exporter.Unmarshal(EncodeObjref(foreign), IID_IEnumString, &back),
            E_NOTIMPL);
  EXPECT_EQ(back, nullptr);
  EXPECT_TRUE(ObjectExporter::TakeRefusedForeignObjref());
  EXPECT_FALSE(ObjectExporter::TakeRefusedForeignObjref());

  Objref stale = ref;
  stale.std.ipid.Data1 ^= 1;
  EXPECT_EQ(exporter.Unmarshal(EncodeObjref(stale), IID_IEnumString, &back),
            RPC_E_INVALID_OBJECT);
  bytes.resize(10);
  EXPECT_EQ(exporter.Unmarshal(bytes, IID_IEnumString, &back), E_INVALIDARG);
}

TEST_F(ExporterTest, ConcurrentExportAndReleaseKeepCountsExact) {
  ObjectExporter exporter(Bindings());
  StdObjref std;
  ASSERT_EQ(exporter.Export(enum_.Get(), IID_IEnumString, 1, &std), S_OK);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 1000; ++i) {
        StdObjref mine;
        if (exporter.Export(enum_.Get(), IID_IEnumString, 2, &mine) == S_OK) {
          exporter.Release(mine.ipid, 2);
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(exporter.interface_count(), 1u);
  ASSERT_EQ(exporter.Release(std.ipid, 1), S_OK);
  EXPECT_EQ(exporter.object_count(), 0u);
  EXPECT_EQ(RefCount(enum_.Get()), baseline_);
}

}  // namespace
}  // namespace kavex::dcom
