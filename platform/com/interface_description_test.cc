#include "platform/com/interface_description.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/com/com_interfaces.h"
#include "platform/com/com_ptr.h"
#include "platform/com/enumerators.h"
#include "platform/com/guid.h"
#include "platform/com/interface_description_for_test.h"
#include "platform/com/task_memory.h"

namespace kavex::com {
namespace {

using testing::CompareWithDeclarations;
using testing::LayoutProblems;
using testing::ReadDeclarations;
using testing::ReadText;
using testing::TypeText;

const char* const kComHeaders[] = {
    "platform/com/unknown.h", "platform/com/enumerators.h",
    "platform/com/connection_point.h", "platform/com/data_object.h",
    "platform/com/component_categories.h"};

TEST(ComInterfaceDescriptionTest, DescribesEveryMethodOfTheDeclaredHeaders) {
  std::map<std::string, testing::DeclaredStruct> declared;
  for (const char* header : kComHeaders) {
    std::string text = ReadText(std::string(KAVEX_SOURCE_DIR) + "/" + header);
    ASSERT_FALSE(text.empty()) << header;
    declared.merge(ReadDeclarations(text));
  }
  for (const std::string& problem :
       CompareWithDeclarations(kComDescriptions, declared, true))
    ADD_FAILURE() << problem;

  const char* const kRequired[] = {"IUnknown",
                                   "IEnumString",
                                   "IEnumUnknown",
                                   "IConnectionPoint",
                                   "IConnectionPointContainer",
                                   "IEnumConnectionPoints",
                                   "IEnumConnections",
                                   "IDataObject",
                                   "IAdviseSink",
                                   "IEnumFORMATETC",
                                   "IEnumGUID"};
  for (const char* name : kRequired)
    EXPECT_NE(nullptr, FindInterface(kComDescriptions, name)) << name;
}

TEST(ComInterfaceDescriptionTest, ReaderSeesMissingAndReorderedMethods) {
  // The comparison itself must catch a header that drifts from its
  // description.
  auto declared = ReadDeclarations(R"(
    struct IEnumString : IUnknown {
      virtual HRESULT Next(ULONG celt, LPOLESTR* elements, ULONG* fetched) = 0;
      virtual HRESULT Reset() = 0;   // swapped with Skip
      virtual HRESULT Skip(ULONG celt) = 0;
      virtual HRESULT Clone(IEnumString** clone) = 0;
    };
    struct IEnumUnknown : IUnknown {
      virtual HRESULT Next(ULONG celt, IUnknown** elements, ULONG* n) = 0;
      virtual HRESULT Skip(ULONG celt) = 0;
      virtual HRESULT Reset() = 0;
      virtual HRESULT Clone(IEnumUnknown** clone) = 0;
      virtual HRESULT Extra() = 0;
    };
    struct CONNECTDATA { IUnknown* pUnk; };
  )");
  std::vector<std::string> problems =
      CompareWithDeclarations(kComDescriptions, declared, false);
  auto mentions = [&](const std::string& what) {
    for (const std::string& p : problems)
      if (p.find(what) != std::string::npos) return true;
    return false;
  };
  EXPECT_TRUE(mentions("IEnumString: declared"));
  EXPECT_TRUE(mentions("Extra()"));                  // an undescribed method
  EXPECT_TRUE(mentions("Next(celt, elements, n)"));  // a renamed parameter
  EXPECT_TRUE(mentions("CONNECTDATA"));              // a missing field
  EXPECT_TRUE(mentions("IDataObject: not declared"));
}

TEST(ComInterfaceDescriptionTest, OpnumsCountFromIUnknown) {
  const InterfaceDescription* unknown =
      FindInterface(kComDescriptions, IID_IUnknown);
  ASSERT_NE(nullptr, unknown);
  EXPECT_EQ(nullptr, unknown->base);
  EXPECT_EQ(3, unknown->MethodCount());
  EXPECT_STREQ("Release", unknown->Method(2)->name);
  EXPECT_EQ(nullptr, unknown->Method(3));
  EXPECT_EQ(nullptr, unknown->Method(2)->invoke);  // AddRef, Release
  EXPECT_NE(nullptr, unknown->Method(0)->invoke);

  const InterfaceDescription* data =
      FindInterface(kComDescriptions, "IDataObject");
  ASSERT_NE(nullptr, data);
  EXPECT_EQ(IID_IDataObject, data->iid);
  EXPECT_EQ(12, data->MethodCount());
  EXPECT_STREQ("QueryInterface", data->Method(0)->name);
  EXPECT_STREQ("GetData", data->Method(3)->name);
  EXPECT_STREQ("EnumDAdvise", data->Method(11)->name);
  EXPECT_EQ(nullptr, data->Method(12));
  EXPECT_EQ(7, data->FindMethod("SetData")->opnum);
  EXPECT_EQ(0, data->FindMethod("QueryInterface")->opnum);
  EXPECT_EQ(nullptr, data->FindMethod("Frobnicate"));

  for (const InterfaceDescription* i : kComDescriptions.interfaces)
    for (uint16_t opnum = 0; opnum < i->MethodCount(); ++opnum)
      ASSERT_EQ(opnum, i->Method(opnum)->opnum) << i->name;
}

TEST(ComInterfaceDescriptionTest, WireFormsOfTheStandardInterfaces) {
  struct Case {
    const char* interface;
    const char* method;
    const char* param;
    Direction direction;
    const char* type;
  };
  const Case kCases[] = {
      {"IUnknown", "QueryInterface", "riid", Direction::kIn, "ref* IID"},
      {"IUnknown", "QueryInterface", "object", Direction::kOut,
       "ref* iid_is(riid)"},
      {"IEnumString", "Next", "elements", Direction::kOut,
       "ref* string(unique)[size_is(celt), length_is(*fetched)]"},
      {"IEnumUnknown", "Next", "elements", Direction::kOut,
       "ref* IUnknown*[size_is(celt), length_is(*fetched)]"},
      {"IEnumConnections", "Next", "elements", Direction::kOut,
       "ref* CONNECTDATA[size_is(celt), length_is(*fetched)]"},
      {"IEnumString", "Next", "fetched", Direction::kOut, "ref* ULONG"},
      {"IConnectionPoint", "Advise", "sink", Direction::kIn, "IUnknown*"},
      {"IConnectionPointContainer", "FindConnectionPoint", "point",
       Direction::kOut, "ref* IConnectionPoint*"},
      {"IDataObject", "GetData", "format", Direction::kIn, "unique* FORMATETC"},
      {"IDataObject", "GetDataHere", "medium", Direction::kInOut,
       "ref* STGMEDIUM"},
      {"IDataObject", "SetData", "medium", Direction::kIn,
       "unique* FLAG_STGMEDIUM"},
      {"IDataObject", "DAdvise", "format", Direction::kIn, "ref* FORMATETC"},
      {"IDataObject", "DAdvise", "sink", Direction::kIn, "IAdviseSink*"},
      {"IAdviseSink", "OnDataChange", "medium", Direction::kIn,
       "unique* ASYNC_STGMEDIUM"},
      {"IAdviseSink", "OnRename", "moniker", Direction::kIn, "IMoniker*"},
      {"IEnumGUID", "Next", "elements", Direction::kOut,
       "ref* GUID[size_is(celt), length_is(*fetched)]"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::string(c.interface) + "::" + c.method + " " + c.param);
    const InterfaceDescription* i =
        FindInterface(kComDescriptions, c.interface);
    ASSERT_NE(nullptr, i);
    const MethodDescription* m = i->FindMethod(c.method);
    ASSERT_NE(nullptr, m);
    int index = m->ParamIndex(c.param);
    ASSERT_GE(index, 0);
    EXPECT_EQ(c.direction, m->params[index].direction);
    EXPECT_EQ(c.type, TypeText(m->params[index].type, m));
  }

  // IAdviseSink answers an HRESULT on the wire though its methods are void.
  const MethodDescription* on_close =
      FindInterface(kComDescriptions, "IAdviseSink")->FindMethod("OnClose");
  EXPECT_TRUE(on_close->returns_void_in_process);
  EXPECT_EQ(TypeKind::kHresult, on_close->result->kind);

  // The moniker is named by IID only: nothing here describes IMoniker.
  const TypeDescription* moniker =
      FindInterface(kComDescriptions, "IAdviseSink")
          ->FindMethod("OnRename")
          ->params[0]
          .type;
  ASSERT_NE(nullptr, moniker->iid);
  EXPECT_EQ("{0000000F-0000-0000-C000-000000000046}",
            GuidToString(*moniker->iid));
  EXPECT_EQ(nullptr, FindInterface(kComDescriptions, *moniker->iid));
}

TEST(ComInterfaceDescriptionTest, StructuresKeepTheirLayoutAndCorrelations) {
  for (const StructDescription* s : kComDescriptions.structs)
    for (const std::string& problem : LayoutProblems(*s))
      ADD_FAILURE() << problem;

  const StructDescription* device =
      FindStruct(kComDescriptions, "DVTARGETDEVICE");
  ASSERT_NE(nullptr, device);
  int data = device->FieldIndex("tdData");
  ASSERT_EQ(5, data);
  EXPECT_EQ("BYTE[size_is(tdSize - 12)]",
            TypeText(device->fields[data].type, nullptr, device));
  EXPECT_EQ(-1, device->FieldIndex("tdNothing"));

  const StructDescription* format = FindStruct(kComDescriptions, "FORMATETC");
  ASSERT_NE(nullptr, format);
  EXPECT_EQ(TypeKind::kClipFormat, format->fields[0].type->kind);
  EXPECT_EQ("unique* DVTARGETDEVICE",
            TypeText(format->fields[1].type, nullptr, format));
  EXPECT_EQ(32u, format->size);
  EXPECT_EQ(nullptr, FindStruct(kComDescriptions, "STGMEDIUM"));
}

TEST(ComInterfaceDescriptionTest, KindsHaveTheirWireWidths) {
  struct Case {
    TypeKind kind;
    uint32_t size;
    uint32_t alignment;
    bool integer;
  };
  const Case kCases[] = {
      {TypeKind::kByte, 1, 1, true},      {TypeKind::kWord, 2, 2, true},
      {TypeKind::kShort, 2, 2, true},     {TypeKind::kVartype, 2, 2, false},
      {TypeKind::kEnum, 2, 2, false},     {TypeKind::kDword, 4, 4, true},
      {TypeKind::kLong, 4, 4, true},      {TypeKind::kBool, 4, 4, false},
      {TypeKind::kHresult, 4, 4, false},  {TypeKind::kFloat, 4, 4, false},
      {TypeKind::kDouble, 8, 8, false},   {TypeKind::kGuid, 16, 4, false},
      {TypeKind::kFiletime, 8, 4, false}, {TypeKind::kBstr, 0, 0, false},
      {TypeKind::kPointer, 0, 0, false},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(TypeKindName(c.kind));
    EXPECT_EQ(c.size, WireSize(c.kind));
    EXPECT_EQ(c.alignment, WireAlignment(c.kind));
    EXPECT_EQ(c.integer, IsIntegerKind(c.kind));
  }
  EXPECT_STREQ("conformant varying array",
               TypeKindName(TypeKind::kConformantVaryingArray));
}

TEST(ComInterfaceDescriptionTest, InvokersCallTheDescribedMethod) {
  ComPtr<IEnumString> strings;
  ASSERT_EQ(S_OK, CreateEnumString({u"alpha", u"beta", u"gamma"},
                                   strings.GetAddressOf()));
  const InterfaceDescription* desc =
      FindInterface(kComDescriptions, IID_IEnumString);
  ASSERT_NE(nullptr, desc);

  // Skip(1), then Next(5, elements, &fetched) through the descriptions.
  ULONG skip = 1;
  void* skip_args[] = {&skip};
  EXPECT_EQ(S_OK, desc->FindMethod("Skip")->invoke(strings.Get(), skip_args));
  ULONG celt = 5;
  LPOLESTR elements[5] = {};
  LPOLESTR* elements_arg = elements;
  ULONG fetched = 0;
  ULONG* fetched_arg = &fetched;
  void* next_args[] = {&celt, &elements_arg, &fetched_arg};
  EXPECT_EQ(S_FALSE, desc->Method(3)->invoke(strings.Get(), next_args));
  ASSERT_EQ(2u, fetched);
  EXPECT_EQ(u"beta", std::u16string(elements[0]));
  EXPECT_EQ(u"gamma", std::u16string(elements[1]));
  CoTaskMemFree(elements[0]);
  CoTaskMemFree(elements[1]);

  // QueryInterface through IUnknown's description: a REFIID argument is the
  // IID itself.
  IID iid = IID_IEnumString;
  void* object = nullptr;
  void** object_arg = &object;
  void* qi_args[] = {&iid, &object_arg};
  const InterfaceDescription* unknown =
      FindInterface(kComDescriptions, "IUnknown");
  ASSERT_EQ(S_OK, unknown->Method(0)->invoke(
                      static_cast<IUnknown*>(strings.Get()), qi_args));
  EXPECT_EQ(static_cast<void*>(strings.Get()), object);
  static_cast<IUnknown*>(object)->Release();
  iid = IID_IDataObject;
  EXPECT_EQ(E_NOINTERFACE, unknown->Method(0)->invoke(
                               static_cast<IUnknown*>(strings.Get()), qi_args));
  EXPECT_EQ(nullptr, object);
}

}  // namespace
}  // namespace kavex::com
