// Test helper: the calling thread's error info as "source|description".
#ifndef KAVEX_SERVER_OBJECTS_TESTING_ERROR_INFO_H_
#define KAVEX_SERVER_OBJECTS_TESTING_ERROR_INFO_H_

#include <string>

#include "platform/com/bstr.h"
#include "platform/com/com_ptr.h"
#include "platform/com/error_info.h"

namespace kavex::server::testing {

// Takes (and so clears) the error info; "" when there is none.
inline std::string TakeErrorInfo() {
  com::ComPtr<IErrorInfo> info;
  if (GetErrorInfo(0, info.GetAddressOf()) != S_OK) return "";
  com::Bstr source, description;
  info->GetSource(source.Out());
  info->GetDescription(description.Out());
  return source.ToUtf8() + "|" + description.ToUtf8();
}

}  // namespace kavex::server::testing

#endif  // KAVEX_SERVER_OBJECTS_TESTING_ERROR_INFO_H_
