// Node operations of the DOM parser objects.
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "platform/com/bstr.h"
#include "platform/text/utf.h"
#include "xmldoc/dom_impl.h"

namespace kavex::xmldoc {
namespace {

bool IsTextNode(const pugi::xml_node& node) {
  return node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata;
}

// The concatenated text of every text node below `top`, in document order.
// Walked without recursion: documents may nest deeper than the stack allows.
std::string DescendantText(const pugi::xml_node& top) {
  std::string text;
  pugi::xml_node cur = top.first_child();
  while (cur) {
    if (IsTextNode(cur)) text += cur.value();
    if (cur.first_child()) {
      cur = cur.first_child();
      continue;
    }
    while (cur != top && !cur.next_sibling()) cur = cur.parent();
    if (cur == top) break;
    cur = cur.next_sibling();
  }
  return text;
}

HRESULT ReturnBstr(const std::string& utf8, BSTR* out) {
  *out = com::SysAllocStringUtf8(utf8);
  return *out ? S_OK : E_OUTOFMEMORY;
}

// Runs an XPath query; answers E_FAIL for a query the engine rejects.
HRESULT Evaluate(const NodeRef& ref, const OLECHAR* query,
                 pugi::xpath_node_set* result) {
  if (ref.Empty()) return E_FAIL;
  try {
    pugi::xpath_query compiled(ToUtf8(query).c_str());
    if (compiled.return_type() != pugi::xpath_type_node_set) return E_FAIL;
    pugi::xpath_node context = ref.IsAttribute()
                                   ? pugi::xpath_node(ref.attribute, ref.node)
                                   : pugi::xpath_node(ref.node);
    *result = compiled.evaluate_node_set(context);
    result->sort();
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const std::exception&) {
    return E_FAIL;
  }
}

NodeRef FromXPath(const pugi::xpath_node& found) {
  if (found.attribute()) return NodeRef{found.parent(), found.attribute()};
  return NodeRef{found.node(), {}};
}

}  // namespace

DomTree::DomTree() { attribute_holder = detached.append_child("attributes"); }

std::string ToUtf8(const OLECHAR* text) {
  return text ? text::Utf16ToUtf8(std::u16string_view(text)) : std::string();
}

bool IsXmlName(const std::string& name) {
  if (name.empty()) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    bool start = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' ||
                 c == ':' || c >= 0x80;
    bool inner = (c >= '0' && c <= '9') || c == '-' || c == '.';
    if (!start && (i == 0 || !inner)) return false;
  }
  return true;
}

HRESULT WrapNode(const TreePtr& tree, const NodeRef& ref, IXMLDOMNode** out) {
  *out = nullptr;
  if (ref.Empty()) return S_FALSE;
  com::ComPtr<DomNode> node;
  HRESULT hr = DomNode::CreateInstance(&node, tree, ref);
  if (FAILED(hr)) return hr;
  *out = node.Detach();
  return S_OK;
}

