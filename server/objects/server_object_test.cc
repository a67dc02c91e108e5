#include "server/objects/server_object.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/enumerators.h"
#include "platform/com/variant.h"
#include "platform/sync/event.h"
#include "platform/sync/wait.h"
#include "server/objects/testing/server_fixture.h"
#include "server/objects/trace_capture_for_test.h"

namespace kavex::server {
namespace {

using testing::ServerFixture;
using testing::TakeErrorInfo;

class ServerObjectTest : public ServerFixture {};

// AddGroup with the usual arguments and the given name, rate and
// deadband; the handle, revised rate and group out.
struct AddGroupResult {
  HRESULT hr;
  OPCHANDLE handle = 0xDEAD;
  DWORD revised = 0xDEAD;
  com::ComPtr<IUnknown> group;
};
AddGroupResult Add(CServer* server, const char16_t* name, DWORD rate = 1000,
                   FLOAT* deadband = nullptr, DWORD lcid = 1033) {
  AddGroupResult r;
  r.hr =
      server->AddGroup(name, TRUE, rate, 1, nullptr, deadband, lcid, &r.handle,
                       &r.revised, IID_IUnknown, r.group.GetAddressOf());
  return r;
}

std::vector<std::u16string> Names(IEnumString* e) {
  std::vector<std::u16string> names;
  LPOLESTR name = nullptr;
  ULONG fetched = 0;
  while (e->Next(1, &name, &fetched) == S_OK) {
    names.emplace_back(name);
    CoTaskMemFree(name);
  }
  return names;
}

std::vector<std::u16string> GroupNames(CServer* server) {
  com::ComPtr<IUnknown> unknown;
  EXPECT_TRUE(SUCCEEDED(server->CreateGroupEnumerator(
      OPC_ENUM_ALL, IID_IEnumString, unknown.GetAddressOf())));
  com::ComPtr<IEnumString> e;
  EXPECT_EQ(unknown.As(&e), S_OK);
  return Names(e.Get());
}

TEST_F(ServerObjectTest, AnswersItsInterfacesOnly) {
  com::ComPtr<CServer> server = NewServer();
  ASSERT_TRUE(server);
  const IID answered[] = {IID_IConnectionPointContainer,
                          IID_IOPCBrowseServerAddressSpace,
                          IID_IOPCCommon,
                          IID_IOPCItemProperties,
                          IID_IOPCServer,
                          IID__IKavexOPCServer,
                          IID__IKavexOPCDeviceEvents};
  com::ComPtr<IUnknown> identity;
  ASSERT_EQ(server->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(
                                                     identity.GetAddressOf())),
            S_OK);
  for (const IID& iid : answered) {
    com::ComPtr<IUnknown> p;
    EXPECT_EQ(
        server->QueryInterface(iid, reinterpret_cast<void**>(p.GetAddressOf())),
        S_OK)
        << com::GuidToString(iid);
    com::ComPtr<IUnknown> back;
    ASSERT_EQ(p.As(&back), S_OK);
    EXPECT_EQ(back.Get(), identity.Get());
  }
  // Public groups, the DA 3.0 browse and item I/O are not offered.
  for (const char* text : {"{39C13A4E-011E-11D0-9675-0020AFD8ADB3}",
                           "{39227004-A18F-4B57-8B0A-5235670F4468}",
                           "{85C0B427-2893-4CBC-BD78-E5FC5146F08F}"}) {
    GUID iid{};
    ASSERT_TRUE(com::GuidFromString(text, &iid));
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(server->QueryInterface(iid, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
  }
  // One connection point, for IOPCShutdown; the server never calls it.
  com::ComPtr<IConnectionPoint> point;
  EXPECT_EQ(server->FindConnectionPoint(IID_IOPCShutdown, point.GetAddressOf()),
            S_OK);
  EXPECT_EQ(server->FindConnectionPoint(IID_IOPCDataCallback,
                                        point.ReleaseAndGetAddressOf()),
            CONNECT_E_NOCONNECTION);
}

TEST_F(ServerObjectTest, ConstructionBindsToTheDeviceAndSubscribes) {
  {
    com::ComPtr<CServer> server = NewServer();
    EXPECT_EQ(device_->SubscriberCount(), 1u);
    com::ComPtr<IUnknown> device;
    ASSERT_EQ(server->get_Device(device.GetAddressOf()), S_OK);
    com::ComPtr<IUnknown> expected;
    ASSERT_EQ(
        device_->QueryInterface(
            IID_IUnknown, reinterpret_cast<void**>(expected.GetAddressOf())),
        S_OK);
    EXPECT_EQ(device.Get(), expected.Get());
    EXPECT_EQ(server->get_Device(nullptr), E_POINTER);
    // The browse tree comes from the device's item list.
    com::ComPtr<IEnumString> names;
    ASSERT_EQ(server->BrowseOPCItemIDs(OPC_BRANCH, u"", VT_EMPTY, 0,
                                       names.GetAddressOf()),
              S_OK);
    EXPECT_EQ(Names(names.Get()),
              (std::vector<std::u16string>{u"A", u"R", u"W"}));
  }
  // Released: the callback left the device's connection point.
  EXPECT_EQ(device_->SubscriberCount(), 0u);
}

TEST_F(ServerObjectTest, ConstructionFailsWithTheFailingCall) {
  TraceCapture trace(kTraceError);
  com::ComPtr<CServer> server;
  device_->FailItemIds(DISP_E_BADINDEX);
  EXPECT_EQ(CServer::CreateInstance(&server), DISP_E_BADINDEX);
  EXPECT_FALSE(server);
  device_->FailItemIds(S_OK);
  device_->FailDelimiter(E_ACCESSDENIED);
  EXPECT_EQ(CServer::CreateInstance(&server), E_ACCESSDENIED);
  device_->FailDelimiter(S_OK);
  // Without the process's device nothing can be served.
  SetProcessDevice(nullptr);
  EXPECT_EQ(CServer::CreateInstance(&server), E_FAIL);
  EXPECT_EQ(TakeErrorInfo(),
            "CServer::FinalConstruct|The device of the server process is not "
            "running.");
  EXPECT_EQ(device_->SubscriberCount(), 0u);
  const std::vector<std::string> lines = trace.Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[0].find("[Error: 0x8002000B] CServer::FinalConstruct: Error"),
            std::string::npos)
      << lines[0];
}

TEST_F(ServerObjectTest, GroupHandlesCountFromZeroAndAreNotReused) {
  com::ComPtr<CServer> server = NewServer();
  AddGroupResult a = Add(server.Get(), u"a");
  AddGroupResult b = Add(server.Get(), u"b");
  EXPECT_EQ(a.hr, S_OK);
  EXPECT_EQ(a.handle, 0u);
  EXPECT_EQ(b.handle, 1u);
  a.group.Reset();
  EXPECT_EQ(server->RemoveGroup(0, FALSE), S_OK);
  // A failed AddGroup does not use a handle either.
  EXPECT_EQ(Add(server.Get(), u"b").hr, OPC_E_DUPLICATENAME);
  AddGroupResult c = Add(server.Get(), u"a");
  EXPECT_EQ(c.handle, 2u);
  EXPECT_EQ(server->RemoveGroup(0, FALSE), E_INVALIDARG);
  EXPECT_EQ(server->RemoveGroup(7, FALSE), E_INVALIDARG);
}

TEST_F(ServerObjectTest, EmptyNamesAreGeneratedAndDuplicatesRefused) {
  com::ComPtr<CServer> server = NewServer();
  AddGroupResult first = Add(server.Get(), u"");
  AddGroupResult second = Add(server.Get(), u"");
  EXPECT_EQ(first.hr, S_OK);
  EXPECT_EQ(second.hr, S_OK);
  EXPECT_EQ(GroupNames(server.Get()),
            (std::vector<std::u16string>{u"Group1", u"Group2"}));
  // A client's own "Group3" makes the next generated name skip it.
  Add(server.Get(), u"Group3");
  EXPECT_EQ(Add(server.Get(), u"").hr, S_OK);
  EXPECT_EQ(GroupNames(server.Get()).back(), u"Group4");

  const long groups = CGroup::InstanceCount();
  AddGroupResult duplicate = Add(server.Get(), u"Group1");
  EXPECT_EQ(duplicate.hr, static_cast<HRESULT>(0xC004000C));
  EXPECT_FALSE(duplicate.group);
  EXPECT_EQ(CGroup::InstanceCount(), groups);
  EXPECT_EQ(GroupNames(server.Get()).size(), 4u);
}

TEST_F(ServerObjectTest, RatesAreRevisedToTicks) {
  com::ComPtr<CServer> server = NewServer();
  AddGroupResult r250 = Add(server.Get(), u"a", 250);
  EXPECT_EQ(r250.hr, static_cast<HRESULT>(0x0004000D));
  EXPECT_EQ(r250.revised, 200u);
  AddGroupResult r30 = Add(server.Get(), u"b", 30);
  EXPECT_EQ(r30.hr, OPC_S_UNSUPPORTEDRATE);
  EXPECT_EQ(r30.revised, 100u);
  AddGroupResult r0 = Add(server.Get(), u"c", 0);
  EXPECT_EQ(r0.revised, 100u);
  AddGroupResult r500 = Add(server.Get(), u"d", 500);
  EXPECT_EQ(r500.hr, S_OK);
  EXPECT_EQ(r500.revised, 500u);
  AddGroupResult big = Add(server.Get(), u"e", 0xFFFFFFFF);
  EXPECT_EQ(big.revised, 4294967200u);
}

TEST_F(ServerObjectTest, AddGroupRefusesBadArgumentsLeavingNothing) {
  TraceCapture trace(kTraceError);
  com::ComPtr<CServer> server = NewServer();
  FLOAT over = 101.0f, under = -1.0f,
        nan = std::numeric_limits<FLOAT>::quiet_NaN();
  EXPECT_EQ(Add(server.Get(), u"a", 1000, &over).hr, E_INVALIDARG);
  EXPECT_EQ(Add(server.Get(), u"a", 1000, &under).hr, E_INVALIDARG);
  EXPECT_EQ(Add(server.Get(), u"a", 1000, &nan).hr, E_INVALIDARG);
  EXPECT_EQ(Add(server.Get(), u"a", 1000, nullptr, 1234).hr, E_INVALIDARG);
  OPCHANDLE handle;
  DWORD revised;
  IUnknown* group = reinterpret_cast<IUnknown*>(1);
  EXPECT_EQ(server->AddGroup(nullptr, TRUE, 1000, 0, nullptr, nullptr, 0,
                             &handle, &revised, IID_IUnknown, &group),
            E_INVALIDARG);
  EXPECT_EQ(group, nullptr);
  EXPECT_EQ(server->AddGroup(u"a", TRUE, 1000, 0, nullptr, nullptr, 0, nullptr,
                             &revised, IID_IUnknown, &group),
            E_INVALIDARG);
  EXPECT_EQ(server->AddGroup(u"a", TRUE, 1000, 0, nullptr, nullptr, 0, &handle,
                             nullptr, IID_IUnknown, &group),
            E_INVALIDARG);
  EXPECT_EQ(server->AddGroup(u"a", TRUE, 1000, 0, nullptr, nullptr, 0, &handle,
                             &revised, IID_IUnknown, nullptr),
            E_INVALIDARG);
  EXPECT_EQ(server->AddGroup(u"a", TRUE, 1000, 0, nullptr, nullptr, 0, &handle,
                             &revised, IID_IEnumString, &group),
            E_NOINTERFACE);
  EXPECT_EQ(group, nullptr);
  EXPECT_EQ(CGroup::InstanceCount(), 0);
  // The failure is the thread's error info, with the system's text.
  EXPECT_EQ(TakeErrorInfo(), "Error Description|No such interface supported");
  // A null deadband is 0; locale 0 is accepted by AddGroup.
  EXPECT_EQ(Add(server.Get(), u"a", 1000, nullptr, 0).hr, S_OK);
  EXPECT_EQ(Add(server.Get(), u"b", 1000, nullptr, 2048).hr, S_OK);
  EXPECT_EQ(trace.Lines()[0], TraceCapture::Line(server.Get(), E_INVALIDARG,
                                                 "CServer::AddGroup: Error"));
}

TEST_F(ServerObjectTest, NewGroupCarriesTheGivenState) {
  com::ComPtr<CServer> server = NewServer();
  LONG bias = -120;
  FLOAT deadband = 12.5f;
  OPCHANDLE handle;
  DWORD revised;
  com::ComPtr<IOPCGroupStateMgt> state;
  ASSERT_EQ(
      server->AddGroup(u"Line", FALSE, 1500, 42, &bias, &deadband, 2048,
                       &handle, &revised, IID_IOPCGroupStateMgt,
                       reinterpret_cast<IUnknown**>(state.GetAddressOf())),
      S_OK);
  DWORD rate, lcid;
  BOOL active;
  LPWSTR name = nullptr;
  LONG got_bias;
  FLOAT got_deadband;
  OPCHANDLE client, server_handle;
  ASSERT_EQ(state->GetState(&rate, &active, &name, &got_bias, &got_deadband,
                            &lcid, &client, &server_handle),
            S_OK);
  EXPECT_EQ(rate, 1500u);
  EXPECT_EQ(active, FALSE);
  EXPECT_EQ(std::u16string(name), u"Line");
  CoTaskMemFree(name);
  EXPECT_EQ(got_bias, -120);
  EXPECT_EQ(got_deadband, 12.5f);
  EXPECT_EQ(lcid, 2048u);
  EXPECT_EQ(client, 42u);
  EXPECT_EQ(server_handle, handle);
}

TEST_F(ServerObjectTest, RemovingAGroupTheClientHoldsLeavesItRefusing) {
  TraceCapture trace(kTraceDone);
  com::ComPtr<CServer> server = NewServer();
  OPCHANDLE handle;
  com::ComPtr<IOPCItemMgt> held =
      NewGroup(server.Get(), u"held", TRUE, &handle);
  EXPECT_EQ(server->RemoveGroup(handle, FALSE), OPC_S_INUSE);
  EXPECT_EQ(server->RemoveGroup(handle, FALSE), E_INVALIDARG);
  // Its name is free again; the removed group answers E_FAIL.
  EXPECT_EQ(Add(server.Get(), u"held").hr, S_OK);
  HRESULT overall = S_OK;
  EXPECT_TRUE(AddItems(held.Get(), {u"A.D"}, VT_EMPTY, &overall).empty());
  EXPECT_EQ(overall, E_FAIL);
  com::ComPtr<IOPCGroupStateMgt> state;
  ASSERT_EQ(held.As(&state), S_OK);
  EXPECT_EQ(state->SetName(u"x"), E_FAIL);
  std::vector<testing::ReadEntry> entries;
  EXPECT_EQ(testing::SyncRead(held.Get(), OPC_DS_CACHE, {0}, &entries), E_FAIL);
  state.Reset();
  held.Reset();
  EXPECT_EQ(CGroup::InstanceCount(), 1);

  // A group only the server holds goes at once.
  com::ComPtr<IOPCItemMgt> other =
      NewGroup(server.Get(), u"other", TRUE, &handle);
  other.Reset();
  EXPECT_EQ(server->RemoveGroup(handle, TRUE), S_OK);
  EXPECT_EQ(CGroup::InstanceCount(), 1);

  bool ref_count_line = false;
  for (const std::string& line : trace.Lines())
    ref_count_line |=
        line.find("CServer::RemoveGroup 'Ref Count: 1'") != std::string::npos;
  EXPECT_TRUE(ref_count_line);
}

TEST_F(ServerObjectTest, GroupEnumeratorsListInHandleOrder) {
  com::ComPtr<CServer> server = NewServer();
  com::ComPtr<IUnknown> unknown;
  EXPECT_EQ(server->CreateGroupEnumerator(OPC_ENUM_PRIVATE, IID_IEnumUnknown,
                                          unknown.GetAddressOf()),
            S_FALSE);
  ASSERT_TRUE(unknown);
  com::ComPtr<IEnumUnknown> empty;
  ASSERT_EQ(unknown.As(&empty), S_OK);
  IUnknown* element = nullptr;
  EXPECT_EQ(empty->Next(1, &element, nullptr), S_FALSE);
  EXPECT_EQ(server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumFORMATETC,
                                          unknown.ReleaseAndGetAddressOf()),
            E_NOINTERFACE);
  EXPECT_FALSE(unknown);
  EXPECT_EQ(
      server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumString, nullptr),
      E_INVALIDARG);

