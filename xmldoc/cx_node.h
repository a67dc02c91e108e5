// CXNode: a node of an XML document, as a value. Copies share the parser's
// node, so a change made through one copy is seen through every other.
//
// Operations never throw. A failure is recorded in the node's error record,
// and every node or list an operation returns carries the error record of
// the node it came from when that holds an error, so a failure early in a
// chain of calls is still visible at its end. Callers test Valid().
#ifndef KAVEX_XMLDOC_CX_NODE_H_
#define KAVEX_XMLDOC_CX_NODE_H_

#include "platform/base/types.h"
#include "platform/com/com_ptr.h"
#include "platform/com/variant.h"
#include "xmldoc/cx_attributes.h"
#include "xmldoc/cx_error.h"
#include "xmldoc/cx_node_list.h"
#include "xmldoc/dom.h"

namespace kavex::xmldoc {

class CXDocument;

// Text(flags) case folding.
constexpr ULONG XTEXT_UPPERCASE = 1;
constexpr ULONG XTEXT_LOWERCASE = 2;

class CXNode {
 public:
  // Invalid, with the error "Xdomlib: Invalid node".
  CXNode();
  // Wraps `node` (its own reference; null gives an invalid node), no error.
  explicit CXNode(IXMLDOMNode* node);
  CXNode(const CXNode& other);
  CXNode& operator=(const CXNode& other);
  virtual ~CXNode();

  int Valid() const { return node_ ? 1 : 0; }

  // The text content (for an element, the text of everything below it; for
  // an attribute, its value) as a new BSTR the caller frees; "" when there
  // is no node or on failure.
  BSTR Text();
  // Text() folded to upper case (XTEXT_UPPERCASE), then to lower case
  // (XTEXT_LOWERCASE).
  BSTR Text(ULONG flags);
  // Replaces the text content; does nothing without a node.
  void Text(const OLECHAR* text);

  // The text converted to `vt` by VariantChangeType. When it does not
  // convert: the zero of `vt` ("" for VT_BSTR) and an error naming the text
  // and the type. The caller clears the result.
  VARIANT Value(VARTYPE vt);

  // The attribute node of that name. The node's attribute map is fetched on
  // the first call and kept.
  CXNode GetAttribute(const OLECHAR* name);
  // Sets an attribute of this element, creating it when absent; returns it.
  CXNode SetAttribute(const OLECHAR* name, const OLECHAR* value);
  // A copy of the kept attribute map (invalid before the first
  // GetAttribute).
  CXAttributes Attributes() const { return attributes_; }
  CXNode ParentNode();

  // Selection relative to this node by an XPath query; the callers use
  // child paths such as "ROOT/ADAPTER". No match: an invalid node, or a
  // valid empty list.
  CXNode SelectSingleNode(const OLECHAR* query);
  CXNodeList SelectNodes(const OLECHAR* query);

  // Creates an element in `document` and appends it as this node's last
  // child; returns it.
  CXNode AddNode(const OLECHAR* name, CXDocument document);

  LONG ErrorCode() const { return error_.Code(); }
  const OLECHAR* ErrorDescription() const { return error_.Description(); }
  void SetError(CXError error) { error_ = std::move(error); }
  // Wraps the node interface of `object`; the error becomes the status of
  // that query.
  void Attach(IUnknown* object);
  // The parser's node, without a new reference.
  IUnknown* GetInterface() const { return node_.Get(); }

 protected:
  // `result` with this node's error passed on.
  CXNode Propagate(CXNode result) const;
  CXNodeList Propagate(CXNodeList result) const;

  com::ComPtr<IXMLDOMNode> node_;
  CXAttributes attributes_;
  CXError error_;
};

}  // namespace kavex::xmldoc

#endif  // KAVEX_XMLDOC_CX_NODE_H_
