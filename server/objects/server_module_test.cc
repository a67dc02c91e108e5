#include "server/objects/server_module.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/com/activation.h"
#include "platform/com/guid.h"
#include "server/objects/testing/server_fixture.h"

namespace kavex::server {
namespace {

using testing::ServerFixture;

class ServerModuleTest : public ServerFixture {};

TEST_F(ServerModuleTest, TableNamesTheFourClasses) {
  struct Expected {
    const char* clsid;
    const char* description;
    const char* prog_id;
    const char* independent;
  };
  const Expected expected[] = {
      {"{79910CD7-CD3A-415F-9CE5-A178A44EB618}", "Server Class",
       "KavexOPCServer.Server.1", "KavexOPCServer.Server"},
      {"{897B5A9B-25C7-4C20-BD6A-C13EA4397A6A}", "Group Class",
       "KavexOPCServer.Group.1", "KavexOPCServer.Group"},
      {"{24919A8D-2502-49CA-B37B-C348EE6E708C}", "ServerCallback Class",
       "KavexOPCServer.ServerCallback.1", "KavexOPCServer.ServerCallback"},
      {"{D10A688D-FC94-4A70-A0B5-BF1D66B2F43C}", "EnumOPCItemAttributes Class",
       "KavexOPCServer.EnumOPCItemAttribut.1",
       "KavexOPCServer.EnumOPCItemAttributes"},
  };
  ASSERT_EQ(ServerClasses().size(), std::size(expected));
  for (size_t i = 0; i < std::size(expected); ++i) {
    const ServerClass& c = ServerClasses()[i];
    EXPECT_EQ(com::GuidToString(*c.entry.clsid), expected[i].clsid);
    EXPECT_STREQ(c.description, expected[i].description);
    EXPECT_STREQ(c.prog_id, expected[i].prog_id);
    EXPECT_STREQ(c.version_independent_prog_id, expected[i].independent);
  }
}

TEST_F(ServerModuleTest, EachFactoryMakesItsClass) {
  const IID interfaces[] = {IID_IOPCServer, IID_IOPCItemMgt,
                            IID__IServerCallback, IID_IEnumOPCItemAttributes};
  for (size_t i = 0; i < ServerClasses().size(); ++i) {
    com::ComPtr<IClassFactory> factory;
    ASSERT_EQ(ServerClasses()[i].entry.create_factory(
                  IID_IClassFactory,
                  reinterpret_cast<void**>(factory.GetAddressOf())),
              S_OK);
    com::ComPtr<IUnknown> object;
    EXPECT_EQ(factory->CreateInstance(
                  nullptr, interfaces[i],
                  reinterpret_cast<void**>(object.GetAddressOf())),
              S_OK)
        << ServerClasses()[i].description;
    com::ComPtr<IUnknown> outer;
    EXPECT_EQ(
        factory->CreateInstance(object.Get(), IID_IUnknown,
                                reinterpret_cast<void**>(outer.GetAddressOf())),
        CLASS_E_NOAGGREGATION);
  }
  // A group made by its factory belongs to no server: it has no device.
  com::ComPtr<IOPCItemMgt> group;
  ASSERT_EQ(CoCreateInstance(CLSID_Group, nullptr, CLSCTX_ALL,
                             IID_PPV_ARGS(group.GetAddressOf())),
            REGDB_E_CLASSNOTREG);
}

TEST_F(ServerModuleTest, ClassObjectsRegisterAndRevoke) {
  std::vector<DWORD> cookies;
  ASSERT_EQ(RegisterServerClassObjects(CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE,
                                       &cookies),
            S_OK);
  EXPECT_EQ(cookies.size(), 4u);
  com::ComPtr<IOPCServer> server;
  ASSERT_EQ(CoCreateInstance(CLSID_Server, nullptr, CLSCTX_LOCAL_SERVER,
                             IID_PPV_ARGS(server.GetAddressOf())),
            S_OK);
  com::ComPtr<IOPCItemMgt> group;
  ASSERT_EQ(CoCreateInstance(CLSID_Group, nullptr, CLSCTX_ALL,
                             IID_PPV_ARGS(group.GetAddressOf())),
            S_OK);
  OPCITEMDEF definition{};
  definition.szItemID = const_cast<LPWSTR>(u"A.D");
  OPCITEMRESULT* results = nullptr;
  HRESULT* errors = nullptr;
  EXPECT_EQ(group->AddItems(1, &definition, &results, &errors), E_FAIL);
  RevokeServerClassObjects(&cookies);
  EXPECT_TRUE(cookies.empty());
  com::ComPtr<IOPCServer> another;
  EXPECT_EQ(CoCreateInstance(CLSID_Server, nullptr, CLSCTX_ALL,
                             IID_PPV_ARGS(another.GetAddressOf())),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(RegisterServerClassObjects(CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE,
                                       nullptr),
            E_INVALIDARG);
}

}  // namespace
}  // namespace kavex::server
