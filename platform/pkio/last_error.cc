#include "platform/pkio/last_error.h"

#include "platform/sync/last_error.h"

namespace kavex::pkio {
namespace {
// One thread-local object: a shared library pays a look-up per variable.
struct ThreadError {
  DWORD error = 0;
  std::string reason;
};
thread_local ThreadError t_last;
}  // namespace

void SetError(DWORD code, std::string reason) {
  ThreadError& last = t_last;
  last.error = code;
  last.reason = std::move(reason);
  ::SetLastError(code);
}

void SetError(DWORD code) {
  ThreadError& last = t_last;
  last.error = code;
  if (!last.reason.empty()) last.reason.clear();
  ::SetLastError(code);
}

DWORD LastError() { return t_last.error; }
const char* LastErrorMessage() { return t_last.reason.c_str(); }

}  // namespace kavex::pkio
