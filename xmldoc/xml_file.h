// Reading and replacing the files documents are kept in (on platform/file),
// with the library's own result codes.
#ifndef KAVEX_XMLDOC_XML_FILE_H_
#define KAVEX_XMLDOC_XML_FILE_H_

#include <string>
#include <string_view>

#include "platform/base/types.h"

namespace kavex::xmldoc {

// Files larger than this are refused rather than read into memory.
constexpr size_t kMaxXmlFileBytes = size_t{512} << 20;

// Reads the whole of a regular file (not a directory, pipe or device).
HRESULT ReadXmlFile(const std::string& path, std::string* bytes);

// Replaces the file at `path` (or the file a symbolic link of the caller's
// or root's there points to) with `bytes`, atomically: a crash or a full
// disk leaves either the old file or the new one, never a mixture, and a
// failure leaves the old one untouched (file::ReplaceFile). A new file gets
// mode 0644, a replaced one keeps its mode. A dangling link or a loop of
// links is refused, not replaced.
HRESULT ReplaceXmlFile(const std::string& path, std::string_view bytes);

}  // namespace kavex::xmldoc

#endif  // KAVEX_XMLDOC_XML_FILE_H_
