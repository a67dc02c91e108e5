// Node lists and attribute maps of the DOM parser.
#include <new>
#include <string>

#include "xmldoc/dom_impl.h"

namespace kavex::xmldoc {

HRESULT DomNodeList::get_item(LONG index, IXMLDOMNode** node) {
  if (node == nullptr) return E_POINTER;
  *node = nullptr;
  if (index < 0 || static_cast<size_t>(index) >= nodes_.size()) return S_FALSE;
  return WrapNode(tree_, nodes_[static_cast<size_t>(index)], node);
}

HRESULT DomNodeList::get_length(LONG* length) {
  if (length == nullptr) return E_POINTER;
  *length = static_cast<LONG>(nodes_.size());
  return S_OK;
}

HRESULT DomNodeList::nextNode(IXMLDOMNode** node) {
  if (node == nullptr) return E_POINTER;
  *node = nullptr;
  if (cursor_ >= nodes_.size()) return S_FALSE;
  HRESULT hr = WrapNode(tree_, nodes_[cursor_], node);
  if (SUCCEEDED(hr)) ++cursor_;
  return hr;
}

HRESULT DomNodeList::reset() {
  cursor_ = 0;
  return S_OK;
}

HRESULT DomNamedNodeMap::getNamedItem(const OLECHAR* name, IXMLDOMNode** node) {
  if (node == nullptr) return E_POINTER;
  *node = nullptr;
  try {
    pugi::xml_attribute found = element_.attribute(ToUtf8(name).c_str());
    if (!found) return S_FALSE;
    return WrapNode(tree_, NodeRef{element_, found}, node);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT DomNamedNodeMap::setNamedItem(IXMLDOMNode* attribute,
                                      IXMLDOMNode** added) {
  if (added != nullptr) *added = nullptr;
  if (attribute == nullptr) return E_INVALIDARG;
  com::ComPtr<DomNode> object;
  if (FAILED(attribute->QueryInterface(
          IID_DomNodeObject, reinterpret_cast<void**>(object.GetAddressOf()))))
    return E_INVALIDARG;
  if (!object->ref().IsAttribute()) return E_INVALIDARG;
  const pugi::xml_attribute source = object->ref().attribute;
  if (object->ref().node == element_) {  // already this element's
    if (added != nullptr) *added = object.Detach();
    return S_OK;
  }
  try {
    // Attributes cannot move between elements: the name and value are
    // copied, and a newly created attribute object follows its copy.
    pugi::xml_attribute target = element_.attribute(source.name());
    if (!target) target = element_.append_attribute(source.name());
    if (!target || !target.set_value(source.value())) return E_OUTOFMEMORY;
    NodeRef placed{element_, target};
    if (object->IsDetached()) {
      object->Rebind(tree_, placed);
      if (added != nullptr) *added = object.Detach();
      return S_OK;
    }
    return added != nullptr ? WrapNode(tree_, placed, added) : S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace kavex::xmldoc
