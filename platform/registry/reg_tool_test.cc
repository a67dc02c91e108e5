// kavex-reg: command lines, output and exit codes.
#include "platform/registry/reg_tool.h"

#include <stdio.h>

#include <sstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/registry/registry.h"
#include "platform/registry/registry_test_util.h"

namespace kavex::registry {
namespace {

class RegToolTest : public RegistryRootTest {
 protected:
  int Run(std::vector<std::string> args, const std::string& input = "") {
    std::istringstream in(input);
    std::ostringstream out, err;
    int rc = RunRegTool(args, in, out, err);
    out_ = out.str();
    err_ = err.str();
    return rc;
  }
  std::string out_, err_;
};

TEST_F(RegToolTest, AddQueryAndDeleteValues) {
  ASSERT_EQ(Run({"add", "HKLM\\SOFTWARE\\Kavex OPC", "/v", "Configuration File",
                 "/d", "/etc/kavex-opc/Config.xml"}),
            0)
      << err_;
  ASSERT_EQ(Run({"add", "HKEY_LOCAL_MACHINE\\SOFTWARE\\Kavex OPC", "/v",
                 "Count", "/t", "REG_DWORD", "/d", "0x2A"}),
            0)
      << err_;
  // The value is stored as the device expects it: REG_SZ with its NUL.
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kavex OPC", 0,
                          KEY_READ, &key),
            ERROR_SUCCESS);
  DWORD type = 0, cb = 0;
  ASSERT_EQ(
      RegQueryValueExA(key, "Configuration File", nullptr, &type, nullptr, &cb),
      ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(cb, 26u);
  RegCloseKey(key);

  ASSERT_EQ(Run({"query", "hklm\\software\\kavex opc"}), 0) << err_;
  EXPECT_NE(out_.find("Configuration File    REG_SZ    "
                      "/etc/kavex-opc/Config.xml\n"),
            std::string::npos)
      << out_;
  EXPECT_NE(out_.find("Count    REG_DWORD    0x2a\n"), std::string::npos);
  ASSERT_EQ(Run({"query", "HKLM\\SOFTWARE\\Kavex OPC", "/v", "Count"}), 0);
  EXPECT_EQ(out_,
            "HKEY_LOCAL_MACHINE\\SOFTWARE\\Kavex OPC\n"
            "    Count    REG_DWORD    0x2a\n");

  // Overwriting asks first; "no" (or no answer) keeps the value.
  EXPECT_EQ(Run({"add", "HKLM\\SOFTWARE\\Kavex OPC", "/v", "Count", "/t",
                 "REG_DWORD", "/d", "7"},
                "no\n"),
            1);
  EXPECT_EQ(Run({"add", "HKLM\\SOFTWARE\\Kavex OPC", "/v", "Count", "/t",
                 "REG_DWORD", "/d", "7"},
                "yes\n"),
            0);
  ASSERT_EQ(Run({"query", "HKLM\\SOFTWARE\\Kavex OPC", "/v", "count"}), 0);
  EXPECT_NE(out_.find("0x7"), std::string::npos);

  EXPECT_EQ(Run({"delete", "HKLM\\SOFTWARE\\Kavex OPC", "/v", "Count"}), 1);
  EXPECT_EQ(Run({"delete", "HKLM\\SOFTWARE\\Kavex OPC", "/v", "Count", "/f"}),
            0);
  EXPECT_EQ(Run({"query", "HKLM\\SOFTWARE\\Kavex OPC", "/v", "Count"}), 1);
  EXPECT_NE(err_.find("not found"), std::string::npos) << err_;
}

TEST_F(RegToolTest, KeysAndSubkeys) {
  ASSERT_EQ(Run({"add", "HKCR\\CLSID\\{X}\\InprocServer32", "/ve", "/d",
                 "/usr/lib/kavex/device.so"}),
            0);
  ASSERT_EQ(Run({"add", "HKCR\\CLSID\\{X}\\Programmable"}), 0);
  ASSERT_EQ(Run({"query", "HKCR\\CLSID\\{X}"}), 0);
  EXPECT_NE(out_.find("HKEY_CLASSES_ROOT\\CLSID\\{X}\\InprocServer32\n"),
            std::string::npos)
      << out_;
  ASSERT_EQ(Run({"query", "HKCR\\CLSID", "/s"}), 0);
  EXPECT_NE(out_.find("    (Default)    REG_SZ    /usr/lib/kavex/device.so"),
            std::string::npos)
      << out_;
  EXPECT_EQ(Run({"delete", "HKCR\\CLSID\\{X}"}, "y\n"), 0);
  EXPECT_EQ(Run({"query", "HKCR\\CLSID\\{X}"}), 1);
  EXPECT_EQ(Run({"delete", "HKCR", "/f"}), 1);  // never a whole hive
}

TEST_F(RegToolTest, HelpAndVersion) {
  EXPECT_EQ(Run({"--help"}), 0);
  EXPECT_NE(out_.find("kavex-reg"), std::string::npos);
  EXPECT_EQ(Run({"--version"}), 0);
  EXPECT_EQ(out_, "kavex-reg " KAVEX_VERSION "\n");
  EXPECT_NE(Run({"--version", "x"}), 0);
}

TEST_F(RegToolTest, BadCommandLinesAreExplained) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"query"},
      {"frobnicate", "HKLM\\X"},
      {"query", "HKCU\\Software"},
      {"add", "HKLM\\X", "/v"},
      {"add", "HKLM\\X", "/v", "n", "/t", "REG_DWORD", "/d", "-1"},
      {"add", "HKLM\\X", "/v", "n", "/t", "REG_DWORD", "/d", "4294967296"},
      {"add", "HKLM\\X", "/v", "n", "/t", "REG_DWORD", "/d", "12abc"},
      {"add", "HKLM\\X", "/v", "n", "/t", "REG_QWORD", "/d", "1"},
      {"add", "HKLM\\X", "/d", "data without a value name"},
      {"query", "HKLM\\X", "/f"},
      {"delete", "HKLM\\X", "/v", "a", "/ve"},
  };
  for (const auto& args : bad) {
    EXPECT_EQ(Run(args), 2) << (args.empty() ? "" : args[0]);
    EXPECT_NE(err_.find("kavex-reg: "), std::string::npos);
  }
  EXPECT_TRUE(ReadHive().empty());  // nothing was written
}

