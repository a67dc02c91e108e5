#include "platform/service/unit_file.h"

#include <gtest/gtest.h>

#include "platform/base/results.h"
#include "platform/service/service_names.h"

namespace kavex::service {
namespace {

TEST(UnitFileTest, TheServerUnitIsPinned) {
  UnitSpec spec;
  spec.description = kServerServiceName;
  spec.command = {"/usr/lib/kavex-opc/kavex-opc-server"};
  UnitDependency rpcss;
  ASSERT_TRUE(DependencyForServiceName("RPCSS", &rpcss));
  spec.dependencies = {rpcss};
  spec.environment = {{"KAVEX_REGISTRY_ROOT", "/srv/kavex/registry"}};
  std::string text;
  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GenerateUnitText(spec, &text));
  EXPECT_EQ(
      "# Written when the service was registered; registering it again\n"
      "# rewrites this file and removing it deletes the file.\n"
      "[Unit]\n"
      "Description=Kavex OPC Server\n"
      "After=network.target\n"
      "StartLimitIntervalSec=60\n"
      "StartLimitBurst=3\n"
      "\n"
      "[Service]\n"
      "Type=notify\n"
      "NotifyAccess=main\n"
      "ExecStart=\"/usr/lib/kavex-opc/kavex-opc-server\"\n"
      "Environment=\"KAVEX_REGISTRY_ROOT=/srv/kavex/registry\"\n"
      "Restart=on-abnormal\n"
      "RestartSec=5s\n"
      "DynamicUser=yes\n"
      "AmbientCapabilities=CAP_NET_RAW\n"
      "CapabilityBoundingSet=CAP_NET_RAW\n"
      "NoNewPrivileges=yes\n"
      "ProtectSystem=strict\n"
      "ProtectHome=yes\n"
      "ProtectKernelTunables=yes\n"
      "ProtectKernelModules=yes\n"
      "ProtectControlGroups=yes\n"
      "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6 AF_NETLINK AF_PACKET\n"
      "ReadOnlyPaths=-/etc/kavex-opc\n"
      "LogsDirectory=kavex-opc\n"
      "WorkingDirectory=/var/log/kavex-opc\n"
      "\n"
      "[Install]\n"
      "WantedBy=multi-user.target\n",
      text);
}

TEST(UnitFileTest, TheServerUnitTakesItsSocketsAndTheAccountsCredential) {
  UnitSpec spec;
  spec.description = kServerServiceName;
  spec.command = {"/usr/sbin/kavex-opc-server"};
  UnitDependency rpcss;
  ASSERT_TRUE(DependencyForServiceName("RPCSS", &rpcss));
  spec.dependencies = {rpcss};
  AddUnitResources(kServerUnitName, &spec);
  std::string text;
  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GenerateUnitText(spec, &text));
  for (const char* line : {"After=network.target kavex-opc-server.socket\n",
                           "Requires=kavex-opc-server.socket\n",
                           "Sockets=kavex-opc-server.socket\n",
                           "LoadCredential=accounts:/etc/kavex-opc/accounts\n",
                           "DynamicUser=yes\n"}) {
    EXPECT_NE(std::string::npos, text.find(line)) << line << text;
  }
  // The service is started by the socket; its own user needs no right to
  // bind the privileged port.
  EXPECT_EQ(std::string::npos, text.find("CAP_NET_BIND_SERVICE"));

  UnitSpec other;
  AddUnitResources("other.service", &other);
  EXPECT_TRUE(other.sockets.empty());
  EXPECT_TRUE(other.credentials.empty());

  // Specifiers in a credential's path are passed on literally.
  UnitSpec percent = spec;
  percent.credentials = {{"accounts", "/srv/50%/accounts"}};
  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
            GenerateUnitText(percent, &text));
  EXPECT_NE(std::string::npos,
            text.find("LoadCredential=accounts:/srv/50%%/accounts\n"));
}

TEST(UnitFileTest, SpecialCharactersReachTheProgramUnchanged) {
  UnitSpec spec;
  spec.description = "100% up";
  spec.command = {"/opt/kavex opc/server", "a\"b", "c\\d", "50%", "$HOME", ""};
  spec.environment = {{"X", "1$ 2% \"3\""}};
  UnitDependency server;
  ASSERT_TRUE(DependencyForServiceName("kavex opc server", &server));
  spec.dependencies = {server};
  std::string text;
  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GenerateUnitText(spec, &text));
  EXPECT_NE(std::string::npos, text.find("Description=100%% up\n"));
  EXPECT_NE(std::string::npos,
            text.find("ExecStart=\"/opt/kavex opc/server\" \"a\\\"b\" "
                      "\"c\\\\d\" \"50%%\" \"$$HOME\" \"\"\n"));
  EXPECT_NE(std::string::npos,
            text.find("Environment=\"X=1$ 2%% \\\"3\\\"\"\n"));
  EXPECT_NE(std::string::npos,
            text.find("After=kavex-opc-server.service\n"
                      "Requires=kavex-opc-server.service\n"));
}

