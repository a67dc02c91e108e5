// What RegServer, Service and UnregServer leave in HKEY_CLASSES_ROOT and
// at the service manager (the fake one, kept in a directory).
#include "server/program/registration.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "platform/com/registry_dump_for_test.h"
#include "platform/com/scoped_registry_root_for_test.h"
#include "platform/registry/registry.h"
#include "platform/service/service_names.h"
#include "platform/service/testing_support.h"

namespace kavex::server {
namespace {

constexpr char kPath[] = "/usr/sbin/kavex-opc-server";
constexpr char kAppId[] = "{343C5F9C-35D1-4F4B-A04B-BF246FA1A19C}";
constexpr char kLib[] = "{4CA564D7-4F81-4C2C-9429-6609A57D26A5}";

// One class as Part of the expected registry: class key and ProgIDs.
void ExpectClass(std::set<std::string>* want, const std::string& clsid,
                 const std::string& description, const std::string& prog_id,
                 const std::string& independent, const std::string& lib) {
  const std::string k = "CLSID\\" + clsid;
  want->insert({k, k + "|=" + description, k + "|AppID=" + kAppId,
                k + "\\ProgID", k + "\\ProgID|=" + prog_id,
                k + "\\VersionIndependentProgID",
                k + "\\VersionIndependentProgID|=" + independent,
                k + "\\LocalServer32", k + "\\LocalServer32|=" + kPath,
                k + "\\TypeLib", k + "\\TypeLib|=" + lib});
  want->insert({prog_id, prog_id + "|=" + description, prog_id + "\\CLSID",
                prog_id + "\\CLSID|=" + clsid});
  want->insert({independent, independent + "|=" + description,
                independent + "\\CLSID", independent + "\\CLSID|=" + clsid,
                independent + "\\CurVer",
                independent + "\\CurVer|=" + prog_id});
}

std::set<std::string> Dump() {
  std::set<std::string> lines;
  com::DumpRegistryKey(HKEY_CLASSES_ROOT, "", &lines);
  return lines;
}

// Only the keys under the registration's own names, not the type library's
// own layout, which its writer's tests pin.
std::set<std::string> WithoutTypeLib(const std::set<std::string>& lines) {
  std::set<std::string> out;
  for (const std::string& line : lines)
    if (line.rfind("TypeLib\\", 0) != 0) out.insert(line);
  return out;
}

class RegistrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(services_.path().empty());
    setenv("KAVEX_SERVICE_MANAGER", ("fake:" + services_.path()).c_str(), 1);
  }
  void TearDown() override { unsetenv("KAVEX_SERVICE_MANAGER"); }

  std::string Requests() {
    std::ifstream in(services_.path() + "/requests");
    return {std::istreambuf_iterator<char>(in), {}};
  }
  bool UnitExists() {
    std::ifstream in(services_.path() + "/units/" + service::kServerUnitName);
    return in.good();
  }

  com::ScopedRegistryRootForTest registry_;
  service::testing::TempDir services_;
};

TEST_F(RegistrationTest, RegServerWritesTheClassesAppIdAndCategories) {
  ASSERT_EQ(RegisterServerProgram(kPath, false), S_OK);
  std::set<std::string> want = {
      "AppID",
      "CLSID",
      "Component Categories",
      std::string("AppID\\") + kAppId,
      std::string("AppID\\") + kAppId + "|=KavexOPCServer",
      "AppID\\KavexOPCServer.EXE",
      std::string("AppID\\KavexOPCServer.EXE|AppID=") + kAppId,
      "Component Categories\\{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}",
      "Component Categories\\{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}"
      "|409=OPC Data Access Servers Version 1.0",
      "Component Categories\\{63D5F430-CFE4-11D1-B2C8-0060083BA1FB}",
      "Component Categories\\{63D5F430-CFE4-11D1-B2C8-0060083BA1FB}"
      "|409=OPC Data Access Servers Version 2.0",
      "TypeLib",
  };
  ExpectClass(&want, "{79910CD7-CD3A-415F-9CE5-A178A44EB618}", "Server Class",
              "KavexOPCServer.Server.1", "KavexOPCServer.Server", kLib);
  const std::string server = "CLSID\\{79910CD7-CD3A-415F-9CE5-A178A44EB618}";
  want.insert({server + "\\Implemented Categories",
               server + "\\Implemented Categories\\"
                        "{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}",
               server + "\\Implemented Categories\\"
                        "{63D5F430-CFE4-11D1-B2C8-0060083BA1FB}",
               "KavexOPCServer.Server\\OPC",
               "KavexOPCServer.Server\\OPC|=Kavex OPC Server"});
  ExpectClass(&want, "{897B5A9B-25C7-4C20-BD6A-C13EA4397A6A}", "Group Class",
              "KavexOPCServer.Group.1", "KavexOPCServer.Group", kLib);
  ExpectClass(&want, "{24919A8D-2502-49CA-B37B-C348EE6E708C}",
              "ServerCallback Class", "KavexOPCServer.ServerCallback.1",
              "KavexOPCServer.ServerCallback", kAppId);
  ExpectClass(&want, "{D10A688D-FC94-4A70-A0B5-BF1D66B2F43C}",
              "EnumOPCItemAttributes Class",
              "KavexOPCServer.EnumOPCItemAttribut.1",
              "KavexOPCServer.EnumOPCItemAttributes", kAppId);
  const std::set<std::string> got = WithoutTypeLib(Dump());
  for (const std::string& line : want) EXPECT_TRUE(got.count(line)) << line;
  for (const std::string& line : got) EXPECT_TRUE(want.count(line)) << line;
  // The type library is there, with the program as its file.
  const std::set<std::string> all = Dump();
  EXPECT_TRUE(all.count(std::string("TypeLib\\") + kLib));
  EXPECT_FALSE(UnitExists());
}

