// The hive text format: round trips and hostile input.
#include "platform/registry/hive.h"

#include <string>

#include "gtest/gtest.h"

namespace kavex::registry {
namespace {

using namespace std::string_view_literals;

std::vector<BYTE> Bytes(std::string_view s) {
  return std::vector<BYTE>(s.begin(), s.end());
}

TEST(HiveFormatTest, EveryKindOfValueSurvivesARoundTrip) {
  Key root;
  Key* kavex = root.AddSubkey("SOFTWARE")->AddSubkey("Kavex OPC");
  kavex->SetValue("Configuration File", 1,
                  Bytes("/etc/kavex-opc/Config.xml\0"sv));
  kavex->SetValue("", 1, Bytes("Default\0"sv));
  kavex->SetValue("Quote\"And\\Back", 2,
                  Bytes("a\"b\\c\n\t\x01\x7f\xc3\xa9\0"sv));
  kavex->SetValue("NoNul", 1, Bytes("abc"));
  kavex->SetValue("Embedded", 1, Bytes("a\0b\0"sv));
  kavex->SetValue("Level", 4, {0x2a, 0, 0, 0x80});
  kavex->SetValue("ShortDword", 4, {1, 2});
  kavex->SetValue("Blob", 3, {});
  kavex->SetValue("Multi", 7, Bytes("x\0y\0\0"sv));
  kavex->SetValue("Odd", 0x12345678, {0xff});
  root.AddSubkey("Empty Key [x]");

  std::string text = SerializeHive(root, "test hive");
  Key parsed;
  ParseError error;
  ASSERT_TRUE(ParseHive(text, &parsed, &error)) << error.message << "\n"
                                                << text;
  EXPECT_EQ(SerializeHive(parsed, "test hive"), text);
  const Key* back = parsed.FindSubkey("software")->FindSubkey("KAVEX opc");
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->name(), "Kavex OPC");
  ASSERT_EQ(back->values().size(), kavex->values().size());
  for (size_t i = 0; i < back->values().size(); ++i) {
    EXPECT_EQ(back->values()[i].name, kavex->values()[i].name);
    EXPECT_EQ(back->values()[i].type, kavex->values()[i].type);
    EXPECT_EQ(back->values()[i].data, kavex->values()[i].data)
        << back->values()[i].name;
  }
  EXPECT_NE(parsed.FindSubkey("Empty Key [x]"), nullptr);
  // Readable where it can be.
  EXPECT_NE(
      text.find("\"Configuration File\"=sz:\"/etc/kavex-opc/Config.xml\""),
      std::string::npos);
  EXPECT_NE(text.find("\"Level\"=dword:8000002a"), std::string::npos);
  EXPECT_NE(text.find("\"NoNul\"=hex(1):61,62,63"), std::string::npos);
}

TEST(HiveFormatTest, SubkeysSortCaseInsensitivelyAndKeepTheirCase) {
  Key root;
  root.AddSubkey("beta");
  root.AddSubkey("Alpha");
  root.AddSubkey("GAMMA");
  EXPECT_EQ(root.AddSubkey("ALPHA"), root.FindSubkey("alpha"));
  ASSERT_EQ(root.subkeys().size(), 3u);
  EXPECT_EQ(root.subkeys()[0]->name(), "Alpha");
  EXPECT_EQ(root.subkeys()[1]->name(), "beta");
  EXPECT_EQ(root.subkeys()[2]->name(), "GAMMA");
}

TEST(HiveFormatTest, HandWrittenFileWithCommentsAndBlankLines) {
  const char* text =
      "; comment\r\n"
      "# another\n"
      "\n"
      "[CLSID\\{1A23B247-C9CF-43F5-A7AE-6B1FF4BDB52A}\\InprocServer32]\r\n"
      "  @=sz:\"/usr/lib/kavex/libkavex-opc-device.so\"\n"
      "\"ThreadingModel\"=sz:\"Free\"   \n"
      "[CLSID]\n"
      "\"Raw\"=hex(3): 01 , 02,ff\n";
  Key root;
  ParseError error;
  ASSERT_TRUE(ParseHive(text, &root, &error)) << error.message;
  const Key* clsid = root.FindSubkey("clsid");
  ASSERT_NE(clsid, nullptr);
  const Key* server =
      clsid->FindSubkey("{1a23b247-c9cf-43f5-a7ae-6b1ff4bdb52a}")
          ->FindSubkey("InprocServer32");
  ASSERT_NE(server, nullptr);
  ASSERT_NE(server->FindValue(""), nullptr);
  EXPECT_EQ(server->FindValue("")->data.back(), 0);
  EXPECT_EQ(server->FindValue("threadingmodel")->data, Bytes("Free\0"sv));
  EXPECT_EQ(clsid->FindValue("Raw")->data, (std::vector<BYTE>{1, 2, 0xff}));
}

TEST(HiveFormatTest, DamagedLinesAreReportedWithTheirNumber) {
  struct Case {
    const char* text;
    int line;
  } cases[] = {
      {"\"x\"=sz:\"no key yet\"\n", 1},
      {"[A]\n\"x\"=sz:\"unterminated\n", 2},
      {"[A]\n\"x\"=sz:\"ok\" trailing\n", 2},
      {"[A]\n\"x\"=bogus:1\n", 2},
      {"[A]\n\"x\"=dword:12\n", 2},
      {"[A]\n\"x\"=dword:1234567g\n", 2},
      {"[A]\n\"x\"=hex(3):1,2\n", 2},
      {"[A]\n\"x\"=hex(3):01,\n", 2},
      {"[A]\n\"x\"=hex(99999999999):01\n", 2},
      {"[A]\n\"x\"=hex():01\n", 2},
      {"[A]\n\"x\"=sz:\"bad \\q escape\"\n", 2},
      {"[A]\n\"x\"=sz:\"bad \\x4\"\n", 2},
      {"[A]\n\"x\"sz:\"missing equals\"\n", 2},
      {"[A]\n\"x\"=\n", 2},
      {"[A]\n\n[B\\\\C]\n", 3},
      {"[\\A]\n", 1},
      {"[A\n", 1},
      {"[A] junk\n", 1},
      {"[A\tB]\n", 1},
      {"[A]\njunk\n", 2},
      {"[A]\n\"\\", 2},
  };
  for (const Case& c : cases) {
    Key root;
    ParseError error;
    EXPECT_FALSE(ParseHive(c.text, &root, &error)) << c.text;
    EXPECT_EQ(error.line, c.line) << c.text;
    EXPECT_FALSE(error.message.empty()) << c.text;
  }
}

TEST(HiveFormatTest, KeyPathsSplitAtBackslashes) {
  std::vector<std::string> parts;
  EXPECT_TRUE(SplitKeyPath("", &parts));
  EXPECT_TRUE(parts.empty());
  EXPECT_TRUE(SplitKeyPath("SOFTWARE\\Kavex OPC\\", &parts));
  EXPECT_EQ(parts, (std::vector<std::string>{"SOFTWARE", "Kavex OPC"}));
  EXPECT_FALSE(SplitKeyPath("\\SOFTWARE", &parts));
  EXPECT_FALSE(SplitKeyPath("A\\\\B", &parts));
  EXPECT_FALSE(SplitKeyPath("\\", &parts));
}

}  // namespace
}  // namespace kavex::registry
