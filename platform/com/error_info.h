// Error info: a per-thread record of the last failure's source and
// description, which a method sets before returning a failure and its caller
// fetches (and clears) with GetErrorInfo.
#ifndef KAVEX_PLATFORM_COM_ERROR_INFO_H_
#define KAVEX_PLATFORM_COM_ERROR_INFO_H_

#include "platform/com/unknown.h"

struct IErrorInfo : IUnknown {
  virtual HRESULT GetGUID(GUID* guid) = 0;
  virtual HRESULT GetSource(BSTR* source) = 0;
  virtual HRESULT GetDescription(BSTR* description) = 0;
  virtual HRESULT GetHelpFile(BSTR* help_file) = 0;
  virtual HRESULT GetHelpContext(DWORD* help_context) = 0;
};
KAVEX_DECLARE_IID(IErrorInfo, "{1CF2B120-547D-101B-8E65-08002B2BD119}");

struct ICreateErrorInfo : IUnknown {
  virtual HRESULT SetGUID(REFGUID guid) = 0;
  virtual HRESULT SetSource(LPOLESTR source) = 0;
  virtual HRESULT SetDescription(LPOLESTR description) = 0;
  virtual HRESULT SetHelpFile(LPOLESTR help_file) = 0;
  virtual HRESULT SetHelpContext(DWORD help_context) = 0;
};
KAVEX_DECLARE_IID(ICreateErrorInfo, "{22F03340-547D-101B-8E65-08002B2BD119}");

// An object answers S_OK for the interfaces whose methods set error info.
struct ISupportErrorInfo : IUnknown {
  virtual HRESULT InterfaceSupportsErrorInfo(REFIID iid) = 0;
};
KAVEX_DECLARE_IID(ISupportErrorInfo, "{DF0B3D60-548F-101B-8E65-08002B2BD119}");

// A new, empty error object; QueryInterface it for IErrorInfo to set it.
HRESULT CreateErrorInfo(ICreateErrorInfo** out);
// Replaces the calling thread's error info (null clears it).
HRESULT SetErrorInfo(ULONG reserved, IErrorInfo* info);
// Hands the calling thread's error info to the caller and clears it;
// S_FALSE and null when there is none.
HRESULT GetErrorInfo(ULONG reserved, IErrorInfo** info);

namespace kavex::com {

// Shorthand for methods that fail: builds and sets the thread's error info.
HRESULT SetErrorInfoText(REFGUID iid, const char16_t* source,
                         const char16_t* description);

}  // namespace kavex::com

#endif  // KAVEX_PLATFORM_COM_ERROR_INFO_H_
