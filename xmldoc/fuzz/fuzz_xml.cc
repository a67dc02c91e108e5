// The XML library's loaders on arbitrary bytes: the input is written to a
// file and loaded as a document; a loaded document is walked (child
// selections, attributes, text, typed values), saved and loaded again.
// Checked: a document the library saved loads again.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/com/bstr.h"
#include "platform/text/utf.h"
#include "xmldoc/cx_document.h"
#include "xmldoc/cx_node.h"
#include "xmldoc/cx_node_list.h"

namespace {

using kavex::xmldoc::CXDocument;
using kavex::xmldoc::CXNode;
using kavex::xmldoc::CXNodeList;

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

// A private directory for this process's two files.
const std::string& Directory() {
  static const std::string dir = [] {
    char name[] = "/tmp/kavex-fuzz-xml-XXXXXX";
    const char* made = mkdtemp(name);
    if (!made) std::abort();
    return std::string(made);
  }();
  return dir;
}

void Free(BSTR text) { SysFreeString(text); }

// Visits the node and, to a bounded depth, its element children.
void Walk(CXNode node, int depth) {
  Free(node.Text());
  Free(node.Text(kavex::xmldoc::XTEXT_UPPERCASE |
                 kavex::xmldoc::XTEXT_LOWERCASE));
  for (const char16_t* name : {u"Name", u"Active", u"Number", u"Address"}) {
    CXNode attribute = node.GetAttribute(name);
    Free(attribute.Text());
    VARIANT value = attribute.Value(VT_I4);
    VariantClear(&value);
  }
  VARIANT value = node.Value(VT_R8);
  VariantClear(&value);
  if (depth == 0) return;
  CXNodeList children = node.SelectNodes(u"*");
  const LONG count = children.Length();
  for (LONG i = 0; i < count && i < 64; ++i) Walk(children.Item(i), depth - 1);
  CXNode parent = node.ParentNode();
  (void)parent.Valid();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input = Directory() + "/input.xml";
  const std::string saved = Directory() + "/saved.xml";
  FILE* f = std::fopen(input.c_str(), "wb");
  if (!f) std::abort();
  if (size && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);

  const std::u16string input_path = kavex::text::Utf8ToUtf16(input);
  const std::u16string saved_path = kavex::text::Utf8ToUtf16(saved);
  CXDocument document;
  document.Load(input_path.c_str());
  if (!document.Valid()) return 0;
  Walk(document, 6);
  CXNodeList adapters = document.SelectNodes(u"ROOT/ADAPTER");
  for (CXNode adapter = adapters.FirstNode(); adapter.Valid();
       adapter = adapters.NextNode()) {
    Walk(adapter, 2);
  }
  document.Save(saved_path.c_str());
  if (document.ErrorCode() == 0) {
    CXDocument again;
    again.Load(saved_path.c_str());
    Check(again.Valid(), "a saved document loads again");
  }
  return 0;
}
