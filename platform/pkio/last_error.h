// The library's per-thread last error: a Win32-style number and a readable
// reason.
#ifndef KAVEX_PLATFORM_PKIO_LAST_ERROR_H_
#define KAVEX_PLATFORM_PKIO_LAST_ERROR_H_

#include <string>

#include "platform/base/types.h"

namespace kavex::pkio {

// Sets the library's and the platform's last error; a non-empty reason is
// kept for Pkio_GetLastErrorMessageA.
void SetError(DWORD code, std::string reason);
// Without a reason; cheap enough for every posted read.
void SetError(DWORD code);
DWORD LastError();
const char* LastErrorMessage();

}  // namespace kavex::pkio

#endif  // KAVEX_PLATFORM_PKIO_LAST_ERROR_H_
