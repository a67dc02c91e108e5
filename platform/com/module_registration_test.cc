#include "platform/com/module_registration.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "platform/com/activation.h"
#include "platform/com/guid.h"
#include "platform/com/registry_dump_for_test.h"
#include "platform/com/scoped_registry_root_for_test.h"
#include "platform/registry/registry.h"

namespace kavex::com {
namespace {

// A program's classes, laid out as an OPC server registers them: two
// classes served by the program itself, one with the "OPC" subkey and the
// two OPC DA server categories.
constexpr GUID kAppId = GuidLiteral("{343C5F9C-35D1-4F4B-A04B-BF246FA1A19C}");
constexpr CLSID kServerClsid =
    GuidLiteral("{79910CD7-CD3A-415F-9CE5-A178A44EB618}");
constexpr CLSID kGroupClsid =
    GuidLiteral("{897B5A9B-25C7-4C20-BD6A-C13EA4397A6A}");
constexpr GUID kLibId = GuidLiteral("{4CA564D7-4F81-4C2C-9429-6609A57D26A5}");
constexpr IID kServerIid =
    GuidLiteral("{4CA564D7-4F81-4C2C-9429-6609A57D2600}");
constexpr CATID kCategories[] = {
    GuidLiteral("{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}"),
    GuidLiteral("{63D5F430-CFE4-11D1-B2C8-0060083BA1FB}")};

HRESULT NoFactory(REFIID, void** out) {
  *out = nullptr;
  return E_NOTIMPL;
}

constexpr ClassEntry kProgramClasses[] = {
    {.clsid = &kServerClsid,
     .create_factory = NoFactory,
     .description = "Server Class",
     .prog_id = "KavexOPCServer.Server.1",
     .version_independent_prog_id = "KavexOPCServer.Server",
     .opc_server_name = "Kavex OPC Server",
     .threading_model = "Both",  // not written for a program's class
     .app_id = &kAppId,
     .type_lib = &kLibId,
     .implemented_categories = kCategories},
    {.clsid = &kGroupClsid,
     .create_factory = NoFactory,
     .description = "Group Class",
     .prog_id = "KavexOPCServer.Group.1",
     .version_independent_prog_id = "KavexOPCServer.Group",
     .app_id = &kAppId,
     .type_lib = &kLibId}};

constexpr TypeLibInterface kProgramInterfaces[] = {
    {&kServerIid, "_IKavexOPCServer"}};

constexpr TypeLibEntry kProgramTypeLib = {
    .libid = &kLibId,
    .major_version = 1,
    .minor_version = 0,
    .lcid = 0,
    .name = "KavexOPCServer 1.0 Type Library",
    .help_dir = true,
    .interfaces = kProgramInterfaces};

constexpr ModuleEntry kProgram = {.server = ServerKind::kLocalServer,
                                  .classes = kProgramClasses,
                                  .app_id = &kAppId,
                                  .app_id_name = "KavexOPCServer",
                                  .app_id_file = "KavexOPCServer.EXE",
                                  .type_lib = &kProgramTypeLib};

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

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class ModuleRegistrationTest : public ::testing::Test {
 protected:
  ScopedRegistryRootForTest root_;
};

TEST_F(ModuleRegistrationTest, ProgramClassesWithLocalServer32) {
  const std::string path = ProgramPath();
  ASSERT_FALSE(path.empty());
  ASSERT_EQ(RegisterModule(kProgram, path), S_OK);

  const std::string server = "CLSID\\{79910CD7-CD3A-415F-9CE5-A178A44EB618}";
  const std::string group = "CLSID\\{897B5A9B-25C7-4C20-BD6A-C13EA4397A6A}";
  const std::string app_id = "{343C5F9C-35D1-4F4B-A04B-BF246FA1A19C}";
  const std::string lib_id = "{4CA564D7-4F81-4C2C-9429-6609A57D26A5}";
  const std::string lib = "TypeLib\\" + lib_id;
  const std::string iface = "Interface\\{4CA564D7-4F81-4C2C-9429-6609A57D2600}";
  const std::string dir = path.substr(0, path.rfind('/') + 1);
  const std::set<std::string> expected = {
      "AppID",
      "AppID\\" + app_id,
      "AppID\\" + app_id + "|=KavexOPCServer",
      "AppID\\KavexOPCServer.EXE",
      "AppID\\KavexOPCServer.EXE|AppID=" + app_id,
      "KavexOPCServer.Server.1",
      "KavexOPCServer.Server.1|=Server Class",
      "KavexOPCServer.Server.1\\CLSID",
      "KavexOPCServer.Server.1\\CLSID|={79910CD7-CD3A-415F-9CE5-A178A44EB618}",
      "KavexOPCServer.Server",
      "KavexOPCServer.Server|=Server Class",
      "KavexOPCServer.Server\\CLSID",
      "KavexOPCServer.Server\\CLSID|={79910CD7-CD3A-415F-9CE5-A178A44EB618}",
      "KavexOPCServer.Server\\CurVer",
      "KavexOPCServer.Server\\CurVer|=KavexOPCServer.Server.1",
      "KavexOPCServer.Server\\OPC",
      "KavexOPCServer.Server\\OPC|=Kavex OPC Server",
      "KavexOPCServer.Group.1",
      "KavexOPCServer.Group.1|=Group Class",
      "KavexOPCServer.Group.1\\CLSID",
      "KavexOPCServer.Group.1\\CLSID|={897B5A9B-25C7-4C20-BD6A-C13EA4397A6A}",
      "KavexOPCServer.Group",
      "KavexOPCServer.Group|=Group Class",
      "KavexOPCServer.Group\\CLSID",
      "KavexOPCServer.Group\\CLSID|={897B5A9B-25C7-4C20-BD6A-C13EA4397A6A}",
      "KavexOPCServer.Group\\CurVer",
      "KavexOPCServer.Group\\CurVer|=KavexOPCServer.Group.1",
      "CLSID",
      server,
      server + "|=Server Class",
      server + "|AppID=" + app_id,
      server + "\\ProgID",
      server + "\\ProgID|=KavexOPCServer.Server.1",
      server + "\\VersionIndependentProgID",
      server + "\\VersionIndependentProgID|=KavexOPCServer.Server",
      server + "\\LocalServer32",
      server + "\\LocalServer32|=" + path,
      server + "\\TypeLib",
      server + "\\TypeLib|=" + lib_id,
      server + "\\Implemented Categories",
      server +
          "\\Implemented Categories\\{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}",
      server +
          "\\Implemented Categories\\{63D5F430-CFE4-11D1-B2C8-0060083BA1FB}",
      group,
      group + "|=Group Class",
      group + "|AppID=" + app_id,
      group + "\\ProgID",
      group + "\\ProgID|=KavexOPCServer.Group.1",
      group + "\\VersionIndependentProgID",
      group + "\\VersionIndependentProgID|=KavexOPCServer.Group",
      group + "\\LocalServer32",
      group + "\\LocalServer32|=" + path,
      group + "\\TypeLib",
      group + "\\TypeLib|=" + lib_id,
      "TypeLib",
      lib,
      lib + "\\1.0",
      lib + "\\1.0|=KavexOPCServer 1.0 Type Library",
      lib + "\\1.0\\FLAGS",
      lib + "\\1.0\\FLAGS|=0",
      lib + "\\1.0\\0",
      lib + "\\1.0\\0\\win64",
      lib + "\\1.0\\0\\win64|=" + path,
      lib + "\\1.0\\HELPDIR",
      lib + "\\1.0\\HELPDIR|=" + dir,
      "Interface",
      iface,
      iface + "|=_IKavexOPCServer",
      iface + "\\ProxyStubClsid32",
      iface + "\\ProxyStubClsid32|={00020424-0000-0000-C000-000000000046}",
      iface + "\\TypeLib",
      iface + "\\TypeLib|=" + lib_id,
      iface + "\\TypeLib|Version=1.0",
  };
  EXPECT_EQ(DumpClassesRoot(), expected);

  // A class key is replaced whole: what an older registration left in it
  // goes; the other classes in CLSID stay.
  SetString(server + "\\InprocServer32", nullptr, "/old/server.so");
  SetString("CLSID\\{00000000-0000-0000-0000-0000000000AA}", nullptr, "Other");
  ASSERT_EQ(RegisterModule(kProgram, path), S_OK);
  std::set<std::string> with_other = expected;
  with_other.insert("CLSID\\{00000000-0000-0000-0000-0000000000AA}");
  with_other.insert("CLSID\\{00000000-0000-0000-0000-0000000000AA}|=Other");
  EXPECT_EQ(DumpClassesRoot(), with_other);
}

TEST_F(ModuleRegistrationTest, UnregistrationRemovesOnlyWhatItWrote) {
  ASSERT_EQ(RegisterModule(kProgram, ProgramPath()), S_OK);
  // What others put beside our keys, and a value another installation has
  // changed since.
  const std::string other = "CLSID\\{00000000-0000-0000-0000-0000000000AA}";
  const std::string app_id = "AppID\\{343C5F9C-35D1-4F4B-A04B-BF246FA1A19C}";
  SetString(other, nullptr, "Other");
  SetString("KavexOPCServer.Server", "Foreign", "x");
  SetString("KavexOPCServer.Server.1\\Extra", nullptr, "y");
  SetString(app_id, "LocalService", "Kavex OPC Server");
  SetString("KavexOPCServer.Group\\CurVer", nullptr, "KavexOPCServer.Group.2");

  ASSERT_EQ(UnregisterModule(kProgram), S_OK);
  const std::set<std::string> left = {
      "AppID",
      app_id,
      app_id + "|LocalService=Kavex OPC Server",
      "CLSID",
      other,
      other + "|=Other",
      "KavexOPCServer.Server",
      "KavexOPCServer.Server|Foreign=x",
      "KavexOPCServer.Server.1",
      "KavexOPCServer.Server.1\\Extra",
      "KavexOPCServer.Server.1\\Extra|=y",
      "KavexOPCServer.Group",
      "KavexOPCServer.Group\\CurVer",
      "KavexOPCServer.Group\\CurVer|=KavexOPCServer.Group.2",
      "Interface",
      "TypeLib",
  };
  EXPECT_EQ(DumpClassesRoot(), left);
  // Again: nothing more to remove, and that is no failure.
  EXPECT_EQ(UnregisterModule(kProgram), S_OK);
  EXPECT_EQ(DumpClassesRoot(), left);
}

TEST_F(ModuleRegistrationTest, InprocClassesAndEmptyMembers) {
  static constexpr CLSID kBare =
      GuidLiteral("{0B7F2C64-91D3-4A8E-B5C1-7E2D4F6A8B77}");
  static constexpr ClassEntry kClasses[] = {
      {.clsid = &kBare, .create_factory = NoFactory},
      {.clsid = &kServerClsid,
       .create_factory = NoFactory,
       .prog_id = "Kavex.Inproc.1",
       .threading_model = "Free",
       .programmable = true}};
  static constexpr ModuleEntry kModule = {.classes = kClasses};
  const std::string bare = "CLSID\\{0B7F2C64-91D3-4A8E-B5C1-7E2D4F6A8B77}";
  const std::string full = "CLSID\\{79910CD7-CD3A-415F-9CE5-A178A44EB618}";

  // Without a path nothing is written.
  EXPECT_EQ(RegisterModule(kModule, ""), SELFREG_E_CLASS);
  EXPECT_EQ(DumpClassesRoot(), std::set<std::string>());

  ASSERT_EQ(RegisterModule(kModule, "/opt/kavex/lib/inproc.so"), S_OK);
  const std::set<std::string> expected = {
      "CLSID",
      bare,
      bare + "\\InprocServer32",
      bare + "\\InprocServer32|=/opt/kavex/lib/inproc.so",
      full,
      full + "\\ProgID",
      full + "\\ProgID|=Kavex.Inproc.1",
      full + "\\Programmable",
      full + "\\InprocServer32",
      full + "\\InprocServer32|=/opt/kavex/lib/inproc.so",
      full + "\\InprocServer32|ThreadingModel=Free",
      "Kavex.Inproc.1",
      "Kavex.Inproc.1\\CLSID",
      "Kavex.Inproc.1\\CLSID|={79910CD7-CD3A-415F-9CE5-A178A44EB618}",
  };
  EXPECT_EQ(DumpClassesRoot(), expected);
  ASSERT_EQ(UnregisterModule(kModule), S_OK);
  EXPECT_EQ(DumpClassesRoot(), std::set<std::string>({"CLSID"}));
}

// A registry that cannot be written fails the call with the class code;
// a damaged hive is never overwritten.
TEST_F(ModuleRegistrationTest, FailuresAreReported) {
  static constexpr ClassEntry kBadName[] = {{.clsid = &kGroupClsid,
                                             .create_factory = NoFactory,
                                             .prog_id = "Kavex\x01"
                                                        "Bad.1"}};
  EXPECT_EQ(RegisterModule({.classes = kBadName}, "/x.so"), SELFREG_E_CLASS);

  const std::string hive = root_.dir() + "/HKCR.reg";
  std::ofstream(hive) << "[CLSID\n\"broken";
  const std::string damaged = ReadFile(hive);
  EXPECT_EQ(RegisterModule(kProgram, ProgramPath()), SELFREG_E_CLASS);
  EXPECT_EQ(UnregisterModule(kProgram), SELFREG_E_CLASS);
  EXPECT_EQ(ReadFile(hive), damaged);
}

TEST(ModulePathTest, PathsOfProgramAndLibraries) {
  const std::string program = ProgramPath();
  EXPECT_EQ(program, std::filesystem::canonical("/proc/self/exe").string());
  // A function of the component runtime lies in its shared library.
  const std::string runtime =
      ModulePathOf(reinterpret_cast<const void*>(&CoCreateInstance));
  EXPECT_EQ(runtime.front(), '/');
  EXPECT_NE(runtime.find("libkavex_com.so"), std::string::npos) << runtime;
  EXPECT_EQ(runtime, std::filesystem::canonical(runtime).string());
  // This test's own code is in the program.
  EXPECT_EQ(ModulePath(), program);
  EXPECT_EQ(ModulePathOf(nullptr), "");
  int on_the_stack = 0;
  EXPECT_EQ(ModulePathOf(&on_the_stack), "");
}

}  // namespace
}  // namespace kavex::com
