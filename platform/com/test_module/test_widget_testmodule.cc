// The test module: one class, the four entry points, registration from its
// class table.
#include "platform/com/activation.h"
#include "platform/com/class_factory.h"
#include "platform/com/com_object.h"
#include "platform/com/module_registration.h"
#include "platform/com/test_module/test_widget.h"

namespace kavex::com {
namespace {

class CTestWidget : public ComObject<CTestWidget, ITestWidget> {
 public:
  HRESULT Add(LONG a, LONG b, LONG* sum) override {
    if (sum == nullptr) return E_POINTER;
    *sum = a + b;
    return S_OK;
  }
  HRESULT LiveWidgets(LONG* count) override {
    if (count == nullptr) return E_POINTER;
    *count = static_cast<LONG>(InstanceCount());
    return S_OK;
  }
};

constexpr ClassEntry kClasses[] = {
    {.clsid = &CLSID_TestWidget,
     .create_factory = CreateClassFactory<CTestWidget>,
     .description = "Test Widget",
     .prog_id = kTestWidgetProgIdVersioned,
     .version_independent_prog_id = kTestWidgetProgId,
     .threading_model = "Free"}};

constexpr ModuleEntry kModule = {.classes = kClasses};

}  // namespace
}  // namespace kavex::com

KAVEX_MODULE_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID iid,
                                              void** out) {
  return kavex::com::GetClassObjectFromTable(kavex::com::kClasses, clsid, iid,
                                             out);
}

KAVEX_MODULE_EXPORT HRESULT DllCanUnloadNow() {
  return kavex::com::ModuleCanUnloadNow();
}

KAVEX_MODULE_EXPORT HRESULT DllRegisterServer() {
  return kavex::com::RegisterModule(kavex::com::kModule,
                                    kavex::com::ModulePath());
}

KAVEX_MODULE_EXPORT HRESULT DllUnregisterServer() {
  return kavex::com::UnregisterModule(kavex::com::kModule);
}
