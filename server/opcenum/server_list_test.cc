// The server browser over a registry of our own: which classes each
// category query lists (recorded categories only, required categories
// honoured), the details of a class through both interfaces, ProgIDs, and
// the same answers over DCOM through our own client.
#include "server/opcenum/server_list.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "platform/com/activation.h"
#include "platform/com/component_categories.h"
#include "platform/com/guid.h"
#include "platform/com/scoped_registry_root_for_test.h"
#include "platform/com/task_memory.h"
#include "platform/dcom/client.h"
#include "platform/dcom/host.h"
#include "platform/opc/opc_common.h"
#include "platform/opc/opc_da.h"
#include "platform/registry/registry.h"
#include "platform/rpc/rpc_test_support.h"

namespace kavex::server {
namespace {

constexpr CLSID kA = com::GuidLiteral("{a0000000-1111-4222-8333-444455556666}");
constexpr CLSID kB = com::GuidLiteral("{b0000000-1111-4222-8333-444455556666}");
constexpr CLSID kC = com::GuidLiteral("{c0000000-1111-4222-8333-444455556666}");
constexpr CLSID kD = com::GuidLiteral("{d0000000-1111-4222-8333-444455556666}");
constexpr CLSID kE = com::GuidLiteral("{e0000000-1111-4222-8333-444455556666}");
constexpr CATID kUnrecorded =
    com::GuidLiteral("{f1000000-1111-4222-8333-444455556666}");
constexpr CATID kRequired =
    com::GuidLiteral("{f2000000-1111-4222-8333-444455556666}");

void SetString(const std::string& sub, const char* name,
               const std::string& text) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, sub.c_str(), 0, nullptr, 0,
                            KEY_WRITE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, name, 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(text.c_str()),
                           static_cast<DWORD>(text.size() + 1)),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

void AddKey(const std::string& sub) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, sub.c_str(), 0, nullptr, 0,
                            KEY_WRITE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

std::string Clsid(REFCLSID clsid) { return "CLSID\\" + com::GuidToString(clsid); }

// A: a DA 2.0 server with both ProgIDs; B: DA 1.0 with a ProgID only;
// C: a category nobody recorded; D: DA 2.0 but needs kRequired; E: none.
void RegisterClasses() {
  SetString("Component Categories\\" + com::GuidToString(CATID_OPCDAServer10),
            "409", "OPC Data Access Servers Version 1.0");
  SetString("Component Categories\\" + com::GuidToString(CATID_OPCDAServer20),
            "409", "OPC Data Access Servers Version 2.0");
  SetString(Clsid(kA), "", "Server Class");
  SetString(Clsid(kA) + "\\ProgID", "", "Vendor.A.1");
  SetString(Clsid(kA) + "\\VersionIndependentProgID", "", "Vendor.A");
  AddKey(Clsid(kA) + "\\Implemented Categories\\" +
         com::GuidToString(CATID_OPCDAServer20));
  SetString("Vendor.A\\CLSID", "", com::GuidToString(kA));
  SetString(Clsid(kB), "", "B Server");
  SetString(Clsid(kB) + "\\ProgID", "", "Vendor.B");
  AddKey(Clsid(kB) + "\\Implemented Categories\\" +
         com::GuidToString(CATID_OPCDAServer10));
  AddKey(Clsid(kC) + "\\Implemented Categories\\" +
         com::GuidToString(kUnrecorded));
  AddKey(Clsid(kD) + "\\Implemented Categories\\" +
         com::GuidToString(CATID_OPCDAServer20));
  AddKey(Clsid(kD) + "\\Required Categories\\" + com::GuidToString(kRequired));
  AddKey(Clsid(kE));
  AddKey("CLSID\\not-a-guid\\Implemented Categories\\" +
         com::GuidToString(CATID_OPCDAServer20));
}

template <class Enumerator>
std::set<std::string> Drain(Enumerator* e) {
  std::set<std::string> out;
  for (;;) {
    GUID guids[2];
    ULONG fetched = 0;
    HRESULT hr = e->Next(2, guids, &fetched);
    for (ULONG i = 0; i < fetched; ++i) out.insert(com::GuidToString(guids[i]));
    if (hr != S_OK) break;
  }
  return out;
}

std::set<std::string> Names(std::initializer_list<CLSID> clsids) {
  std::set<std::string> out;
  for (const CLSID& c : clsids) out.insert(com::GuidToString(c));
  return out;
}

class ServerListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterClasses();
    AddServerListClass(&classes_);
    ASSERT_EQ(classes_.size(), 1u);
    ASSERT_EQ(*classes_[0].clsid, CLSID_OpcServerList);
    ASSERT_EQ(com::GetClassObjectFromTable(
                  classes_, CLSID_OpcServerList, IID_IClassFactory,
                  reinterpret_cast<void**>(factory_.GetAddressOf())),
              S_OK);
    ASSERT_EQ(factory_->CreateInstance(
                  nullptr, IID_IOPCServerList2,
                  reinterpret_cast<void**>(list2_.GetAddressOf())),
              S_OK);
    ASSERT_EQ(list2_->QueryInterface(
                  IID_IOPCServerList,
                  reinterpret_cast<void**>(list_.GetAddressOf())),
              S_OK);
  }

  com::ScopedRegistryRootForTest root_;
  std::vector<com::ClassEntry> classes_;
  com::ComPtr<IClassFactory> factory_;
  com::ComPtr<IOPCServerList2> list2_;
  com::ComPtr<IOPCServerList> list_;
};

