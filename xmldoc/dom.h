// The DOM parser interfaces the document classes are built on, and the
// factory that stands in for creating "Msxml.DOMDocument".
//
// Only the operations the document classes need are declared. What they rely
// on, and what every implementation must therefore answer:
//   - load reports success through its VARIANT_BOOL, not through the HRESULT;
//   - selectSingleNode, nextNode and get_item answer "nothing there" with a
//     null node and S_FALSE;
//   - getNamedItem answers an absent name with a null node and S_FALSE;
//   - get_attributes answers a node that cannot have attributes with a null
//     map and S_FALSE.
// Strings passed in are NUL-terminated and only read; a null pointer reads
// as the empty string. BSTRs handed out belong to the caller.
#ifndef KAVEX_XMLDOC_DOM_H_
#define KAVEX_XMLDOC_DOM_H_

#include "platform/base/types.h"
#include "platform/com/unknown.h"
#include "platform/com/variant.h"

struct IXMLDOMDocument;
struct IXMLDOMNodeList;
struct IXMLDOMNamedNodeMap;

// DOM node types understood by createNode.
constexpr LONG NODE_ELEMENT = 1;
constexpr LONG NODE_ATTRIBUTE = 2;

struct IXMLDOMNode : public IUnknown {
  virtual HRESULT get_text(BSTR* text) = 0;
  virtual HRESULT put_text(const OLECHAR* text) = 0;
  virtual HRESULT get_parentNode(IXMLDOMNode** parent) = 0;
  virtual HRESULT get_attributes(IXMLDOMNamedNodeMap** attributes) = 0;
  virtual HRESULT appendChild(IXMLDOMNode* child, IXMLDOMNode** appended) = 0;
  virtual HRESULT get_ownerDocument(IXMLDOMDocument** document) = 0;
  virtual HRESULT selectNodes(const OLECHAR* query, IXMLDOMNodeList** list) = 0;
  virtual HRESULT selectSingleNode(const OLECHAR* query,
                                   IXMLDOMNode** node) = 0;
};

struct IXMLDOMDocument : public IXMLDOMNode {
  virtual HRESULT put_async(VARIANT_BOOL async) = 0;
  // source: a VT_BSTR path.
  virtual HRESULT load(VARIANT source, VARIANT_BOOL* is_successful) = 0;
  // destination: a VT_BSTR path. The file is replaced only once the new
  // content is completely on disk.
  virtual HRESULT save(VARIANT destination) = 0;
  // type: NODE_ELEMENT or NODE_ATTRIBUTE as any integer variant. The new
  // node belongs to this document but has no parent until appended.
  virtual HRESULT createNode(VARIANT type, const OLECHAR* name,
                             const OLECHAR* namespace_uri,
                             IXMLDOMNode** node) = 0;
  virtual HRESULT createAttribute(const OLECHAR* name,
                                  IXMLDOMNode** attribute) = 0;
};

struct IXMLDOMNodeList : public IUnknown {
  virtual HRESULT get_item(LONG index, IXMLDOMNode** node) = 0;
  virtual HRESULT get_length(LONG* length) = 0;
  virtual HRESULT nextNode(IXMLDOMNode** node) = 0;
  virtual HRESULT reset() = 0;
};

struct IXMLDOMNamedNodeMap : public IUnknown {
  virtual HRESULT getNamedItem(const OLECHAR* name, IXMLDOMNode** node) = 0;
  // Adds the attribute (created by createAttribute) to the element, or
  // replaces the value of the one of the same name; returns the attribute
  // as it now is in the element.
  virtual HRESULT setNamedItem(IXMLDOMNode* attribute, IXMLDOMNode** added) = 0;
};

KAVEX_DECLARE_IID(IXMLDOMNode, "{2933BF80-7B36-11D2-B20E-00C04F983E60}");
KAVEX_DECLARE_IID(IXMLDOMDocument, "{2933BF81-7B36-11D2-B20E-00C04F983E60}");
KAVEX_DECLARE_IID(IXMLDOMNodeList, "{2933BF82-7B36-11D2-B20E-00C04F983E60}");
KAVEX_DECLARE_IID(IXMLDOMNamedNodeMap,
                  "{2933BF83-7B36-11D2-B20E-00C04F983E60}");

namespace kavex::xmldoc {

// Creates an empty parser document (the "Msxml.DOMDocument" class).
HRESULT CreateDomDocument(IXMLDOMDocument** document);

// Tests replace the document factory to see how the classes behave when the
// parser cannot be created; nullptr restores the real one.
using DomDocumentFactory = HRESULT (*)(IXMLDOMDocument** document);
void SetDomDocumentFactoryForTesting(DomDocumentFactory factory);

}  // namespace kavex::xmldoc

#endif  // KAVEX_XMLDOC_DOM_H_