TEST_F(RegistrationTest, UnregServerRemovesExactlyWhatWasWritten) {
  // Someone else's class and values in the shared keys survive.
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(
                HKEY_CLASSES_ROOT,
                "CLSID\\{00000000-1111-2222-3333-444444444444}\\Implemented "
                "Categories\\{63D5F430-CFE4-11D1-B2C8-0060083BA1FB}",
                0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
  const std::set<std::string> before = Dump();
  ASSERT_EQ(RegisterServerProgram(kPath, true), S_OK);
  ASSERT_EQ(UnregisterServerProgram(), S_OK);
  std::set<std::string> want = before;
  // The category another class implements stays, described.
  want.insert({"Component Categories",
               "Component Categories\\{63D5F430-CFE4-11D1-B2C8-0060083BA1FB}",
               "Component Categories\\{63D5F430-CFE4-11D1-B2C8-0060083BA1FB}"
               "|409=OPC Data Access Servers Version 2.0",
               "AppID", "TypeLib"});
  std::set<std::string> got = Dump();
  for (const std::string& line : want) EXPECT_TRUE(got.count(line)) << line;
  for (const std::string& line : got) EXPECT_TRUE(want.count(line)) << line;
  EXPECT_FALSE(UnitExists());
}

TEST_F(RegistrationTest, UnregServerOnAnEmptyRegistrySucceeds) {
  EXPECT_EQ(UnregisterServerProgram(), S_OK);
  ASSERT_EQ(RegisterServerProgram(kPath, false), S_OK);
  EXPECT_EQ(UnregisterServerProgram(), S_OK);
  EXPECT_EQ(UnregisterServerProgram(), S_OK);
  for (const std::string& line : Dump())
    EXPECT_TRUE(line == "AppID" || line == "CLSID" || line == "TypeLib" ||
                line == "Component Categories")
        << line;
}

std::string LocalService() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT,
                    (std::string("AppID\\") + kAppId).c_str(), 0, KEY_READ,
                    &key) != ERROR_SUCCESS)
    return "<no key>";
  char text[128] = {};
  DWORD size = sizeof text;
  LONG err = RegQueryValueExA(key, kLocalServiceValue, nullptr, nullptr,
                              reinterpret_cast<BYTE*>(text), &size);
  RegCloseKey(key);
  return err == ERROR_SUCCESS ? std::string(text) : "<none>";
}

TEST_F(RegistrationTest, ServiceTwiceRemovesAndRecreatesTheService) {
  ASSERT_EQ(RegisterServerProgram(kPath, true), S_OK);
  EXPECT_TRUE(UnitExists());
  EXPECT_EQ(LocalService(), "Kavex OPC Server");
  ASSERT_EQ(RegisterServerProgram(kPath, true), S_OK);
  EXPECT_TRUE(UnitExists());
  // The service was never started: removing it needs no stop.
  EXPECT_EQ(Requests(),
            "install kavex-opc-server.service\n"
            "remove kavex-opc-server.service\n"
            "install kavex-opc-server.service\n");
  std::ifstream unit(services_.path() + "/units/kavex-opc-server.service");
  const std::string text{std::istreambuf_iterator<char>(unit), {}};
  EXPECT_NE(text.find("ExecStart=\"/usr/sbin/kavex-opc-server\""),
            std::string::npos)
      << text;
  // RegServer afterwards removes the service and "LocalService".
  ASSERT_EQ(RegisterServerProgram(kPath, false), S_OK);
  EXPECT_FALSE(UnitExists());
  EXPECT_EQ(LocalService(), "<none>");
}

TEST_F(RegistrationTest, NoServiceManagerFailsServiceButNotTheRegistry) {
  setenv("KAVEX_SERVICE_MANAGER", "fake:/nonexistent/kavex-services", 1);
  // Without a manager, "is it installed" is no, so RegServer still works.
  EXPECT_EQ(RegisterServerProgram(kPath, false), S_OK);
  EXPECT_TRUE(FAILED(RegisterServerProgram(kPath, true)));
}

}  // namespace
}  // namespace kavex::server
