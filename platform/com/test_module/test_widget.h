// The interface and identities of the test module, a tiny in-process
// component the activation tests load, use and unload.
#ifndef KAVEX_PLATFORM_COM_TEST_MODULE_TEST_WIDGET_H_
#define KAVEX_PLATFORM_COM_TEST_MODULE_TEST_WIDGET_H_

#include "platform/com/guid.h"
#include "platform/com/unknown.h"

namespace kavex::com {

struct ITestWidget : IUnknown {
  virtual HRESULT Add(LONG a, LONG b, LONG* sum) = 0;
  // Live widgets of the module, as the module itself counts them.
  virtual HRESULT LiveWidgets(LONG* count) = 0;
};
KAVEX_DECLARE_IID(ITestWidget, "{0B7F2C64-91D3-4A8E-B5C1-7E2D4F6A8B01}");

inline constexpr CLSID CLSID_TestWidget =
    GuidLiteral("{0B7F2C64-91D3-4A8E-B5C1-7E2D4F6A8B02}");
// The versioned ProgID and the version-independent one, whose CurVer
// names the versioned one.
inline constexpr char kTestWidgetProgId[] = "KavexTest.Widget";
inline constexpr char kTestWidgetProgIdVersioned[] = "KavexTest.Widget.1";

}  // namespace kavex::com

#endif  // KAVEX_PLATFORM_COM_TEST_MODULE_TEST_WIDGET_H_
