// The DOM parser objects behind dom.h, on pugixml. Internal to the library.
//
// pugixml hands out plain handles into a tree that a document owns, so every
// object here holds the tree it points into (DomTree, shared) and the tree is
// freed with the last object. No node is ever freed before that: nodes made
// by createNode wait in a side tree and are copied in when appended, and text
// replacement reuses text nodes instead of removing them. That is what keeps
// a handle held by one wrapper valid whatever is done through another.
#ifndef KAVEX_XMLDOC_DOM_IMPL_H_
#define KAVEX_XMLDOC_DOM_IMPL_H_

#include <memory>
#include <pugixml.hpp>
#include <string>
#include <vector>

#include "platform/com/com_object.h"
#include "xmldoc/dom.h"

namespace kavex::xmldoc {

struct DomTree {
  DomTree();
  // The file as read; the document parses it in place and points into it,
  // so it is declared first and freed last.
  std::string source;
  pugi::xml_document document;
  // Nodes created but not appended (yet); never shown, never saved.
  pugi::xml_document detached;
  // Element of `detached` that holds the attributes createAttribute made.
  pugi::xml_node attribute_holder;
};
using TreePtr = std::shared_ptr<DomTree>;

// A node of a tree; an attribute is named together with its element, which
// the XPath engine needs as its context.
struct NodeRef {
  pugi::xml_node node;
  pugi::xml_attribute attribute;

  bool IsAttribute() const { return !attribute.empty(); }
  bool Empty() const { return node.empty() && attribute.empty(); }
};

// Asked of a node with QueryInterface to reach the object behind it.
inline constexpr IID IID_DomNodeObject =
    com::GuidLiteral("{6B0D4C1E-2F57-4A8B-9D3E-5C7A1F20B841}");

// The node operations, shared by nodes and by the document's node face.
HRESULT GetNodeText(const NodeRef& ref, BSTR* text);
HRESULT PutNodeText(NodeRef ref, const OLECHAR* text);
HRESULT GetParentNode(const TreePtr& tree, const NodeRef& ref,
                      IXMLDOMNode** parent);
HRESULT GetNodeAttributes(const TreePtr& tree, const NodeRef& ref,
                          IXMLDOMNamedNodeMap** attributes);
HRESULT AppendChildNode(const TreePtr& tree, const NodeRef& ref,
                        IXMLDOMNode* child, IXMLDOMNode** appended);
HRESULT GetOwnerDocument(const TreePtr& tree, const NodeRef& ref,
                         IXMLDOMDocument** document);
HRESULT SelectNodeList(const TreePtr& tree, const NodeRef& ref,
                       const OLECHAR* query, IXMLDOMNodeList** list);
HRESULT SelectOneNode(const TreePtr& tree, const NodeRef& ref,
                      const OLECHAR* query, IXMLDOMNode** node);

// A wrapper for `ref`; null `ref` gives a null node and S_FALSE.
HRESULT WrapNode(const TreePtr& tree, const NodeRef& ref, IXMLDOMNode** out);

// Text helpers: a null pointer reads as the empty string.
std::string ToUtf8(const OLECHAR* text);
// XML names as the parser accepts them for new elements and attributes.
bool IsXmlName(const std::string& name);

class DomNode : public com::ComObject<DomNode, IXMLDOMNode> {
 public:
  DomNode(TreePtr tree, NodeRef ref)
      : tree_(std::move(tree)), ref_(std::move(ref)) {}

  HRESULT QueryExtraInterface(REFIID iid, void** out);

  HRESULT get_text(BSTR* text) override { return GetNodeText(ref_, text); }
  HRESULT put_text(const OLECHAR* text) override {
    return PutNodeText(ref_, text);
  }
  HRESULT get_parentNode(IXMLDOMNode** parent) override {
    return GetParentNode(tree_, ref_, parent);
  }
  HRESULT get_attributes(IXMLDOMNamedNodeMap** attributes) override {
    return GetNodeAttributes(tree_, ref_, attributes);
  }
  HRESULT appendChild(IXMLDOMNode* child, IXMLDOMNode** appended) override {
    return AppendChildNode(tree_, ref_, child, appended);
  }
  HRESULT get_ownerDocument(IXMLDOMDocument** document) override {
    return GetOwnerDocument(tree_, ref_, document);
  }
  HRESULT selectNodes(const OLECHAR* query, IXMLDOMNodeList** list) override {
    return SelectNodeList(tree_, ref_, query, list);
  }
  HRESULT selectSingleNode(const OLECHAR* query, IXMLDOMNode** node) override {
    return SelectOneNode(tree_, ref_, query, node);
  }

