// The document object of the DOM parser: loading, saving, creating nodes.
#include <atomic>
#include <new>
#include <string>

#include "platform/com/bstr.h"
#include "xmldoc/dom_impl.h"
#include "xmldoc/xml_file.h"

namespace kavex::xmldoc {
namespace {

// Files are written as UTF-8 and say so, whatever they were read as.
constexpr char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

class StringWriter : public pugi::xml_writer {
 public:
  explicit StringWriter(std::string* out) : out_(out) {}
  void write(const void* data, size_t size) override {
    out_->append(static_cast<const char*>(data), size);
  }

 private:
  std::string* out_;
};

// A well-formed document has exactly one element at the top.
bool HasOneRootElement(const pugi::xml_document& document) {
  int elements = 0;
  for (pugi::xml_node child : document.children())
    if (child.type() == pugi::node_element) ++elements;
  return elements == 1;
}

// Indentation grows with the square of the depth; deeper documents are
// written without it.
constexpr int kMaxIndentedDepth = 100;

bool DeeperThan(const pugi::xml_node& top, int limit) {
  int depth = 0;
  pugi::xml_node cur = top.first_child();
  while (cur) {
    if (cur.first_child()) {
      if (++depth > limit) return true;
      cur = cur.first_child();
      continue;
    }
    while (cur != top && !cur.next_sibling()) {
      cur = cur.parent();
      --depth;
    }
    if (cur == top) break;
    cur = cur.next_sibling();
  }
  return false;
}

bool PathOf(const VARIANT& v, std::string* path) {
  if (v.vt != VT_BSTR) return false;
  *path = text::Utf16ToUtf8(com::BstrView(v.bstrVal));
  return true;
}

}  // namespace

HRESULT DomDocument::QueryExtraInterface(REFIID iid, void** out) {
  if (iid != IID_IXMLDOMNode) return E_NOINTERFACE;
  AddRef();
  *out = static_cast<IXMLDOMNode*>(this);
  return S_OK;
}

// Loading is always synchronous; the call is accepted for either mode so
// that callers written for an asynchronous parser work unchanged.
HRESULT DomDocument::put_async(VARIANT_BOOL) { return S_OK; }

HRESULT DomDocument::load(VARIANT source, VARIANT_BOOL* is_successful) {
  if (is_successful == nullptr) return E_POINTER;
  *is_successful = VARIANT_FALSE;
  std::string path;
  if (!PathOf(source, &path)) return E_INVALIDARG;
  try {
    auto tree = std::make_shared<DomTree>();
    if (FAILED(ReadXmlFile(path, &tree->source))) return S_FALSE;
    // The encoding comes from the byte order mark or the declaration.
    pugi::xml_parse_result parsed = tree->document.load_buffer_inplace(
        tree->source.data(), tree->source.size(), pugi::parse_default,
        pugi::encoding_auto);
    if (!parsed || !HasOneRootElement(tree->document)) return S_FALSE;
    tree_ = std::move(tree);
  } catch (const std::bad_alloc&) {
    return S_FALSE;
  }
  *is_successful = VARIANT_TRUE;
  return S_OK;
}

HRESULT DomDocument::save(VARIANT destination) {
  std::string path;
  if (!PathOf(destination, &path)) return E_INVALIDARG;
  try {
    std::string text = kDeclaration;
    StringWriter writer(&text);
    unsigned layout = DeeperThan(tree_->document, kMaxIndentedDepth)
                          ? pugi::format_raw
                          : pugi::format_indent;
    tree_->document.save(writer, "\t", layout | pugi::format_no_declaration,
                         pugi::encoding_utf8);
    return ReplaceXmlFile(path, text);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT DomDocument::createNode(VARIANT type, const OLECHAR* name,
                                const OLECHAR* namespace_uri,
                                IXMLDOMNode** node) {
  if (node == nullptr) return E_POINTER;
  *node = nullptr;
  com::Variant kind;
  if (FAILED(VariantChangeType(&kind, &type, 0, VT_I4))) return E_INVALIDARG;
  if (namespace_uri != nullptr && namespace_uri[0] != 0) return E_NOTIMPL;
  if (kind.lVal == NODE_ATTRIBUTE) return createAttribute(name, node);
  if (kind.lVal != NODE_ELEMENT) return E_INVALIDARG;
  try {
    std::string element_name = ToUtf8(name);
    if (!IsXmlName(element_name)) return E_FAIL;
    pugi::xml_node created = tree_->detached.append_child(element_name.c_str());
    if (!created) return E_OUTOFMEMORY;
    return WrapNode(tree_, NodeRef{created, {}}, node);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT DomDocument::createAttribute(const OLECHAR* name,
                                     IXMLDOMNode** attribute) {
  if (attribute == nullptr) return E_POINTER;
  *attribute = nullptr;
  try {
    std::string attribute_name = ToUtf8(name);
    if (!IsXmlName(attribute_name)) return E_FAIL;
    pugi::xml_attribute created =
        tree_->attribute_holder.append_attribute(attribute_name.c_str());
    if (!created) return E_OUTOFMEMORY;
    return WrapNode(tree_, NodeRef{tree_->attribute_holder, created},
                    attribute);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

namespace {

HRESULT CreateRealDocument(IXMLDOMDocument** document) {
  com::ComPtr<DomDocument> created;
  HRESULT hr = DomDocument::CreateInstance(&created);
  if (FAILED(hr)) return hr;
  *document = created.Detach();
  return S_OK;
}

std::atomic<DomDocumentFactory> factory{&CreateRealDocument};

}  // namespace

HRESULT CreateDomDocument(IXMLDOMDocument** document) {
  if (document == nullptr) return E_POINTER;
  *document = nullptr;
  return factory.load()(document);
}

void SetDomDocumentFactoryForTesting(DomDocumentFactory replacement) {
  factory.store(replacement ? replacement : &CreateRealDocument);
}

}  // namespace kavex::xmldoc
