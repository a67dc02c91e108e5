#include "server/objects/sync_io.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "server/objects/testing/server_fixture.h"
#include "server/objects/trace_capture_for_test.h"

namespace kavex::server {
namespace {

using testing::ReadEntry;
using testing::ServerFixture;
using testing::SyncRead;
using testing::SyncWrite;

class SyncIoTest : public ServerFixture {
 protected:
  void SetUp() override {
    ServerFixture::SetUp();
    server_ = NewServer();
    group_ = NewGroup(server_.Get(), u"io");
    ASSERT_TRUE(group_);
  }
  void TearDown() override {
    group_.Reset();
    server_.Reset();
    ServerFixture::TearDown();
  }

  void SetGroupActive(bool active) {
    com::ComPtr<IOPCGroupStateMgt> state;
    ASSERT_EQ(group_.As(&state), S_OK);
    BOOL value = active ? TRUE : FALSE;
    ASSERT_EQ(state->SetState(nullptr, nullptr, &value, nullptr, nullptr,
                              nullptr, nullptr),
              S_OK);
  }

  com::ComPtr<CServer> server_;
  com::ComPtr<IOPCItemMgt> group_;
};

TEST_F(SyncIoTest, ReadRefusesBadArguments) {
  const OPCHANDLE h = AddItem(group_.Get(), u"A.B.C");
  com::ComPtr<IOPCSyncIO> io;
  ASSERT_EQ(group_.As(&io), S_OK);
  OPCHANDLE handles[] = {h};
  OPCITEMSTATE* states = reinterpret_cast<OPCITEMSTATE*>(1);
  HRESULT* errors = reinterpret_cast<HRESULT*>(1);
  for (DWORD source : {0u, 3u, 0xFFFFFFFFu}) {
    EXPECT_EQ(io->Read(static_cast<OPCDATASOURCE>(source), 1, handles, &states,
                       &errors),
              E_INVALIDARG);
    EXPECT_EQ(states, nullptr);
    EXPECT_EQ(errors, nullptr);
  }
  EXPECT_EQ(io->Read(OPC_DS_CACHE, 0, handles, &states, &errors), E_INVALIDARG);
  EXPECT_EQ(io->Read(OPC_DS_CACHE, 1, nullptr, &states, &errors), E_INVALIDARG);
  EXPECT_EQ(io->Read(OPC_DS_CACHE, 1, handles, nullptr, &errors), E_INVALIDARG);
  EXPECT_EQ(io->Read(OPC_DS_CACHE, 1, handles, &states, nullptr), E_INVALIDARG);
  EXPECT_EQ(io->Read(OPC_DS_DEVICE, 0xFFFFFFFF, handles, &states, &errors),
            E_OUTOFMEMORY);
  VARIANT value;
  VariantInit(&value);
  EXPECT_EQ(io->Write(0, handles, &value, &errors), E_INVALIDARG);
  EXPECT_EQ(io->Write(1, nullptr, &value, &errors), E_INVALIDARG);
  EXPECT_EQ(io->Write(1, handles, nullptr, &errors), E_INVALIDARG);
  EXPECT_EQ(io->Write(1, handles, &value, nullptr), E_INVALIDARG);
  EXPECT_EQ(io->Write(0xFFFFFFFF, handles, &value, &errors), E_OUTOFMEMORY);
  EXPECT_EQ(device_->reads(), 0);
  EXPECT_EQ(device_->writes(), 0);
}

TEST_F(SyncIoTest, CacheBeforeAnyReadHoldsTheZeroOfTheType) {
  const OPCHANDLE number = AddItem(group_.Get(), u"A.B.C");
  const OPCHANDLE text = AddItem(group_.Get(), u"A.D");
  const OPCHANDLE real = AddItem(group_.Get(), u"R.Failing");
  std::vector<ReadEntry> entries;
  ASSERT_EQ(
      SyncRead(group_.Get(), OPC_DS_CACHE, {number, text, real}, &entries),
      S_OK);
  EXPECT_EQ(entries[0].value.vt, VT_I4);
  EXPECT_EQ(entries[0].value.lVal, 0);
  EXPECT_EQ(entries[0].quality, 0x40);
  EXPECT_EQ(FileTimeToUInt64(entries[0].timestamp), 0u);
  EXPECT_EQ(entries[0].client, 100u);
  EXPECT_EQ(entries[1].value.vt, VT_BSTR);
  EXPECT_EQ(com::BstrView(entries[1].value.bstrVal), u"");
  EXPECT_NE(entries[1].value.bstrVal, nullptr);  // a string, if empty
  EXPECT_EQ(entries[2].value.vt, VT_R8);
  EXPECT_EQ(entries[2].value.dblVal, 0.0);
  // A cache read never calls the device.
  EXPECT_EQ(device_->reads(), 0);
}

TEST_F(SyncIoTest, DeviceReadFillsTheCache) {
  const OPCHANDLE number = AddItem(group_.Get(), u"A.B.C");
  clock_.Advance(2500);
  std::vector<ReadEntry> entries;
  ASSERT_EQ(SyncRead(group_.Get(), OPC_DS_DEVICE, {number, 77}, &entries),
            S_FALSE);
  EXPECT_EQ(entries[0].error, S_OK);
  EXPECT_EQ(entries[0].value.lVal, 7);
  EXPECT_EQ(entries[0].quality, OPC_QUALITY_GOOD);
  EXPECT_EQ(FileTimeToUInt64(entries[0].timestamp),
            kStartFileTime + 2500 * 10000);
  EXPECT_EQ(entries[1].error, OPC_E_INVALIDHANDLE);
  EXPECT_EQ(entries[1].value.vt, VT_EMPTY);
  EXPECT_EQ(entries[1].client, 0u);
  EXPECT_EQ(device_->reads(), 1);

  // The cache keeps the value after the device moves on.
  device_->SetValue(u"A.B.C", com::Variant(LONG{8}));
  clock_.Advance(1000);
  ASSERT_EQ(SyncRead(group_.Get(), OPC_DS_CACHE, {number}, &entries), S_OK);
  EXPECT_EQ(entries[0].value.lVal, 7);
  EXPECT_EQ(FileTimeToUInt64(entries[0].timestamp),
            kStartFileTime + 2500 * 10000);
}

TEST_F(SyncIoTest, InactiveItemOrGroupIsOutOfServiceInTheCache) {
  const OPCHANDLE h = AddItem(group_.Get(), u"A.B.C");
  std::vector<ReadEntry> entries;
  ASSERT_EQ(SyncRead(group_.Get(), OPC_DS_DEVICE, {h}, &entries), S_OK);
  const FILETIME read_at = entries[0].timestamp;
  SetGroupActive(false);
  ASSERT_EQ(SyncRead(group_.Get(), OPC_DS_CACHE, {h}, &entries), S_OK);
  EXPECT_EQ(entries[0].quality, 0x1C);
  EXPECT_EQ(entries[0].value.lVal, 7);
  EXPECT_EQ(FileTimeToUInt64(entries[0].timestamp), FileTimeToUInt64(read_at));
  // A device read reports the cached quality whatever the activity.
  ASSERT_EQ(SyncRead(group_.Get(), OPC_DS_DEVICE, {h}, &entries), S_OK);
  EXPECT_EQ(entries[0].quality, OPC_QUALITY_GOOD);

  SetGroupActive(true);
  OPCHANDLE handles[] = {h};
  HRESULT* errors = nullptr;
  ASSERT_EQ(group_->SetActiveState(1, handles, FALSE, &errors), S_OK);
  CoTaskMemFree(errors);
  ASSERT_EQ(SyncRead(group_.Get(), OPC_DS_CACHE, {h}, &entries), S_OK);
  EXPECT_EQ(entries[0].quality, OPC_QUALITY_OUT_OF_SERVICE);
}

TEST_F(SyncIoTest, RequestedTypesConvertOrFailPerItem) {
  const OPCHANDLE as_text = AddItem(group_.Get(), u"A.B.C", VT_BSTR);
  const OPCHANDLE as_date = AddItem(group_.Get(), u"A.D", VT_DATE);
  std::vector<ReadEntry> entries;
  ASSERT_EQ(SyncRead(group_.Get(), OPC_DS_DEVICE, {as_text, as_date}, &entries),
            S_FALSE);
  EXPECT_EQ(entries[0].error, S_OK);
  EXPECT_EQ(entries[0].value.vt, VT_BSTR);
  EXPECT_EQ(com::BstrView(entries[0].value.bstrVal), u"7");
  // "text" is no date: the conversion's error, the rest still filled.
  EXPECT_EQ(entries[1].error, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(entries[1].value.vt, VT_EMPTY);
  EXPECT_EQ(entries[1].quality, OPC_QUALITY_GOOD);
  EXPECT_EQ(entries[1].client, 100u);
  EXPECT_NE(FileTimeToUInt64(entries[1].timestamp), 0u);
}

TEST_F(SyncIoTest, FailingDeviceReadMarksTheQualityBad) {
  const OPCHANDLE failing = AddItem(group_.Get(), u"R.Failing");
  const OPCHANDLE write_only = AddItem(group_.Get(), u"W.Only");
  std::vector<ReadEntry> entries;
  ASSERT_EQ(
      SyncRead(group_.Get(), OPC_DS_DEVICE, {failing, write_only}, &entries),
      S_FALSE);
  EXPECT_EQ(entries[0].error, E_ACCESSDENIED);
  EXPECT_EQ(entries[0].quality, 0);
  EXPECT_EQ(entries[0].client, 0u);
  EXPECT_EQ(entries[1].error, static_cast<HRESULT>(0xC0040006));
  EXPECT_EQ(device_->reads(), 1);  // the write-only item was not asked for
  // The cache took the bad quality and kept the value and timestamp.
  ASSERT_EQ(
      SyncRead(group_.Get(), OPC_DS_CACHE, {failing, write_only}, &entries),
      S_FALSE);
  EXPECT_EQ(entries[0].error, S_OK);
  EXPECT_EQ(entries[0].quality, OPC_QUALITY_BAD);
  EXPECT_EQ(entries[0].value.dblVal, 0.0);
  EXPECT_EQ(FileTimeToUInt64(entries[0].timestamp), 0u);
  EXPECT_EQ(entries[1].error, OPC_E_BADRIGHTS);
  EXPECT_EQ(entries[1].quality, OPC_QUALITY_BAD);
  EXPECT_EQ(entries[1].value.vt, VT_EMPTY);
}

TEST_F(SyncIoTest, WriteConvertsToTheCanonicalType) {
  const OPCHANDLE h = AddItem(group_.Get(), u"W.I4");
  clock_.Advance(700);
  std::vector<HRESULT> errors;
  ASSERT_EQ(SyncWrite(group_.Get(), {h}, {com::Variant(u"12")}, &errors), S_OK);
  EXPECT_EQ(errors[0], S_OK);
  const com::Variant written = device_->Written(u"W.I4");
  EXPECT_EQ(written.vt, VT_I4);
  EXPECT_EQ(written.lVal, 12);
  // The cache holds what the device got, good, at the time of the write.
  std::vector<ReadEntry> entries;
  ASSERT_EQ(SyncRead(group_.Get(), OPC_DS_CACHE, {h}, &entries), S_OK);
  EXPECT_EQ(entries[0].value.vt, VT_I4);
  EXPECT_EQ(entries[0].value.lVal, 12);
  EXPECT_EQ(entries[0].quality, OPC_QUALITY_GOOD);
  EXPECT_EQ(FileTimeToUInt64(entries[0].timestamp),
            kStartFileTime + 700 * 10000);
}

TEST_F(SyncIoTest, WriteFailuresArePerItem) {
  const OPCHANDLE writable = AddItem(group_.Get(), u"W.I4");
  const OPCHANDLE read_only = AddItem(group_.Get(), u"A.B.C");
  std::vector<HRESULT> errors;
  ASSERT_EQ(SyncWrite(group_.Get(), {read_only, writable, 42, writable},
                      {com::Variant(LONG{1}), com::Variant(u"twelve"),
                       com::Variant(LONG{3}), com::Variant(LONG{4})},
                      &errors),
            S_FALSE);
  EXPECT_EQ(errors[0], static_cast<HRESULT>(0xC0040006));
  EXPECT_EQ(errors[1], DISP_E_TYPEMISMATCH);
  EXPECT_EQ(errors[2], OPC_E_INVALIDHANDLE);
  EXPECT_EQ(errors[3], S_OK);
  // Only the last reached the device.
  EXPECT_EQ(device_->writes(), 1);
  EXPECT_EQ(device_->Written(u"W.I4").lVal, 4);
  EXPECT_EQ(device_->Written(u"A.B.C").vt, VT_EMPTY);
}

TEST_F(SyncIoTest, FailedDeviceWriteLeavesTheCache) {
  testing::ScriptedDevice::Item item;
  item.type = VT_R4;
  item.rights = OPC_READABLE | OPC_WRITEABLE;
  item.write_result = DISP_E_OVERFLOW;
  device_->SetItem(u"W.Refusing", item);
  const OPCHANDLE h = AddItem(group_.Get(), u"W.Refusing");
  std::vector<HRESULT> errors;
  ASSERT_EQ(SyncWrite(group_.Get(), {h}, {com::Variant(2.5)}, &errors),
            S_FALSE);
  EXPECT_EQ(errors[0], DISP_E_OVERFLOW);
  std::vector<ReadEntry> entries;
  ASSERT_EQ(SyncRead(group_.Get(), OPC_DS_CACHE, {h}, &entries), S_OK);
  EXPECT_EQ(entries[0].quality, OPC_QUALITY_UNCERTAIN);
  EXPECT_EQ(entries[0].value.fltVal, 0.0f);
}

// Values and requested types a client may pass: each fails its own entry
// or converts, nothing reaches the device that it did not ask for.
TEST_F(SyncIoTest, HostileValuesAndRequestedTypes) {
  const OPCHANDLE h = AddItem(group_.Get(), u"W.I4");
  LONG pointed = 33;
  struct Case {
    const char* what;
    VARIANT value;
    HRESULT expected;  // S_FALSE: any failure
  };
  std::vector<Case> cases;
  auto add = [&](const char* what, VARTYPE vt, HRESULT expected) {
    Case c{what, {}, expected};
    c.value.vt = vt;
    cases.push_back(c);
    return &cases.back().value;
  };
  add("unknown type", 0xFFFF, DISP_E_BADVARTYPE);
  add("vector", VT_VECTOR | VT_I4, DISP_E_BADVARTYPE);
  add("null text", VT_BSTR, DISP_E_TYPEMISMATCH)->bstrVal = nullptr;
  add("null", VT_NULL, S_FALSE);
  add("huge", VT_I8, DISP_E_OVERFLOW)->llVal = 1LL << 40;
  add("not a number", VT_R8, S_FALSE)->dblVal =
      std::numeric_limits<double>::quiet_NaN();
  add("array without data", VT_ARRAY | VT_I4, S_FALSE)->parray = nullptr;
  add("null object", VT_UNKNOWN, S_FALSE)->punkVal = nullptr;
  add("by reference", VT_BYREF | VT_I4, S_OK)->plVal = &pointed;
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    const int writes = device_->writes();
    std::vector<HRESULT> errors;
    com::ComPtr<IOPCSyncIO> io;
    ASSERT_EQ(group_.As(&io), S_OK);
    OPCHANDLE handles[] = {h};
    HRESULT* out = nullptr;
    const HRESULT hr = io->Write(1, handles, &c.value, &out);
    ASSERT_TRUE(SUCCEEDED(hr));
    if (c.expected == S_OK) {
      EXPECT_EQ(out[0], S_OK);
      EXPECT_EQ(device_->Written(u"W.I4").lVal, 33);
    } else {
      EXPECT_TRUE(FAILED(out[0]));
      if (c.expected != S_FALSE) {
        EXPECT_EQ(out[0], c.expected);
      }
      EXPECT_EQ(device_->writes(), writes);
    }
    CoTaskMemFree(out);
  }

  const VARTYPE requested[] = {VT_BYREF | VT_I4,  VT_ARRAY | VT_BSTR,
                               VT_VECTOR | VT_I4, 0xFFFF,
                               VT_RECORD,         VT_NULL,
                               VT_DISPATCH,       VT_VARIANT,
                               VT_ERROR,          VT_EMPTY};
  std::vector<OPCHANDLE> handles;
  for (VARTYPE type : requested)
    handles.push_back(AddItem(group_.Get(), u"A.B.C", type));
  std::vector<ReadEntry> entries;
  ASSERT_TRUE(
      SUCCEEDED(SyncRead(group_.Get(), OPC_DS_DEVICE, handles, &entries)));
  for (size_t i = 0; i < entries.size(); ++i) {
    SCOPED_TRACE(requested[i]);
    if (entries[i].error == S_OK) {
      EXPECT_EQ(entries[i].value.vt,
                requested[i] == VT_EMPTY ? VARTYPE{VT_I4} : requested[i]);
    } else {
      EXPECT_TRUE(FAILED(entries[i].error));
      EXPECT_EQ(entries[i].value.vt, VT_EMPTY);
    }
  }
  EXPECT_EQ(entries[0].error, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(entries[3].error, DISP_E_BADVARTYPE);
  EXPECT_EQ(entries.back().error, S_OK);
}

TEST_F(SyncIoTest, TraceLinesOfASyncRead) {
  const OPCHANDLE h = AddItem(group_.Get(), u"A.B.C");
  TraceCapture trace(kTraceDetail);
  std::vector<ReadEntry> entries;
  ASSERT_EQ(SyncRead(group_.Get(), OPC_DS_DEVICE, {h}, &entries), S_OK);
  com::ComPtr<IOPCSyncIO> io;
  ASSERT_EQ(group_.As(&io), S_OK);
  const void* g = static_cast<CGroup*>(io.Get());
  // Only the group's lines: the worker threads may write theirs meanwhile.
  EXPECT_EQ(
      trace.LinesOf(g),
      (std::vector<std::string>{
          TraceCapture::Line(g, S_OK, "CGroup::Read (Sync): Allocate Results"),
          TraceCapture::Line(g, S_OK,
                             "CGroup::Read (Sync): Loop through items"),
          TraceCapture::Line(g, S_OK, "CGroup::Read (Sync): Read item",
                             "A.B.C"),
          TraceCapture::Line(g, S_OK, "CGroup::ReadDevice: Start", "A.B.C"),
          TraceCapture::Line(g, S_OK, "CGroup::ReadDevice: Done", "A.B.C"),
          TraceCapture::Line(g, S_OK, "CGroup::Read (Sync): Loop Done"),
          TraceCapture::Line(g, S_OK, "CGroup::Read (Sync): Done")}));
  OPCHANDLE handles[] = {h};
  OPCITEMSTATE* states = nullptr;
  HRESULT* errors = nullptr;
  EXPECT_EQ(io->Read(OPC_DS_CACHE, 0, handles, &states, &errors), E_INVALIDARG);
  // The time, the object, the error and the message.
  const std::string line = trace.LinesOf(g).back();
  EXPECT_EQ(line,
            TraceCapture::Line(g, E_INVALIDARG, "CGroup::Read (Sync): Error"));
  EXPECT_EQ(line.substr(0, 28), "03/07/2026 09:05:04.021: [0x");
  EXPECT_EQ(line.substr(38),
            "[Error: 0x80070057] CGroup::Read (Sync): Error\n");
}

}  // namespace
}  // namespace kavex::server
