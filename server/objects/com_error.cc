#include "server/objects/com_error.h"

#include "platform/com/bstr.h"
#include "platform/com/com_ptr.h"

namespace kavex::server {
namespace {

struct Message {
  uint32_t code;
  const char16_t* text;
};

// The system's texts for the Win32 errors a server call can meet (by their
// number; their HRESULTs carry it in the low word).
constexpr Message kWin32Messages[] = {
    {ERROR_INVALID_FUNCTION, u"Incorrect function."},
    {ERROR_FILE_NOT_FOUND, u"The system cannot find the file specified."},
    {ERROR_PATH_NOT_FOUND, u"The system cannot find the path specified."},
    {ERROR_ACCESS_DENIED, u"Access is denied."},
    {ERROR_INVALID_HANDLE, u"The handle is invalid."},
    {ERROR_NOT_ENOUGH_MEMORY,
     u"Not enough memory resources are available to process this command."},
    {ERROR_INVALID_DATA, u"The data is invalid."},
    {ERROR_OUTOFMEMORY,
     u"Not enough memory resources are available to complete this "
     u"operation."},
    {ERROR_NOT_SUPPORTED, u"The request is not supported."},
    {ERROR_INVALID_PARAMETER, u"The parameter is incorrect."},
    {ERROR_INSUFFICIENT_BUFFER,
     u"The data area passed to a system call is too small."},
    {ERROR_NOT_FOUND, u"Element not found."},
    {ERROR_TIMEOUT,
     u"This operation returned because the timeout period expired."},
};

// HRESULTs of other facilities that have a system text. E_FAIL has none.
constexpr Message kHresultMessages[] = {
    {0x80004001u, u"Not implemented"},
    {0x80004002u, u"No such interface supported"},
    {0x80004003u, u"Invalid pointer"},
    {0x80004004u, u"Operation aborted"},
    {0x8000FFFFu, u"Catastrophic failure"},
    {0x80020005u, u"Type mismatch."},
    {0x80020008u, u"Bad variable type."},
    {0x8002000Au, u"Out of present range."},
    {0x8002000Bu, u"Invalid index."},
    {0x80040110u,
     u"Class does not support aggregation (or class object is "
     u"remote)"},
    {0x80040154u, u"Class not registered"},
    {0x800401F0u, u"CoInitialize has not been called."},
    {0x800401F3u, u"Invalid class string"},
};

constexpr uint32_t kFacilityWin32 = 7;

}  // namespace

void ThrowHr(HRESULT hr, std::u16string_view description) {
  throw ComError(hr, std::u16string(description));
}

std::u16string_view SystemMessage(HRESULT hr) {
  const auto code = static_cast<uint32_t>(hr);
  if (FAILED(hr) && HRESULT_FACILITY(hr) == kFacilityWin32) {
    for (const Message& m : kWin32Messages)
      if (m.code == HRESULT_CODE(hr)) return m.text;
    return {};
  }
  for (const Message& m : kHresultMessages)
    if (m.code == code) return m.text;
  return {};
}

HRESULT SetFailureErrorInfo(REFIID iid, HRESULT hr, std::u16string_view source,
                            std::u16string_view description) noexcept try {
  std::u16string text(description);
  std::u16string found;
  bool from_callee = false;
  com::ComPtr<IErrorInfo> previous;
  if (GetErrorInfo(0, previous.GetAddressOf()) == S_OK && previous) {
    com::Bstr previous_source, previous_description;
    previous->GetSource(previous_source.Out());
    previous->GetDescription(previous_description.Out());
    found.append(previous_source.View());
    found.append(u": ");
    found.append(previous_description.View());
    from_callee = true;
  } else {
    found = SystemMessage(hr);
  }
  std::u16string who(source);
  if (text.empty()) {
    if (found.empty()) {
      who = kUnknownErrorSource;
      text = kUnknownErrorText;
    } else {
      if (!from_callee) who = kErrorDescriptionSource;
      text = std::move(found);
    }
  } else if (!found.empty()) {
    text += u"\r\n";
    text += found;
  }
  com::SetErrorInfoText(iid, who.c_str(), text.c_str());
  return hr;
} catch (...) {
  // Out of memory for the texts: the result still reaches the caller.
  return hr;
}

}  // namespace kavex::server
