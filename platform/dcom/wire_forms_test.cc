// OBJREF, DUALSTRINGARRAY and ORPCTHIS/ORPCTHAT: round trips and hostile
// inputs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/dcom/activation_blob.h"
#include "platform/dcom/objref.h"
#include "platform/dcom/orpc.h"

namespace kavex::dcom {
namespace {

DualStringArray LoopbackBindings() {
  DualStringArray a;
  a.strings.push_back({kTowerNcacnIpTcp, TcpBindingAddress("127.0.0.1", 4135)});
  a.security.push_back({kAuthnWinNt, 0xffff, u""});
  return a;
}

Objref SampleObjref() {
  Objref r;
  r.iid = {0x39c13a4d,
           0x011e,
           0x11d0,
           {0x96, 0x75, 0x00, 0x20, 0xaf, 0xd8, 0xad, 0xb3}};
  r.std = {0,
           5,
           0x1122334455667788ull,
           0x99aabbccddeeff00ull,
           {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}}};
  r.resolver_address = LoopbackBindings();
  return r;
}

TEST(ObjrefTest, RoundTripsAndHasTheStandardLayout) {
  std::vector<uint8_t> bytes = EncodeObjref(SampleObjref());
  // signature, flags, iid, then the 40-byte STDOBJREF.
  uint32_t signature = 0, flags = 0;
  std::memcpy(&signature, bytes.data(), 4);
  std::memcpy(&flags, bytes.data() + 4, 4);
  EXPECT_EQ(signature, 0x574f454du);
  EXPECT_EQ(flags, kObjrefStandard);
  uint16_t entries = 0, security_offset = 0;
  std::memcpy(&entries, bytes.data() + 64, 2);
  std::memcpy(&security_offset, bytes.data() + 66, 2);
  EXPECT_EQ(bytes.size(), 68u + entries * 2u);
  // tower 7, "127.0.0.1[4135]" + NUL, list end: 18 words.
  EXPECT_EQ(security_offset, 18);

  Objref back;
  ASSERT_TRUE(DecodeObjref(bytes, &back));
  EXPECT_EQ(back.iid, SampleObjref().iid);
  EXPECT_EQ(back.std.oxid, 0x1122334455667788ull);
  EXPECT_EQ(back.std.oid, 0x99aabbccddeeff00ull);
  EXPECT_EQ(back.std.public_refs, 5u);
  EXPECT_EQ(back.std.ipid, SampleObjref().std.ipid);
  ASSERT_EQ(back.resolver_address.strings.size(), 1u);
  EXPECT_EQ(back.resolver_address.strings[0].network_address,
            u"127.0.0.1[4135]");
  ASSERT_EQ(back.resolver_address.security.size(), 1u);
  EXPECT_EQ(back.resolver_address.security[0].authn_service, kAuthnWinNt);
}

TEST(ObjrefTest, EmptyBindingListsStillTerminate) {
  uint16_t offset = 0;
  std::vector<uint16_t> words = DualStringArrayWords({}, &offset);
  EXPECT_EQ(words, (std::vector<uint16_t>{0, 0, 0, 0}));
  EXPECT_EQ(offset, 2);
  DualStringArray back;
  EXPECT_TRUE(ParseDualStringArrayWords(words, offset, &back));
  EXPECT_TRUE(back.strings.empty());
  EXPECT_TRUE(back.security.empty());
}

TEST(ObjrefTest, RefusesHostileBytes) {
  const std::vector<uint8_t> good = EncodeObjref(SampleObjref());
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
  };
  std::vector<Case> cases;
  cases.push_back({"empty", {}});
  for (size_t n : {3u, 8u, 24u, 63u, 66u, 67u}) {
    cases.push_back({"truncated", {good.begin(), good.begin() + n}});
  }
  cases.push_back({"last byte gone", {good.begin(), good.end() - 1}});
  {
    auto b = good;
    b[0] ^= 1;
    cases.push_back({"bad signature", b});
  }
  for (uint8_t flag : {0u, 2u, 4u, 8u, 3u}) {
    auto b = good;
    b[4] = flag;
    cases.push_back({"not standard", b});
  }
  {
    auto b = good;
    b[64] = 0xff;  // wNumEntries far beyond the bytes
    b[65] = 0xff;
    cases.push_back({"entries beyond data", b});
  }
  {
    auto b = good;
    b[66] = 0xfe;  // security offset beyond the entries
    cases.push_back({"offset beyond entries", b});
  }
  {
    auto b = good;
    b[66] = 0;  // security offset 0
    b[67] = 0;
    cases.push_back({"offset zero", b});
  }
  {
    auto b = good;
    // Every word non-zero: no list ever ends.
    for (size_t i = 68; i < b.size(); ++i) b[i] = 'A';
    cases.push_back({"unterminated", b});
  }
  {
    auto b = good;
    b.push_back(0);
    cases.push_back({"trailing byte", b});
  }
  for (const Case& c : cases) {
    Objref out;
    EXPECT_FALSE(DecodeObjref(c.bytes, &out)) << c.name;
  }
}