  Add(server.Get(), u"zeta");
  Add(server.Get(), u"alpha");
  Add(server.Get(), u"mid");
  EXPECT_EQ(GroupNames(server.Get()),
            (std::vector<std::u16string>{u"zeta", u"alpha", u"mid"}));
  ASSERT_EQ(server->CreateGroupEnumerator(OPC_ENUM_PUBLIC, IID_IEnumUnknown,
                                          unknown.ReleaseAndGetAddressOf()),
            S_OK);
  com::ComPtr<IEnumUnknown> groups;
  ASSERT_EQ(unknown.As(&groups), S_OK);
  IUnknown* three[3] = {};
  ULONG fetched = 0;
  ASSERT_EQ(groups->Next(3, three, &fetched), S_OK);
  std::vector<std::u16string> names;
  for (IUnknown* g : three) {
    com::ComPtr<IOPCGroupStateMgt> state;
    ASSERT_EQ(g->QueryInterface(state.GetAddressOf()), S_OK);
    g->Release();
    DWORD rate, lcid;
    BOOL active;
    LPWSTR name;
    LONG bias;
    FLOAT deadband;
    OPCHANDLE client, handle;
    ASSERT_EQ(state->GetState(&rate, &active, &name, &bias, &deadband, &lcid,
                              &client, &handle),
              S_OK);
    names.emplace_back(name);
    CoTaskMemFree(name);
  }
  EXPECT_EQ(names, (std::vector<std::u16string>{u"zeta", u"alpha", u"mid"}));
}

