#include "platform/opc/opc_descriptions.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "platform/com/com_object.h"
#include "platform/com/guid.h"
#include "platform/com/interface_description_for_test.h"
#include "platform/com/task_memory.h"
#include "platform/opc/opc_error.h"

namespace kavex::opc {
namespace {

using com::Direction;
using com::InterfaceDescription;
using com::MethodDescription;
using com::StructDescription;
using com::TypeKind;
using com::testing::CompareWithDeclarations;
using com::testing::LayoutProblems;
using com::testing::ReadDeclarations;
using com::testing::ReadText;
using com::testing::TypeText;

TEST(OpcDescriptionsTest, EveryDeclaredInterfaceAndStructureIsDescribed) {
  struct File {
    const char* header;
    const com::DescriptionTable& table;
  };
  const File kFiles[] = {{"platform/opc/opc_da.h", kOpcDaDescriptions},
                         {"platform/opc/opc_common.h", kOpcCommonDescriptions}};
  for (const File& f : kFiles) {
    SCOPED_TRACE(f.header);
    std::string text =
        ReadText(std::string(KAVEX_GENERATED_DIR) + "/" + f.header);
    ASSERT_FALSE(text.empty());
    auto declared = ReadDeclarations(text);
    for (const std::string& problem :
         CompareWithDeclarations(f.table, declared, true))
      ADD_FAILURE() << problem;
    size_t structs = 0;
    for (const auto& [name, d] : declared) structs += d.base.empty();
    EXPECT_EQ(structs, f.table.structs.size());
  }

  const char* const kRequired[] = {"IOPCServer",
                                   "IOPCCommon",
                                   "IOPCBrowseServerAddressSpace",
                                   "IOPCItemProperties",
                                   "IOPCGroupStateMgt",
                                   "IOPCItemMgt",
                                   "IEnumOPCItemAttributes",
                                   "IOPCSyncIO",
                                   "IOPCAsyncIO",
                                   "IOPCAsyncIO2",
                                   "IOPCDataCallback",
                                   "IOPCShutdown",
                                   "IOPCServerList",
                                   "IOPCServerList2",
                                   "IOPCEnumGUID"};
  for (const char* name : kRequired)
    EXPECT_NE(nullptr, FindInterfaceDescription(name)) << name;
  const char* const kStructs[] = {"OPCITEMDEF",          "OPCITEMRESULT",
                                  "OPCITEMSTATE",        "OPCITEMATTRIBUTES",
                                  "OPCSERVERSTATUS",     "OPCGROUPHEADER",
                                  "OPCITEMHEADER1",      "OPCITEMHEADER2",
                                  "OPCGROUPHEADERWRITE", "OPCITEMHEADERWRITE"};
  for (const char* name : kStructs)
    EXPECT_NE(nullptr, FindStructDescription(name)) << name;
}

TEST(OpcDescriptionsTest, IdentifiersAreThePublishedOnes) {
  const std::pair<const char*, const char*> kInterfaces[] = {
      {"IOPCServer", "{39C13A4D-011E-11D0-9675-0020AFD8ADB3}"},
      {"IOPCBrowseServerAddressSpace",
       "{39C13A4F-011E-11D0-9675-0020AFD8ADB3}"},
      {"IOPCGroupStateMgt", "{39C13A50-011E-11D0-9675-0020AFD8ADB3}"},
      {"IOPCSyncIO", "{39C13A52-011E-11D0-9675-0020AFD8ADB3}"},
      {"IOPCAsyncIO", "{39C13A53-011E-11D0-9675-0020AFD8ADB3}"},
      {"IOPCItemMgt", "{39C13A54-011E-11D0-9675-0020AFD8ADB3}"},
      {"IEnumOPCItemAttributes", "{39C13A55-011E-11D0-9675-0020AFD8ADB3}"},
      {"IOPCDataCallback", "{39C13A70-011E-11D0-9675-0020AFD8ADB3}"},
      {"IOPCAsyncIO2", "{39C13A71-011E-11D0-9675-0020AFD8ADB3}"},
      {"IOPCItemProperties", "{39C13A72-011E-11D0-9675-0020AFD8ADB3}"},
      {"IOPCShutdown", "{F31DFDE1-07B6-11D2-B2D8-0060083BA1FB}"},
      {"IOPCCommon", "{F31DFDE2-07B6-11D2-B2D8-0060083BA1FB}"},
      {"IOPCServerList", "{13486D50-4821-11D2-A494-3CB306C10000}"},
      {"IOPCEnumGUID", "{55C382C8-21C7-4E88-96C1-BECFB1E3F483}"},
      {"IOPCServerList2", "{9DD0B56C-AD9E-43EE-8305-487F3188BF7A}"},
      {"IEnumGUID", "{0002E000-0000-0000-C000-000000000046}"},
  };
  for (const auto& [name, text] : kInterfaces) {
    const InterfaceDescription* d = FindInterfaceDescription(name);
    ASSERT_NE(nullptr, d) << name;
    EXPECT_EQ(text, com::GuidToString(d->iid)) << name;
    EXPECT_EQ(d, FindInterfaceDescription(d->iid)) << name;
  }
  EXPECT_EQ("{39C13A4D-011E-11D0-9675-0020AFD8ADB3}",
            com::GuidToString(IID_IOPCServer));
  EXPECT_EQ("{63D5F430-CFE4-11D1-B2C8-0060083BA1FB}",
            com::GuidToString(CATID_OPCDAServer10));
  EXPECT_EQ("{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}",
            com::GuidToString(CATID_OPCDAServer20));
  EXPECT_EQ("{13486D51-4821-11D2-A494-3CB306C10000}",
            com::GuidToString(CLSID_OpcServerList));
}

TEST(OpcDescriptionsTest, LookupCoversOpcAndComInterfaces) {
  EXPECT_STREQ("IOPCItemMgt", FindInterfaceDescription(IID_IOPCItemMgt)->name);
  EXPECT_EQ(&kIOPCItemMgtDescription, FindInterfaceDescription("IOPCItemMgt"));
  EXPECT_EQ(&com::kIConnectionPointContainerDescription,
            FindInterfaceDescription(IID_IConnectionPointContainer));
  EXPECT_EQ(&com::kIEnumStringDescription,
            FindInterfaceDescription("IEnumString"));
  EXPECT_EQ(nullptr, FindInterfaceDescription(CATID_OPCDAServer20));
  EXPECT_EQ(nullptr, FindInterfaceDescription(GUID_NULL));
  EXPECT_EQ(nullptr, FindInterfaceDescription("IOPCServerPublicGroups"));
  EXPECT_EQ(nullptr, FindInterfaceDescription(""));
  EXPECT_EQ(&kOPCITEMSTATEDescription, FindStructDescription("OPCITEMSTATE"));
  EXPECT_EQ(&com::kFORMATETCDescription, FindStructDescription("FORMATETC"));
  EXPECT_EQ(nullptr, FindStructDescription("OPCITEMVQT"));
  EXPECT_EQ(3u, DescriptionTables().size());
}

TEST(OpcDescriptionsTest, OpnumsFollowTheVtable) {
  struct Case {
    const char* interface;
    const char* method;
    uint16_t opnum;
  };
  const Case kCases[] = {
      {"IOPCServer", "AddGroup", 3},
      {"IOPCServer", "CreateGroupEnumerator", 8},
      {"IOPCCommon", "SetClientName", 7},
      {"IOPCBrowseServerAddressSpace", "BrowseAccessPaths", 7},
      {"IOPCGroupStateMgt", "CloneGroup", 6},
      {"IOPCSyncIO", "Write", 4},
      {"IOPCAsyncIO", "Cancel", 6},
      {"IOPCItemMgt", "CreateEnumerator", 9},
      {"IEnumOPCItemAttributes", "Clone", 6},
      {"IOPCDataCallback", "OnCancelComplete", 6},
      {"IOPCAsyncIO2", "GetEnable", 8},
      {"IOPCItemProperties", "LookupItemIDs", 5},
      {"IOPCServerList2", "CLSIDFromProgID", 5},
      {"IOPCShutdown", "ShutdownRequest", 3},
  };
  for (const Case& c : kCases) {
    const InterfaceDescription* d = FindInterfaceDescription(c.interface);
    ASSERT_NE(nullptr, d) << c.interface;
    const MethodDescription* m = d->FindMethod(c.method);
    ASSERT_NE(nullptr, m) << c.method;
    EXPECT_EQ(c.opnum, m->opnum) << c.interface << "::" << c.method;
    EXPECT_EQ(m, d->Method(c.opnum));
  }
  for (const com::DescriptionTable* table : DescriptionTables()) {
    for (const InterfaceDescription* d : table->interfaces) {
      SCOPED_TRACE(d->name);
      if (d != &com::kIUnknownDescription) {
        EXPECT_EQ(&com::kIUnknownDescription, d->base);
      }
      for (uint16_t opnum = 0; opnum < d->MethodCount(); ++opnum) {
        const MethodDescription* m = d->Method(opnum);
        ASSERT_NE(nullptr, m);
        EXPECT_EQ(opnum, m->opnum);
        // Only AddRef and Release lack an invoker.
        EXPECT_EQ(m->result->kind == TypeKind::kUlong, m->invoke == nullptr)
            << m->name;
      }
      EXPECT_EQ(nullptr, d->Method(d->MethodCount()));
    }
  }
}

TEST(OpcDescriptionsTest, ParametersCarryTheirWireForm) {
  struct Case {
    const char* interface;
    const char* method;
    const char* param;
    Direction direction;
    const char* type;
  };
  const Case kCases[] = {
      {"IOPCServer", "AddGroup", "szName", Direction::kIn, "string(ref)"},
      {"IOPCServer", "AddGroup", "pTimeBias", Direction::kIn, "unique* LONG"},
      {"IOPCServer", "AddGroup", "phServerGroup", Direction::kOut,
       "ref* OPCHANDLE"},
      {"IOPCServer", "AddGroup", "riid", Direction::kIn, "ref* IID"},
      {"IOPCServer", "AddGroup", "ppUnk", Direction::kOut, "ref* iid_is(riid)"},
      {"IOPCServer", "GetErrorString", "ppString", Direction::kOut,
       "ref* string(unique)"},
      {"IOPCServer", "GetStatus", "ppServerStatus", Direction::kOut,
       "ref* unique* OPCSERVERSTATUS"},
      {"IOPCServer", "CreateGroupEnumerator", "dwScope", Direction::kIn,
       "OPCENUMSCOPE"},
      {"IOPCBrowseServerAddressSpace", "BrowseOPCItemIDs", "ppIEnumString",
       Direction::kOut, "ref* IEnumString*"},
      {"IOPCBrowseServerAddressSpace", "GetItemID", "szItemDataID",
       Direction::kIn, "string(ref)"},
      {"IOPCGroupStateMgt", "SetState", "pRevisedUpdateRate", Direction::kOut,
       "ref* DWORD"},
      {"IOPCGroupStateMgt", "SetState", "phClientGroup", Direction::kIn,
       "unique* OPCHANDLE"},
      {"IOPCSyncIO", "Read", "phServer", Direction::kIn,
       "ref* OPCHANDLE[size_is(dwCount)]"},
      {"IOPCSyncIO", "Read", "ppItemValues", Direction::kOut,
       "ref* unique* OPCITEMSTATE[size_is(dwCount)]"},
      {"IOPCSyncIO", "Write", "pItemValues", Direction::kIn,
       "ref* VARIANT[size_is(dwCount)]"},
      {"IOPCAsyncIO", "Read", "ppErrors", Direction::kOut,
       "ref* unique* HRESULT[size_is(dwCount)]"},
      {"IOPCItemMgt", "AddItems", "pItemArray", Direction::kIn,
       "ref* OPCITEMDEF[size_is(dwCount)]"},
      {"IOPCItemMgt", "ValidateItems", "ppValidationResults", Direction::kOut,
       "ref* unique* OPCITEMRESULT[size_is(dwCount)]"},
      {"IOPCItemMgt", "CreateEnumerator", "ppUnk", Direction::kOut,
       "ref* iid_is(riid)"},
      {"IEnumOPCItemAttributes", "Next", "ppItemArray", Direction::kOut,
       "ref* unique* OPCITEMATTRIBUTES[size_is(*pceltFetched)]"},
      {"IOPCDataCallback", "OnDataChange", "pftTimeStamps", Direction::kIn,
       "ref* FILETIME[size_is(dwCount)]"},
      {"IOPCDataCallback", "OnWriteComplete", "pClienthandles", Direction::kIn,
       "ref* OPCHANDLE[size_is(dwCount)]"},
      {"IOPCItemProperties", "QueryAvailableProperties", "ppDescriptions",
       Direction::kOut, "ref* unique* string(unique)[size_is(*pdwCount)]"},
      {"IOPCItemProperties", "LookupItemIDs", "ppszNewItemIDs", Direction::kOut,
       "ref* unique* string(unique)[size_is(dwCount)]"},
      {"IOPCCommon", "QueryAvailableLocaleIDs", "pdwLcid", Direction::kOut,
       "ref* unique* LCID[size_is(*pdwCount)]"},
      {"IOPCServerList", "EnumClassesOfCategories", "rgcatidReq",
       Direction::kIn, "ref* CATID[size_is(cRequired)]"},
      {"IOPCServerList", "EnumClassesOfCategories", "ppenumClsid",
       Direction::kOut, "ref* IEnumGUID*"},
      {"IOPCServerList2", "GetClassDetails", "ppszVerIndProgID",
       Direction::kOut, "ref* string(unique)"},
      {"IOPCServerList2", "CLSIDFromProgID", "clsid", Direction::kOut,
       "ref* CLSID"},
      {"IOPCEnumGUID", "Next", "rgelt", Direction::kOut,
       "ref* GUID[size_is(celt), length_is(*pceltFetched)]"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::string(c.interface) + "::" + c.method + " " + c.param);
    const InterfaceDescription* d = FindInterfaceDescription(c.interface);
    ASSERT_NE(nullptr, d);
    const MethodDescription* m = d->FindMethod(c.method);
    ASSERT_NE(nullptr, m);
    int index = m->ParamIndex(c.param);
    ASSERT_GE(index, 0);
    EXPECT_EQ(c.direction, m->params[index].direction);
    EXPECT_EQ(c.type, TypeText(m->params[index].type, m));
  }

  // Enumerations travel as 16 bits though they take 32 in memory.
  const MethodDescription* read = kIOPCSyncIODescription.FindMethod("Read");
  EXPECT_EQ(TypeKind::kEnum, read->params[0].type->kind);
  EXPECT_EQ(4u, read->params[0].type->memory_size);
  EXPECT_EQ(2u, com::WireSize(read->params[0].type->kind));

  std::vector<Direction> directions;
  for (const com::ParamDescription& p :
       kIOPCServerDescription.FindMethod("AddGroup")->params)
    directions.push_back(p.direction);
  const std::vector<Direction> kAddGroup = {
      Direction::kIn,  Direction::kIn, Direction::kIn, Direction::kIn,
      Direction::kIn,  Direction::kIn, Direction::kIn, Direction::kOut,
      Direction::kOut, Direction::kIn, Direction::kOut};
  EXPECT_EQ(kAddGroup, directions);
}

TEST(OpcDescriptionsTest, StructuresHaveTheNaturalLayout) {
  for (const com::DescriptionTable* table : DescriptionTables())
    for (const StructDescription* s : table->structs)
      for (const std::string& problem : LayoutProblems(*s))
        ADD_FAILURE() << problem;

  // The DA 1.0 streams carry these structures as they lie in memory; their
  // sizes are part of the stream format.
  EXPECT_EQ(20u, sizeof(OPCGROUPHEADER));
  EXPECT_EQ(20u, sizeof(OPCITEMHEADER1));
  EXPECT_EQ(12u, offsetof(OPCITEMHEADER1, ftTimeStampItem));
  EXPECT_EQ(12u, sizeof(OPCITEMHEADER2));
  EXPECT_EQ(16u, sizeof(OPCGROUPHEADERWRITE));
  EXPECT_EQ(8u, sizeof(OPCITEMHEADERWRITE));
  EXPECT_EQ(16u, sizeof(VARIANT));

  EXPECT_EQ(16u, offsetof(OPCITEMSTATE, vDataValue));
  EXPECT_EQ(32u, sizeof(OPCITEMSTATE));
  EXPECT_EQ(24u, offsetof(OPCSERVERSTATUS, dwServerState));
  EXPECT_EQ(48u, offsetof(OPCSERVERSTATUS, szVendorInfo));
  EXPECT_EQ(56u, sizeof(OPCSERVERSTATUS));
  EXPECT_EQ(32u, offsetof(OPCITEMDEF, pBlob));
  EXPECT_EQ(40u, offsetof(OPCITEMDEF, vtRequestedDataType));
  EXPECT_EQ(48u, sizeof(OPCITEMDEF));
  EXPECT_EQ(24u, sizeof(OPCITEMRESULT));
  EXPECT_EQ(52u, offsetof(OPCITEMATTRIBUTES, dwEUType));
  EXPECT_EQ(56u, offsetof(OPCITEMATTRIBUTES, vEUInfo));
  EXPECT_EQ(72u, sizeof(OPCITEMATTRIBUTES));

  const StructDescription& status = kOPCSERVERSTATUSDescription;
  EXPECT_EQ(TypeKind::kEnum, status.fields[3].type->kind);
  EXPECT_EQ("string(unique)",
            TypeText(status.fields[10].type, nullptr, &status));
  const StructDescription& def = kOPCITEMDEFDescription;
  EXPECT_EQ("unique* BYTE[size_is(dwBlobSize)]",
            TypeText(def.fields[def.FieldIndex("pBlob")].type, nullptr, &def));
  EXPECT_EQ(TypeKind::kFiletime, kOPCITEMSTATEDescription.fields[1].type->kind);
  EXPECT_EQ(TypeKind::kVariant, kOPCITEMSTATEDescription.fields[4].type->kind);
}

// A server object of the tests: records what the described calls pass.
class CTestCommon : public com::ComObject<CTestCommon, IOPCCommon> {
 public:
  HRESULT SetLocaleID(LCID lcid) override {
    lcid_ = lcid;
    return lcid == 0xFFFF ? E_INVALIDARG : S_OK;
  }
  HRESULT GetLocaleID(LCID* lcid) override {
    *lcid = lcid_;
    return S_OK;
  }
  HRESULT QueryAvailableLocaleIDs(DWORD* count, LCID** lcids) override {
    *lcids = static_cast<LCID*>(CoTaskMemAlloc(2 * sizeof(LCID)));
    (*lcids)[0] = 0x409;
    (*lcids)[1] = 0x407;
    *count = 2;
    return S_OK;
  }
  HRESULT GetErrorString(HRESULT code, LPWSTR* text) override {
    std::u16string s = OpcResultTextOf(code);
    *text = static_cast<LPWSTR>(CoTaskMemAlloc((s.size() + 1) * 2));
    std::copy(s.c_str(), s.c_str() + s.size() + 1, *text);
    return S_OK;
  }
  HRESULT SetClientName(LPCWSTR name) override {
    client_ = name;
    return S_OK;
  }