TEST(ObjrefTest, NdrPointerFormRoundTripsAndRejectsMismatchedConformance) {
  std::vector<uint8_t> bytes;
  rpc::WireWriter w(&bytes);
  WriteDualStringArrayPointer(LoopbackBindings(), &w);
  {
    rpc::WireReader r(bytes);
    DualStringArray back;
    bool present = false;
    ASSERT_TRUE(ReadDualStringArrayPointer(&r, &back, &present));
    EXPECT_TRUE(present);
    EXPECT_EQ(back.strings.at(0).network_address, u"127.0.0.1[4135]");
    EXPECT_EQ(r.remaining(), 0u);
  }
  {
    auto b = bytes;
    b[4] += 1;  // conformance no longer wNumEntries
    rpc::WireReader r(b);
    DualStringArray back;
    bool present = false;
    EXPECT_FALSE(ReadDualStringArrayPointer(&r, &back, &present));
  }
  {
    std::vector<uint8_t> null_pointer(4, 0);
    rpc::WireReader r(null_pointer);
    DualStringArray back;
    bool present = true;
    EXPECT_TRUE(ReadDualStringArrayPointer(&r, &back, &present));
    EXPECT_FALSE(present);
  }
}

std::vector<uint8_t> OrpcThisWithExtents(uint32_t size, uint32_t max,
                                         uint32_t data_size,
                                         uint32_t conformance) {
  std::vector<uint8_t> b;
  rpc::WireWriter w(&b);
  w.U16(5);
  w.U16(7);
  w.U32(0);
  w.U32(0);
  w.Guid({});
  w.U32(0x20000);  // extensions present
  w.U32(size);
  w.U32(0);
  w.U32(0x20004);  // extent array
  w.U32(max);
  for (uint32_t i = 0; i < max; ++i) w.U32(i == 0 ? 0x20008 : 0);
  w.U32(conformance);
  w.Guid({0x1, 0, 0, {}});
  w.U32(data_size);
  w.Zeros(std::min<uint32_t>(conformance, 64));  // never more than sent
  return b;
}

TEST(OrpcTest, ReadsWhatItWritesAndSkipsExtents) {
  std::vector<uint8_t> b;
  rpc::WireWriter w(&b);
  OrpcThis in;
  in.flags = kOrpcfLocal;
  in.causality = {9, 8, 7, {6}};
  WriteOrpcThis(in, &w);
  EXPECT_EQ(b.size(), 32u);
  rpc::WireReader r(b);
  OrpcThis out;
  ASSERT_TRUE(ReadOrpcThis(&r, &out));
  EXPECT_EQ(out.flags, kOrpcfLocal);
  EXPECT_EQ(out.causality, in.causality);
  EXPECT_EQ(r.remaining(), 0u);

  // One extent of 12 bytes (padded to 16), in an array of two slots.
  std::vector<uint8_t> ext = OrpcThisWithExtents(1, 2, 12, 16);
  ext.push_back(0xAB);  // the method's parameters follow
  rpc::WireReader re(ext);
  ASSERT_TRUE(ReadOrpcThis(&re, &out));
  EXPECT_EQ(out.extension_count, 1u);
  EXPECT_EQ(re.remaining(), 1u);

  std::vector<uint8_t> that;
  rpc::WireWriter wt(&that);
  WriteOrpcThat(&wt);
  EXPECT_EQ(that, std::vector<uint8_t>(8, 0));
  rpc::WireReader rt(that);
  EXPECT_TRUE(ReadOrpcThat(&rt));
}