HRESULT GetNodeText(const NodeRef& ref, BSTR* text) {
  if (text == nullptr) return E_POINTER;
  *text = nullptr;
  try {
    if (ref.IsAttribute()) return ReturnBstr(ref.attribute.value(), text);
    switch (ref.node.type()) {
      case pugi::node_element:
      case pugi::node_document:
        return ReturnBstr(DescendantText(ref.node), text);
      default:
        return ReturnBstr(ref.node.value(), text);
    }
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT PutNodeText(NodeRef ref, const OLECHAR* text) {
  try {
    std::string value = ToUtf8(text);
    if (ref.IsAttribute())
      return ref.attribute.set_value(value.c_str()) ? S_OK : E_OUTOFMEMORY;
    if (IsTextNode(ref.node))
      return ref.node.set_value(value.c_str()) ? S_OK : E_OUTOFMEMORY;
    if (ref.node.type() != pugi::node_element) return E_FAIL;
    // The first text child takes the text and the others are emptied, so no
    // node anyone may hold is freed. Child elements would have to be removed
    // for that: refused.
    pugi::xml_node first_text;
    for (pugi::xml_node child : ref.node.children()) {
      if (!IsTextNode(child)) return E_FAIL;
      if (!first_text) first_text = child;
    }
    for (pugi::xml_node child : ref.node.children())
      if (child != first_text) child.set_value("");
    if (!first_text) first_text = ref.node.append_child(pugi::node_pcdata);
    return first_text && first_text.set_value(value.c_str()) ? S_OK
                                                             : E_OUTOFMEMORY;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT GetParentNode(const TreePtr& tree, const NodeRef& ref,
                      IXMLDOMNode** parent) {
  if (parent == nullptr) return E_POINTER;
  *parent = nullptr;
  // Attributes, the document and nodes not yet appended have no parent.
  if (ref.IsAttribute() || ref.node.type() == pugi::node_document ||
      ref.node.parent() == tree->detached)
    return S_FALSE;
  return WrapNode(tree, NodeRef{ref.node.parent(), {}}, parent);
}

HRESULT GetNodeAttributes(const TreePtr& tree, const NodeRef& ref,
                          IXMLDOMNamedNodeMap** attributes) {
  if (attributes == nullptr) return E_POINTER;
  *attributes = nullptr;
  if (ref.IsAttribute() || ref.node.type() != pugi::node_element)
    return S_FALSE;
  com::ComPtr<DomNamedNodeMap> map;
  HRESULT hr = DomNamedNodeMap::CreateInstance(&map, tree, ref.node);
  if (FAILED(hr)) return hr;
  *attributes = map.Detach();
  return S_OK;
}

HRESULT AppendChildNode(const TreePtr& tree, const NodeRef& ref,
                        IXMLDOMNode* child, IXMLDOMNode** appended) {
  if (appended != nullptr) *appended = nullptr;
  if (child == nullptr) return E_INVALIDARG;
  com::ComPtr<DomNode> object;
  if (FAILED(child->QueryInterface(
          IID_DomNodeObject, reinterpret_cast<void**>(object.GetAddressOf()))))
    return E_INVALIDARG;  // not a node of this parser
  const NodeRef& moving = object->ref();
  if (moving.IsAttribute() || moving.node.type() == pugi::node_document)
    return E_INVALIDARG;
  pugi::xml_node parent = ref.node;
  if (ref.IsAttribute() || (parent.type() != pugi::node_element &&
                            parent.type() != pugi::node_document))
    return E_FAIL;
  // A document has one element at the top, so that it saves well-formed.
  if (parent.type() == pugi::node_document &&
      moving.node.type() == pugi::node_element &&
      parent.find_child(
          [](pugi::xml_node n) { return n.type() == pugi::node_element; }))
    return E_FAIL;
  try {
    pugi::xml_node placed;
    if (!object->IsDetached() && object->tree() == tree) {
      placed = parent.append_move(moving.node);  // refuses a loop
    } else if (object->IsDetached()) {
      placed = parent.append_copy(moving.node);
      if (placed) object->Rebind(tree, NodeRef{placed, {}});
    } else {
      return E_INVALIDARG;  // belongs to another document
    }
    if (!placed) return E_FAIL;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  if (appended != nullptr) *appended = object.Detach();
  return S_OK;
}

HRESULT GetOwnerDocument(const TreePtr& tree, const NodeRef& ref,
                         IXMLDOMDocument** document) {
  if (document == nullptr) return E_POINTER;
  *document = nullptr;
  if (!ref.IsAttribute() && ref.node.type() == pugi::node_document)
    return S_FALSE;
  com::ComPtr<DomDocument> owner;
  HRESULT hr = DomDocument::CreateInstance(&owner, tree);
  if (FAILED(hr)) return hr;
  *document = owner.Detach();
  return S_OK;
}

HRESULT SelectNodeList(const TreePtr& tree, const NodeRef& ref,
                       const OLECHAR* query, IXMLDOMNodeList** list) {
  if (list == nullptr) return E_POINTER;
  *list = nullptr;
  pugi::xpath_node_set found;
  HRESULT hr = Evaluate(ref, query, &found);
  if (FAILED(hr)) return hr;
  std::vector<NodeRef> nodes;
  try {
    nodes.reserve(found.size());
    for (const pugi::xpath_node& n : found) nodes.push_back(FromXPath(n));
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  com::ComPtr<DomNodeList> result;
  hr = DomNodeList::CreateInstance(&result, tree, std::move(nodes));
  if (FAILED(hr)) return hr;
  *list = result.Detach();
  return S_OK;
}

HRESULT SelectOneNode(const TreePtr& tree, const NodeRef& ref,
                      const OLECHAR* query, IXMLDOMNode** node) {
  if (node == nullptr) return E_POINTER;
  *node = nullptr;
  pugi::xpath_node_set found;
  HRESULT hr = Evaluate(ref, query, &found);
  if (FAILED(hr)) return hr;
  if (found.empty()) return S_FALSE;
  return WrapNode(tree, FromXPath(found.first()), node);
}

bool DomNode::IsDetached() const { return ref_.node.root() == tree_->detached; }

HRESULT DomNode::QueryExtraInterface(REFIID iid, void** out) {
  if (iid != IID_DomNodeObject) return E_NOINTERFACE;
  AddRef();
  *out = this;
  return S_OK;
}

}  // namespace kavex::xmldoc
