// Files no one should hand the library, and what it makes of them: an
// invalid document with the load error, never a crash or a hang.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>

#include "xmldoc/test_support.h"
#include "xmldoc/xml_file.h"

namespace kavex::xmldoc {
namespace {

void ExpectLoadFails(const std::string& path) {
  CXDocument document;
  document.Load(U16(path).c_str());
  EXPECT_EQ(document.Valid(), 0) << path;
  EXPECT_EQ(std::u16string(document.ErrorDescription()),
            u"Xdomlib: Could not load file '" + U16(path) + u"'");
  EXPECT_EQ(document.SelectNodes(u"ROOT/ADAPTER").FirstNode().Valid(), 0);
}

// Walks whatever loaded the way the configuration readers do.
void Walk(CXDocument& document) {
  CXNodeList adapters = document.SelectNodes(u"ROOT/ADAPTER");
  for (CXNode a = adapters.FirstNode(); a.Valid(); a = adapters.NextNode()) {
    SysFreeString(a.GetAttribute(u"Name").Text());
    CXNodeList switches = a.SelectNodes(u"SWITCH");
    for (CXNode s = switches.FirstNode(); s.Valid(); s = switches.NextNode()) {
      VARIANT type = s.GetAttribute(u"Type").Value(VT_UI1);
      VariantClear(&type);
    }
  }
}

TEST(HostileFilesTest, MalformedContentIsALoadFailure) {
  TempDir dir;
  const char* cases[] = {
      "",
      "   \n\t ",
      "\xEF\xBB\xBF",
      "<ROOT>",
      "<ROOT><ADAPTER Name=\"",
      "<ROOT><ADAPTER Name=\"x\"></ROOT>",
      "<ROOT></root>",
      "<A/><B/>",
      "just text",
      "<?xml version=\"1.0\"?>",
      "<ROOT a=\"1\" a=\"2\"/>",
      "<ROOT>&undefined;</ROOT>",
      "<!DOCTYPE r [<!ENTITY a \"&a;\">]><ROOT>&a;</ROOT>",
      "\xFF\xFE<\0R\0",
      "<\x01\x02\x03>",
  };
  int i = 0;
  for (const char* bytes : cases) {
    std::string path = dir.File("case" + std::to_string(i++) + ".xml");
    WriteFile(path,
              std::string(bytes, strlen(bytes) + (bytes[0] == '\xFF' ? 4 : 0)));
    CXDocument document;
    document.Load(U16(path).c_str());
    if (document.Valid()) {
      // Lenient parsing may accept a few; they must still be usable.
      Walk(document);
    } else {
      EXPECT_EQ(document.ErrorCode(), E_FAIL);
    }
  }
  // The plainly broken ones must fail.
  for (int bad : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9})
    ExpectLoadFails(dir.File("case" + std::to_string(bad) + ".xml"));
}

TEST(HostileFilesTest, PathsThatAreNotFilesFail) {
  TempDir dir;
  ExpectLoadFails(dir.path());  // a directory
  WriteFile(dir.File("plain"), "<ROOT/>");
  ExpectLoadFails(dir.File("plain/child.xml"));
  ExpectLoadFails("/dev/null");
  ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0600), 0);
  ExpectLoadFails(dir.File("fifo"));  // must not wait for a writer
  ExpectLoadFails(dir.File("missing.xml"));
  ExpectLoadFails("");

  // Too large to read: refused before any memory is taken.
  const std::string sparse = dir.File("sparse.xml");
  WriteFile(sparse, "<ROOT/>");
  ASSERT_EQ(truncate(sparse.c_str(), static_cast<off_t>(kMaxXmlFileBytes) + 1),
            0);
  ExpectLoadFails(sparse);

  if (geteuid() != 0) {  // root reads anything
    WriteFile(dir.File("locked.xml"), "<ROOT/>");
    chmod(dir.File("locked.xml").c_str(), 0);
    ExpectLoadFails(dir.File("locked.xml"));
  }
}

TEST(HostileFilesTest, DeepNestingLoadsWalksAndSavesWithoutRecursion) {
  TempDir dir;
  const int depth = 200000;
  std::string xml;
  for (int i = 0; i < depth; ++i) xml += "<a>";
  xml += "deep";
  for (int i = 0; i < depth; ++i) xml += "</a>";
  WriteFile(dir.File("deep.xml"), xml);
  CXDocument document;
  document.Load(U16(dir.File("deep.xml")).c_str());
  ASSERT_EQ(document.Valid(), 1);
  CXNode top = document.SelectSingleNode(u"a");
  EXPECT_EQ(TextOf(top), u"deep");
  document.Save(U16(dir.File("deep-out.xml")).c_str());
  EXPECT_EQ(document.ErrorCode(), 0);
  CXDocument again;
  again.Load(U16(dir.File("deep-out.xml")).c_str());
  EXPECT_EQ(again.Valid(), 1);

  // A deeply nested query is refused, not evaluated on the stack.
  std::u16string query(100000, u'(');
  query += u"a";
  query += std::u16string(100000, u')');
  CXNode none = top.SelectSingleNode(query.c_str());
  EXPECT_EQ(none.Valid(), 0);
  EXPECT_TRUE(FAILED(top.ErrorCode()));
}

TEST(HostileFilesTest, LargeDocumentLoads) {
  TempDir dir;
  std::string xml = "<ROOT><ADAPTER Name=\"\\Device\\eth0\">";
  for (int i = 0; i < 20000; ++i)
    xml += "<SWITCH Type=\"" + std::to_string(i % 300) + "\"/>";
  xml += "</ADAPTER></ROOT>";
  WriteFile(dir.File("large.xml"), xml);
  CXDocument document;
  document.Load(U16(dir.File("large.xml")).c_str());
  ASSERT_EQ(document.Valid(), 1);
  EXPECT_EQ(document.SelectNodes(u"ROOT/ADAPTER/SWITCH").Length(), 20000);
  Walk(document);
}

TEST(HostileFilesTest, EveryTruncationAndRandomDamageIsSurvived) {
  TempDir dir;
  const std::string good =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ROOT DataFormat=\"String\">"
      "<ADAPTER Name=\"\\Device\\eth0\" Active=\"Yes\" Timeout=\"30\">"
      "<SWITCH Model=\"M\" Address=\"02.C4.7D.1A.2B.3C\" Alias=\"S\xC3\xBC\" "
      "Type=\"7\"><Port Number=\"1\" Alias=\"p1\" Disabled=\"No\"/>"
      "<![CDATA[x]]><!-- c --></SWITCH></ADAPTER></ROOT>\n";
  const std::string path = dir.File("damaged.xml");
  for (size_t cut = 0; cut < good.size(); ++cut) {
    WriteFile(path, good.substr(0, cut));
    CXDocument document;
    document.Load(U16(path).c_str());
    if (document.Valid()) Walk(document);
  }
  std::mt19937 random(12345);
  for (int round = 0; round < 400; ++round) {
    std::string bytes = good;
    for (int flips = 1 + round % 4; flips > 0; --flips)
      bytes[random() % bytes.size()] = static_cast<char>(random());
    WriteFile(path, bytes);
    CXDocument document;
    document.Load(U16(path).c_str());
    if (document.Valid()) Walk(document);
  }
}

}  // namespace
}  // namespace kavex::xmldoc
