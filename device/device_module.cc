// The device plug-in as an in-process component: the class factory of
// Device, the unload check, and self-registration under HKEY_CLASSES_ROOT.
#include "device/device_object.h"
#include "device/device_runtime.h"
#include "platform/com/activation.h"
#include "platform/com/class_factory.h"
#include "platform/com/module_registration.h"
#include "server/contract/device_interfaces.h"

namespace kavex::device {
namespace {

constexpr com::ClassEntry kClasses[] = {
    {.clsid = &CLSID_Device,
     .create_factory = com::CreateClassFactory<CDevice>,
     .description = "Device Class",
     .prog_id = server::kDeviceProgIdVersioned,
     .version_independent_prog_id = server::kDeviceProgId,
     .threading_model = "Free",
     .app_id = &APPID_KavexOPCDevice,
     .type_lib = &LIBID_KavexOPCDeviceLib,
     .programmable = true}};

constexpr com::TypeLibInterface kInterfaces[] = {
    {&com::IidOf<IKavexOPCDevice>(), "IKavexOPCDevice"},
    {&com::IidOf<_IKavexOPCDeviceEvents>(), "_IKavexOPCDeviceEvents"}};

constexpr com::TypeLibEntry kTypeLib = {
    .libid = &LIBID_KavexOPCDeviceLib,
    .major_version = 1,
    .minor_version = 0,
    .lcid = 0x409,
    .name = "KavexOPCDevice 1.0 Type Library",
    .help_dir = true,
    .interfaces = kInterfaces};

constexpr com::ModuleEntry kModule = {.server = com::ServerKind::kInprocServer,
                                      .classes = kClasses,
                                      .app_id = &APPID_KavexOPCDevice,
                                      .app_id_name = "KavexOPCDevice",
                                      .app_id_file = "KavexOPCDevice.DLL",
                                      .type_lib = &kTypeLib};

// The receive and timer threads run this module's code; it may go only
// once no object holds the device and the device has fully stopped.
HRESULT CanUnloadNow() {
  if (com::ModuleCanUnloadNow() != S_OK || DeviceRuntime::Alive())
    return S_FALSE;
  return S_OK;
}

}  // namespace
}  // namespace kavex::device

KAVEX_MODULE_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID iid,
                                              void** out) {
  return kavex::com::GetClassObjectFromTable(kavex::device::kClasses, clsid,
                                             iid, out);
}

KAVEX_MODULE_EXPORT HRESULT DllCanUnloadNow() {
  return kavex::device::CanUnloadNow();
}

KAVEX_MODULE_EXPORT HRESULT DllRegisterServer() {
  return kavex::com::RegisterModule(kavex::device::kModule,
                                    kavex::com::ModulePath());
}

KAVEX_MODULE_EXPORT HRESULT DllUnregisterServer() {
  return kavex::com::UnregisterModule(kavex::device::kModule);
}
