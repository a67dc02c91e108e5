// Registry calls against hive files in a temporary directory.
#include "platform/registry/registry.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "platform/registry/registry_test_util.h"

namespace kavex::registry {
namespace {

class RegistryTest : public RegistryRootTest {
 protected:
  HKEY Create(const char* path, HKEY root = HKEY_LOCAL_MACHINE) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    return key;
  }
  static LONG SetString(HKEY key, const char* name, const char* text) {
    return RegSetValueExA(key, name, 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(text),
                          static_cast<DWORD>(strlen(text) + 1));
  }
  static std::string GetString(HKEY key, const char* name) {
    char buffer[512] = {};
    DWORD cb = sizeof(buffer);
    DWORD type = 0;
    LONG rc = RegQueryValueExA(key, name, nullptr, &type,
                               reinterpret_cast<BYTE*>(buffer), &cb);
    return rc == ERROR_SUCCESS ? std::string(buffer, cb) : "<error>";
  }
};

TEST_F(RegistryTest, QueryValueFollowsTheSizeProtocol) {
  HKEY key = Create("SOFTWARE\\Kavex OPC");
  const char path[] = "/etc/kavex-opc/Config.xml";
  ASSERT_EQ(SetString(key, "Configuration File", path), ERROR_SUCCESS);

  // Size only: the stored NUL is counted.
  DWORD type = 0, cb = 0;
  EXPECT_EQ(
      RegQueryValueExA(key, "Configuration File", nullptr, &type, nullptr, &cb),
      ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(cb, sizeof(path));
  // Too small: ERROR_MORE_DATA and the size needed.
  char small[4];
  cb = sizeof(small);
  EXPECT_EQ(RegQueryValueExA(key, "Configuration File", nullptr, &type,
                             reinterpret_cast<BYTE*>(small), &cb),
            ERROR_MORE_DATA);
  EXPECT_EQ(cb, sizeof(path));
  // Exactly enough.
  char exact[sizeof(path)];
  cb = sizeof(exact);
  EXPECT_EQ(RegQueryValueExA(key, "configuration file", nullptr, &type,
                             reinterpret_cast<BYTE*>(exact), &cb),
            ERROR_SUCCESS);
  EXPECT_EQ(cb, sizeof(path));
  EXPECT_STREQ(exact, path);
  EXPECT_EQ(RegQueryValueExA(key, "Configuration File", nullptr, &type,
                             reinterpret_cast<BYTE*>(exact), nullptr),
            ERROR_INVALID_PARAMETER);

  // A string stored without its NUL comes back without one.
  ASSERT_EQ(RegSetValueExA(key, "Bare", 0, REG_SZ,
                           reinterpret_cast<const BYTE*>("abc"), 3),
            ERROR_SUCCESS);
  EXPECT_EQ(GetString(key, "Bare"), "abc");
  EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, &type, nullptr, &cb),
            ERROR_FILE_NOT_FOUND);

  // The default value: null or "".
  ASSERT_EQ(SetString(key, nullptr, "Server Class"), ERROR_SUCCESS);
  EXPECT_EQ(GetString(key, ""), std::string("Server Class", 13));

