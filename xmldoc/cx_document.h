// CXDocument: an XML document, as a value. The node operations of CXNode
// apply to the document node (AddNode of the root element, selection of
// "ROOT/..."), with the node-level error record; Load, Save and the
// document's own Valid() and error record are the document level.
#ifndef KAVEX_XMLDOC_CX_DOCUMENT_H_
#define KAVEX_XMLDOC_CX_DOCUMENT_H_

#include "platform/base/types.h"
#include "platform/com/com_ptr.h"
#include "xmldoc/cx_error.h"
#include "xmldoc/cx_node.h"
#include "xmldoc/dom.h"

namespace kavex::xmldoc {

class CXDocument : public CXNode {
 public:
  // A new empty parser document. The document-level error reads
  // "Xdomlib: Invalid document" and the node-level one "Xdomlib: Invalid
  // node" even when that succeeds: Valid() is the test.
  CXDocument();
  CXDocument(const CXDocument& other);
  CXDocument& operator=(const CXDocument& other);
  virtual ~CXDocument();

  // Parses a file (UTF-8 or UTF-16, as its byte order mark or declaration
  // says) into a fresh document. On failure the document is invalid and the
  // error reads "Xdomlib: Could not load file 'path'".
  void Load(const OLECHAR* path);
  // Writes the document as UTF-8. The file is replaced only once the new
  // content is completely on disk; a failure leaves the old file as it was
  // and records "Xdomlib: Could not save file 'path'".
  void Save(const OLECHAR* path);

  int Valid() const { return document_ ? 1 : 0; }
  LONG ErrorCode() const { return document_error_.Code(); }
  const OLECHAR* ErrorDescription() const {
    return document_error_.Description();
  }
  void SetError(CXError error) { document_error_ = std::move(error); }
  // Wraps the document interface of `object` and its node interface.
  void Attach(IUnknown* object);
  // The parser's document, without a new reference.
  IUnknown* GetInterface() const { return document_.Get(); }

 private:
  // Replaces both references with a new parser document.
  HRESULT CreateParser();

  com::ComPtr<IXMLDOMDocument> document_;
  CXError document_error_;
};

}  // namespace kavex::xmldoc

#endif  // KAVEX_XMLDOC_CX_DOCUMENT_H_
