#include "platform/sync/last_error.h"

namespace kavex::sync {
namespace {
thread_local DWORD last_error = 0;
}

}  // namespace kavex::sync

DWORD GetLastError() { return kavex::sync::last_error; }

void SetLastError(DWORD error) { kavex::sync::last_error = error; }