TEST_F(ServerObjectTest, GroupByName) {
  com::ComPtr<CServer> server = NewServer();
  AddGroupResult a = Add(server.Get(), u"a");
  com::ComPtr<IUnknown> found;
  ASSERT_EQ(server->GetGroupByName(u"a", IID_IUnknown, found.GetAddressOf()),
            S_OK);
  EXPECT_EQ(found.Get(), a.group.Get());
  EXPECT_EQ(server->GetGroupByName(u"A", IID_IUnknown,
                                   found.ReleaseAndGetAddressOf()),
            E_INVALIDARG);
  EXPECT_FALSE(found);
  EXPECT_EQ(server->GetGroupByName(u"a", IID_IOPCServer,
                                   found.ReleaseAndGetAddressOf()),
            E_NOINTERFACE);
  EXPECT_EQ(server->GetGroupByName(nullptr, IID_IUnknown,
                                   found.ReleaseAndGetAddressOf()),
            E_INVALIDARG);
  EXPECT_EQ(server->GetGroupByName(u"a", IID_IUnknown, nullptr), E_INVALIDARG);
}

TEST_F(ServerObjectTest, StatusReportsThisServer) {
  RecordServerStartTime();
  const FILETIME start = ServerStartTime();
  clock_.Advance(5000);
  com::ComPtr<CServer> server = NewServer();
  Add(server.Get(), u"a");
  Add(server.Get(), u"b");
  OPCSERVERSTATUS* status = nullptr;
  ASSERT_EQ(server->GetStatus(&status), S_OK);
  EXPECT_EQ(FileTimeToUInt64(status->ftStartTime), FileTimeToUInt64(start));
  EXPECT_EQ(FileTimeToUInt64(status->ftCurrentTime),
            FileTimeToUInt64(start) + 5000 * 10000);
  EXPECT_EQ(FileTimeToUInt64(status->ftLastUpdateTime), 0u);
  EXPECT_EQ(status->dwServerState, OPC_STATUS_RUNNING);
  EXPECT_EQ(status->dwGroupCount, 2u);
  EXPECT_EQ(status->dwBandWidth, 0u);
  EXPECT_EQ(status->wMajorVersion, 9);
  EXPECT_EQ(status->wMinorVersion, 7);
  EXPECT_EQ(status->wBuildNumber, 0);
  EXPECT_EQ(std::u16string(status->szVendorInfo), u"Kavex");
  CoTaskMemFree(status->szVendorInfo);
  CoTaskMemFree(status);
  EXPECT_EQ(server->GetStatus(nullptr), E_INVALIDARG);
}

