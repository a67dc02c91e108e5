// IUnknown, the root of every interface, and the way an interface names its
// IID once so that code can ask for it by type: IidOf<IFoo>().
#ifndef KAVEX_PLATFORM_COM_UNKNOWN_H_
#define KAVEX_PLATFORM_COM_UNKNOWN_H_

#include <type_traits>

#include "platform/base/results.h"
#include "platform/base/types.h"

namespace kavex_com_internal {

constexpr int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Parses "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" at compile time; a malformed
// literal stops the build (the throw is not a constant expression).
constexpr GUID GuidLiteral(const char (&s)[39]) {
  auto hex = [&s](int pos, int digits) {
    uint32_t value = 0;
    for (int i = 0; i < digits; ++i) {
      int d = HexDigit(s[pos + i]);
      if (d < 0) throw "malformed GUID literal";
      value = value << 4 | static_cast<uint32_t>(d);
    }
    return value;
  };
  if (s[0] != '{' || s[9] != '-' || s[14] != '-' || s[19] != '-' ||
      s[24] != '-' || s[37] != '}')
    throw "malformed GUID literal";
  GUID g{hex(1, 8),
         static_cast<uint16_t>(hex(10, 4)),
         static_cast<uint16_t>(hex(15, 4)),
         {}};
  g.Data4[0] = static_cast<uint8_t>(hex(20, 2));
  g.Data4[1] = static_cast<uint8_t>(hex(22, 2));
  for (int i = 0; i < 6; ++i)
    g.Data4[2 + i] = static_cast<uint8_t>(hex(25 + 2 * i, 2));
  return g;
}

}  // namespace kavex_com_internal

// Specialised for each interface by KAVEX_DECLARE_IID.
template <class Interface>
struct InterfaceId;

template <class Interface>
constexpr const IID& IidOf() {
  return InterfaceId<std::remove_cv_t<Interface>>::kIid;
}

// Declares, at global namespace scope after the interface's definition, its
// IID for IidOf<Interface>() and as the constant IID_<Interface>.
#define KAVEX_DECLARE_IID(Interface, text)                             \
  template <>                                                          \
  struct InterfaceId<Interface> {                                      \
    static constexpr IID kIid = kavex_com_internal::GuidLiteral(text); \
  };                                                                   \
  inline constexpr const IID& IID_##Interface = InterfaceId<Interface>::kIid

// Objects are reference counted; nobody deletes them through an interface
// pointer, hence the protected destructor.
struct IUnknown {
  virtual HRESULT QueryInterface(REFIID riid, void** object) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

  // Typed form: unknown->QueryInterface(&foo) asks for IidOf<IFoo>().
  template <class Q>
  HRESULT QueryInterface(Q** object) {
    return QueryInterface(IidOf<Q>(), reinterpret_cast<void**>(object));
  }

 protected:
  virtual ~IUnknown() = default;
};
KAVEX_DECLARE_IID(IUnknown, "{00000000-0000-0000-C000-000000000046}");

using LPUNKNOWN = IUnknown*;

// IID_PPV_ARGS(&p) for an IFoo** p: the IID and the out-pointer together.
#define IID_PPV_ARGS(pp)                                               \
  IidOf<std::remove_pointer_t<std::remove_pointer_t<decltype(pp)>>>(), \
      reinterpret_cast<void**>(pp)

#endif  // KAVEX_PLATFORM_COM_UNKNOWN_H_
