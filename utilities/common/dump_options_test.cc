// The dump utilities' command line: prefix matching in order, echoes, the
// arguments /a and /p take, help, and arguments that match nothing.
#include "utilities/common/dump_options.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace kavex::utilities {
namespace {

const DumpProgramText kTapdump = {
    "Usage: TAPDUMP /a AdapterName [ options ]\r\n\n",
    "    Example: TAPDUMP /a \\Device\\Ne20002\n", true};
const DumpProgramText kBatchcap = {
    "Usage: BATCHCAP /a AdapterName [ options ]\r\n\n",
    "    Example: BATCHCAP /a \\Device\\Ne20002\n", false};

struct Parsed {
  bool run;
  DumpOptions options;
  std::string echo;
};

Parsed Parse(std::vector<std::string> args,
             const DumpProgramText& text = kTapdump) {
  args.insert(args.begin(), "tapdump");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  Parsed p;
  char* buffer = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&buffer, &size);
  p.run = ParseDumpOptions(static_cast<int>(args.size()), argv.data(), text,
                           &p.options, out);
  fclose(out);
  p.echo.assign(buffer, size);
  free(buffer);
  return p;
}

std::string Usage(const DumpProgramText& text) {
  char* buffer = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&buffer, &size);
  PrintDumpUsage(text, out);
  fclose(out);
  std::string usage(buffer, size);
  free(buffer);
  return usage;
}

TEST(DumpOptionsTest, EachOptionAndItsEcho) {
  struct Case {
    std::vector<std::string> args;
    std::string echo;
  };
  const Case cases[] = {
      {{"/q"}, "Display Mode: Quiet\n"},
      {{"-QUIET"}, "Display Mode: Quiet\n"},
      {{"/go"}, "Auto Run    : On\n"},
      {{"-Go"}, "Auto Run    : On\n"},
      {{"/g"}, ""},  // neither "go" nor anything else
      {{"/s"}, "Send Packets: On\n"},
      {{"/d"}, "Dump Filter : 1\n"},
      {{"/dd"}, "Dump Filter : 2\n"},
      {{"/DDD"}, "Dump Filter : 3\n"},
      {{"/dddd"}, "Dump Filter : 3\n"},
      {{"/dxd"}, "Dump Filter : 1\n"},
      {{"/le"}, "Loopback    : Enabled\n"},
      {{"/ld"}, "Loopback    : Disabled\n"},
      {{"/l"}, ""},
      {{"/a", "\\Device\\kvx1"}, ""},
      {{"/p", "tcp"}, "Protocol    : Transaction Control Protocol (TCP)\n"},
      {{"/x", "q", "/", "-", "", "plain"}, ""},
      {{"/q", "/go", "/ld", "/dd"},
       "Display Mode: Quiet\nAuto Run    : On\nLoopback    : Disabled\n"
       "Dump Filter : 2\n"},
  };
  for (const Case& c : cases) {
    Parsed p = Parse(c.args);
    EXPECT_TRUE(p.run) << c.args[0];
    EXPECT_EQ(p.echo, c.echo) << c.args[0];
  }
}

TEST(DumpOptionsTest, OptionsSetTheirValues) {
  Parsed p = Parse({"/q", "/go", "/s", "/ddd", "/ld", "/a", "\\Device\\kvx1",
                    "/p", "ip+arp"});
  EXPECT_TRUE(p.options.quiet);
  EXPECT_TRUE(p.options.auto_run);
  EXPECT_TRUE(p.options.send_packets);
  EXPECT_EQ(p.options.dump_level, 3);
  EXPECT_FALSE(p.options.loopback);
  EXPECT_EQ(p.options.adapter_name.value_or(""), "\\Device\\kvx1");
  EXPECT_EQ(p.options.filter.count(), 36u);

  Parsed defaults = Parse({});
  EXPECT_FALSE(defaults.options.quiet);
  EXPECT_FALSE(defaults.options.auto_run);
  EXPECT_FALSE(defaults.options.send_packets);
  EXPECT_EQ(defaults.options.dump_level, 0);
  EXPECT_TRUE(defaults.options.loopback);
  EXPECT_FALSE(defaults.options.adapter_name.has_value());
  EXPECT_TRUE(defaults.options.filter.empty());

  // The last of /le and /ld wins; /a takes the next argument whatever it is.
  EXPECT_TRUE(Parse({"/ld", "/le"}).options.loopback);
  EXPECT_EQ(Parse({"/a", "/q"}).options.adapter_name.value_or(""), "/q");
  EXPECT_FALSE(Parse({"/a", "/q"}).options.quiet);
  EXPECT_EQ(Parse({"-adapter", "x"}).options.adapter_name.value_or(""), "x");
}