TEST_F(ServerObjectTest, CommonLocalesAndClientName) {
  com::ComPtr<CServer> server = NewServer();
  LCID lcid = 0;
  ASSERT_EQ(server->GetLocaleID(&lcid), S_OK);
  EXPECT_EQ(lcid, 1033u);
  EXPECT_EQ(server->SetLocaleID(0), E_INVALIDARG);
  EXPECT_EQ(server->SetLocaleID(1031), E_INVALIDARG);
  EXPECT_EQ(server->SetLocaleID(2048), S_OK);
  ASSERT_EQ(server->GetLocaleID(&lcid), S_OK);
  EXPECT_EQ(lcid, 2048u);
  EXPECT_EQ(server->GetLocaleID(nullptr), E_INVALIDARG);

  DWORD count = 9;
  LCID* locales = nullptr;
  ASSERT_EQ(server->QueryAvailableLocaleIDs(&count, &locales), S_OK);
  ASSERT_EQ(count, 2u);
  EXPECT_EQ(locales[0], 1033u);
  EXPECT_EQ(locales[1], 2048u);
  CoTaskMemFree(locales);
  count = 9;
  EXPECT_EQ(server->QueryAvailableLocaleIDs(&count, nullptr), E_INVALIDARG);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(server->QueryAvailableLocaleIDs(nullptr, &locales), E_INVALIDARG);
  EXPECT_EQ(locales, nullptr);

  EXPECT_EQ(server->SetClientName(u"client"), S_OK);
  EXPECT_EQ(server->SetClientName(nullptr), E_INVALIDARG);
}

