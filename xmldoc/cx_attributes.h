// CXAttributes: the attribute map of an element node, as a value.
#ifndef KAVEX_XMLDOC_CX_ATTRIBUTES_H_
#define KAVEX_XMLDOC_CX_ATTRIBUTES_H_

#include "platform/base/types.h"
#include "platform/com/com_ptr.h"
#include "xmldoc/cx_error.h"
#include "xmldoc/dom.h"

namespace kavex::xmldoc {

class CXNode;

class CXAttributes {
 public:
  // Invalid, with the error "Xdomlib: Invalid attributes".
  CXAttributes();
  // Wraps `attributes` (its own reference; null gives an invalid map), no
  // error.
  explicit CXAttributes(IXMLDOMNamedNodeMap* attributes);
  CXAttributes(const CXAttributes& other);
  CXAttributes& operator=(const CXAttributes& other);
  virtual ~CXAttributes();

  int Valid() const { return map_ ? 1 : 0; }
  // The attribute node of that name; an absent one is an invalid node that
  // carries the code 1 and "Xdomlib: Could not get the attribute 'name'".
  CXNode Item(const OLECHAR* name);

  LONG ErrorCode() const { return error_.Code(); }
  const OLECHAR* ErrorDescription() const { return error_.Description(); }
  void SetError(CXError error) { error_ = std::move(error); }
  void Attach(IUnknown* object);
  // The parser's map, without a new reference.
  IUnknown* GetInterface() const { return map_.Get(); }

 private:
  com::ComPtr<IXMLDOMNamedNodeMap> map_;
  CXError error_;
};

}  // namespace kavex::xmldoc

#endif  // KAVEX_XMLDOC_CX_ATTRIBUTES_H_
