// The error-info convention at every interface boundary of the server
// objects: inside a method a failure is raised as a ComError carrying its
// HRESULT; the boundary catches it, returns the HRESULT and leaves the
// calling thread's error info (source and description) behind for the
// caller. Memory exhaustion becomes E_OUTOFMEMORY; anything else unexpected
// E_FAIL with the source "Unknown Error" and the description "Caught an
// unknown exception". No exception ever leaves an interface method.
//
//   HRESULT CServer::GetLocaleID(LCID* lcid) {
//     return InterfaceCall(IID_IOPCCommon, u"CServer::GetLocaleID", [&] {
//       if (lcid == nullptr) ThrowHr(E_INVALIDARG);
//       *lcid = locale_;
//       return S_OK;
//     });
//   }
#ifndef KAVEX_SERVER_OBJECTS_COM_ERROR_H_
#define KAVEX_SERVER_OBJECTS_COM_ERROR_H_

#include <exception>
#include <new>
#include <string>
#include <string_view>

#include "platform/base/results.h"
#include "platform/com/error_info.h"

namespace kavex::server {

inline constexpr char16_t kUnknownErrorSource[] = u"Unknown Error";
inline constexpr char16_t kUnknownExceptionText[] =
    u"Caught an unknown exception";
inline constexpr char16_t kUnknownErrorText[] =
    u"An unknown error has occurred.\r\nThe error code returned was "
    u"unexpected and does not have a message associated with it.";
inline constexpr char16_t kErrorDescriptionSource[] = u"Error Description";

// A failure raised inside a server method.
class ComError : public std::exception {
 public:
  explicit ComError(HRESULT hr, std::u16string description = {})
      : hr_(hr), description_(std::move(description)) {}
  HRESULT hr() const { return hr_; }
  const std::u16string& description() const { return description_; }
  const char* what() const noexcept override { return "COM failure"; }

 private:
  HRESULT hr_;
  std::u16string description_;
};

[[noreturn]] void ThrowHr(HRESULT hr, std::u16string_view description = {});
inline void ThrowIfFailed(HRESULT hr) {
  if (FAILED(hr)) ThrowHr(hr);
}

// The text the system has for `hr` (a Win32 code by its low word), or
// empty; E_FAIL has none.
std::u16string_view SystemMessage(HRESULT hr);

// Sets the calling thread's error info for a failure `hr` of the method
// `source` and returns `hr`. What is known of the failure is joined into
// the description: the thrown `description`, then the source and
// description ("source: description") of error info a callee left on this
// thread, or else the system's message for `hr`, each after "\r\n". With
// no thrown description the source is the method when a callee's error
// info is found, "Error Description" when only the system's message is,
// and "Unknown Error" (with a description saying the code has no message)
// when nothing is.
HRESULT SetFailureErrorInfo(REFIID iid, HRESULT hr, std::u16string_view source,
                            std::u16string_view description) noexcept;

// Runs `body` (returning an HRESULT) as an interface method: the thread's
// error info is cleared first, so what a callee leaves behind belongs to
// this call; a failing result, thrown or returned, sets the error info.
template <class Body>
HRESULT InterfaceCall(REFIID iid, std::u16string_view source,
                      Body&& body) noexcept {
  SetErrorInfo(0, nullptr);
  try {
    const HRESULT hr = body();
    if (FAILED(hr)) SetFailureErrorInfo(iid, hr, source, {});
    return hr;
  } catch (const ComError& error) {
    return SetFailureErrorInfo(iid, error.hr(), source, error.description());
  } catch (const std::bad_alloc&) {
    return SetFailureErrorInfo(iid, E_OUTOFMEMORY, source, {});
  } catch (...) {
    com::SetErrorInfoText(iid, kUnknownErrorSource, kUnknownExceptionText);
    return E_FAIL;
  }
}

}  // namespace kavex::server

#endif  // KAVEX_SERVER_OBJECTS_COM_ERROR_H_
