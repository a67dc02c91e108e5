#include "platform/pkio/last_error.h"

#include "platform/sync/last_error.h"

namespace pkio {
namespace {
thread_local DWORD t_error = 0;
thread_local std::string t_reason;
}  // namespace

void SetError(DWORD code, std::string reason) {
  t_error = code;
  t_reason = std::move(reason);
  ::SetLastError(code);
}

void SetError(DWORD code) {
  t_error = code;
  if (!t_reason.empty()) t_reason.clear();
  ::SetLastError(code);
}

DWORD LastError() { return t_error; }
const char* LastErrorMessage() { return t_reason.c_str(); }

}  // namespace pkio