TEST_F(ServerListTest, ListsTheClassesOfRecordedCategories) {
  CATID da[] = {CATID_OPCDAServer10, CATID_OPCDAServer20};
  CATID none[1] = {};
  com::ComPtr<IOPCEnumGUID> e2;
  ASSERT_EQ(list2_->EnumClassesOfCategories(2, da, 0, none, e2.GetAddressOf()),
            S_OK);
  EXPECT_EQ(Drain(e2.Get()), Names({kA, kB}));
  com::ComPtr<IEnumGUID> e1;
  ASSERT_EQ(list_->EnumClassesOfCategories(1, &da[1], 0, none,
                                           e1.GetAddressOf()),
            S_OK);
  EXPECT_EQ(Drain(e1.Get()), Names({kA}));

  // The required category lets D in; an unrecorded one lists nothing.
  CATID required[] = {kRequired};
  ASSERT_EQ(list2_->EnumClassesOfCategories(1, &da[1], 1, required,
                                            e2.ReleaseAndGetAddressOf()),
            S_OK);
  EXPECT_EQ(Drain(e2.Get()), Names({kA, kD}));
  CATID unrecorded[] = {kUnrecorded};
  ASSERT_EQ(list2_->EnumClassesOfCategories(1, unrecorded, 0, none,
                                            e2.ReleaseAndGetAddressOf()),
            S_OK);
  EXPECT_EQ(Drain(e2.Get()), std::set<std::string>{});
  // Any category, any requirement: every class.
  ASSERT_EQ(list2_->EnumClassesOfCategories(static_cast<ULONG>(-1), nullptr,
                                            static_cast<ULONG>(-1), nullptr,
                                            e2.ReleaseAndGetAddressOf()),
            S_OK);
  EXPECT_EQ(Drain(e2.Get()), Names({kA, kB, kC, kD, kE}));
  EXPECT_EQ(list2_->EnumClassesOfCategories(0, da, 0, none,
                                            e2.ReleaseAndGetAddressOf()),
            E_INVALIDARG);
  EXPECT_EQ(list2_->EnumClassesOfCategories(2, da, 0, none, nullptr),
            E_POINTER);
}

