#include "xmldoc/cx_node.h"

#include <gtest/gtest.h>

#include "platform/com/variant.h"
#include "xmldoc/test_support.h"

namespace kavex::xmldoc {
namespace {

constexpr char kConfig[] =
    "<ROOT DataFormat=\"String\">"
    "<ADAPTER Name=\"\\Device\\eth0\" Timeout=\"30\">"
    "<SWITCH Alias=\"a\"><Port Number=\"1\"/><Port Number=\"2\"/></SWITCH>"
    "<SWITCH Alias=\"b\"><Port Number=\"300\"/></SWITCH>"
    "</ADAPTER>mixed text</ROOT>";

class CXNodeTest : public testing::Test {
 protected:
  void SetUp() override {
    WriteFile(dir_.File("config.xml"), kConfig);
    document_.Load(U16(dir_.File("config.xml")).c_str());
    ASSERT_EQ(document_.Valid(), 1);
    adapter_ = document_.SelectSingleNode(u"ROOT/ADAPTER");
    ASSERT_EQ(adapter_.Valid(), 1);
    adapter_.SetError(CXError());  // a clean record, to see new ones
  }

  TempDir dir_;
  CXDocument document_;
  CXNode adapter_;
};

TEST(CXNodeStates, DefaultConstructedObjectsAreInvalidWithTheirTexts) {
  CXNode node;
  EXPECT_EQ(node.Valid(), 0);
  EXPECT_EQ(node.ErrorCode(), E_FAIL);
  EXPECT_EQ(Description(node), u"Xdomlib: Invalid node");
  BSTR text = node.Text();
  ASSERT_NE(text, nullptr);  // a new empty string, not null
  EXPECT_EQ(SysStringLen(text), 0u);
  SysFreeString(text);

  CXNodeList list;
  EXPECT_EQ(list.Valid(), 0);
  EXPECT_EQ(list.ErrorCode(), E_FAIL);
  EXPECT_EQ(std::u16string(list.ErrorDescription()),
            u"Xdomlib: Invalid node list");
  EXPECT_EQ(list.Length(), 0);
  EXPECT_EQ(list.FirstNode().Valid(), 0);

  CXAttributes attributes;
  EXPECT_EQ(attributes.Valid(), 0);
  EXPECT_EQ(std::u16string(attributes.ErrorDescription()),
            u"Xdomlib: Invalid attributes");
  EXPECT_EQ(node.Attributes().Valid(), 0);

  CXNode from_null(static_cast<IXMLDOMNode*>(nullptr));
  EXPECT_EQ(from_null.Valid(), 0);
  EXPECT_EQ(from_null.ErrorCode(), 0);
}

TEST_F(CXNodeTest, MissingAttributeIsInvalidWithStatusOneAndZeroValues) {
  CXNode timeout = document_.SelectSingleNode(u"ROOT").GetAttribute(u"Timeout");
  EXPECT_EQ(timeout.Valid(), 0);
  EXPECT_EQ(timeout.ErrorCode(), 1);
  EXPECT_EQ(Description(timeout),
            u"Xdomlib: Could not get the attribute 'Timeout'");
  EXPECT_EQ(TextOf(timeout), u"");
  VARIANT value = timeout.Value(VT_UI4);
  EXPECT_EQ(value.vt, VT_UI4);
  EXPECT_EQ(value.ulVal, 0u);
  VariantClear(&value);

  // A later look-up on the same node starts from a clean cache record.
  CXNode present = adapter_.GetAttribute(u"Timeout");
  EXPECT_EQ(present.ErrorCode(), 0);
  EXPECT_EQ(TextOf(present), u"30");
}

TEST_F(CXNodeTest, NodeWithoutAttributesRecordsStatusOneOnItself) {
  CXNode text = document_.SelectSingleNode(u"ROOT/text()");
  ASSERT_EQ(text.Valid(), 1);
  EXPECT_EQ(TextOf(text), u"mixed text");
  CXNode attribute = text.GetAttribute(u"Name");
  EXPECT_EQ(attribute.Valid(), 0);
  EXPECT_EQ(attribute.ErrorCode(), 0);
  EXPECT_EQ(text.ErrorCode(), 1);
  EXPECT_EQ(Description(text), u"Xdomlib: Could not get attributes");
}

TEST_F(CXNodeTest, ValueConvertsOrRecordsTheTextAndTypeName) {
  VARIANT timeout = adapter_.GetAttribute(u"Timeout").Value(VT_I2);
  EXPECT_EQ(timeout.vt, VT_I2);
  EXPECT_EQ(timeout.iVal, 30);

  CXNode port = document_.SelectNodes(u"ROOT/ADAPTER/SWITCH/Port").Item(2);
  CXNode number = port.GetAttribute(u"Number");
  VARIANT byte = number.Value(VT_UI1);
  EXPECT_EQ(byte.vt, VT_UI1);
  EXPECT_EQ(byte.bVal, 0);
  EXPECT_EQ(number.ErrorCode(), DISP_E_OVERFLOW);
  EXPECT_EQ(Description(number), u"Xdomlib: Could not convert '300' to UI1");

  CXNode name = adapter_.GetAttribute(u"Name");
  VARIANT unsigned_value = name.Value(VT_UI4);
  EXPECT_EQ(unsigned_value.vt, VT_UI4);
  EXPECT_EQ(unsigned_value.ulVal, 0u);
  EXPECT_EQ(name.ErrorCode(), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(Description(name),
            u"Xdomlib: Could not convert '\\Device\\eth0' to NULL");

  // A type that even 0 does not convert to comes back empty.
  VARIANT none = name.Value(VT_DISPATCH);
  EXPECT_EQ(none.vt, VT_EMPTY);

  VARIANT text = name.Value(VT_BSTR);
  EXPECT_EQ(text.vt, VT_BSTR);
  EXPECT_EQ(std::u16string(com::BstrView(text.bstrVal)), u"\\Device\\eth0");
  VariantClear(&text);
}

TEST_F(CXNodeTest, TextFlagsFoldCase) {
  CXNode name = adapter_.SetAttribute(u"Name", u"Ärger Mixed");
  com::Bstr upper, lower, both;
  upper.Attach(name.Text(1));
  lower.Attach(name.Text(2));
  both.Attach(name.Text(3));
  EXPECT_EQ(upper.View(), u"ÄRGER MIXED");
  EXPECT_EQ(lower.View(), u"ärger mixed");
  EXPECT_EQ(both.View(), u"ärger mixed");
}

TEST_F(CXNodeTest, CopiesShareTheParserNode) {
  CXNode copy = adapter_;  // before the attribute map is cached
  adapter_.GetAttribute(u"Name");
  CXNode cached_copy = adapter_;  // copies the cache too
  CXNode set = adapter_.SetAttribute(u"Alias", u"North");
  EXPECT_EQ(set.Valid(), 1);
  EXPECT_EQ(set.ErrorCode(), 0);
  CXNode through_copy = copy.GetAttribute(u"Alias");
  CXNode through_cache = cached_copy.GetAttribute(u"Alias");
  EXPECT_EQ(TextOf(through_copy), u"North");
  EXPECT_EQ(TextOf(through_cache), u"North");

  // Setting again replaces the value; no second attribute appears.
  adapter_.SetAttribute(u"Alias", u"South");
  EXPECT_EQ(TextOf(through_copy), u"South");
  CXAttributes attributes = adapter_.Attributes();
  EXPECT_EQ(attributes.Valid(), 1);
  CXNode alias = attributes.Item(u"Alias");
  EXPECT_EQ(TextOf(alias), u"South");
}

TEST_F(CXNodeTest, EarlierFailuresArePassedOnToLaterResults) {
  CXNodeList bad = adapter_.SelectNodes(u"SWITCH[");
  EXPECT_EQ(bad.Valid(), 0);
  EXPECT_EQ(adapter_.ErrorCode(), E_FAIL);
  EXPECT_EQ(Description(adapter_), u"Xdomlib: Could not get nodes 'SWITCH['");
  EXPECT_EQ(std::u16string(bad.ErrorDescription()),
            u"Xdomlib: Could not get nodes 'SWITCH['");

  // Successful operations do not clear the record; results inherit it.
  CXNode first = adapter_.SelectSingleNode(u"SWITCH");
  EXPECT_EQ(first.Valid(), 1);
  EXPECT_EQ(Description(first), u"Xdomlib: Could not get nodes 'SWITCH['");
  EXPECT_EQ(adapter_.SelectNodes(u"SWITCH").FirstNode().ErrorCode(), E_FAIL);
  CXNode bad_single = adapter_.SelectSingleNode(u"@@");
  EXPECT_EQ(Description(bad_single), u"Xdomlib: Could not get node '@@'");

  // Everything selected from a loaded document carries the document node's
  // own record.
  CXNode root = document_.SelectSingleNode(u"ROOT");
  EXPECT_EQ(document_.ErrorCode(), 0);
  EXPECT_EQ(root.ErrorCode(), E_FAIL);
  EXPECT_EQ(Description(root), u"Xdomlib: Invalid node");
}

TEST_F(CXNodeTest, NoMatchGivesInvalidNodeOrEmptyValidList) {
  CXNode none = adapter_.SelectSingleNode(u"NOTHING");
  EXPECT_EQ(none.Valid(), 0);
  EXPECT_EQ(none.ErrorCode(), 0);
  CXNodeList empty = adapter_.SelectNodes(u"NOTHING");
  EXPECT_EQ(empty.Valid(), 1);
  EXPECT_EQ(empty.Length(), 0);
  EXPECT_EQ(empty.FirstNode().Valid(), 0);
  EXPECT_EQ(empty.ErrorCode(), 0);
  EXPECT_EQ(adapter_.ErrorCode(), 0);
}

TEST_F(CXNodeTest, ListCursorAndIndexWalkInDocumentOrder) {
  CXNodeList ports = adapter_.SelectNodes(u"SWITCH/Port");
  ASSERT_EQ(ports.Length(), 3);
  std::u16string numbers;
  for (CXNode p = ports.FirstNode(); p.Valid(); p = ports.NextNode()) {
    CXNode number = p.GetAttribute(u"Number");
    numbers += TextOf(number) + u",";
  }
  EXPECT_EQ(numbers, u"1,2,300,");
  EXPECT_EQ(ports.NextNode().Valid(), 0);  // stays past the end
  EXPECT_EQ(ports.ErrorCode(), 0);

  CXNode second = ports.Item(1);
  CXNode number = second.GetAttribute(u"Number");
  EXPECT_EQ(TextOf(number), u"2");
  EXPECT_EQ(ports.Item(3).Valid(), 0);
  EXPECT_EQ(ports.Item(-1).Valid(), 0);

  // Copies of a list share the parser's cursor.
  CXNodeList copy = ports;
  ports.Reset();
  ports.NextNode();
  CXNode next = copy.NextNode();
  CXNode next_number = next.GetAttribute(u"Number");
  EXPECT_EQ(TextOf(next_number), u"2");
}

TEST_F(CXNodeTest, ParentNodeAndTextOfElements) {
  CXNode root = adapter_.ParentNode();
  EXPECT_EQ(root.Valid(), 1);
  CXNode document_node = root.ParentNode();
  EXPECT_EQ(document_node.Valid(), 1);
  EXPECT_EQ(document_node.ParentNode().Valid(), 0);
  EXPECT_EQ(TextOf(root), u"mixed text");

  CXNode text_holder = adapter_.SelectSingleNode(u"SWITCH");
  text_holder.SetError(CXError());
  text_holder.Text(u"replaced");  // has child elements: refused
  EXPECT_NE(text_holder.ErrorCode(), 0);
  EXPECT_EQ(Description(text_holder), u"Xdomlib: Could not set text");
  CXNode port = text_holder.SelectSingleNode(u"Port");
  port.Text(u"one");
  port.Text(u"two");
  EXPECT_EQ(TextOf(port), u"two");
  EXPECT_EQ(TextOf(text_holder), u"two");
}

TEST(CXNodeBuild, AddNodeAndAttachOnAFreshDocument) {
  CXDocument document;
  CXNode root = document.AddNode(u"ROOT", document);
  ASSERT_EQ(root.Valid(), 1);
  CXNode child = root.AddNode(u"ADAPTER", document);
  EXPECT_EQ(child.Valid(), 1);
  // A second top-level element or a bad name is refused.
  CXNode second = document.AddNode(u"OTHER", document);
  EXPECT_EQ(second.Valid(), 0);
  EXPECT_EQ(Description(second), u"Xdomlib: Cannot Add Node");
  CXNode clean(static_cast<IXMLDOMNode*>(root.GetInterface()));
  EXPECT_EQ(clean.AddNode(u"1bad name", document).Valid(), 0);
  EXPECT_EQ(clean.ErrorCode(), E_FAIL);
  // An invalid document to create in.
  CXDocument broken;
  broken.Load(u"/nonexistent/file.xml");
  CXNode clean2(static_cast<IXMLDOMNode*>(root.GetInterface()));
  EXPECT_EQ(clean2.AddNode(u"X", broken).Valid(), 0);

  EXPECT_EQ(document.SelectNodes(u"ROOT/ADAPTER").Length(), 1);

  CXNode attached;
  attached.Attach(document.GetInterface());  // the document's node face
  EXPECT_EQ(attached.Valid(), 1);
  EXPECT_EQ(attached.ErrorCode(), 0);
  EXPECT_EQ(attached.SelectSingleNode(u"ROOT/ADAPTER").Valid(), 1);
  CXNodeList not_a_list;
  not_a_list.Attach(document.GetInterface());
  EXPECT_EQ(not_a_list.Valid(), 0);
  EXPECT_EQ(not_a_list.ErrorCode(), E_NOINTERFACE);
  CXNode nothing;
  nothing.Attach(nullptr);
  EXPECT_EQ(nothing.Valid(), 0);
  EXPECT_TRUE(FAILED(nothing.ErrorCode()));
}

}  // namespace
}  // namespace kavex::xmldoc