  LCID lcid_ = 0;
  std::u16string client_;
};

TEST(OpcDescriptionsTest, InvokersReachTheObject) {
  com::ComPtr<CTestCommon> object;
  ASSERT_EQ(S_OK, CTestCommon::CreateInstance(&object));
  IOPCCommon* common = object.Get();
  const InterfaceDescription& d = kIOPCCommonDescription;

  LCID lcid = 0x407;
  void* set_args[] = {&lcid};
  EXPECT_EQ(S_OK, d.FindMethod("SetLocaleID")->invoke(common, set_args));
  EXPECT_EQ(0x407u, object->lcid_);
  lcid = 0xFFFF;
  EXPECT_EQ(E_INVALIDARG, d.Method(3)->invoke(common, set_args));

  LPCWSTR name = u"test client";
  void* name_args[] = {&name};
  EXPECT_EQ(S_OK, d.FindMethod("SetClientName")->invoke(common, name_args));
  EXPECT_EQ(u"test client", object->client_);

  HRESULT code = OPC_E_UNKNOWNITEMID;
  LPWSTR text = nullptr;
  LPWSTR* text_arg = &text;
  void* text_args[] = {&code, &text_arg};
  ASSERT_EQ(S_OK, d.FindMethod("GetErrorString")->invoke(common, text_args));
  ASSERT_NE(nullptr, text);
  EXPECT_EQ(u"The item is no longer available in the server address space.",
            std::u16string(text));
  CoTaskMemFree(text);

  DWORD count = 0;
  LCID* lcids = nullptr;
  DWORD* count_arg = &count;
  LCID** lcids_arg = &lcids;
  void* list_args[] = {&count_arg, &lcids_arg};
  ASSERT_EQ(S_OK, d.Method(5)->invoke(common, list_args));
  ASSERT_EQ(2u, count);
  EXPECT_EQ(0x407u, lcids[1]);
  CoTaskMemFree(lcids);
}

}  // namespace
}  // namespace kavex::opc
