#include "xmldoc/cx_document.h"

#include "xmldoc/cx_text.h"

namespace kavex::xmldoc {

CXDocument::CXDocument()
    : document_error_(E_FAIL, u"Xdomlib: Invalid document") {
  CreateParser();
}

CXDocument::CXDocument(const CXDocument& other) = default;
CXDocument& CXDocument::operator=(const CXDocument& other) = default;
CXDocument::~CXDocument() = default;

HRESULT CXDocument::CreateParser() {
  document_.Reset();
  node_.Reset();
  attributes_ = CXAttributes();
  com::ComPtr<IXMLDOMDocument> created;
  HRESULT hr = CreateDomDocument(created.GetAddressOf());
  if (FAILED(hr)) return hr;
  if (!created) return E_FAIL;
  com::ComPtr<IXMLDOMNode> node;
  hr = created.As(&node);
  if (FAILED(hr)) return hr;
  document_ = created;
  node_ = node;
  return S_OK;
}

void CXDocument::Load(const OLECHAR* path) {
  com::Variant source(path ? path : u"");
  HRESULT hr = CreateParser();
  if (SUCCEEDED(hr)) {
    hr = document_->put_async(VARIANT_FALSE);
    if (FAILED(hr))
      document_error_ = CXError(
          hr, u"Xdomlib: Could not set file access method to asynchronos mode");
    VARIANT_BOOL loaded = VARIANT_FALSE;
    hr = document_->load(source, &loaded);
    if (SUCCEEDED(hr) && loaded == VARIANT_TRUE) {
      document_error_ = CXError();
      return;
    }
    if (SUCCEEDED(hr)) hr = E_FAIL;
  }
  document_.Reset();
  node_.Reset();
  document_error_ =
      CXError(hr, WithArgument(u"Xdomlib: Could not load file", path));
}

void CXDocument::Save(const OLECHAR* path) {
  HRESULT hr = E_FAIL;
  if (document_) hr = document_->save(com::Variant(path ? path : u""));
  if (SUCCEEDED(hr)) {
    document_error_ = CXError();
  } else {
    document_error_ =
        CXError(hr, WithArgument(u"Xdomlib: Could not save file", path));
  }
}

void CXDocument::Attach(IUnknown* object) {
  if (object == nullptr) {
    document_error_ = CXError(E_POINTER, u"Xdomlib: Nothing to attach");
    return;
  }
  com::ComPtr<IXMLDOMDocument> document;
  HRESULT hr = object->QueryInterface(document.GetAddressOf());
  com::ComPtr<IXMLDOMNode> node;
  if (document) document.As(&node);
  document_ = document;
  node_ = node;
  attributes_ = CXAttributes();
  document_error_ = CXError(hr, u"");
}

}  // namespace kavex::xmldoc
