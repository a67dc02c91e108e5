// IUnknown, the root of every interface, and the way an interface names its
// IID once so that code can ask for it by type: IidOf<IFoo>().
#ifndef KAVEX_PLATFORM_COM_UNKNOWN_H_
#define KAVEX_PLATFORM_COM_UNKNOWN_H_

#include <type_traits>

#include "platform/base/results.h"
#include "platform/base/types.h"
#include "platform/com/guid.h"

namespace kavex::com {

// An interface's IID is found by argument-dependent lookup of
// KavexInterfaceIid(InterfaceTag<Interface>), which KAVEX_DECLARE_IID
// defines in the interface's own namespace; asking for an interface whose IID
// was never declared does not compile.
template <class Interface>
struct InterfaceTag {};

template <class Interface>
constexpr const IID& IidOf() {
  return KavexInterfaceIid(InterfaceTag<std::remove_cv_t<Interface>>{});
}

}  // namespace kavex::com

// Declares, after the interface's definition and in its namespace, its IID
// for IidOf<Interface>() and as the constant IID_<Interface>.
#define KAVEX_DECLARE_IID(Interface, text)                                \
  inline constexpr IID IID_##Interface = ::kavex::com::GuidLiteral(text); \
  constexpr const IID& KavexInterfaceIid(                                 \
      ::kavex::com::InterfaceTag<Interface>) {                            \
    return IID_##Interface;                                               \
  }                                                                       \
  static_assert(true, "")

// Objects are reference counted; nobody deletes them through an interface
// pointer, hence the protected destructor.
struct IUnknown {
  virtual HRESULT QueryInterface(REFIID riid, void** object) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

  // Typed form: unknown->QueryInterface(&foo) asks for IidOf<IFoo>().
  template <class Q>
  HRESULT QueryInterface(Q** object) {
    return QueryInterface(::kavex::com::IidOf<Q>(),
                          reinterpret_cast<void**>(object));
  }

 protected:
  virtual ~IUnknown() = default;
};
KAVEX_DECLARE_IID(IUnknown, "{00000000-0000-0000-C000-000000000046}");

using LPUNKNOWN = IUnknown*;

// IID_PPV_ARGS(&p) for an IFoo** p: the IID and the out-pointer together.
#define IID_PPV_ARGS(pp)                                             \
  ::kavex::com::IidOf<                                               \
      std::remove_pointer_t<std::remove_pointer_t<decltype(pp)>>>(), \
      reinterpret_cast<void**>(pp)

#endif  // KAVEX_PLATFORM_COM_UNKNOWN_H_
