#include "xmldoc/cx_node.h"

#include <locale.h>
#include <wctype.h>

#include <string>

#include "platform/com/bstr.h"
#include "xmldoc/cx_document.h"
#include "xmldoc/cx_text.h"

namespace kavex::xmldoc {
namespace {

// Names of the variant types in conversion errors, by the low 12 bits.
const char16_t* TypeName(VARTYPE vt) {
  switch (vt & VT_TYPEMASK) {
    case VT_EMPTY:
      return u"EMPTY";
    case VT_I2:
      return u"I2";
    case VT_I4:
      return u"I4";
    case VT_R4:
      return u"R4";
    case VT_R8:
      return u"R8";
    case VT_CY:
      return u"CY";
    case VT_DATE:
      return u"DATE";
    case VT_BSTR:
      return u"BSTR";
    case VT_BOOL:
      return u"BOOL";
    case VT_VARIANT:
      return u"VARIANT";
    case VT_UI1:
      return u"UI1";
    case VT_UI2:
      return u"UI2";
    default:
      return u"NULL";
  }
}

// Unicode case mapping without touching the process locale; plain ASCII
// when the C.UTF-8 locale is missing.
locale_t CaseLocale() {
  static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
  return locale;
}

void FoldCase(BSTR text, bool upper) {
  locale_t locale = CaseLocale();
  for (UINT i = 0, n = SysStringLen(text); i < n; ++i) {
    char16_t c = text[i];
    if (c >= 0xD800 && c <= 0xDFFF) continue;  // half of a pair: left alone
    if (locale != nullptr) {
      wint_t folded = upper ? towupper_l(c, locale) : towlower_l(c, locale);
      if (folded <= 0xFFFF) text[i] = static_cast<char16_t>(folded);
    } else if (upper && c >= u'a' && c <= u'z') {
      text[i] = static_cast<char16_t>(c - 32);
    } else if (!upper && c >= u'A' && c <= u'Z') {
      text[i] = static_cast<char16_t>(c + 32);
    }
  }
}

BSTR EmptyText() { return SysAllocString(u""); }

}  // namespace

CXNode::CXNode() : error_(E_FAIL, u"Xdomlib: Invalid node") {}

CXNode::CXNode(IXMLDOMNode* node) : node_(node) {}

CXNode::CXNode(const CXNode& other) = default;
CXNode& CXNode::operator=(const CXNode& other) = default;
CXNode::~CXNode() = default;

CXNode CXNode::Propagate(CXNode result) const {
  if (error_.Code() != 0) result.error_ = error_;
  return result;
}

CXNodeList CXNode::Propagate(CXNodeList result) const {
  if (error_.Code() != 0) result.SetError(error_);
  return result;
}

BSTR CXNode::Text() {
  if (!node_) return EmptyText();
  com::Bstr text;
  HRESULT hr = node_->get_text(text.Out());
  if (FAILED(hr)) {
    error_ = CXError(hr, u"Xdomlib: Could not get text");
    return EmptyText();
  }
  return text.Get() ? text.Detach() : EmptyText();
}

BSTR CXNode::Text(ULONG flags) {
  BSTR text = Text();
  if (flags & XTEXT_UPPERCASE) FoldCase(text, true);
  if (flags & XTEXT_LOWERCASE) FoldCase(text, false);
  return text;
}

void CXNode::Text(const OLECHAR* text) {
  if (!node_) return;
  HRESULT hr = node_->put_text(text ? text : u"");
  if (FAILED(hr)) error_ = CXError(hr, u"Xdomlib: Could not set text");
}

VARIANT CXNode::Value(VARTYPE vt) {
  com::Variant text = com::Variant::FromBstr(Text());
  VARIANT result;
  VariantInit(&result);
  HRESULT hr = VariantChangeType(&result, &text, 0, vt);
  if (SUCCEEDED(hr)) return result;

  std::u16string message =
      WithArgument(u"Xdomlib: Could not convert", text.bstrVal);
  message += u" to ";
  message += TypeName(vt);
  error_ = CXError(hr, message);
  if (vt == VT_BSTR) {
    result.vt = VT_BSTR;
    result.bstrVal = EmptyText();
  } else {
    com::Variant zero(LONG{0});
    if (FAILED(VariantChangeType(&result, &zero, 0, vt))) VariantInit(&result);
  }
  return result;
}

CXNode CXNode::GetAttribute(const OLECHAR* name) {
  if (!attributes_.Valid() && node_) {
    com::ComPtr<IXMLDOMNamedNodeMap> map;
    HRESULT hr = node_->get_attributes(map.GetAddressOf());
    // 1 (a node that cannot have attributes) is recorded too.
    if (hr != S_OK) error_ = CXError(hr, u"Xdomlib: Could not get attributes");
    attributes_ = CXAttributes(map.Get());
  }
  attributes_.SetError(CXError());
  return attributes_.Item(name);
}

CXNode CXNode::SetAttribute(const OLECHAR* name, const OLECHAR* value) {
  com::ComPtr<IXMLDOMDocument> owner;
  if (node_) node_->get_ownerDocument(owner.GetAddressOf());
  CXNode attribute = GetAttribute(name);
  if (!attribute.Valid()) {
    com::ComPtr<IXMLDOMNode> created;
    com::ComPtr<IXMLDOMNode> added;
    IXMLDOMNamedNodeMap* map =
        static_cast<IXMLDOMNamedNodeMap*>(attributes_.GetInterface());
    HRESULT hr = E_FAIL;
    if (owner && map != nullptr) {
      hr = owner->createAttribute(name ? name : u"", created.GetAddressOf());
      if (SUCCEEDED(hr))
        hr = map->setNamedItem(created.Get(), added.GetAddressOf());
    }
    if (FAILED(hr) || !added) {
      CXNode failed;
      failed.SetError(
          CXError(FAILED(hr) ? hr : E_FAIL,
                  WithArgument(u"Xdomlib: Could not set the attribute", name)));
      return failed;
    }
    attribute = CXNode(added.Get());
  }
  attribute.Text(value);
  return attribute;
}

CXNode CXNode::ParentNode() {
  com::ComPtr<IXMLDOMNode> parent;
  if (node_) {
    HRESULT hr = node_->get_parentNode(parent.GetAddressOf());
    if (FAILED(hr)) error_ = CXError(hr, u"Xdomlib: Could not get node");
  }
  return Propagate(CXNode(parent.Get()));
}

CXNode CXNode::SelectSingleNode(const OLECHAR* query) {
  com::ComPtr<IXMLDOMNode> found;
  if (node_) {
    HRESULT hr =
        node_->selectSingleNode(query ? query : u"", found.GetAddressOf());
    if (FAILED(hr))
      error_ = CXError(hr, WithArgument(u"Xdomlib: Could not get node", query));
  }
  return Propagate(CXNode(found.Get()));
}

CXNodeList CXNode::SelectNodes(const OLECHAR* query) {
  com::ComPtr<IXMLDOMNodeList> found;
  if (node_) {
    HRESULT hr = node_->selectNodes(query ? query : u"", found.GetAddressOf());
    if (FAILED(hr))
      error_ =
          CXError(hr, WithArgument(u"Xdomlib: Could not get nodes", query));
  }
  // Without a node (or on failure) the list is an invalid one with no error
  // of its own; this node's error says why.
  return Propagate(CXNodeList(found.Get()));
}

CXNode CXNode::AddNode(const OLECHAR* name, CXDocument document) {
  com::ComPtr<IXMLDOMNode> appended;
  if (node_) {
    auto* parser = static_cast<IXMLDOMDocument*>(document.GetInterface());
    HRESULT hr = E_FAIL;
    if (parser != nullptr) {
      com::Variant element(LONG{NODE_ELEMENT});
      com::ComPtr<IXMLDOMNode> created;
      hr = parser->createNode(element, name ? name : u"", u"",
                              created.GetAddressOf());
      if (SUCCEEDED(hr))
        hr = node_->appendChild(created.Get(), appended.GetAddressOf());
    }
    if (FAILED(hr)) error_ = CXError(hr, u"Xdomlib: Cannot Add Node");
  }
  return Propagate(CXNode(appended.Get()));
}

void CXNode::Attach(IUnknown* object) {
  if (object == nullptr) {
    error_ = CXError(E_POINTER, u"Xdomlib: Nothing to attach");
    return;
  }
  com::ComPtr<IXMLDOMNode> node;
  HRESULT hr = object->QueryInterface(node.GetAddressOf());
  node_ = node;
  // The kept attribute map belonged to the node held before.
  attributes_ = CXAttributes();
  error_ = CXError(hr, u"");
}

}  // namespace kavex::xmldoc
