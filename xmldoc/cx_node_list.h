// CXNodeList: the result of a selection, with a cursor, as a value.
#ifndef KAVEX_XMLDOC_CX_NODE_LIST_H_
#define KAVEX_XMLDOC_CX_NODE_LIST_H_

#include "platform/base/types.h"
#include "platform/com/com_ptr.h"
#include "xmldoc/cx_error.h"
#include "xmldoc/dom.h"

namespace kavex::xmldoc {

class CXNode;

class CXNodeList {
 public:
  // Invalid, with the error "Xdomlib: Invalid node list".
  CXNodeList();
  // Wraps `list` (its own reference), no error.
  explicit CXNodeList(IXMLDOMNodeList* list);
  CXNodeList(const CXNodeList& other);
  CXNodeList& operator=(const CXNodeList& other);
  virtual ~CXNodeList();

  int Valid() const { return list_ ? 1 : 0; }
  // Number of nodes; 0 for an invalid list.
  LONG Length();
  // Rewinds the cursor. Copies of a list share it.
  void Reset();
  // Reset() then NextNode().
  CXNode FirstNode();
  // The node at the cursor, which moves on; past the end an invalid node.
  CXNode NextNode();
  // The node at a 0-based index; outside the list an invalid node.
  CXNode Item(LONG index);

  LONG ErrorCode() const { return error_.Code(); }
  const OLECHAR* ErrorDescription() const { return error_.Description(); }
  void SetError(CXError error) { error_ = std::move(error); }
  void Attach(IUnknown* object);
  IUnknown* GetInterface() const { return list_.Get(); }

 private:
  // The result of a list operation, with this list's error passed on.
  CXNode Result(IXMLDOMNode* node) const;

  com::ComPtr<IXMLDOMNodeList> list_;
  CXError error_;
};

}  // namespace kavex::xmldoc

#endif  // KAVEX_XMLDOC_CX_NODE_LIST_H_
