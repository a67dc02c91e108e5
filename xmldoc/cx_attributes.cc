#include "xmldoc/cx_attributes.h"

#include "xmldoc/cx_node.h"
#include "xmldoc/cx_text.h"

namespace kavex::xmldoc {

CXAttributes::CXAttributes() : error_(E_FAIL, u"Xdomlib: Invalid attributes") {}

CXAttributes::CXAttributes(IXMLDOMNamedNodeMap* attributes)
    : map_(attributes) {}

CXAttributes::CXAttributes(const CXAttributes& other) = default;
CXAttributes& CXAttributes::operator=(const CXAttributes& other) = default;
CXAttributes::~CXAttributes() = default;

CXNode CXAttributes::Item(const OLECHAR* name) {
  com::ComPtr<IXMLDOMNode> found;
  if (map_) {
    HRESULT hr = map_->getNamedItem(name ? name : u"", found.GetAddressOf());
    // Even the "not there" status 1 is recorded.
    if (hr != S_OK)
      error_ = CXError(
          hr, WithArgument(u"Xdomlib: Could not get the attribute", name));
  }
  CXNode result(found.Get());
  if (error_.Code() != 0) result.SetError(error_);
  return result;
}

void CXAttributes::Attach(IUnknown* object) {
  if (object == nullptr) {
    error_ = CXError(E_POINTER, u"Xdomlib: Nothing to attach");
    return;
  }
  com::ComPtr<IXMLDOMNamedNodeMap> map;
  HRESULT hr = object->QueryInterface(map.GetAddressOf());
  map_ = map;
  error_ = CXError(hr, u"");
}

}  // namespace kavex::xmldoc
