// The command line as users type it: each command with its items and
// options, and a table of bad lines that must each give a usage message
// (exit code 2 from the program), never a guess.
#include "tools/opc_client/command_line.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace kavex::opc_client {
namespace {

Options Parse(std::vector<std::string> args) {
  Options options;
  std::string error;
  EXPECT_TRUE(ParseCommandLine(args, &options, &error)) << error;
  return options;
}

TEST(CommandLine, CommandsItemsAndOptions) {
  Options o = Parse({"--host", "10.0.0.7", "--port", "1135", "--user", "opc",
                     "--domain", "KAVEX", "--password", "p w", "read", "A.B",
                     "C"});
  EXPECT_EQ(o.command, Command::kRead);
  EXPECT_EQ(o.host, "10.0.0.7");
  EXPECT_EQ(o.port, 1135);
  EXPECT_EQ(o.user, "opc");
  EXPECT_EQ(o.domain, "KAVEX");
  ASSERT_TRUE(o.password.has_value());
  EXPECT_EQ(*o.password, "p w");
  EXPECT_EQ(o.items, (std::vector<std::string>{"A.B", "C"}));
  EXPECT_TRUE(o.from_device);  // read defaults to the device

  o = Parse({"watch", "X", "--interval", "250", "--count", "3"});
  EXPECT_EQ(o.command, Command::kWatch);
  EXPECT_EQ(o.interval_ms, 250u);
  EXPECT_EQ(o.count, 3u);
  EXPECT_FALSE(o.from_device);  // watch polls the cache
  EXPECT_FALSE(o.password.has_value());
  EXPECT_EQ(o.host, "127.0.0.1");
  EXPECT_EQ(o.port, 135);
  EXPECT_FALSE(o.table);  // lines unless asked
  EXPECT_TRUE(Parse({"watch", "--layout", "table", "X"}).table);
  EXPECT_FALSE(Parse({"watch", "--layout", "lines", "X"}).table);

  o = Parse({"read", "--source", "cache", "X"});
  EXPECT_FALSE(o.from_device);
  o = Parse({"write", "W.I4=12", "T=a=b", "E="});
  EXPECT_EQ(o.items, (std::vector<std::string>{"W.I4", "T", "E"}));
  EXPECT_EQ(o.values, (std::vector<std::string>{"12", "a=b", ""}));
  o = Parse({"browse", "--filter", "SW1*"});
  EXPECT_EQ(o.command, Command::kBrowse);
  EXPECT_EQ(o.filter, "SW1*");
  EXPECT_EQ(Parse({"servers"}).command, Command::kServers);
  EXPECT_EQ(Parse({"--server", "Other.Server", "status"}).server,
            "Other.Server");
  EXPECT_TRUE(Parse({"status", "--help"}).help);
  EXPECT_TRUE(Parse({"--version"}).version);
}

TEST(CommandLine, BadLinesAreUsageErrors) {
  const struct {
    std::vector<std::string> args;
    const char* message;
  } kCases[] = {
      {{}, "no command"},
      {{"frobnicate"}, "unknown command"},
      {{"read"}, "at least one item"},
      {{"watch"}, "at least one item"},
      {{"status", "extra"}, "takes no arguments"},
      {{"servers", "x"}, "takes no arguments"},
      {{"write", "NoEquals"}, "ITEM=VALUE"},
      {{"write", "=5"}, "ITEM=VALUE"},
      {{"status", "--port"}, "needs a value"},
      {{"status", "--port", "0"}, "--port must be"},
      {{"status", "--port", "65536"}, "--port must be"},
      {{"status", "--port", "-1"}, "--port must be"},
      {{"status", "--port", "12x"}, "--port must be"},
      {{"status", "--port", "99999999999999999999"}, "--port must be"},
      {{"watch", "X", "--interval", "5"}, "--interval must be"},
      {{"watch", "X", "--count", "many"}, "--count must be"},
      {{"status", "--timeout", "1"}, "--timeout must be"},
      {{"read", "X", "--source", "disk"}, "--source must be"},
      {{"watch", "X", "--layout", "grid"}, "--layout must be"},
      {{"read", "X", "--layout", "table"}, "--layout is for watch"},
      {{"status", "--host", ""}, "--host needs"},
      {{"status", "--server", ""}, "--server needs"},
      {{"status", "--colour", "red"}, "unknown option"},
  };
  for (const auto& c : kCases) {
    Options options;
    std::string error;
    EXPECT_FALSE(ParseCommandLine(c.args, &options, &error)) << c.message;
    EXPECT_NE(error.find(c.message), std::string::npos)
        << "got: " << error << " want: " << c.message;
  }
}

std::string RunClient(const std::string& args, int* status) {
  std::string out;
  FILE* pipe = popen((std::string(KAVEX_OPC_CLIENT) + " " + args + " 2>&1")
                         .c_str(),
                     "r");
  if (!pipe) return out;
  char buffer[4096];
  while (fgets(buffer, sizeof buffer, pipe)) out += buffer;
  int raw = pclose(pipe);
  *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return out;
}

TEST(CommandLine, TheProgramsHelpVersionAndExitCodes) {
  int status = -1;
  std::string out = RunClient("--help", &status);
  EXPECT_EQ(status, kExitOk);
  for (const char* word : {"status", "browse", "read", "write", "watch",
                           "servers", "KAVEX_OPC_PASSWORD", "Exit codes"}) {
    EXPECT_NE(out.find(word), std::string::npos) << word;
  }
  EXPECT_EQ(RunClient("--version", &status),
            std::string("kavex-opc-client ") + KAVEX_VERSION + "\n");
  EXPECT_EQ(status, kExitOk);
  out = RunClient("read", &status);
  EXPECT_EQ(status, kExitUsage);
  EXPECT_NE(out.find("needs at least one item"), std::string::npos) << out;
  out = RunClient("--host plc.example status", &status);
  EXPECT_EQ(status, kExitUsage);
  EXPECT_NE(out.find("IPv4"), std::string::npos) << out;
  // A user with no password and no terminal: told where a password comes
  // from.
  out = RunClient("--user opc status < /dev/null", &status);
  EXPECT_EQ(status, kExitUsage);
  EXPECT_NE(out.find("no password"), std::string::npos) << out;
}

}  // namespace
}  // namespace kavex::opc_client
