#include "xmldoc/xml_file.h"

#include "platform/base/results.h"
#include "platform/file/file.h"

namespace kavex::xmldoc {
namespace {

// The codes the document reports for the file layer's errors.
HRESULT FromFileError(DWORD error) {
  switch (error) {
    case ERROR_SUCCESS:
      return S_OK;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_PATHNAME:
    case ERROR_CANT_RESOLVE_FILENAME:
      return HRESULT_FROM_WIN32(error);
    case ERROR_ACCESS_DENIED:
      return E_ACCESSDENIED;
    case ERROR_DISK_FULL:
    case ERROR_FILE_TOO_LARGE:
      return STG_E_MEDIUMFULL;
    case ERROR_NOT_ENOUGH_MEMORY:
      return E_OUTOFMEMORY;
    default:
      return E_FAIL;
  }
}

}  // namespace

HRESULT ReadXmlFile(const std::string& path, std::string* bytes) {
  const DWORD rc = file::ReadWholeFile(path, kMaxXmlFileBytes, bytes);
  // Too large to read is a memory matter, not a full medium.
  return rc == ERROR_FILE_TOO_LARGE ? E_OUTOFMEMORY : FromFileError(rc);
}

HRESULT ReplaceXmlFile(const std::string& path, std::string_view bytes) {
  return FromFileError(file::ReplaceFile(path, bytes));
}

}  // namespace kavex::xmldoc
