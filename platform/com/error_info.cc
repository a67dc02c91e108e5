#include "platform/com/error_info.h"

#include <string>

#include "platform/com/bstr.h"
#include "platform/com/com_object.h"

namespace kavex::com {
namespace {

class CErrorInfo : public ComObject<CErrorInfo, IErrorInfo, ICreateErrorInfo> {
 public:
  HRESULT GetGUID(GUID* guid) override {
    if (guid == nullptr) return E_INVALIDARG;
    *guid = guid_;
    return S_OK;
  }
  HRESULT GetSource(BSTR* source) override { return Out(source_, source); }
  HRESULT GetDescription(BSTR* description) override {
    return Out(description_, description);
  }
  HRESULT GetHelpFile(BSTR* help_file) override {
    return Out(help_file_, help_file);
  }
  HRESULT GetHelpContext(DWORD* help_context) override {
    if (help_context == nullptr) return E_INVALIDARG;
    *help_context = help_context_;
    return S_OK;
  }

  HRESULT SetGUID(REFGUID guid) override {
    guid_ = guid;
    return S_OK;
  }
  HRESULT SetSource(LPOLESTR source) override { return In(source, &source_); }
  HRESULT SetDescription(LPOLESTR description) override {
    return In(description, &description_);
  }
  HRESULT SetHelpFile(LPOLESTR help_file) override {
    return In(help_file, &help_file_);
  }
  HRESULT SetHelpContext(DWORD help_context) override {
    help_context_ = help_context;
    return S_OK;
  }

 private:
  // An error object is filled by one thread before anyone else sees it, so
  // its fields need no lock.
  static HRESULT Out(const std::u16string& text, BSTR* out) {
    if (out == nullptr) return E_INVALIDARG;
    *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out == nullptr ? E_OUTOFMEMORY : S_OK;
  }
  static HRESULT In(LPCOLESTR text, std::u16string* field) {
    try {
      field->assign(text == nullptr ? u"" : text);
    } catch (...) {
      return E_OUTOFMEMORY;
    }
    return S_OK;
  }

  GUID guid_ = GUID_NULL;
  std::u16string source_, description_, help_file_;
  DWORD help_context_ = 0;
};

// The thread's error object; released when the thread ends.
thread_local ComPtr<IErrorInfo> thread_error_info;

}  // namespace
}  // namespace kavex::com

HRESULT CreateErrorInfo(ICreateErrorInfo** out) {
  if (out == nullptr) return E_INVALIDARG;
  return kavex::com::CErrorInfo::CreateInstance(IID_ICreateErrorInfo,
                                                reinterpret_cast<void**>(out));
}

HRESULT SetErrorInfo(ULONG /*reserved*/, IErrorInfo* info) {
  kavex::com::ComPtr<IErrorInfo> previous =
      std::move(kavex::com::thread_error_info);
  kavex::com::thread_error_info = info;
  return S_OK;  // `previous` is released after the slot changed
}

HRESULT GetErrorInfo(ULONG /*reserved*/, IErrorInfo** info) {
  if (info == nullptr) return E_INVALIDARG;
  *info = kavex::com::thread_error_info.Detach();
  return *info == nullptr ? S_FALSE : S_OK;
}

namespace kavex::com {

HRESULT SetErrorInfoText(REFGUID iid, const char16_t* source,
                         const char16_t* description) {
  ComPtr<ICreateErrorInfo> create;
  HRESULT hr = CreateErrorInfo(create.GetAddressOf());
  if (FAILED(hr)) return hr;
  create->SetGUID(iid);
  create->SetSource(const_cast<LPOLESTR>(source));
  create->SetDescription(const_cast<LPOLESTR>(description));
  ComPtr<IErrorInfo> info;
  hr = create.As(&info);
  if (FAILED(hr)) return hr;
  return SetErrorInfo(0, info.Get());
}

}  // namespace kavex::com
