#include "xmldoc/cx_node_list.h"

#include "xmldoc/cx_node.h"

namespace kavex::xmldoc {

CXNodeList::CXNodeList() : error_(E_FAIL, u"Xdomlib: Invalid node list") {}

CXNodeList::CXNodeList(IXMLDOMNodeList* list) : list_(list) {}

CXNodeList::CXNodeList(const CXNodeList& other) = default;
CXNodeList& CXNodeList::operator=(const CXNodeList& other) = default;
CXNodeList::~CXNodeList() = default;

CXNode CXNodeList::Result(IXMLDOMNode* node) const {
  CXNode result(node);
  if (error_.Code() != 0) result.SetError(error_);
  return result;
}

LONG CXNodeList::Length() {
  if (!list_) return 0;
  LONG length = 0;
  HRESULT hr = list_->get_length(&length);
  if (FAILED(hr)) {
    error_ = CXError(hr, u"Xdomlib: Could not get the length of the node list");
    return 0;
  }
  return length;
}

void CXNodeList::Reset() {
  if (!list_) return;
  HRESULT hr = list_->reset();
  if (FAILED(hr)) error_ = CXError(hr, u"Xdomlib: Could not reset node list");
}

CXNode CXNodeList::FirstNode() {
  Reset();
  return NextNode();
}

CXNode CXNodeList::NextNode() {
  com::ComPtr<IXMLDOMNode> node;
  if (list_) {
    HRESULT hr = list_->nextNode(node.GetAddressOf());
    if (FAILED(hr))
      error_ = CXError(hr, u"Xdomlib: Could not get the next node in the list");
  }
  return Result(node.Get());
}

CXNode CXNodeList::Item(LONG index) {
  com::ComPtr<IXMLDOMNode> node;
  if (list_) {
    HRESULT hr = list_->get_item(index, node.GetAddressOf());
    if (FAILED(hr))
      error_ = CXError(hr, u"Xdomlib: Could not get the node from the list");
  }
  return Result(node.Get());
}

void CXNodeList::Attach(IUnknown* object) {
  if (object == nullptr) {
    error_ = CXError(E_POINTER, u"Xdomlib: Nothing to attach");
    return;
  }
  com::ComPtr<IXMLDOMNodeList> list;
  HRESULT hr = object->QueryInterface(list.GetAddressOf());
  list_ = list;
  error_ = CXError(hr, u"");
}

}  // namespace kavex::xmldoc
