#include "platform/com/typelib.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/com/guid.h"
#include "platform/com/scoped_registry_root_for_test.h"
#include "platform/com/unknown.h"
#include "platform/registry/registry.h"

namespace kavex::com {
namespace {

constexpr GUID kLibId = GuidLiteral("{9815A65A-DD46-44B9-A088-819C3D10C058}");
constexpr IID kIid = GuidLiteral("{67A0279B-3337-4BC2-AA79-56C802EAA72F}");

// Default value (or `name`) of HKCR\<sub>, or "<missing>".
std::string Read(const std::string& sub, const char* name = nullptr) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, sub.c_str(), 0, KEY_READ, &key) !=
      ERROR_SUCCESS)
    return "<missing>";
  char data[512] = {};
  DWORD size = sizeof data - 1, type = 0;
  LONG result = RegQueryValueExA(key, name, nullptr, &type,
                                 reinterpret_cast<BYTE*>(data), &size);
  RegCloseKey(key);
  return result == ERROR_SUCCESS ? std::string(data) : "<missing>";
}

TEST(TypeLibTest, RegisterAndUnregisterVersions) {
  ScopedRegistryRootForTest root;
  const std::string lib = "TypeLib\\" + GuidToString(kLibId);
  ASSERT_EQ(S_OK, RegisterTypeLibInfo(
                      kLibId, 1, 0, 0x409, "KavexOPCDevice 1.0 Type Library",
                      "/opt/kavex/lib/device.so", "/opt/kavex"));
  ASSERT_EQ(S_OK, RegisterTypeLibInfo(kLibId, 1, 10, 0, "Later", "/x.so"));
  EXPECT_EQ("KavexOPCDevice 1.0 Type Library", Read(lib + "\\1.0"));
  EXPECT_EQ("0", Read(lib + "\\1.0\\FLAGS"));
  EXPECT_EQ("/opt/kavex", Read(lib + "\\1.0\\HELPDIR"));
  EXPECT_EQ(
      "/opt/kavex/lib/device.so",
      Read(lib + "\\1.0\\409\\" + (sizeof(void*) == 8 ? "win64" : "win32")));
  EXPECT_EQ("Later", Read(lib + "\\1.a"));  // hexadecimal versions

  ASSERT_EQ(S_OK, UnRegisterTypeLibInfo(kLibId, 1, 0, 0x409));
  EXPECT_EQ("<missing>", Read(lib + "\\1.0"));
  EXPECT_EQ("Later", Read(lib + "\\1.a"));
  EXPECT_EQ(TYPE_E_LIBNOTREGISTERED,
            UnRegisterTypeLibInfo(kLibId, 1, 0, 0x409));
  ASSERT_EQ(S_OK, UnRegisterTypeLibInfo(kLibId, 1, 10, 0));
  EXPECT_EQ("<missing>", Read(lib));  // no version left: the library goes
}

TEST(TypeLibTest, InterfacesPointAtTheAutomationMarshaller) {
  ScopedRegistryRootForTest root;
  const std::string key = "Interface\\" + GuidToString(kIid);
  ASSERT_EQ(S_OK,
            RegisterTypeLibInterface(kIid, "IKavexOPCDevice", kLibId, 1, 0));
  EXPECT_EQ("IKavexOPCDevice", Read(key));
  EXPECT_EQ("{00020424-0000-0000-C000-000000000046}",
            Read(key + "\\ProxyStubClsid32"));
  EXPECT_EQ(GuidToString(kLibId), Read(key + "\\TypeLib"));
  EXPECT_EQ("1.0", Read(key + "\\TypeLib", "Version"));
  ASSERT_EQ(S_OK, UnRegisterTypeLibInterface(kIid));
  EXPECT_EQ("<missing>", Read(key));
  EXPECT_EQ(S_OK, UnRegisterTypeLibInterface(kIid));
}

}  // namespace
}  // namespace kavex::com