TEST_F(ServerObjectTest, ErrorStringsComeFromTheTable) {
  com::ComPtr<CServer> server = NewServer();
  LPWSTR text = nullptr;
  ASSERT_EQ(server->GetErrorString(OPC_E_DUPLICATENAME, 1033, &text), S_OK);
  EXPECT_EQ(std::u16string(text), u"Duplicate name not allowed.");
  CoTaskMemFree(text);
  // IOPCCommon's form, locale ignored; any other code is "General error.".
  ASSERT_EQ(static_cast<IOPCCommon*>(server.Get())
                ->GetErrorString(static_cast<HRESULT>(0xC0040002), &text),
            S_OK);
  EXPECT_EQ(std::u16string(text), u"General error.");
  CoTaskMemFree(text);
  EXPECT_EQ(server->GetErrorString(E_FAIL, 7, nullptr), E_INVALIDARG);
}

TEST_F(ServerObjectTest, ChangeReachesEveryRecordOfTheItem) {
  com::ComPtr<CServer> server = NewServer();
  com::ComPtr<IOPCItemMgt> one = NewGroup(server.Get(), u"one");
  com::ComPtr<IOPCItemMgt> two = NewGroup(server.Get(), u"two");
  const OPCHANDLE h1 = AddItem(one.Get(), u"A.B.C");
  const OPCHANDLE h2 = AddItem(two.Get(), u"A.B.C");
  const OPCHANDLE other = AddItem(two.Get(), u"A.D");
  clock_.Advance(1234);
  // The device pushes through the callback object.
  device_->FireChange(u"A.B.C", com::Variant(LONG{99}));
  device_->FireChange(u"Nobody.Has.This", com::Variant(LONG{1}));
  std::vector<testing::ReadEntry> entries;
  ASSERT_EQ(testing::SyncRead(one.Get(), OPC_DS_CACHE, {h1}, &entries), S_OK);
  EXPECT_EQ(entries[0].value.lVal, 99);
  EXPECT_EQ(entries[0].quality, OPC_QUALITY_GOOD);
  EXPECT_EQ(FileTimeToUInt64(entries[0].timestamp),
            kStartFileTime + 1234 * 10000);
  ASSERT_EQ(testing::SyncRead(two.Get(), OPC_DS_CACHE, {h2, other}, &entries),
            S_OK);
  EXPECT_EQ(entries[0].value.lVal, 99);
  EXPECT_EQ(entries[1].quality, OPC_QUALITY_UNCERTAIN);
  EXPECT_EQ(device_->reads(), 0);

  // Asked directly for the device events, the server takes them too.
  com::ComPtr<_IKavexOPCDeviceEvents> events;
  ASSERT_EQ(server->GetUnknown()->QueryInterface(events.GetAddressOf()), S_OK);
  com::Bstr id(u"A.D");
  EXPECT_EQ(events->Change(id.Get(), com::Variant(u"pushed")), S_OK);
  ASSERT_EQ(testing::SyncRead(two.Get(), OPC_DS_CACHE, {other}, &entries),
            S_OK);
  EXPECT_EQ(com::BstrView(entries[0].value.bstrVal), u"pushed");
}