  const TreePtr& tree() const { return tree_; }
  const NodeRef& ref() const { return ref_; }
  bool IsDetached() const;
  // Points this object at the node it was copied to when it was appended.
  void Rebind(TreePtr tree, NodeRef ref) {
    tree_ = std::move(tree);
    ref_ = std::move(ref);
  }

 private:
  TreePtr tree_;
  NodeRef ref_;
};

class DomDocument : public com::ComObject<DomDocument, IXMLDOMDocument> {
 public:
  DomDocument() : tree_(std::make_shared<DomTree>()) {}
  explicit DomDocument(TreePtr tree) : tree_(std::move(tree)) {}

  HRESULT QueryExtraInterface(REFIID iid, void** out);

  HRESULT get_text(BSTR* text) override { return GetNodeText(Root(), text); }
  HRESULT put_text(const OLECHAR* text) override {
    return PutNodeText(Root(), text);
  }
  HRESULT get_parentNode(IXMLDOMNode** parent) override {
    return GetParentNode(tree_, Root(), parent);
  }
  HRESULT get_attributes(IXMLDOMNamedNodeMap** attributes) override {
    return GetNodeAttributes(tree_, Root(), attributes);
  }
  HRESULT appendChild(IXMLDOMNode* child, IXMLDOMNode** appended) override {
    return AppendChildNode(tree_, Root(), child, appended);
  }
  HRESULT get_ownerDocument(IXMLDOMDocument** document) override {
    return GetOwnerDocument(tree_, Root(), document);
  }
  HRESULT selectNodes(const OLECHAR* query, IXMLDOMNodeList** list) override {
    return SelectNodeList(tree_, Root(), query, list);
  }
  HRESULT selectSingleNode(const OLECHAR* query, IXMLDOMNode** node) override {
    return SelectOneNode(tree_, Root(), query, node);
  }

  HRESULT put_async(VARIANT_BOOL async) override;
  HRESULT load(VARIANT source, VARIANT_BOOL* is_successful) override;
  HRESULT save(VARIANT destination) override;
  HRESULT createNode(VARIANT type, const OLECHAR* name,
                     const OLECHAR* namespace_uri, IXMLDOMNode** node) override;
  HRESULT createAttribute(const OLECHAR* name,
                          IXMLDOMNode** attribute) override;

 private:
  NodeRef Root() const { return NodeRef{tree_->document, {}}; }

  TreePtr tree_;
};

class DomNodeList : public com::ComObject<DomNodeList, IXMLDOMNodeList> {
 public:
  DomNodeList(TreePtr tree, std::vector<NodeRef> nodes)
      : tree_(std::move(tree)), nodes_(std::move(nodes)) {}

  HRESULT get_item(LONG index, IXMLDOMNode** node) override;
  HRESULT get_length(LONG* length) override;
  HRESULT nextNode(IXMLDOMNode** node) override;
  HRESULT reset() override;

 private:
  TreePtr tree_;
  std::vector<NodeRef> nodes_;
  size_t cursor_ = 0;
};

class DomNamedNodeMap
    : public com::ComObject<DomNamedNodeMap, IXMLDOMNamedNodeMap> {
 public:
  DomNamedNodeMap(TreePtr tree, pugi::xml_node element)
      : tree_(std::move(tree)), element_(element) {}

  HRESULT getNamedItem(const OLECHAR* name, IXMLDOMNode** node) override;
  HRESULT setNamedItem(IXMLDOMNode* attribute, IXMLDOMNode** added) override;

 private:
  TreePtr tree_;
  pugi::xml_node element_;
};

}  // namespace kavex::xmldoc

#endif  // KAVEX_XMLDOC_DOM_IMPL_H_
