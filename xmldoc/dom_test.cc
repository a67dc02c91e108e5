// What the document classes rely on of the parser, asked of it directly.
#include "xmldoc/dom.h"

#include <gtest/gtest.h>

#include "platform/com/com_ptr.h"
#include "xmldoc/dom_impl.h"
#include "xmldoc/test_support.h"

namespace kavex::xmldoc {
namespace {

com::ComPtr<IXMLDOMDocument> LoadString(const TempDir& dir,
                                        const std::string& xml) {
  WriteFile(dir.File("doc.xml"), xml);
  com::ComPtr<IXMLDOMDocument> document;
  EXPECT_EQ(CreateDomDocument(document.GetAddressOf()), S_OK);
  VARIANT_BOOL loaded = VARIANT_FALSE;
  com::Variant path(U16(dir.File("doc.xml")));
  EXPECT_EQ(document->load(path, &loaded), S_OK);
  EXPECT_EQ(loaded, VARIANT_TRUE);
  return document;
}

std::u16string Text(IXMLDOMNode* node) {
  com::Bstr text;
  EXPECT_EQ(node->get_text(text.Out()), S_OK);
  return std::u16string(text.View());
}

TEST(DomTest, NegativeAnswersAreNullWithStatusOne) {
  TempDir dir;
  com::ComPtr<IXMLDOMDocument> document =
      LoadString(dir, "<ROOT A=\"1\">text<B/></ROOT>");
  com::ComPtr<IXMLDOMNode> node;
  EXPECT_EQ(document->selectSingleNode(u"NONE", node.GetAddressOf()), S_FALSE);
  EXPECT_FALSE(node);

  com::ComPtr<IXMLDOMNode> root;
  ASSERT_EQ(document->selectSingleNode(u"ROOT", root.GetAddressOf()), S_OK);
  com::ComPtr<IXMLDOMNamedNodeMap> attributes;
  ASSERT_EQ(root->get_attributes(attributes.GetAddressOf()), S_OK);
  EXPECT_EQ(attributes->getNamedItem(u"Z", node.ReleaseAndGetAddressOf()),
            S_FALSE);
  EXPECT_FALSE(node);

  com::ComPtr<IXMLDOMNode> text;
  ASSERT_EQ(root->selectSingleNode(u"text()", text.GetAddressOf()), S_OK);
  com::ComPtr<IXMLDOMNamedNodeMap> none;
  EXPECT_EQ(text->get_attributes(none.GetAddressOf()), S_FALSE);
  EXPECT_FALSE(none);
  EXPECT_EQ(document->get_attributes(none.GetAddressOf()), S_FALSE);

  com::ComPtr<IXMLDOMNodeList> list;
  ASSERT_EQ(root->selectNodes(u"B", list.GetAddressOf()), S_OK);
  EXPECT_EQ(list->nextNode(node.ReleaseAndGetAddressOf()), S_OK);
  EXPECT_EQ(list->nextNode(node.ReleaseAndGetAddressOf()), S_FALSE);
  EXPECT_FALSE(node);
  EXPECT_EQ(list->get_item(5, node.ReleaseAndGetAddressOf()), S_FALSE);
  EXPECT_FALSE(node);

  // Bad or non-node-set queries are failures, not "no match".
  EXPECT_TRUE(FAILED(root->selectNodes(u"B[", list.ReleaseAndGetAddressOf())));
  EXPECT_TRUE(
      FAILED(root->selectNodes(u"count(B)", list.ReleaseAndGetAddressOf())));
  EXPECT_TRUE(
      FAILED(root->selectSingleNode(u"", node.ReleaseAndGetAddressOf())));
}

TEST(DomTest, LoadReportsFailureThroughItsFlag) {
  TempDir dir;
  WriteFile(dir.File("bad.xml"), "<ROOT>");
  com::ComPtr<IXMLDOMDocument> document;
  ASSERT_EQ(CreateDomDocument(document.GetAddressOf()), S_OK);
  VARIANT_BOOL loaded = VARIANT_TRUE;
  EXPECT_EQ(document->load(com::Variant(U16(dir.File("bad.xml"))), &loaded),
            S_FALSE);
  EXPECT_EQ(loaded, VARIANT_FALSE);
  EXPECT_EQ(document->load(com::Variant(LONG{1}), &loaded), E_INVALIDARG);
}

TEST(DomTest, NoHeldNodeIsFreedByLaterChanges) {
  TempDir dir;
  com::ComPtr<IXMLDOMDocument> document =
      LoadString(dir, "<ROOT><A>one<![CDATA[two]]></A></ROOT>");
  com::ComPtr<IXMLDOMNode> a, text;
  ASSERT_EQ(document->selectSingleNode(u"ROOT/A", a.GetAddressOf()), S_OK);
  ASSERT_EQ(a->selectSingleNode(u"text()", text.GetAddressOf()), S_OK);
  EXPECT_EQ(Text(a.Get()), u"onetwo");
  ASSERT_EQ(a->put_text(u"three"), S_OK);
  EXPECT_EQ(Text(a.Get()), u"three");
  EXPECT_EQ(Text(text.Get()), u"three");  // the reused text node

  // Reloading swaps the tree; nodes of the old one keep it alive.
  VARIANT_BOOL loaded;
  ASSERT_EQ(document->load(com::Variant(U16(dir.File("doc.xml"))), &loaded),
            S_OK);
  EXPECT_EQ(Text(a.Get()), u"three");
  document.Reset();
  EXPECT_EQ(Text(text.Get()), u"three");
}

TEST(DomTest, AppendMovesWithinATreeAndCopiesNewNodesAcross) {
  TempDir dir;
  com::ComPtr<IXMLDOMDocument> document =
      LoadString(dir, "<ROOT><A><B/></A><C/></ROOT>");
  com::ComPtr<IXMLDOMNode> a, b, c, appended;
  document->selectSingleNode(u"ROOT/A", a.GetAddressOf());
  document->selectSingleNode(u"ROOT/A/B", b.GetAddressOf());
  document->selectSingleNode(u"ROOT/C", c.GetAddressOf());
  EXPECT_EQ(c->appendChild(b.Get(), appended.GetAddressOf()), S_OK);
  com::ComPtr<IXMLDOMNode> moved;
  EXPECT_EQ(document->selectSingleNode(u"ROOT/C/B", moved.GetAddressOf()),
            S_OK);
  // An element cannot go below itself; an attribute is no child.
  EXPECT_TRUE(FAILED(b->appendChild(c.Get(), nullptr)));
  com::ComPtr<IXMLDOMNode> attribute;
  ASSERT_EQ(document->createAttribute(u"X", attribute.GetAddressOf()), S_OK);
  EXPECT_EQ(c->appendChild(attribute.Get(), nullptr), E_INVALIDARG);

  // An element made by another document is copied in and follows its copy.
  com::ComPtr<IXMLDOMDocument> other;
  ASSERT_EQ(CreateDomDocument(other.GetAddressOf()), S_OK);
  com::ComPtr<IXMLDOMNode> created;
  ASSERT_EQ(other->createNode(com::Variant(LONG{NODE_ELEMENT}), u"NEW", u"",
                              created.GetAddressOf()),
            S_OK);
  com::ComPtr<IXMLDOMNode> parent;
  EXPECT_EQ(created->get_parentNode(parent.GetAddressOf()), S_FALSE);
  ASSERT_EQ(c->appendChild(created.Get(), appended.ReleaseAndGetAddressOf()),
            S_OK);
  ASSERT_EQ(created->put_text(u"in place"), S_OK);
  com::ComPtr<IXMLDOMNode> found;
  ASSERT_EQ(document->selectSingleNode(u"ROOT/C/NEW", found.GetAddressOf()),
            S_OK);
  EXPECT_EQ(Text(found.Get()), u"in place");
  // A node already in another document's tree is not taken.
  com::ComPtr<IXMLDOMNode> other_root;
  other->createNode(com::Variant(LONG{NODE_ELEMENT}), u"R", u"",
                    other_root.GetAddressOf());
  other->appendChild(other_root.Get(), nullptr);
  EXPECT_EQ(c->appendChild(other_root.Get(), nullptr), E_INVALIDARG);
}

TEST(DomTest, EveryObjectIsFreed) {
  {
    TempDir dir;
    com::ComPtr<IXMLDOMDocument> document =
        LoadString(dir, "<ROOT><A X=\"1\"/></ROOT>");
    CXDocument wrapped;
    wrapped.Attach(document.Get());
    CXNodeList list = wrapped.SelectNodes(u"ROOT/A");
    CXNode a = list.FirstNode();
    a.SetAttribute(u"Y", u"2");
    a.GetAttribute(u"X");
    EXPECT_GT(DomNode::InstanceCount(), 0);
  }
  EXPECT_EQ(DomDocument::InstanceCount(), 0);
  EXPECT_EQ(DomNode::InstanceCount(), 0);
  EXPECT_EQ(DomNodeList::InstanceCount(), 0);
  EXPECT_EQ(DomNamedNodeMap::InstanceCount(), 0);
}

}  // namespace
}  // namespace kavex::xmldoc
