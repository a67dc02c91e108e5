// ComPtr<T>: owns one reference to a COM object.
#ifndef KAVEX_PLATFORM_COM_COM_PTR_H_
#define KAVEX_PLATFORM_COM_COM_PTR_H_

#include <cstddef>
#include <utility>

#include "platform/com/unknown.h"

namespace kavex::com {

template <class T>
class ComPtr {
 public:
  using InterfaceType = T;

  ComPtr() = default;
  ComPtr(std::nullptr_t) {}  // NOLINT: null converts implicitly
  // Takes a new reference on `p` (as a copy would).
  ComPtr(T* p) : p_(p) { InternalAddRef(); }  // NOLINT
  ComPtr(const ComPtr& other) : p_(other.p_) { InternalAddRef(); }
  ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  template <class U>
  ComPtr(const ComPtr<U>& other) : p_(other.Get()) {  // NOLINT: upcast
    InternalAddRef();
  }
  ~ComPtr() { InternalRelease(); }

  ComPtr& operator=(const ComPtr& other) {
    ComPtr(other).Swap(*this);
    return *this;
  }
  ComPtr& operator=(ComPtr&& other) noexcept {
    ComPtr(std::move(other)).Swap(*this);
    return *this;
  }
  ComPtr& operator=(T* p) {
    ComPtr(p).Swap(*this);
    return *this;
  }
  ComPtr& operator=(std::nullptr_t) {
    Reset();
    return *this;
  }

  T* Get() const { return p_; }
  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  explicit operator bool() const { return p_ != nullptr; }

  // For out-parameters: the pointer must be empty (it is not released).
  T** GetAddressOf() { return &p_; }
  T* const* GetAddressOf() const { return &p_; }
  // For out-parameters that replace the current object.
  T** ReleaseAndGetAddressOf() {
    InternalRelease();
    return &p_;
  }

  // Hands the reference to the caller.
  T* Detach() { return std::exchange(p_, nullptr); }
  // Takes over a reference the caller owned.
  void Attach(T* p) {
    InternalRelease();
    p_ = p;
  }
  void Reset() { InternalRelease(); }
  void Swap(ComPtr& other) noexcept { std::swap(p_, other.p_); }

  // Copies the pointer to an out-parameter with a new reference.
  HRESULT CopyTo(T** out) const {
    if (out == nullptr) return E_POINTER;
    *out = p_;
    InternalAddRef();
    return S_OK;
  }

  // QueryInterface into another smart pointer.
  template <class U>
  HRESULT As(ComPtr<U>* out) const {
    if (out == nullptr) return E_POINTER;
    if (p_ == nullptr) return E_POINTER;
    return p_->QueryInterface(
        IidOf<U>(), reinterpret_cast<void**>(out->ReleaseAndGetAddressOf()));
  }
  HRESULT AsIid(REFIID iid, void** out) const {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (p_ == nullptr) return E_POINTER;
    return p_->QueryInterface(iid, out);
  }

  friend bool operator==(const ComPtr& a, const ComPtr& b) {
    return a.p_ == b.p_;
  }
  friend bool operator==(const ComPtr& a, std::nullptr_t) {
    return a.p_ == nullptr;
  }

 private:
  void InternalAddRef() const {
    if (p_ != nullptr) p_->AddRef();
  }
  void InternalRelease() {
    if (T* p = std::exchange(p_, nullptr)) p->Release();
  }

  T* p_ = nullptr;
};

}  // namespace kavex::com

#endif  // KAVEX_PLATFORM_COM_COM_PTR_H_
