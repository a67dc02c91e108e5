// Reading and replacing the files documents are kept in.
#ifndef KAVEX_XMLDOC_XML_FILE_H_
#define KAVEX_XMLDOC_XML_FILE_H_

#include <sys/types.h>

#include <string>
#include <string_view>

#include "platform/base/types.h"

namespace kavex::xmldoc {

// Files larger than this are refused rather than read into memory.
constexpr size_t kMaxXmlFileBytes = size_t{512} << 20;

// Reads the whole of a regular file (not a directory, pipe or device).
HRESULT ReadXmlFile(const std::string& path, std::string* bytes);

// Replaces the file at `path` (or the file a symbolic link there points to)
// with `bytes`. The new content goes to a new file in the same directory,
// which is flushed to disk and only then renamed over the old one, so a
// crash or a full disk leaves either the old file or the new one, never a
// mixture; a failure removes the new file and leaves the old untouched.
HRESULT ReplaceXmlFile(const std::string& path, std::string_view bytes);

// The system calls ReplaceXmlFile makes, so that tests can make them fail.
struct FileSystemCalls {
  ssize_t (*write)(int fd, const void* data, size_t size);
  int (*fsync)(int fd);
  int (*rename)(const char* from, const char* to);
};
// nullptr restores the real calls.
void SetFileSystemCallsForTesting(const FileSystemCalls* calls);

}  // namespace kavex::xmldoc

#endif  // KAVEX_XMLDOC_XML_FILE_H_