TEST(DumpOptionsTest, MissingArgumentsLeaveNothing) {
  Parsed no_name = Parse({"/q", "/a"});
  EXPECT_TRUE(no_name.run);
  EXPECT_FALSE(no_name.options.adapter_name.has_value());
  Parsed no_list = Parse({"/p"});
  EXPECT_TRUE(no_list.run);
  EXPECT_TRUE(no_list.options.filter.empty());
}

TEST(DumpOptionsTest, HelpPrintsTheUsageAndStops) {
  for (const char* help : {"/h", "/?", "-H", "/help", "-?x"}) {
    Parsed p = Parse({"/q", help, "/go"});
    EXPECT_FALSE(p.run) << help;
    EXPECT_EQ(p.echo, "Display Mode: Quiet\n" + Usage(kTapdump)) << help;
    EXPECT_FALSE(p.options.auto_run) << help;  // parsing ended at /h
  }
}

TEST(DumpOptionsTest, UsageTexts) {
  EXPECT_EQ(Usage(kTapdump),
            "Usage: TAPDUMP /a AdapterName [ options ]\r\n\n"
            "    Example: TAPDUMP /a \\Device\\Ne20002\n"
            "\nWhere the \"AdapterName\" is really the exported DosDevice "
            "name\n"
            "of the MAC adapter.\n"
            "\nOptions:\n"
            "  /q   - QUIET Mode (Packets Not Displayed)\n"
            "  /s   - Send Test Packets\n"
            "  /le  - Loopback Enable (Default)\n"
            "  /ld  - Loopback Disable\n"
            "  /p proto - Specify Protocol To Accept\n"
            "  /d   - Dump BPF Filter Code\n"
            "  /go  - GO (Bypass ENTER-to-START Prompt)\n");
  const std::string batchcap = Usage(kBatchcap);
  EXPECT_EQ(batchcap.find("/s"), std::string::npos);
  EXPECT_EQ(batchcap.rfind("Usage: BATCHCAP /a AdapterName [ options ]\r\n\n"
                           "    Example: BATCHCAP /a \\Device\\Ne20002\n",
                           0),
            0u);
}

// Batchcap has no /s: it matches nothing and is ignored.
TEST(DumpOptionsTest, BatchcapIgnoresSend) {
  Parsed p = Parse({"/s", "/q"}, kBatchcap);
  EXPECT_TRUE(p.run);
  EXPECT_FALSE(p.options.send_packets);
  EXPECT_EQ(p.echo, "Display Mode: Quiet\n");
}

TEST(DumpOptionsTest, HostileArguments) {
  const std::string long_arg(100000, 'd');
  const std::vector<std::vector<std::string>> cases = {
      {"/" + long_arg},
      {"/a", std::string(5000, 'x')},
      {"/p", std::string(5000, '+')},
      {"/p", "\xff\xfe\x01"},
      {"-", "/", "--", "//", "/\xff"},
  };
  for (const auto& args : cases) {
    Parsed p = Parse(args);
    EXPECT_TRUE(p.run);
  }
  EXPECT_EQ(Parse({"/" + long_arg}).options.dump_level, 3);
}

}  // namespace
}  // namespace kavex::utilities
