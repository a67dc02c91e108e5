#include "platform/com/marshal.h"

#include <mutex>

#include "platform/com/com_object.h"
#include "platform/com/com_ptr.h"

namespace kavex::com {
namespace {

// Private interface by which the functions below recognise their streams.
struct IMarshalHolder : IUnknown {
  virtual ComPtr<IUnknown> Take() = 0;
};

}  // namespace

KAVEX_DECLARE_IID(IMarshalHolder, "{3C4B1F0E-8D2A-4E55-9A61-2B7C0E5D9F13}");

namespace {

class CMarshalStream
    : public ComObject<CMarshalStream, IStream, IMarshalHolder> {
 public:
  explicit CMarshalStream(ComPtr<IUnknown> held) : held_(std::move(held)) {}
  HRESULT Read(void*, ULONG, ULONG*) override { return E_NOTIMPL; }
  HRESULT Write(const void*, ULONG, ULONG*) override { return E_NOTIMPL; }
  // The pointer leaves once; a second unmarshal finds nothing.
  ComPtr<IUnknown> Take() override {
    std::lock_guard<std::mutex> lock(mu_);
    return std::move(held_);
  }

 private:
  std::mutex mu_;
  ComPtr<IUnknown> held_;
};

}  // namespace
}  // namespace kavex::com

HRESULT CoMarshalInterThreadInterfaceInStream(REFIID iid, IUnknown* object,
                                              IStream** stream) {
  if (stream == nullptr) return E_INVALIDARG;
  *stream = nullptr;
  if (object == nullptr) return E_INVALIDARG;
  kavex::com::ComPtr<IUnknown> typed;
  HRESULT hr = object->QueryInterface(
      iid, reinterpret_cast<void**>(typed.GetAddressOf()));
  if (FAILED(hr)) return hr;
  return kavex::com::CMarshalStream::CreateInstance(
      IID_IStream, reinterpret_cast<void**>(stream), std::move(typed));
}

HRESULT CoGetInterfaceAndReleaseStream(IStream* stream, REFIID iid,
                                       void** out) {
  if (out == nullptr) {
    if (stream != nullptr) stream->Release();
    return E_INVALIDARG;
  }
  *out = nullptr;
  if (stream == nullptr) return E_INVALIDARG;
  kavex::com::ComPtr<IStream> owned;
  owned.Attach(stream);
  kavex::com::ComPtr<kavex::com::IMarshalHolder> holder;
  if (FAILED(owned.As(&holder))) return E_INVALIDARG;
  kavex::com::ComPtr<IUnknown> held = holder->Take();
  if (!held) return E_INVALIDARG;
  return held->QueryInterface(iid, out);
}