TEST_F(ServerObjectTest, ClientMayDropTheServerBeforeItsGroups) {
  com::ComPtr<CServer> server = NewServer();
  com::ComPtr<IOPCItemMgt> group = NewGroup(server.Get(), u"kept");
  const OPCHANDLE handle = AddItem(group.Get(), u"A.B.C");
  com::ComPtr<IOPCGroupStateMgt> state;
  ASSERT_EQ(group.As(&state), S_OK);
  server.Reset();
  EXPECT_EQ(CServer::InstanceCount(), 0);
  // The orphan refuses everything and frees its items when it goes.
  EXPECT_EQ(state->SetName(u"new"), E_FAIL);
  LPUNKNOWN clone = nullptr;
  EXPECT_EQ(state->CloneGroup(u"c", IID_IUnknown, &clone), E_FAIL);
  OPCHANDLE handles[] = {handle};
  HRESULT* errors = nullptr;
  EXPECT_EQ(group->RemoveItems(1, handles, &errors), E_FAIL);
  EXPECT_EQ(errors, nullptr);
  state.Reset();
  group.Reset();
}

TEST_F(ServerObjectTest, TraceLinesFollowTheLevel) {
  {
    TraceCapture trace(kTraceDone);
    com::ComPtr<CServer> server = NewServer();
    Add(server.Get(), u"a");
    server.Reset();
    const std::vector<std::string> lines = trace.Lines();
    auto has = [&](const std::string& text) {
      for (const std::string& line : lines)
        if (line.find(text) != std::string::npos) return true;
      return false;
    };
    EXPECT_TRUE(has("CServer::FinalConstruct: Done"));
    EXPECT_TRUE(has("CServer::AddGroup: Done"));
    EXPECT_TRUE(has("UpdateThread: Starting"));
    EXPECT_TRUE(has("AsyncThread: Done"));
    EXPECT_TRUE(has("CServer::FinalRelease: Done"));
    EXPECT_FALSE(has("CServer::FinalConstruct: Creating Device"));
    EXPECT_FALSE(has("CServer::AddGroup: Create New Group"));
  }
  {
    TraceCapture trace(kTraceStep);
    com::ComPtr<CServer> server = NewServer();
    Add(server.Get(), u"a");
    const std::vector<std::string> lines = trace.Lines();
    bool created = false;
    for (const std::string& line : lines)
      created |= line ==
                 TraceCapture::Line(server.Get(), S_OK,
                                    "CServer::AddGroup: Create New Group", "a");
    EXPECT_TRUE(created);
  }
}

