// Pieces of activation shared by its source files; not for other callers.
#ifndef KAVEX_PLATFORM_COM_ACTIVATION_INTERNAL_H_
#define KAVEX_PLATFORM_COM_ACTIVATION_INTERNAL_H_

#include <string>

#include "platform/base/types.h"
#include "platform/registry/registry.h"

namespace kavex::com::internal {

// The value `name` (null = default) of HKCR\<sub> as text, without the
// trailing NUL; false when the key or value is missing or not a string.
bool ReadClassesRootString(const std::string& sub, const char* name,
                           std::string* out);

// Asks a process class object; S_OK with *out set, or REGDB_E_CLASSNOTREG
// when none is registered, resumed and matching `clsctx`.
HRESULT GetRegisteredClassObject(REFCLSID clsid, DWORD clsctx, REFIID iid,
                                 void** out);

// Loads the module once (it stays loaded until FreeUnusedModules finds it
// idle) and calls its DllGetClassObject.
HRESULT GetModuleClassObject(const std::string& path, REFCLSID clsid,
                             REFIID iid, void** out);
void FreeUnusedModules();

}  // namespace kavex::com::internal

#endif  // KAVEX_PLATFORM_COM_ACTIVATION_INTERNAL_H_
