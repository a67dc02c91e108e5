// Registration of a module's or a program's classes from its class table
// (class_factory.h), with its AppID and type library: what
// DllRegisterServer / DllUnregisterServer and a server program's
// RegServer / UnregServer write and remove under HKEY_CLASSES_ROOT.
//
//   namespace kavex::device {
//   const com::ModuleEntry kModule = {
//       .classes = kClasses,
//       .app_id = &APPID_KavexOPCDevice,
//       .app_id_name = "KavexOPCDevice",
//       .app_id_file = "KavexOPCDevice.DLL",
//       .type_lib = &kTypeLib};
//   }  // namespace kavex::device
//   KAVEX_MODULE_EXPORT HRESULT DllRegisterServer() {
//     return kavex::com::RegisterModule(kavex::device::kModule,
//                                       kavex::com::ModulePath());
//   }
//
// The keys CLSID, AppID, TypeLib and Interface are shared by every
// component and are never removed; a class key is replaced whole on
// registration and removed whole; ProgID and AppID keys hold what others
// may add to them, so unregistration removes only the values and subkeys it
// wrote (a value only while it still holds what was written) and the key
// once it is empty.
#ifndef KAVEX_PLATFORM_COM_MODULE_REGISTRATION_H_
#define KAVEX_PLATFORM_COM_MODULE_REGISTRATION_H_

#include <span>
#include <string>

#include "platform/com/class_factory.h"
#include "platform/com/com_object.h"
#include "platform/com/unknown.h"

namespace kavex::com {

// Where the classes are served: from a shared library loaded into the
// client's process (InprocServer32), or by a program started for them
// (LocalServer32).
enum class ServerKind { kInprocServer, kLocalServer };

// An automation interface the type library describes: HKCR\Interface\{iid}.
struct TypeLibInterface {
  const IID* iid = nullptr;
  const char* name = nullptr;
};

// The type library a module or program carries (typelib.h shows its keys).
struct TypeLibEntry {
  const GUID* libid = nullptr;
  WORD major_version = 1;
  WORD minor_version = 0;
  LCID lcid = 0;
  const char* name = nullptr;  // "KavexOPCDevice 1.0 Type Library"
  bool help_dir = false;       // the module's directory is its HELPDIR
  std::span<const TypeLibInterface> interfaces = {};
};

struct ModuleEntry {
  ServerKind server = ServerKind::kInprocServer;
  std::span<const ClassEntry> classes = {};
  // AppID\{app_id} = app_id_name, and AppID\<app_id_file> "AppID" =
  // {app_id}: the module's file name ("KavexOPCDevice.DLL") leads to its
  // AppID.
  const GUID* app_id = nullptr;
  const char* app_id_name = nullptr;
  const char* app_id_file = nullptr;
  const TypeLibEntry* type_lib = nullptr;
};

// Writes the AppID entries, then each class's ProgID keys and class key,
// then the type library, for the module or program at `path` (its full
// path). Stops at the first failure: SELFREG_E_CLASS when a class or AppID
// key cannot be written (nothing is written for an empty path),
// SELFREG_E_TYPELIB for the type library.
HRESULT RegisterModule(const ModuleEntry& module, const std::string& path);

// Removes the classes, then the type library, then the AppID entries, as
// the header says; what is already gone counts as removed. Returns the
// first failure (SELFREG_E_CLASS, SELFREG_E_TYPELIB) after trying all.
HRESULT UnregisterModule(const ModuleEntry& module);

// The full path, symbolic links resolved, of the shared library or program
// whose code or data holds `address`; "" when none does.
std::string ModulePathOf(const void* address);
// The calling module's full path: each shared library has its own lock
// count, so its address names the library.
KAVEX_MODULE_LOCAL inline std::string ModulePath() {
  return ModulePathOf(&internal::module_lock_count);
}
// The running program's full path (/proc/self/exe), for LocalServer32;
// "" when unknown.
std::string ProgramPath();

}  // namespace kavex::com

#endif  // KAVEX_PLATFORM_COM_MODULE_REGISTRATION_H_