TEST_F(RegToolTest, ToolRunsAsAProgramAgainstTheSameFiles) {
  std::string tool = KAVEX_REG_TOOL;
  std::string add = tool +
                    " add 'HKLM\\SOFTWARE\\Kavex OPC' /v 'Logging Level' "
                    "/d 4 /f 2>&1";
  FILE* pipe = popen(add.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char line[256] = {};
  std::string output;
  while (fgets(line, sizeof(line), pipe)) output += line;
  EXPECT_EQ(pclose(pipe), 0) << output;

  // This process sees the tool's write...
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kavex OPC", 0,
                          KEY_ALL_ACCESS, &key),
            ERROR_SUCCESS);
  char text[8] = {};
  DWORD cb = sizeof(text);
  ASSERT_EQ(RegQueryValueExA(key, "Logging Level", nullptr, nullptr,
                             reinterpret_cast<BYTE*>(text), &cb),
            ERROR_SUCCESS);
  EXPECT_EQ(std::string(text, cb), std::string("4", 2));
  const char expand[] = "%KAVEX%/x";
  ASSERT_EQ(
      RegSetValueExA(key, "Path", 0, REG_EXPAND_SZ,
                     reinterpret_cast<const BYTE*>(expand), sizeof(expand)),
      ERROR_SUCCESS);
  RegCloseKey(key);

  // ...and the tool sees this process's.
  std::string query = tool + " query 'HKLM\\SOFTWARE\\Kavex OPC' 2>&1";
  pipe = popen(query.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  output.clear();
  while (fgets(line, sizeof(line), pipe)) output += line;
  EXPECT_EQ(pclose(pipe), 0) << output;
  EXPECT_NE(output.find("Logging Level    REG_SZ    4\n"), std::string::npos)
      << output;
  EXPECT_NE(output.find("Path    REG_EXPAND_SZ    %KAVEX%/x\n"),
            std::string::npos)
      << output;

  std::string missing = tool + " query 'HKLM\\SOFTWARE\\Nothing' 2>&1";
  pipe = popen(missing.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  output.clear();
  while (fgets(line, sizeof(line), pipe)) output += line;
  int status = pclose(pipe);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_NE(output.find("HKEY_LOCAL_MACHINE\\SOFTWARE\\Nothing: not found"),
            std::string::npos)
      << output;
}

}  // namespace
}  // namespace kavex::registry