  DWORD level = 4, read = 0;
  ASSERT_EQ(RegSetValueExA(key, "Level", 0, REG_DWORD,
                           reinterpret_cast<const BYTE*>(&level), 4),
            ERROR_SUCCESS);
  cb = sizeof(read);
  EXPECT_EQ(RegQueryValueExA(key, "Level", nullptr, &type,
                             reinterpret_cast<BYTE*>(&read), &cb),
            ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(read, 4u);
  RegCloseKey(key);
}

TEST_F(RegistryTest, KeysAreCaseInsensitiveAndSharedThroughTheFile) {
  HKEY key = Create("SOFTWARE\\Kavex OPC");
  ASSERT_EQ(SetString(key, "Logging Level", "5"), ERROR_SUCCESS);
  RegCloseKey(key);

  // Another process's view: the text file itself.
  std::string text = ReadHive();
  EXPECT_NE(text.find("[SOFTWARE\\Kavex OPC]"), std::string::npos) << text;
  EXPECT_NE(text.find("\"Logging Level\"=sz:\"5\""), std::string::npos);

  HKEY again = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\KAVEX OPC", 0,
                          KEY_READ, &again),
            ERROR_SUCCESS);
  EXPECT_EQ(GetString(again, "LOGGING LEVEL"), std::string("5", 2));

  // An edit made on disk by someone else is seen on the next call.
  std::string edited = text;
  edited.replace(edited.find("sz:\"5\""), 6, "sz:\"6\"");
  WriteHive(edited);
  EXPECT_EQ(GetString(again, "Logging Level"), std::string("6", 2));
  RegCloseKey(again);

  HKEY missing = reinterpret_cast<HKEY>(1);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Nobody", 0, KEY_READ,
                          &missing),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(missing, nullptr);
  EXPECT_EQ(
      RegOpenKeyExA(HKEY_LOCAL_MACHINE, "\\SOFTWARE", 0, KEY_READ, &missing),
      ERROR_BAD_PATHNAME);
  // The classes root is a separate file.
  EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "SOFTWARE", 0, KEY_READ, &missing),
            ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, CreateMakesParentsAndReportsTheDisposition) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  ASSERT_EQ(
      RegCreateKeyExA(HKEY_CLASSES_ROOT,
                      "CLSID\\{1A23B247-C9CF-43F5-A7AE-6B1FF4BDB52A}"
                      "\\InprocServer32",
                      0, nullptr, 0, KEY_WRITE, nullptr, &key, &disposition),
      ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  RegCloseKey(key);
  ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, "clsid", 0, nullptr, 0,
                            KEY_WRITE, nullptr, &key, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);

  // Relative to an open key; enumeration lists it with its stored case.
  HKEY sub = nullptr;
  ASSERT_EQ(RegCreateKeyExA(key, "Zeta", 0, nullptr, 0, KEY_WRITE, nullptr,
                            &sub, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(sub);
  // Sorted without regard to case: "Zeta" before "{" as on Windows.
  char name[64];
  DWORD cch = sizeof(name);
  ASSERT_EQ(
      RegEnumKeyExA(key, 0, name, &cch, nullptr, nullptr, nullptr, nullptr),
      ERROR_SUCCESS);
  EXPECT_STREQ(name, "Zeta");
  EXPECT_EQ(cch, 4u);
  cch = 38;  // 38 characters need 39 with the NUL
  EXPECT_EQ(
      RegEnumKeyExA(key, 1, name, &cch, nullptr, nullptr, nullptr, nullptr),
      ERROR_MORE_DATA);
  cch = 39;
  ASSERT_EQ(
      RegEnumKeyExA(key, 1, name, &cch, nullptr, nullptr, nullptr, nullptr),
      ERROR_SUCCESS);
  EXPECT_STREQ(name, "{1A23B247-C9CF-43F5-A7AE-6B1FF4BDB52A}");
  cch = sizeof(name);
  EXPECT_EQ(
      RegEnumKeyExA(key, 2, name, &cch, nullptr, nullptr, nullptr, nullptr),
      ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(RegCreateKeyExA(key, "Bad\x01Name", 0, nullptr, 0, KEY_WRITE,
                            nullptr, &sub, nullptr),
            ERROR_BAD_PATHNAME);
  RegCloseKey(key);
}

TEST_F(RegistryTest, DeleteKeyRefusesSubkeysAndDeleteTreeTakesAll) {
  HKEY key = Create("SOFTWARE\\Kavex OPC\\Inner\\Deep");
  RegCloseKey(key);
  HKEY kavex = Create("SOFTWARE\\Kavex OPC");
  ASSERT_EQ(SetString(kavex, "Keep", "x"), ERROR_SUCCESS);

  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kavex OPC\\Inner"),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyA(kavex, "Inner\\Deep"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(kavex, "Inner\\Deep"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyA(kavex, "Inner"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, ""), ERROR_ACCESS_DENIED);

  Create("SOFTWARE\\Kavex OPC\\A\\B");
  // No sub key: the values and subkeys go, the key stays.
  EXPECT_EQ(RegDeleteTreeA(kavex, nullptr), ERROR_SUCCESS);
  DWORD subkeys = 9, values = 9;
  EXPECT_EQ(
      RegQueryInfoKeyA(kavex, &subkeys, nullptr, &values, nullptr, nullptr),
      ERROR_SUCCESS);
  EXPECT_EQ(subkeys, 0u);
  EXPECT_EQ(values, 0u);

  Create("SOFTWARE\\Kavex OPC\\A\\B");
  EXPECT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SOFTWARE"), ERROR_SUCCESS);
  // A handle to a deleted key says so.
  EXPECT_EQ(SetString(kavex, "x", "y"), ERROR_KEY_DELETED);
  RegCloseKey(kavex);
  EXPECT_EQ(RegCloseKey(kavex), ERROR_INVALID_HANDLE);
  EXPECT_EQ(ReadHive().find("SOFTWARE"), std::string::npos);
}

TEST_F(RegistryTest, DeleteAndEnumerateValues) {
  HKEY key = Create("SOFTWARE\\Kavex OPC");
  SetString(key, "b", "2");
  SetString(key, "a", "1");
  SetString(key, "B", "3");  // same value as "b": keeps its place
  char name[8];
  DWORD cch = sizeof(name), type = 0, cb = 0;
  ASSERT_EQ(RegEnumValueA(key, 0, name, &cch, nullptr, &type, nullptr, &cb),
            ERROR_SUCCESS);
  EXPECT_STREQ(name, "b");
  EXPECT_EQ(cb, 2u);
  BYTE data[2];
  cch = sizeof(name);
  cb = sizeof(data);
  ASSERT_EQ(RegEnumValueA(key, 1, name, &cch, nullptr, &type, data, &cb),
            ERROR_SUCCESS);
  EXPECT_STREQ(name, "a");
  EXPECT_EQ(data[0], '1');
  cch = sizeof(name);
  EXPECT_EQ(
      RegEnumValueA(key, 2, name, &cch, nullptr, nullptr, nullptr, nullptr),
      ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(RegDeleteValueA(key, "A"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(key, "a"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(GetString(key, "b"), std::string("3", 2));
  RegCloseKey(key);
}

TEST_F(RegistryTest, WideFunctionsConvertStringsBothWays) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, u"KavexOPCServer.Server\\CLSID",
                            0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  const char16_t clsid[] = u"{79910CD7-CD3A-415F-9CE5-A178A44EB618}";
  ASSERT_EQ(RegSetValueExW(key, nullptr, 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(clsid), sizeof(clsid)),
            ERROR_SUCCESS);
  // Read back in 8-bit form: 38 characters and the NUL.
  EXPECT_EQ(GetString(key, nullptr),
            std::string("{79910CD7-CD3A-415F-9CE5-A178A44EB618}", 39));
  // And in UTF-16, sized in bytes.
  DWORD cb = 0;
  ASSERT_EQ(RegQueryValueExW(key, u"", nullptr, nullptr, nullptr, &cb),
            ERROR_SUCCESS);
  EXPECT_EQ(cb, sizeof(clsid));

  const char accented[] = "Caf\xc3\xa9";
  ASSERT_EQ(SetString(key, "Name", accented), ERROR_SUCCESS);
  char16_t wide[16] = {};
  cb = sizeof(wide);
  ASSERT_EQ(RegQueryValueExW(key, u"name", nullptr, nullptr,
                             reinterpret_cast<BYTE*>(wide), &cb),
            ERROR_SUCCESS);
  EXPECT_EQ(cb, 5u * 2);
  EXPECT_EQ(std::u16string(wide), u"Caf\u00e9");

  char16_t wname[8];
  DWORD cch = 8;
  ASSERT_EQ(
      RegEnumValueW(key, 1, wname, &cch, nullptr, nullptr, nullptr, nullptr),
      ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(wname), u"Name");
  EXPECT_EQ(RegDeleteTreeW(HKEY_CLASSES_ROOT, u"KavexOPCServer.Server"),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

TEST_F(RegistryTest, DamagedFileGivesBadDbAndIsNeverOverwritten) {
  const std::string damaged =
      "[SOFTWARE\\Kavex OPC]\n"
      "\"Configuration File\"=sz:\"/etc/kavex-opc/Config.xml\"\n"
      "\"Broken\"=sz:\"no closing quote\n";
  WriteHive(damaged);
  testing::internal::CaptureStderr();
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kavex OPC", 0,
                          KEY_READ, &key),
            ERROR_BADDB);
  EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Other", 0, nullptr,
                            0, KEY_WRITE, nullptr, &key, nullptr),
            ERROR_BADDB);
  EXPECT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SOFTWARE"), ERROR_BADDB);
  std::string message = testing::internal::GetCapturedStderr();
  EXPECT_NE(message.find(HivePath() + ":3:"), std::string::npos) << message;
  EXPECT_EQ(ReadHive(), damaged);

  // The other hive is unaffected; once repaired, all works again.
  HKEY classes = Create("CLSID", HKEY_CLASSES_ROOT);
  RegCloseKey(classes);
  WriteHive(damaged.substr(0, damaged.find("\"Broken\"")));
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kavex OPC", 0,
                          KEY_READ, &key),
            ERROR_SUCCESS);
  EXPECT_EQ(GetString(key, "Configuration File"),
            std::string("/etc/kavex-opc/Config.xml", 26));
  RegCloseKey(key);
}

TEST_F(RegistryTest, ConcurrentWritersInSeveralProcessesLoseNothing) {
  constexpr int kChildren = 6;
  constexpr int kValuesEach = 15;
  HKEY key = Create("SOFTWARE\\Kavex OPC\\Shared");
  RegCloseKey(key);
  std::vector<pid_t> children;
  for (int child = 0; child < kChildren; ++child) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int failures = 0;
      HKEY mine = nullptr;
      if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kavex OPC\\Shared", 0,
                        KEY_WRITE, &mine) != ERROR_SUCCESS)
        _exit(100);
      for (int i = 0; i < kValuesEach; ++i) {
        std::string name =
            "v" + std::to_string(child) + "_" + std::to_string(i);
        DWORD data = static_cast<DWORD>(child * 1000 + i);
        if (RegSetValueExA(mine, name.c_str(), 0, REG_DWORD,
                           reinterpret_cast<const BYTE*>(&data),
                           4) != ERROR_SUCCESS)
          ++failures;
        // Interleave reads so the caches are exercised too.
        DWORD type, cb = 0;
        RegQueryValueExA(mine, name.c_str(), nullptr, &type, nullptr, &cb);
      }
      _exit(failures);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kavex OPC\\Shared", 0,
                          KEY_READ, &key),
            ERROR_SUCCESS);
  DWORD values = 0;
  ASSERT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, &values, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(values, static_cast<DWORD>(kChildren * kValuesEach));
  for (int child = 0; child < kChildren; ++child) {
    for (int i = 0; i < kValuesEach; ++i) {
      std::string name = "v" + std::to_string(child) + "_" + std::to_string(i);
      DWORD data = 0, cb = 4;
      ASSERT_EQ(RegQueryValueExA(key, name.c_str(), nullptr, nullptr,
                                 reinterpret_cast<BYTE*>(&data), &cb),
                ERROR_SUCCESS)
          << name;
      EXPECT_EQ(data, static_cast<DWORD>(child * 1000 + i));
    }
  }
  RegCloseKey(key);
}

TEST_F(RegistryTest, ThreadsOfOneProcessShareHandlesSafely) {
  HKEY key = Create("SOFTWARE\\Kavex OPC");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([key, t] {
      for (int i = 0; i < 10; ++i) {
        std::string name = "t" + std::to_string(t) + "_" + std::to_string(i);
        EXPECT_EQ(SetString(key, name.c_str(), "x"), ERROR_SUCCESS);
      }
    });
  }
  for (auto& t : threads) t.join();
  DWORD values = 0;
  RegQueryInfoKeyA(key, nullptr, nullptr, &values, nullptr, nullptr);
  EXPECT_EQ(values, 40u);
  RegCloseKey(key);
}

TEST_F(RegistryTest, UnwritableRootFailsCleanly) {
  setenv("KAVEX_REGISTRY_ROOT", "/proc/kavex-no-such-dir", 1);
  HKEY key = nullptr;
  EXPECT_NE(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, nullptr, 0,
                            KEY_WRITE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(key, nullptr);
  // Reading a hive that does not exist yet: an empty hive.
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
}

}  // namespace
}  // namespace kavex::registry
