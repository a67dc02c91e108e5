#include "server/objects/group_object.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "server/objects/testing/server_fixture.h"
#include "server/objects/trace_capture_for_test.h"

namespace kavex::server {
namespace {

using testing::Added;
using testing::ReadEntry;
using testing::ServerFixture;
using testing::SyncRead;

class GroupObjectTest : public ServerFixture {
 protected:
  void SetUp() override {
    ServerFixture::SetUp();
    server_ = NewServer();
    group_ = NewGroup(server_.Get(), u"g");
    ASSERT_TRUE(group_);
    ASSERT_EQ(group_.As(&state_), S_OK);
  }
  void TearDown() override {
    state_.Reset();
    group_.Reset();
    server_.Reset();
    ServerFixture::TearDown();
  }

  struct State {
    DWORD rate = 0;
    BOOL active = FALSE;
    std::u16string name;
    LONG bias = 0;
    FLOAT deadband = 0;
    DWORD lcid = 0;
    OPCHANDLE client = 0;
    OPCHANDLE server = 0;
  };
  State GetState(IOPCGroupStateMgt* group) {
    State s;
    LPWSTR name = nullptr;
    EXPECT_EQ(group->GetState(&s.rate, &s.active, &name, &s.bias, &s.deadband,
                              &s.lcid, &s.client, &s.server),
              S_OK);
    if (name != nullptr) s.name = name;
    CoTaskMemFree(name);
    return s;
  }

