#include "xmldoc/cx_document.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/file/testing/fault_injector.h"
#include "xmldoc/test_support.h"
#include "xmldoc/xml_file.h"

namespace kavex::xmldoc {
namespace {

std::u16string DocumentDescription(const CXDocument& document) {
  return document.ErrorDescription();
}

TEST(CXDocumentTest, NewDocumentIsValidButKeepsItsInitialRecords) {
  CXDocument document;
  EXPECT_EQ(document.Valid(), 1);
  EXPECT_EQ(document.ErrorCode(), E_FAIL);
  EXPECT_EQ(DocumentDescription(document), u"Xdomlib: Invalid document");
  const CXNode& node_face = document;
  EXPECT_EQ(node_face.Valid(), 1);
  EXPECT_EQ(node_face.ErrorCode(), E_FAIL);
  EXPECT_EQ(std::u16string(node_face.ErrorDescription()),
            u"Xdomlib: Invalid node");
}

TEST(CXDocumentTest, LoadOfMissingFileInvalidatesWithQuotedPath) {
  CXDocument document;
  document.AddNode(u"ROOT", document);
  document.Load(u"/no/such/dir/KavexOPC.xml");
  EXPECT_EQ(document.Valid(), 0);
  EXPECT_EQ(document.ErrorCode(), E_FAIL);
  EXPECT_EQ(DocumentDescription(document),
            u"Xdomlib: Could not load file '/no/such/dir/KavexOPC.xml'");
  EXPECT_EQ(document.SelectSingleNode(u"ROOT").Valid(), 0);
  EXPECT_EQ(document.SelectNodes(u"ROOT").FirstNode().Valid(), 0);
  document.Save(u"/tmp/never-written.xml");
  EXPECT_EQ(DocumentDescription(document),
            u"Xdomlib: Could not save file '/tmp/never-written.xml'");
}

TEST(CXDocumentTest, LoadStartsFromAFreshDocumentAndOldNodesSurvive) {
  TempDir dir;
  WriteFile(dir.File("a.xml"), "<ROOT><A/></ROOT>");
  CXDocument document;
  document.AddNode(u"OLD", document);
  document.Load(U16(dir.File("a.xml")).c_str());
  ASSERT_EQ(document.Valid(), 1);
  EXPECT_EQ(document.ErrorCode(), 0);
  EXPECT_EQ(document.SelectSingleNode(u"OLD").Valid(), 0);
  CXNode a = document.SelectSingleNode(u"ROOT/A");
  ASSERT_EQ(a.Valid(), 1);

  // A failed load drops the document; nodes taken from it stay usable.
  document.Load(u"");
  EXPECT_EQ(document.Valid(), 0);
  a.SetAttribute(u"Still", u"here");
  CXNode still = a.GetAttribute(u"Still");
  EXPECT_EQ(TextOf(still), u"here");
}

HRESULT FailingFactory(IXMLDOMDocument**) { return REGDB_E_CLASSNOTREG; }

TEST(CXDocumentTest, ParserThatCannotBeCreatedIsRetriedByLoad) {
  TempDir dir;
  WriteFile(dir.File("a.xml"), "<ROOT/>");
  SetDomDocumentFactoryForTesting(&FailingFactory);
  CXDocument document;
  EXPECT_EQ(document.Valid(), 0);
  document.Load(U16(dir.File("a.xml")).c_str());
  EXPECT_EQ(document.Valid(), 0);
  EXPECT_EQ(document.ErrorCode(), REGDB_E_CLASSNOTREG);
  SetDomDocumentFactoryForTesting(nullptr);
  document.Load(U16(dir.File("a.xml")).c_str());
  EXPECT_EQ(document.Valid(), 1);
  EXPECT_EQ(document.ErrorCode(), 0);
}

// Builds the tree a configuration save makes, with awkward texts.
CXDocument BuildSample(const std::u16string& alias) {
  CXDocument document;
  CXNode root = document.AddNode(u"ROOT", document);
  root.SetAttribute(u"LastModified", u"07/04/2016 03:05:09 PM");
  root.SetAttribute(u"Version", u"10.4.0");
  CXNode adapter = root.AddNode(u"ADAPTER", document);
  adapter.SetAttribute(u"Name", u"\\Device\\eth0");
  adapter.SetAttribute(u"Description", u"<&> \"quoted\" 'single'\nline");
  CXNode port = adapter.AddNode(u"SWITCH", document).AddNode(u"Port", document);
  port.SetAttribute(u"Alias", alias.c_str());
  return document;
}

TEST(CXDocumentTest, SaveWritesUtf8ThatLoadReadsBack) {
  TempDir dir;
  const std::u16string alias = u"Süd_Ωμέγα_北_\U0001F600";
  CXDocument document = BuildSample(alias);
  const std::u16string path = U16(dir.File("out.xml"));
  document.Save(path.c_str());
  ASSERT_EQ(document.ErrorCode(), 0);
  std::string bytes = ReadFile(dir.File("out.xml"));
  EXPECT_EQ(bytes.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>", 0), 0u);
  EXPECT_NE(bytes.find(text::Utf16ToUtf8(alias)), std::string::npos);

  CXDocument loaded;
  loaded.Load(path.c_str());
  ASSERT_EQ(loaded.Valid(), 1);
  CXNode root = loaded.SelectSingleNode(u"ROOT");
  CXNode version = root.GetAttribute(u"Version");
  EXPECT_EQ(TextOf(version), u"10.4.0");
  CXNode adapter = loaded.SelectSingleNode(u"ROOT/ADAPTER");
  CXNode description = adapter.GetAttribute(u"Description");
  EXPECT_EQ(TextOf(description), u"<&> \"quoted\" 'single'\nline");
  CXNode port = loaded.SelectSingleNode(u"ROOT/ADAPTER/SWITCH/Port");
  CXNode loaded_alias = port.GetAttribute(u"Alias");
  EXPECT_EQ(TextOf(loaded_alias), alias);
}

TEST(CXDocumentTest, LoadsUtf16AndDeclaredEncodings) {
  TempDir dir;
  const std::u16string text =
      u"<?xml version=\"1.0\" encoding=\"UTF-16\"?>"
      u"<ROOT Alias=\"Zürich_東京\"/>";
  std::string le = "\xFF\xFE", be = "\xFE\xFF";
  for (char16_t c : text) {
    le += static_cast<char>(c & 0xFF);
    le += static_cast<char>(c >> 8);
    be += static_cast<char>(c >> 8);
    be += static_cast<char>(c & 0xFF);
  }
  WriteFile(dir.File("le.xml"), le);
  WriteFile(dir.File("be.xml"), be);
  WriteFile(
      dir.File("bom8.xml"),
      "\xEF\xBB\xBF<ROOT Alias=\"Z\xC3\xBCrich_\xE6\x9D\xB1\xE4\xBA\xAC\"/>");
  WriteFile(dir.File("latin1.xml"),
            "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>"
            "<ROOT Alias=\"Z\xFCrich\"/>");
  for (const char* name : {"le.xml", "be.xml", "bom8.xml"}) {
    CXDocument document;
    document.Load(U16(dir.File(name)).c_str());
    ASSERT_EQ(document.Valid(), 1) << name;
    CXNode alias = document.SelectSingleNode(u"ROOT").GetAttribute(u"Alias");
    EXPECT_EQ(TextOf(alias), u"Zürich_東京") << name;
  }
  CXDocument latin1;
  latin1.Load(U16(dir.File("latin1.xml")).c_str());
  ASSERT_EQ(latin1.Valid(), 1);
  CXNode alias = latin1.SelectSingleNode(u"ROOT").GetAttribute(u"Alias");
  EXPECT_EQ(TextOf(alias), u"Zürich");
}

// The save path: the old file survives any failure, and nothing is left
// behind.
class SaveFaultTest : public testing::Test {
 protected:
  void SetUp() override { WriteFile(dir_.File("KavexOPC.xml"), kOld); }

  void ExpectFailedSaveKeepsOldFile(HRESULT expected) {
    CXDocument document = BuildSample(u"new");
    document.Save(U16(dir_.File("KavexOPC.xml")).c_str());
    EXPECT_EQ(document.ErrorCode(), expected);
    EXPECT_EQ(DocumentDescription(document),
              u"Xdomlib: Could not save file '" +
                  U16(dir_.File("KavexOPC.xml")) + u"'");
    EXPECT_EQ(ReadFile(dir_.File("KavexOPC.xml")), kOld);
    EXPECT_EQ(dir_.Entries(), std::vector<std::string>{"KavexOPC.xml"});
  }

  static constexpr char kOld[] = "<ROOT Version=\"old\"/>";
  TempDir dir_;
};

TEST_F(SaveFaultTest, FullDiskPartWayThroughLeavesTheOldFile) {
  file::testing::FaultInjector faults;
  faults.LimitWrites(40);  // 40 bytes go, then the disk is full
  faults.FailNth(file::testing::Call::kWrite, 2, ENOSPC);
  ExpectFailedSaveKeepsOldFile(STG_E_MEDIUMFULL);
}

TEST_F(SaveFaultTest, FailedFlushOrRenameLeavesTheOldFile) {
  {
    file::testing::FaultInjector faults;
    faults.FailNth(file::testing::Call::kFsync, 1, EIO);
    ExpectFailedSaveKeepsOldFile(E_FAIL);
  }
  file::testing::FaultInjector faults;
  faults.FailNth(file::testing::Call::kRename, 1, EACCES);
  ExpectFailedSaveKeepsOldFile(E_ACCESSDENIED);
}

TEST_F(SaveFaultTest, SuccessReplacesWholeFileKeepingModeAndLinks) {
  const std::string target = dir_.File("KavexOPC.xml");
  ASSERT_EQ(chmod(target.c_str(), 0640), 0);
  ASSERT_EQ(symlink(target.c_str(), dir_.File("link.xml").c_str()), 0);
  CXDocument document = BuildSample(u"new");
  document.Save(U16(dir_.File("link.xml")).c_str());
  ASSERT_EQ(document.ErrorCode(), 0);
  struct stat st;
  ASSERT_EQ(lstat(dir_.File("link.xml").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_NE(ReadFile(target).find("Alias=\"new\""), std::string::npos);
  EXPECT_EQ(dir_.Entries().size(), 2u);
}

TEST_F(SaveFaultTest,
       NewFilesAre0644WhateverTheUmaskAndDanglingLinksAreRefused) {
  const mode_t old_umask = umask(0);
  CXDocument document = BuildSample(u"new");
  document.Save(U16(dir_.File("fresh.xml")).c_str());
  umask(old_umask);
  ASSERT_EQ(document.ErrorCode(), 0);
  struct stat st;
  ASSERT_EQ(stat(dir_.File("fresh.xml").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);

  // A link to nowhere is refused: saving must not create a file wherever
  // the link happens to point, nor silently replace the link.
  const std::string nowhere = dir_.File("gone/elsewhere.xml");
  ASSERT_EQ(symlink(nowhere.c_str(), dir_.File("dangling.xml").c_str()), 0);
  document.Save(U16(dir_.File("dangling.xml")).c_str());
  EXPECT_EQ(document.ErrorCode(),
            HRESULT_FROM_WIN32(ERROR_CANT_RESOLVE_FILENAME));
  EXPECT_EQ(DocumentDescription(document), u"Xdomlib: Could not save file '" +
                                               U16(dir_.File("dangling.xml")) +
                                               u"'");
  ASSERT_EQ(lstat(dir_.File("dangling.xml").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST_F(SaveFaultTest, UnwritablePlacesAreReported) {
  CXDocument document = BuildSample(u"x");
  document.Save(U16(dir_.File("missing/out.xml")).c_str());
  EXPECT_TRUE(FAILED(document.ErrorCode()));
  document.Save(U16(dir_.path()).c_str());  // a directory
  EXPECT_EQ(document.ErrorCode(), E_ACCESSDENIED);
  document.Save(u"");
  EXPECT_TRUE(FAILED(document.ErrorCode()));
  document.Save(U16(dir_.File("ok.xml")).c_str());
  EXPECT_EQ(document.ErrorCode(), 0);
}

}  // namespace
}  // namespace kavex::xmldoc
