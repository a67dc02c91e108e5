// Enumerators: IEnumString, IEnumUnknown and the generic pieces for any
// IEnumXxx (Next/Skip/Reset/Clone over a snapshot taken at creation).
//
//   using CEnumFoo = Enumerator<IEnumFoo, CopyInterface<IFoo>>;
//   ComPtr<IEnumFoo> e;
//   CEnumFoo::Create(std::move(items), &e);
//
// A Policy names the element type handed out (Element), the type kept
// (Stored), how to hand out a copy (Copy, may fail) and how to take a handed
// out copy back when a later element fails (Destroy). Interfaces whose Next
// has another shape keep an EnumCursor and write Next themselves.
#ifndef KAVEX_PLATFORM_COM_ENUMERATORS_H_
#define KAVEX_PLATFORM_COM_ENUMERATORS_H_

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/com/com_object.h"
#include "platform/com/com_ptr.h"
#include "platform/com/unknown.h"

struct IEnumUnknown : IUnknown {
  virtual HRESULT Next(ULONG celt, IUnknown** elements, ULONG* fetched) = 0;
  virtual HRESULT Skip(ULONG celt) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(IEnumUnknown** clone) = 0;
};
KAVEX_DECLARE_IID(IEnumUnknown, "{00000100-0000-0000-C000-000000000046}");

// Strings handed out by Next come from CoTaskMemAlloc; the caller frees them.
struct IEnumString : IUnknown {
  virtual HRESULT Next(ULONG celt, LPOLESTR* elements, ULONG* fetched) = 0;
  virtual HRESULT Skip(ULONG celt) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(IEnumString** clone) = 0;
};
KAVEX_DECLARE_IID(IEnumString, "{00000101-0000-0000-C000-000000000046}");

namespace kavex::com {

// Position in a shared, immutable snapshot; copying it is Clone.
template <class Stored>
class EnumCursor {
 public:
  explicit EnumCursor(std::vector<Stored> items)
      : items_(std::make_shared<const std::vector<Stored>>(std::move(items))) {}

  // The next min(celt, remaining) elements; advances past them.
  std::pair<const Stored*, ULONG> Take(ULONG celt) {
    ULONG n = Remaining() < celt ? Remaining() : celt;
    const Stored* first = items_->data() + position_;
    position_ += n;
    return {first, n};
  }
  void Unread(ULONG n) { position_ -= n; }
  // S_FALSE when fewer than celt elements were left (then at the end).
  HRESULT Skip(ULONG celt) {
    if (Remaining() < celt) {
      position_ = items_->size();
      return S_FALSE;
    }
    position_ += celt;
    return S_OK;
  }
  void Reset() { position_ = 0; }
  ULONG Remaining() const {
    return static_cast<ULONG>(items_->size() - position_);
  }
  size_t Position() const { return position_; }

 private:
  std::shared_ptr<const std::vector<Stored>> items_;
  size_t position_ = 0;
};

template <class I>
struct CopyInterface {
  using Element = I*;
  using Stored = ComPtr<I>;
  static HRESULT Copy(const Stored& from, Element* to) {
    *to = from.Get();
    if (*to != nullptr) (*to)->AddRef();
    return S_OK;
  }
  static void Destroy(Element* e) {
    if (*e != nullptr) (*e)->Release();
    *e = nullptr;
  }
};

struct CopyTaskString {
  using Element = LPOLESTR;
  using Stored = std::u16string;
  static HRESULT Copy(const Stored& from, Element* to);  // CoTaskMemAlloc
  static void Destroy(Element* e);
};

template <class Interface, class Policy>
class Enumerator : public ComObject<Enumerator<Interface, Policy>, Interface> {
 public:
  using Element = typename Policy::Element;
  using Stored = typename Policy::Stored;

  explicit Enumerator(EnumCursor<Stored> cursor) : cursor_(std::move(cursor)) {}

  static HRESULT Create(std::vector<Stored> items, Interface** out) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    try {
      return Enumerator::CreateInstance(IidOf<Interface>(),
                                        reinterpret_cast<void**>(out),
                                        EnumCursor<Stored>(std::move(items)));
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
  }

  // All or nothing: a copy that fails returns every element handed out so
  // far and leaves the position where it was.
  HRESULT Next(ULONG celt, Element* elements, ULONG* fetched) override {
    if (fetched != nullptr) *fetched = 0;
    if (elements == nullptr || (celt > 1 && fetched == nullptr))
      return E_POINTER;
    std::lock_guard<std::mutex> lock(mu_);
    auto [first, n] = cursor_.Take(celt);
    for (ULONG i = 0; i < n; ++i) {
      HRESULT hr = Policy::Copy(first[i], &elements[i]);
      if (FAILED(hr)) {
        while (i > 0) Policy::Destroy(&elements[--i]);
        cursor_.Unread(n);
        return hr;
      }
    }
    if (fetched != nullptr) *fetched = n;
    return n == celt ? S_OK : S_FALSE;
  }
  HRESULT Skip(ULONG celt) override {
    std::lock_guard<std::mutex> lock(mu_);
    return cursor_.Skip(celt);
  }
  HRESULT Reset() override {
    std::lock_guard<std::mutex> lock(mu_);
    cursor_.Reset();
    return S_OK;
  }
  HRESULT Clone(Interface** clone) override {
    if (clone == nullptr) return E_POINTER;
    *clone = nullptr;
    EnumCursor<Stored> copy = [this] {
      std::lock_guard<std::mutex> lock(mu_);
      return cursor_;
    }();
    return Enumerator::CreateInstance(
        IidOf<Interface>(), reinterpret_cast<void**>(clone), std::move(copy));
  }

 private:
  std::mutex mu_;
  EnumCursor<Stored> cursor_;
};

using CEnumString = Enumerator<IEnumString, CopyTaskString>;
using CEnumUnknown = Enumerator<IEnumUnknown, CopyInterface<IUnknown>>;

// Convenience creators for the two standard enumerators.
HRESULT CreateEnumString(std::vector<std::u16string> strings,
                         IEnumString** out);
HRESULT CreateEnumUnknown(std::vector<ComPtr<IUnknown>> objects,
                          IEnumUnknown** out);

}  // namespace kavex::com

#endif  // KAVEX_PLATFORM_COM_ENUMERATORS_H_