  com::ComPtr<CServer> server_;
  com::ComPtr<IOPCItemMgt> group_;
  com::ComPtr<IOPCGroupStateMgt> state_;
};

TEST_F(GroupObjectTest, AnswersItsInterfacesOnly) {
  for (const IID& iid :
       {IID_IOPCGroupStateMgt, IID_IOPCItemMgt, IID_IOPCSyncIO}) {
    com::ComPtr<IUnknown> p;
    EXPECT_EQ(
        group_->QueryInterface(iid, reinterpret_cast<void**>(p.GetAddressOf())),
        S_OK);
  }
  // Public groups are not offered.
  GUID public_group{};
  ASSERT_TRUE(com::GuidFromString("{39C13A51-011E-11D0-9675-0020AFD8ADB3}",
                                  &public_group));
  void* p = nullptr;
  EXPECT_EQ(group_->QueryInterface(public_group, &p), E_NOINTERFACE);
}

TEST_F(GroupObjectTest, GetStateRefusesNullPointers) {
  TraceCapture trace(kTraceError);
  DWORD rate, lcid;
  BOOL active;
  LPWSTR name = reinterpret_cast<LPWSTR>(1);
  LONG bias;
  FLOAT deadband;
  OPCHANDLE client, handle;
  EXPECT_EQ(state_->GetState(&rate, &active, &name, &bias, &deadband, &lcid,
                             &client, nullptr),
            E_INVALIDARG);
  EXPECT_EQ(name, nullptr);
  EXPECT_EQ(state_->GetState(nullptr, &active, &name, &bias, &deadband, &lcid,
                             &client, &handle),
            E_INVALIDARG);
  EXPECT_EQ(state_->GetState(&rate, &active, nullptr, &bias, &deadband, &lcid,
                             &client, &handle),
            E_INVALIDARG);
  ASSERT_EQ(trace.Lines().size(), 3u);
  EXPECT_EQ(trace.Lines()[0],
            TraceCapture::Line(static_cast<CGroup*>(state_.Get()), E_INVALIDARG,
                               "CGroup::GetState: Error", "g"));
}

TEST_F(GroupObjectTest, SetStateAppliesInOrderUntilARefusal) {
  DWORD rate = 250, revised = 0, lcid = 2048;
  BOOL active = FALSE;
  LONG bias = 60;
  FLOAT deadband = 101.0f;
  OPCHANDLE client = 5;
  EXPECT_EQ(state_->SetState(&rate, &revised, &active, &bias, &deadband, &lcid,
                             &client),
            E_INVALIDARG);
  State s = GetState(state_.Get());
  // Rate, active and bias are applied; locale and client handle are not.
  EXPECT_EQ(s.rate, 200u);
  EXPECT_EQ(s.active, FALSE);
  EXPECT_EQ(s.bias, 60);
  EXPECT_EQ(s.deadband, 0.0f);
  EXPECT_EQ(s.lcid, 1033u);
  EXPECT_EQ(s.client, 77u);

  deadband = 50.0f;
  lcid = 7;
  EXPECT_EQ(state_->SetState(nullptr, nullptr, nullptr, nullptr, &deadband,
                             &lcid, &client),
            E_INVALIDARG);
  EXPECT_EQ(GetState(state_.Get()).deadband, 50.0f);
  EXPECT_EQ(GetState(state_.Get()).client, 77u);

  rate = 1000;
  lcid = 0;
  EXPECT_EQ(state_->SetState(&rate, &revised, nullptr, nullptr, nullptr, &lcid,
                             &client),
            S_OK);
  EXPECT_EQ(revised, 1000u);
  rate = 1050;
  EXPECT_EQ(state_->SetState(&rate, &revised, nullptr, nullptr, nullptr,
                             nullptr, nullptr),
            OPC_S_UNSUPPORTEDRATE);
  EXPECT_EQ(revised, 1000u);
  // Only the revised rate asked for: the current one.
  EXPECT_EQ(state_->SetState(nullptr, &revised, nullptr, nullptr, nullptr,
                             nullptr, nullptr),
            S_OK);
  s = GetState(state_.Get());
  EXPECT_EQ(s.lcid, 0u);
  EXPECT_EQ(s.client, 5u);
}

TEST_F(GroupObjectTest, SetNameKeepsTheIndexInStep) {
  NewGroup(server_.Get(), u"other");
  EXPECT_EQ(state_->SetName(u"other"), OPC_E_DUPLICATENAME);
  EXPECT_EQ(state_->SetName(u"g"), OPC_E_DUPLICATENAME);
  EXPECT_EQ(state_->SetName(u""), E_INVALIDARG);
  EXPECT_EQ(state_->SetName(nullptr), E_INVALIDARG);
  EXPECT_EQ(GetState(state_.Get()).name, u"g");
  ASSERT_EQ(state_->SetName(u"renamed"), S_OK);
  EXPECT_EQ(GetState(state_.Get()).name, u"renamed");
  com::ComPtr<IUnknown> found;
  EXPECT_EQ(
      server_->GetGroupByName(u"renamed", IID_IUnknown, found.GetAddressOf()),
      S_OK);
  EXPECT_EQ(server_->GetGroupByName(u"g", IID_IUnknown,
                                    found.ReleaseAndGetAddressOf()),
            E_INVALIDARG);
  // The old name is free for a new group.
  EXPECT_TRUE(NewGroup(server_.Get(), u"g"));
}

TEST_F(GroupObjectTest, RenamingARemovedGroupFindsNoName) {
  // Between the removed check and the rename the group left the server.
  OPCHANDLE handle = GetState(state_.Get()).server;
  EXPECT_EQ(server_->RemoveGroup(handle, FALSE), OPC_S_INUSE);
  EXPECT_EQ(server_->RenameGroup(static_cast<CGroup*>(state_.Get()), u"x"),
            OPC_E_NOTFOUND);
}

TEST_F(GroupObjectTest, ItemHandlesCountFromZeroAndAreNotReused) {
  HRESULT overall = E_FAIL;
  std::vector<Added> added =
      AddItems(group_.Get(), {u"A.B.C", u"", u"A.D"}, VT_EMPTY, &overall);
  EXPECT_EQ(overall, S_FALSE);
  ASSERT_EQ(added.size(), 3u);
  EXPECT_EQ(added[0].error, S_OK);
  EXPECT_EQ(added[0].result.hServer, 0u);
  EXPECT_EQ(added[0].result.vtCanonicalDataType, VT_I4);
  EXPECT_EQ(added[0].result.dwAccessRights, OPC_READABLE);
  EXPECT_EQ(added[0].result.dwBlobSize, 0u);
  EXPECT_EQ(added[0].result.pBlob, nullptr);
  // The device's refusal, unchanged.
  EXPECT_EQ(added[1].error, E_FAIL);
  EXPECT_EQ(added[2].result.hServer, 1u);
  EXPECT_EQ(added[2].result.vtCanonicalDataType, VT_BSTR);

  OPCHANDLE first[] = {0};
  HRESULT* errors = nullptr;
  ASSERT_EQ(group_->RemoveItems(1, first, &errors), S_OK);
  CoTaskMemFree(errors);
  EXPECT_EQ(AddItem(group_.Get(), u"A.B.C"), 2u);
}

TEST_F(GroupObjectTest, DeviceErrorsPassUnchanged) {
  device_->SetUnknownItemResult(OPC_E_UNKNOWNITEMID);
  HRESULT overall = S_OK;
  std::vector<Added> added =
      AddItems(group_.Get(), {u"No.Such", u"W.I4"}, VT_EMPTY, &overall);
  EXPECT_EQ(overall, S_FALSE);
  EXPECT_EQ(added[0].error, OPC_E_UNKNOWNITEMID);
  EXPECT_EQ(added[0].result.hServer, 0u);
  EXPECT_EQ(added[1].error, S_OK);
  EXPECT_EQ(added[1].result.dwAccessRights, OPC_READABLE | OPC_WRITEABLE);
  EXPECT_EQ(static_cast<CGroup*>(state_.Get())->ItemCount(), 1u);
}

TEST_F(GroupObjectTest, ValidateItemsMakesNoRecords) {
  OPCITEMDEF definitions[2] = {};
  definitions[0].szItemID = const_cast<LPWSTR>(u"A.D");
  definitions[1].szItemID = nullptr;
  OPCITEMRESULT* results = nullptr;
  HRESULT* errors = nullptr;
  ASSERT_EQ(group_->ValidateItems(2, definitions, FALSE, &results, &errors),
            S_FALSE);
  EXPECT_EQ(errors[0], S_OK);
  EXPECT_EQ(results[0].hServer, 0u);
  EXPECT_EQ(results[0].vtCanonicalDataType, VT_BSTR);
  EXPECT_EQ(errors[1], E_FAIL);
  CoTaskMemFree(results);
  CoTaskMemFree(errors);
  EXPECT_EQ(static_cast<CGroup*>(state_.Get())->ItemCount(), 0u);
  // A validation takes no handle either.
  EXPECT_EQ(AddItem(group_.Get(), u"A.D"), 0u);
}

TEST_F(GroupObjectTest, ItemCallsRefuseBadArgumentsWithNothingAllocated) {
  OPCITEMDEF definition{};
  definition.szItemID = const_cast<LPWSTR>(u"A.D");
  OPCITEMRESULT* results = reinterpret_cast<OPCITEMRESULT*>(1);
  HRESULT* errors = reinterpret_cast<HRESULT*>(1);
  EXPECT_EQ(group_->AddItems(0, &definition, &results, &errors), E_INVALIDARG);
  EXPECT_EQ(results, nullptr);
  EXPECT_EQ(errors, nullptr);
  EXPECT_EQ(group_->AddItems(1, nullptr, &results, &errors), E_INVALIDARG);
  EXPECT_EQ(group_->AddItems(1, &definition, nullptr, &errors), E_INVALIDARG);
  EXPECT_EQ(group_->AddItems(1, &definition, &results, nullptr), E_INVALIDARG);
  EXPECT_EQ(group_->ValidateItems(0, &definition, FALSE, &results, &errors),
            E_INVALIDARG);
  OPCHANDLE handle = 0;
  OPCHANDLE client = 0;
  VARTYPE type = VT_I2;
  EXPECT_EQ(group_->RemoveItems(0, &handle, &errors), E_INVALIDARG);
  EXPECT_EQ(group_->RemoveItems(1, nullptr, &errors), E_INVALIDARG);
  EXPECT_EQ(group_->RemoveItems(1, &handle, nullptr), E_INVALIDARG);
  EXPECT_EQ(group_->SetActiveState(0, &handle, TRUE, &errors), E_INVALIDARG);
  EXPECT_EQ(group_->SetActiveState(1, nullptr, TRUE, &errors), E_INVALIDARG);
  EXPECT_EQ(group_->SetClientHandles(1, &handle, nullptr, &errors),
            E_INVALIDARG);
  EXPECT_EQ(group_->SetClientHandles(1, &handle, &client, nullptr),
            E_INVALIDARG);
  EXPECT_EQ(group_->SetDatatypes(1, &handle, nullptr, &errors), E_INVALIDARG);
  EXPECT_EQ(group_->SetDatatypes(0, &handle, &type, &errors), E_INVALIDARG);
  EXPECT_EQ(errors, nullptr);
  // A count too large to allocate is refused before the array is read.
  EXPECT_EQ(group_->AddItems(0xFFFFFFFF, &definition, &results, &errors),
            E_OUTOFMEMORY);
  EXPECT_EQ(results, nullptr);
  EXPECT_EQ(group_->RemoveItems(0xFFFFFFFF, &handle, &errors), E_OUTOFMEMORY);
  EXPECT_EQ(group_->SetActiveState(0x7FFFFFFF, &handle, TRUE, &errors),
            E_OUTOFMEMORY);
  EXPECT_EQ(errors, nullptr);
  EXPECT_EQ(static_cast<CGroup*>(state_.Get())->ItemCount(), 0u);
}

TEST_F(GroupObjectTest, RemoveItemsReportsUnknownHandles) {
  std::vector<Added> added = AddItems(group_.Get(), {u"A.B.C", u"A.D"});
  OPCHANDLE handles[] = {1, 9, 0, 1};
  HRESULT* errors = nullptr;
  ASSERT_EQ(group_->RemoveItems(4, handles, &errors), S_FALSE);
  EXPECT_EQ(errors[0], S_OK);
  EXPECT_EQ(errors[1], static_cast<HRESULT>(0xC0040001));
  EXPECT_EQ(errors[2], S_OK);
  EXPECT_EQ(errors[3], OPC_E_INVALIDHANDLE);  // removed a moment ago
  CoTaskMemFree(errors);
  EXPECT_EQ(static_cast<CGroup*>(state_.Get())->ItemCount(), 0u);
}

TEST_F(GroupObjectTest, ItemSettersReachTheRecords) {
  const OPCHANDLE c = AddItem(group_.Get(), u"A.B.C");
  const OPCHANDLE d = AddItem(group_.Get(), u"A.D");
  OPCHANDLE handles[] = {c, 50, d};
  HRESULT* errors = nullptr;
  ASSERT_EQ(group_->SetActiveState(3, handles, FALSE, &errors), S_FALSE);
  EXPECT_EQ(errors[1], OPC_E_INVALIDHANDLE);
  CoTaskMemFree(errors);
  OPCHANDLE clients[] = {900, 901, 902};
  ASSERT_EQ(group_->SetClientHandles(3, handles, clients, &errors), S_FALSE);
  CoTaskMemFree(errors);
  VARTYPE types[] = {VT_BSTR, VT_I2, 0x7777};
  // No type is refused here.
  ASSERT_EQ(group_->SetDatatypes(3, handles, types, &errors), S_FALSE);
  EXPECT_EQ(errors[0], S_OK);
  EXPECT_EQ(errors[2], S_OK);
  CoTaskMemFree(errors);

  std::vector<ReadEntry> entries;
  ASSERT_EQ(SyncRead(group_.Get(), OPC_DS_CACHE, {c, d}, &entries), S_FALSE);
  EXPECT_EQ(entries[0].client, 900u);
  EXPECT_EQ(entries[0].quality, OPC_QUALITY_OUT_OF_SERVICE);  // inactive
  EXPECT_EQ(entries[0].value.vt, VT_BSTR);
  EXPECT_EQ(com::BstrView(entries[0].value.bstrVal), u"0");
  EXPECT_EQ(entries[1].client, 902u);
  EXPECT_EQ(entries[1].error, DISP_E_BADVARTYPE);
  EXPECT_EQ(entries[1].value.vt, VT_EMPTY);
}

TEST_F(GroupObjectTest, EnumeratorSnapshotsTheItems) {
  std::vector<Added> added =
      AddItems(group_.Get(), {u"A.B.C", u"A.D", u"W.I4"}, VT_R8);
  com::ComPtr<IUnknown> unknown;
  EXPECT_EQ(group_->CreateEnumerator(IID_IEnumUnknown, unknown.GetAddressOf()),
            E_INVALIDARG);
  EXPECT_EQ(group_->CreateEnumerator(IID_IEnumOPCItemAttributes, nullptr),
            E_INVALIDARG);
  ASSERT_EQ(group_->CreateEnumerator(IID_IEnumOPCItemAttributes,
                                     unknown.ReleaseAndGetAddressOf()),
            S_OK);
  com::ComPtr<IEnumOPCItemAttributes> e;
  ASSERT_EQ(unknown.As(&e), S_OK);
  // Later changes do not reach the snapshot.
  OPCHANDLE first[] = {0};
  HRESULT* errors = nullptr;
  ASSERT_EQ(group_->RemoveItems(1, first, &errors), S_OK);
  CoTaskMemFree(errors);

  OPCITEMATTRIBUTES* items = nullptr;
  ULONG fetched = 9;
  EXPECT_EQ(e->Next(2, nullptr, &fetched), E_INVALIDARG);
  EXPECT_EQ(e->Next(2, &items, nullptr), E_INVALIDARG);
  ASSERT_EQ(e->Next(2, &items, &fetched), S_OK);
  ASSERT_EQ(fetched, 2u);
  EXPECT_EQ(std::u16string(items[0].szItemID), u"A.B.C");
  EXPECT_EQ(std::u16string(items[0].szAccessPath), u"");
  EXPECT_EQ(items[0].hServer, 0u);
  EXPECT_EQ(items[0].hClient, 100u);
  EXPECT_EQ(items[0].bActive, TRUE);
  EXPECT_EQ(items[0].dwAccessRights, OPC_READABLE);
  EXPECT_EQ(items[0].vtRequestedDataType, VT_R8);
  EXPECT_EQ(items[0].vtCanonicalDataType, VT_I4);
  EXPECT_EQ(items[0].dwEUType, OPC_NOENUM);
  EXPECT_EQ(items[0].vEUInfo.vt, VT_EMPTY);
  EXPECT_EQ(items[1].hServer, 1u);
  for (ULONG i = 0; i < fetched; ++i) {
    CoTaskMemFree(items[i].szItemID);
    CoTaskMemFree(items[i].szAccessPath);
  }
  CoTaskMemFree(items);

  com::ComPtr<IEnumOPCItemAttributes> clone;
  ASSERT_EQ(e->Clone(clone.GetAddressOf()), S_OK);
  // One left: fewer than asked.
  ASSERT_EQ(e->Next(5, &items, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 1u);
  EXPECT_EQ(std::u16string(items[0].szItemID), u"W.I4");
  CoTaskMemFree(items[0].szItemID);
  CoTaskMemFree(items[0].szAccessPath);
  CoTaskMemFree(items);
  ASSERT_EQ(e->Next(1, &items, nullptr), S_FALSE);
  EXPECT_EQ(items, nullptr);
  // The clone kept its own position; Skip stops at the end, Reset restarts.
  ASSERT_EQ(clone->Next(1, &items, nullptr), S_OK);
  EXPECT_EQ(std::u16string(items[0].szItemID), u"W.I4");
  CoTaskMemFree(items[0].szItemID);
  CoTaskMemFree(items[0].szAccessPath);
  CoTaskMemFree(items);
  EXPECT_EQ(e->Skip(10), S_OK);
  EXPECT_EQ(e->Reset(), S_OK);
  EXPECT_EQ(e->Skip(1), S_OK);
  ASSERT_EQ(e->Next(1, &items, &fetched), S_OK);
  EXPECT_EQ(items[0].hServer, 1u);
  CoTaskMemFree(items[0].szItemID);
  CoTaskMemFree(items[0].szAccessPath);
  CoTaskMemFree(items);
}

TEST_F(GroupObjectTest, CloneMakesAnInactiveGroupWithTheSameItems) {
  std::vector<Added> added =
      AddItems(group_.Get(), {u"A.B.C", u"A.D"}, VT_BSTR);
  OPCHANDLE handles[] = {1};
  HRESULT* errors = nullptr;
  ASSERT_EQ(group_->SetActiveState(1, handles, FALSE, &errors), S_OK);
  CoTaskMemFree(errors);
  LONG bias = 30;
  ASSERT_EQ(state_->SetState(nullptr, nullptr, nullptr, &bias, nullptr, nullptr,
                             nullptr),
            S_OK);

  com::ComPtr<IUnknown> unknown;
  EXPECT_EQ(state_->CloneGroup(nullptr, IID_IUnknown, unknown.GetAddressOf()),
            E_INVALIDARG);
  EXPECT_EQ(state_->CloneGroup(u"g", IID_IUnknown, unknown.GetAddressOf()),
            OPC_E_DUPLICATENAME);
  EXPECT_FALSE(unknown);
  ASSERT_EQ(
      state_->CloneGroup(u"", IID_IOPCGroupStateMgt, unknown.GetAddressOf()),
      S_OK);
  com::ComPtr<IOPCGroupStateMgt> clone;
  ASSERT_EQ(unknown.As(&clone), S_OK);
  State s = GetState(clone.Get());
  EXPECT_EQ(s.name, u"Group1");
  EXPECT_EQ(s.active, FALSE);
  EXPECT_EQ(s.rate, 1000u);
  EXPECT_EQ(s.bias, 30);
  EXPECT_EQ(s.client, 77u);
  EXPECT_EQ(s.server, 1u);

  com::ComPtr<IOPCItemMgt> items;
  ASSERT_EQ(clone.As(&items), S_OK);
  com::ComPtr<IUnknown> e_unknown;
  ASSERT_EQ(items->CreateEnumerator(IID_IEnumOPCItemAttributes,
                                    e_unknown.GetAddressOf()),
            S_OK);
  com::ComPtr<IEnumOPCItemAttributes> e;
  ASSERT_EQ(e_unknown.As(&e), S_OK);
  OPCITEMATTRIBUTES* attributes = nullptr;
  ULONG fetched = 0;
  ASSERT_EQ(e->Next(3, &attributes, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 2u);
  EXPECT_EQ(std::u16string(attributes[0].szItemID), u"A.B.C");
  EXPECT_EQ(attributes[0].bActive, TRUE);
  EXPECT_EQ(attributes[1].bActive, FALSE);
  EXPECT_EQ(attributes[1].hClient, 101u);
  EXPECT_EQ(attributes[1].vtRequestedDataType, VT_BSTR);
  for (ULONG i = 0; i < fetched; ++i) {
    CoTaskMemFree(attributes[i].szItemID);
    CoTaskMemFree(attributes[i].szAccessPath);
  }
  CoTaskMemFree(attributes);

  // A group without items clones too.
  com::ComPtr<IOPCItemMgt> empty = NewGroup(server_.Get(), u"empty");
  com::ComPtr<IOPCGroupStateMgt> empty_state;
  ASSERT_EQ(empty.As(&empty_state), S_OK);
  EXPECT_EQ(empty_state->CloneGroup(u"copy", IID_IUnknown,
                                    unknown.ReleaseAndGetAddressOf()),
            S_OK);
}

TEST_F(GroupObjectTest, RemovedGroupRefusesEveryCall) {
  const OPCHANDLE item = AddItem(group_.Get(), u"A.D");
  EXPECT_EQ(server_->RemoveGroup(GetState(state_.Get()).server, FALSE),
            OPC_S_INUSE);
  DWORD rate = 0, lcid = 0;
  BOOL active = FALSE;
  LPWSTR name = nullptr;
  LONG bias = 0;
  FLOAT deadband = 0;
  OPCHANDLE client = 0, handle = 0;
  EXPECT_EQ(state_->GetState(&rate, &active, &name, &bias, &deadband, &lcid,
                             &client, &handle),
            E_FAIL);
  EXPECT_EQ(name, nullptr);
  EXPECT_EQ(state_->SetState(&rate, &rate, nullptr, nullptr, nullptr, nullptr,
                             nullptr),
            E_FAIL);
  com::ComPtr<IUnknown> unknown;
  EXPECT_EQ(state_->CloneGroup(u"c", IID_IUnknown, unknown.GetAddressOf()),
            E_FAIL);
  OPCHANDLE handles[] = {item};
  HRESULT* errors = nullptr;
  OPCITEMDEF definition{};
  OPCITEMRESULT* results = nullptr;
  EXPECT_EQ(group_->ValidateItems(1, &definition, FALSE, &results, &errors),
            E_FAIL);
  EXPECT_EQ(group_->RemoveItems(1, handles, &errors), E_FAIL);
  EXPECT_EQ(group_->SetActiveState(1, handles, TRUE, &errors), E_FAIL);
  EXPECT_EQ(group_->SetClientHandles(1, handles, handles, &errors), E_FAIL);
  VARTYPE types[] = {VT_I4};
  EXPECT_EQ(group_->SetDatatypes(1, handles, types, &errors), E_FAIL);
  EXPECT_EQ(group_->CreateEnumerator(IID_IEnumOPCItemAttributes,
                                     unknown.GetAddressOf()),
            E_FAIL);
  std::vector<testing::ReadEntry> entries;
  EXPECT_EQ(SyncRead(group_.Get(), OPC_DS_DEVICE, {item}, &entries), E_FAIL);
  std::vector<HRESULT> write_errors;
  EXPECT_EQ(testing::SyncWrite(group_.Get(), {item}, {com::Variant(LONG{1})},
                               &write_errors),
            E_FAIL);
  EXPECT_EQ(device_->reads(), 0);
}

TEST_F(GroupObjectTest, TraceLinesOfAddItems) {
  TraceCapture trace(kTraceDetail);
  AddItems(group_.Get(), {u"A.D"});
  const void* g = static_cast<CGroup*>(state_.Get());
  const std::vector<std::string> expected = {
      TraceCapture::Line(g, S_OK, "CGroup::AddItems: Allocate Results"),
      TraceCapture::Line(g, S_OK, "CGroup::AddItems: Loop through Items"),
      TraceCapture::Line(g, S_OK, "CGroup::AddItems: Add Item", "A.D"),
      TraceCapture::Line(server_.Get(), S_OK, "CServer::RegisterItem: Done"),
      TraceCapture::Line(g, S_OK, "CGroup::AddItems: Loop Done"),
      TraceCapture::Line(g, S_OK, "CGroup::AddItems: Done")};
  std::vector<std::string> lines;
  for (const std::string& line : trace.Lines())
    if (line.find("Thread") == std::string::npos) lines.push_back(line);
  EXPECT_EQ(lines, expected);
}

}  // namespace
}  // namespace kavex::server