TEST(UnitFileTest, SpecsThatCannotBeWrittenSafelyAreRefused) {
  struct Case {
    const char* what;
    UnitSpec spec;
  };
  auto base = [] {
    UnitSpec spec;
    spec.description = "Kavex OPC Server";
    spec.command = {"/usr/bin/server"};
    return spec;
  };
  std::vector<Case> cases;
  cases.push_back({"no command", base()});
  cases.back().spec.command.clear();
  cases.push_back({"relative program", base()});
  cases.back().spec.command = {"server"};
  cases.push_back({"empty program", base()});
  cases.back().spec.command = {""};
  cases.push_back({"line break in an argument", base()});
  cases.back().spec.command = {"/usr/bin/server", "x\nExecStartPre=/bin/sh"};
  cases.push_back({"carriage return in the program", base()});
  cases.back().spec.command = {"/usr/bin/ser\rver"};
  cases.push_back({"NUL in an argument", base()});
  cases.back().spec.command = {"/usr/bin/server", std::string("a\0b", 3)};
  cases.push_back({"line break in the description", base()});
  cases.back().spec.description = "x\n[Service]";
  cases.push_back({"empty description", base()});
  cases.back().spec.description = "";
  cases.push_back({"line break in a value", base()});
  cases.back().spec.environment = {{"A", "1\nUser=root"}};
  cases.push_back({"bad variable name", base()});
  cases.back().spec.environment = {{"A=B", "1"}};
  cases.push_back({"variable name starting with a digit", base()});
  cases.back().spec.environment = {{"1A", "1"}};
  cases.push_back({"dependency that is no unit", base()});
  cases.back().spec.dependencies = {{"../../etc/passwd", ""}};
  cases.push_back({"required unit that is no unit", base()});
  cases.back().spec.dependencies = {{"network.target", "a b.service"}};
  cases.push_back({"socket that is a service", base()});
  cases.back().spec.sockets = {"kavex-opc-server.service"};
  cases.push_back({"socket with a line break", base()});
  cases.back().spec.sockets = {"a.socket\nUser=root"};
  cases.push_back({"credential id with a slash", base()});
  cases.back().spec.credentials = {{"../accounts", "/etc/kavex-opc/accounts"}};
  cases.push_back({"empty credential id", base()});
  cases.back().spec.credentials = {{"", "/etc/kavex-opc/accounts"}};
  cases.push_back({"credential id with a colon", base()});
  cases.back().spec.credentials = {{"a:b", "/etc/kavex-opc/accounts"}};
  cases.push_back({"relative credential path", base()});
  cases.back().spec.credentials = {{"accounts", "accounts"}};
  cases.push_back({"credential path with a line break", base()});
  cases.back().spec.credentials = {{"accounts", "/etc/a\nUser=root"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string text = "untouched";
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
              GenerateUnitText(c.spec, &text));
    EXPECT_EQ("untouched", text);
  }
}

TEST(UnitFileTest, CommandLinesSplitByTheWindowsRules) {
  struct Case {
    const char* line;
    std::vector<std::string> words;
  };
  const Case cases[] = {
      {"\"/usr/lib/kavex opc/server\"", {"/usr/lib/kavex opc/server"}},
      {"/usr/bin/server", {"/usr/bin/server"}},
      {"  /a   b\tc  ", {"/a", "b", "c"}},
      {"", {}},
      {"/a \"\"", {"/a", ""}},
      {"/a x\"y z\"w", {"/a", "xy zw"}},
      {"/a \\\\\\\"q", {"/a", "\\\"q"}},    // 3 backslashes + quote
      {"/a \\\\\"q r\"", {"/a", "\\q r"}},  // 2 backslashes + quote
      {"/a b\\c", {"/a", "b\\c"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    std::vector<std::string> words = {"stale"};
    ASSERT_TRUE(SplitCommandLine(c.line, &words));
    EXPECT_EQ(c.words, words);
  }
  std::vector<std::string> words;
  EXPECT_FALSE(SplitCommandLine("\"/usr/bin/server", &words));
  EXPECT_FALSE(SplitCommandLine("/a \\\\\"open", &words));
}

TEST(ServiceNamesTest, NamesMapToUnitsAndHostileNamesAreRefused) {
  std::string unit;
  ASSERT_TRUE(UnitForServiceName("Kavex OPC Server", &unit));
  EXPECT_EQ("kavex-opc-server.service", unit);
  ASSERT_TRUE(UnitForServiceName("KAVEX opc server", &unit));
  EXPECT_EQ("kavex-opc-server.service", unit);
  ASSERT_TRUE(UnitForServiceName("systemd-journald", &unit));
  EXPECT_EQ("systemd-journald.service", unit);
  ASSERT_TRUE(UnitForServiceName("getty@tty1.service", &unit));
  EXPECT_EQ("getty@tty1.service", unit);
  EXPECT_EQ("Kavex OPC Server", ServiceNameForUnit("kavex-opc-server.service"));
  EXPECT_EQ("x.service", ServiceNameForUnit("x.service"));

  const std::string hostile[] = {
      "",
      ".service",
      "../etc/passwd",
      "a/b",
      "Kavex OPC Serverx",
      std::string("Kavex OPC Server\0x", 18),
      std::string("a\0b", 3),
      "a b",
      "x\n",
      ".hidden",
      "-option",
      std::string(300, 'a'),
      "caf\xc3\xa9",
  };
  for (const std::string& name : hostile) {
    SCOPED_TRACE(name);
    unit = "untouched";
    EXPECT_FALSE(UnitForServiceName(name, &unit));
    EXPECT_EQ("untouched", unit);
  }

  UnitDependency dep;
  ASSERT_TRUE(DependencyForServiceName("rpcss", &dep));
  EXPECT_EQ("network.target", dep.after);
  EXPECT_EQ("", dep.requires_unit);
  EXPECT_FALSE(DependencyForServiceName("LanmanServer", &dep));
  EXPECT_FALSE(DependencyForServiceName("+NetworkProvider", &dep));
}

}  // namespace
}  // namespace kavex::service
