#include "server/program/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kavex::server {
namespace {

ProgramAction Parse(std::vector<const char*> args) {
  args.insert(args.begin(), "kavex-opc-server");
  return ParseCommandLine(static_cast<int>(args.size()), args.data());
}

TEST(CommandLineTest, SwitchesInAnyCaseAfterDashOrSlash) {
  for (const char* token :
       {"-RegServer", "/RegServer", "-regserver", "/REGSERVER", "-rEgSeRvEr"})
    EXPECT_EQ(Parse({token}), ProgramAction::kRegServer) << token;
  for (const char* token : {"-UnregServer", "/unregserver", "/UNREGSERVER"})
    EXPECT_EQ(Parse({token}), ProgramAction::kUnregServer) << token;
  for (const char* token : {"-Service", "/service", "/SERVICE"})
    EXPECT_EQ(Parse({token}), ProgramAction::kService) << token;
}

TEST(CommandLineTest, FirstRecognisedTokenDecides) {
  EXPECT_EQ(Parse({"/Service", "/RegServer"}), ProgramAction::kService);
  EXPECT_EQ(Parse({"/UnregServer", "/Service"}), ProgramAction::kUnregServer);
  EXPECT_EQ(Parse({"/Embedding", "-x", "/RegServer", "/Service"}),
            ProgramAction::kRegServer);
  EXPECT_EQ(Parse({"/Service", "--help"}), ProgramAction::kService);
  EXPECT_EQ(Parse({"--help", "/Service"}), ProgramAction::kHelp);
  EXPECT_EQ(Parse({"--version"}), ProgramAction::kVersion);
}

TEST(CommandLineTest, AnythingElseStarts) {
  EXPECT_EQ(Parse({}), ProgramAction::kStart);
  const std::string long_token(100000, 'R');
  for (const char* token :
       {"RegServer", "--RegServer", "/RegServerX", "/Reg", "-", "/", "",
        "\\RegServer", "/Reg Server", "-Embedding", long_token.c_str()})
    EXPECT_EQ(Parse({token}), ProgramAction::kStart) << token;
  const char* with_null[] = {"kavex-opc-server", nullptr, "/service"};
  EXPECT_EQ(ParseCommandLine(3, with_null), ProgramAction::kService);
}

}  // namespace
}  // namespace kavex::server
