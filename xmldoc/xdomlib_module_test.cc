#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "platform/com/activation.h"
#include "platform/registry/registry.h"
#include "xmldoc/xdomlib.h"

namespace kavex::xmldoc {

extern "C" HRESULT DllGetClassObject(REFCLSID, REFIID, void**);
extern "C" HRESULT DllCanUnloadNow();
extern "C" HRESULT DllRegisterServer();
extern "C" HRESULT DllUnregisterServer();

namespace {

constexpr char kTypeLibKey[] =
    "TypeLib\\{8E5C2B71-3D4A-4F19-A6C2-5B7E0D913F42}\\1.0";

TEST(XdomlibModuleTest, RegistersOnlyItsTypeLibrary) {
  char pattern[] = "/tmp/xdomlib-registry-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  setenv("KAVEX_REGISTRY_ROOT", pattern, 1);

  ASSERT_EQ(DllRegisterServer(), S_OK);
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, kTypeLibKey, 0, KEY_READ, &key),
            ERROR_SUCCESS);
  char name[64] = {};
  DWORD size = sizeof name;
  EXPECT_EQ(RegQueryValueExA(key, nullptr, nullptr, nullptr,
                             reinterpret_cast<BYTE*>(name), &size),
            ERROR_SUCCESS);
  EXPECT_STREQ(name, "Xdomlib 1.0 Type Library");
  RegCloseKey(key);

  void* object = reinterpret_cast<void*>(1);
  EXPECT_EQ(DllGetClassObject(GUID_NULL, IID_IUnknown, &object),
            CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(object, nullptr);

  ASSERT_EQ(DllUnregisterServer(), S_OK);
  EXPECT_NE(RegOpenKeyExA(HKEY_CLASSES_ROOT, kTypeLibKey, 0, KEY_READ, &key),
            ERROR_SUCCESS);
  EXPECT_EQ(DllUnregisterServer(), S_OK);  // already gone: nothing to do

  unsetenv("KAVEX_REGISTRY_ROOT");
  std::filesystem::remove_all(pattern);
}

TEST(XdomlibModuleTest, CannotUnloadWhileParserObjectsLive) {
  {
    CXDocument document;
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
  }
  EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

}  // namespace
}  // namespace kavex::xmldoc