TEST_F(ServerListTest, EnumeratorSkipsResetsAndClones) {
  CATID da[] = {CATID_OPCDAServer10, CATID_OPCDAServer20};
  CATID none[1] = {};
  com::ComPtr<IOPCEnumGUID> e;
  ASSERT_EQ(list2_->EnumClassesOfCategories(2, da, 0, none, e.GetAddressOf()),
            S_OK);
  GUID first;
  ULONG fetched = 0;
  ASSERT_EQ(e->Next(1, &first, &fetched), S_OK);
  com::ComPtr<IOPCEnumGUID> clone;
  ASSERT_EQ(e->Clone(clone.GetAddressOf()), S_OK);
  EXPECT_EQ(Drain(clone.Get()).size(), 1u);  // from the same position
  EXPECT_EQ(e->Skip(5), S_FALSE);
  EXPECT_EQ(e->Next(1, &first, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 0u);
  EXPECT_EQ(e->Reset(), S_OK);
  EXPECT_EQ(Drain(e.Get()), Names({kA, kB}));
  EXPECT_EQ(e->Next(2, &first, nullptr), E_POINTER);
}

TEST_F(ServerListTest, ClassDetailsAndProgIds) {
  LPOLESTR prog = nullptr, type = nullptr, independent = nullptr;
  ASSERT_EQ(list2_->GetClassDetails(kA, &prog, &type, &independent), S_OK);
  EXPECT_EQ(std::u16string(prog), u"Vendor.A.1");
  EXPECT_EQ(std::u16string(type), u"Server Class");
  EXPECT_EQ(std::u16string(independent), u"Vendor.A");
  for (LPOLESTR p : {prog, type, independent}) CoTaskMemFree(p);
  // The first interface answers what browsers list.
  ASSERT_EQ(list_->GetClassDetails(kA, &prog, &type), S_OK);
  EXPECT_EQ(std::u16string(prog), u"Vendor.A");
  CoTaskMemFree(prog);
  CoTaskMemFree(type);
  ASSERT_EQ(list_->GetClassDetails(kB, &prog, &type), S_OK);
  EXPECT_EQ(std::u16string(prog), u"Vendor.B");
  CoTaskMemFree(prog);
  CoTaskMemFree(type);
  ASSERT_EQ(list2_->GetClassDetails(kE, &prog, &type, &independent), S_OK);
  EXPECT_EQ(prog, nullptr);
  EXPECT_EQ(type, nullptr);
  EXPECT_EQ(independent, nullptr);
  EXPECT_EQ(list2_->GetClassDetails(GUID{1, 2, 3, {}}, &prog, &type,
                                    &independent),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(prog, nullptr);

  CLSID clsid = {};
  EXPECT_EQ(list2_->CLSIDFromProgID(u"Vendor.A", &clsid), S_OK);
  EXPECT_EQ(clsid, kA);
  EXPECT_EQ(list_->CLSIDFromProgID(u"Vendor.Nobody", &clsid),
            CO_E_CLASSSTRING);
  EXPECT_EQ(list_->CLSIDFromProgID(nullptr, &clsid), E_POINTER);
}

TEST_F(ServerListTest, AnswersTheSameOverDcom) {
  rpc::AccountStore accounts = rpc::testing::TestAccounts();
  dcom::HostOptions options;
  options.activation_port = 0;
  options.object_port = 0;
  dcom::DcomHost host(options, classes_, &accounts);
  ASSERT_EQ(host.Start(), ERROR_SUCCESS);
  rpc::NtlmClientCredentials credentials = rpc::testing::TestCredentials();
  dcom::DcomClient client;
  ASSERT_EQ(client.Connect("127.0.0.1", host.activation_port(), &credentials),
            S_OK);
  std::vector<dcom::RemoteInterface> got;
  std::vector<HRESULT> results;
  const IID iids[] = {IID_IOPCServerList2, IID_IOPCServerList};
  ASSERT_EQ(client.Activate(CLSID_OpcServerList, iids, &got, &results), S_OK);
  ASSERT_EQ(results, (std::vector<HRESULT>{S_OK, S_OK}));

  ULONG implemented = 2, required = 0;
  CATID da[] = {CATID_OPCDAServer10, CATID_OPCDAServer20};
  CATID* da_pointer = da;
  CATID none[1] = {};
  CATID* none_pointer = none;
  IOPCEnumGUID* e = nullptr;
  IOPCEnumGUID** e_pointer = &e;
  void* args[] = {&implemented, &da_pointer, &required, &none_pointer,
                  &e_pointer};
  HRESULT result = E_FAIL;
  ASSERT_EQ(client.Call(got[0], "EnumClassesOfCategories", args, &result),
            S_OK);
  ASSERT_EQ(result, S_OK);
  dcom::RemoteInterface remote_enum;
  ASSERT_EQ(dcom::RemoteInterfaceOf(e, &remote_enum), S_OK);
  e->Release();
  ULONG celt = 10, fetched = 0;
  GUID guids[10] = {};
  GUID* guids_pointer = guids;
  ULONG* fetched_pointer = &fetched;
  void* next_args[] = {&celt, &guids_pointer, &fetched_pointer};
  ASSERT_EQ(client.Call(remote_enum, "Next", next_args, &result), S_OK);
  EXPECT_EQ(result, S_FALSE);
  ASSERT_EQ(fetched, 2u);
  std::set<std::string> listed = {com::GuidToString(guids[0]),
                                  com::GuidToString(guids[1])};
  EXPECT_EQ(listed, Names({kA, kB}));

  IID clsid = kA;
  LPOLESTR prog = nullptr, type = nullptr;
  LPOLESTR* prog_pointer = &prog;
  LPOLESTR* type_pointer = &type;
  void* details[] = {&clsid, &prog_pointer, &type_pointer};
  ASSERT_EQ(client.Call(got[1], "GetClassDetails", details, &result), S_OK);
  ASSERT_EQ(result, S_OK);
  EXPECT_EQ(std::u16string(prog), u"Vendor.A");
  EXPECT_EQ(std::u16string(type), u"Server Class");
  CoTaskMemFree(prog);
  CoTaskMemFree(type);
  client.Close();
  EXPECT_EQ(host.exporter()->object_count(), 0u);
}

}  // namespace
}  // namespace kavex::server