TEST(OrpcTest, RefusesHostileHeaders) {
  std::vector<uint8_t> good = OrpcThisWithExtents(1, 2, 12, 16);
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
  };
  std::vector<Case> cases = {
      {"empty", {}},
      {"truncated header", {good.begin(), good.begin() + 20}},
      {"truncated extents", {good.begin(), good.end() - 1}},
      {"huge extent count", OrpcThisWithExtents(0x7fffffff, 2, 12, 16)},
      {"array length not size rounded up", OrpcThisWithExtents(1, 4, 12, 16)},
      {"extent data size beyond conformance",
       OrpcThisWithExtents(1, 2, 40, 16)},
      {"extent conformance not data rounded up",
       OrpcThisWithExtents(1, 2, 12, 24)},
      {"huge extent data", OrpcThisWithExtents(1, 2, 0xfffffff8, 0xfffffff8)},
  };
  {
    auto b = good;
    b[0] = 6;  // major version 6
    cases.push_back({"other major version", b});
  }
  for (const Case& c : cases) {
    rpc::WireReader r(c.bytes);
    OrpcThis out;
    EXPECT_FALSE(ReadOrpcThis(&r, &out)) << c.name;
  }
}

TEST(ActivationBlobTest, ParsesTheClassAndInterfacesAClientAsksFor) {
  ActivationPropertiesIn in;
  in.clsid = {0x11, 0x22, 0x33, {1, 2, 3, 4, 5, 6, 7, 8}};
  in.iids = {SampleObjref().iid, {0x1, 0, 0, {}}};
  std::vector<uint8_t> bytes = EncodeActivationPropertiesIn(in);
  ActivationPropertiesIn back;
  ASSERT_TRUE(ParseActivationPropertiesIn(bytes, &back));
  EXPECT_EQ(back.clsid, in.clsid);
  EXPECT_EQ(back.iids, in.iids);
}

TEST(ActivationBlobTest, RefusesEveryTruncationAndInconsistentCounts) {
  ActivationPropertiesIn in;
  in.clsid = {0x11, 0x22, 0x33, {}};
  in.iids = {SampleObjref().iid};
  const std::vector<uint8_t> good = EncodeActivationPropertiesIn(in);
  ActivationPropertiesIn out;
  for (size_t n = 0; n < good.size(); ++n) {
    std::vector<uint8_t> cut(good.begin(), good.begin() + n);
    EXPECT_FALSE(ParseActivationPropertiesIn(cut, &out)) << n;
  }
  auto patched = [&](size_t at, uint32_t value) {
    auto b = good;
    std::memcpy(b.data() + at, &value, 4);
    return b;
  };
  // OBJREF_CUSTOM: signature 0, flags 4, iid 8, clsid 24, extension 40,
  // size 44; the blob at 48: dwSize, reserved, then the custom header's
  // serialization header (16) and fields: totalSize 72, headerSize 76,
  // reserved 80, destCtx 84, cIfs 88.
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
  };
  const Case cases[] = {
      {"standard flags", patched(4, kObjrefStandard)},
      {"other interface", patched(8, 0x12345678)},
      {"extension", patched(40, 1)},
      {"blob size beyond data", patched(48, 0x7fffffff)},
      {"serialization version", patched(56, 0x00081002)},
      {"header size beyond blob", patched(76, 0x7fffffff)},
      {"no properties", patched(88, 0)},
      {"too many properties", patched(88, 0xffffffff)},
      {"property count not the array's", patched(88, 3)},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(ParseActivationPropertiesIn(c.bytes, &out)) << c.name;
  }
  // Every 32-bit word set to a huge count in turn: never a crash, never a
  // read past the end (the sanitizers watch), a clear false mostly.
  for (size_t at = 0; at + 4 <= good.size(); at += 4) {
    for (uint32_t value : {0u, 0xffffffffu, 0x10000u}) {
      ParseActivationPropertiesIn(patched(at, value), &out);
    }
  }
}

}  // namespace
}  // namespace kavex::dcom
