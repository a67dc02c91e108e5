// CXError: the error record every document, node, node list and attribute
// map carries. Operations never throw; they record what went wrong here and
// leave the object (or their result) invalid.
#ifndef KAVEX_XMLDOC_CX_ERROR_H_
#define KAVEX_XMLDOC_CX_ERROR_H_

#include <string>
#include <string_view>
#include <utility>

#include "platform/base/types.h"

namespace kavex::xmldoc {

class CXError {
 public:
  CXError() = default;
  CXError(HRESULT code, std::u16string_view description)
      : code_(code), description_(description) {}

  // 0: no error. Failures are negative HRESULTs; the attribute look-ups also
  // record the parser's positive "not there" status (1).
  HRESULT Code() const { return code_; }
  // Owned by the record; never null.
  const OLECHAR* Description() const { return description_.c_str(); }

 private:
  HRESULT code_ = 0;
  std::u16string description_;
};

}  // namespace kavex::xmldoc

#endif  // KAVEX_XMLDOC_CX_ERROR_H_