// A worker that does not end within its 2000 ms is left running; the
// server waits for the call it is inside before its memory goes, and the
// thread ends on its own later.
TEST_F(ServerObjectTest, WorkerThatDoesNotStopIsLeftToEnd) {
  TraceCapture trace(kTraceTermination);
  com::ComPtr<CServer> server = NewServer();
  std::promise<void> entered;
  std::promise<void> leave;
  std::shared_future<void> leave_future = leave.get_future().share();
  std::atomic<bool> first{true};
  server->SetUpdateHookForTesting([&, leave_future] {
    if (!first.exchange(false)) return;
    entered.set_value();
    leave_future.wait();
  });
  // The update thread waits out its period on the fake clock.
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(30);
  std::future<void> entered_future = entered.get_future();
  while (entered_future.wait_for(std::chrono::milliseconds(1)) !=
             std::future_status::ready &&
         std::chrono::steady_clock::now() < deadline)
    clock_.Advance(100);
  ASSERT_EQ(entered_future.wait_for(std::chrono::seconds(0)),
            std::future_status::ready);

  const void* address = server.Get();
  std::thread releaser([&] { server.Reset(); });
  bool terminated = false;
  while (!terminated && std::chrono::steady_clock::now() < deadline) {
    clock_.Advance(500);  // the 2000 ms wait passes on this clock
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    for (const std::string& line : trace.Lines())
      terminated |= line.find(
                        "CServer::FinalRelease: Terminating Update "
                        "Thread") != std::string::npos;
  }
  EXPECT_TRUE(terminated);
  // Still inside the call: the object is not freed under it.
  EXPECT_EQ(CServer::InstanceCount(), 1);
  leave.set_value();
  releaser.join();
  EXPECT_EQ(CServer::InstanceCount(), 0);
  // The thread ends by itself and lets go of the callback.
  while (CServerCallback::InstanceCount() != 0 &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(CServerCallback::InstanceCount(), 0);
  EXPECT_EQ(
      trace.Lines(),
      std::vector<std::string>{TraceCapture::Line(
          address, S_OK, "CServer::FinalRelease: Terminating Update Thread")});
}

}  // namespace
}  // namespace kavex::server
