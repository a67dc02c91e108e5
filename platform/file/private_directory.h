// Whether a directory is safe to keep files in: nobody but the caller and
// root can change what its names point to.
//
// The directory and every directory above it (after symbolic links are
// resolved) must belong to root or to the caller and must not be writable by
// other users: not by every user, and not by a group unless it is the
// owner's private group (a group of the same name as the owner, with no
// other members). A parent that everybody may write, like /tmp, is accepted
// when it has the sticky bit, since then nobody can rename or remove another
// user's entries in it.
#ifndef KAVEX_PLATFORM_FILE_PRIVATE_DIRECTORY_H_
#define KAVEX_PLATFORM_FILE_PRIVATE_DIRECTORY_H_

#include <string>

#include "platform/base/types.h"

namespace kavex::file {

// Why a directory is not private, in words for the operator.
struct DirectoryProblem {
  std::string path;  // the directory at fault: the one asked about or a parent
  std::string reason;  // e.g. "is writable by every user (mode 0777)"
  std::string fix;     // e.g. "chmod o-w /srv/kavex"
};

// ERROR_SUCCESS for a private directory; ERROR_ACCESS_DENIED with *problem
// filled in for one that is not; ERROR_FILE_NOT_FOUND or
// ERROR_PATH_NOT_FOUND when `path` is missing or not a directory;
// ERROR_CANT_RESOLVE_FILENAME for a loop of links.
DWORD CheckPrivateDirectory(const std::string& path, DirectoryProblem* problem);

}  // namespace kavex::file

#endif  // KAVEX_PLATFORM_FILE_PRIVATE_DIRECTORY_H_
