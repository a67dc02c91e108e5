// COM initialisation per thread, class objects registered by the process,
// and creation of objects by CLSID or ProgID. A class is found first among
// the process's registered class objects, then in the registry:
// HKCR\CLSID\{clsid}\InprocServer32 names the module (a shared library) whose
// DllGetClassObject hands out the class object.
#ifndef KAVEX_PLATFORM_COM_ACTIVATION_H_
#define KAVEX_PLATFORM_COM_ACTIVATION_H_

#include "platform/com/class_factory.h"
#include "platform/com/unknown.h"

enum COINIT : DWORD {
  COINIT_MULTITHREADED = 0x0,
  COINIT_APARTMENTTHREADED = 0x2,
  COINIT_DISABLE_OLE1DDE = 0x4,
  COINIT_SPEED_OVER_MEMORY = 0x8,
};

enum CLSCTX : DWORD {
  CLSCTX_INPROC_SERVER = 0x1,
  CLSCTX_INPROC_HANDLER = 0x2,
  CLSCTX_LOCAL_SERVER = 0x4,
  CLSCTX_REMOTE_SERVER = 0x10,
  CLSCTX_INPROC = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER,
  CLSCTX_SERVER =
      CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER,
  CLSCTX_ALL = CLSCTX_SERVER | CLSCTX_INPROC_HANDLER,
};

enum REGCLS : DWORD {
  REGCLS_SINGLEUSE = 0,
  REGCLS_MULTIPLEUSE = 1,
  REGCLS_MULTI_SEPARATE = 2,
  REGCLS_SUSPENDED = 4,
};

// A thread's first call returns S_OK, later calls with the same mode S_FALSE
// (each needs its CoUninitialize), a different mode RPC_E_CHANGED_MODE.
HRESULT CoInitializeEx(void* reserved, DWORD coinit);
HRESULT CoInitialize(void* reserved);  // apartment-threaded
// The last CoUninitialize of the process's last initialised thread also
// unloads the modules that say they can be unloaded.
void CoUninitialize();

// Activation needs COM initialised on the calling thread, or on some thread
// for the multithreaded mode (threads then join it implicitly); else
// CO_E_NOTINITIALIZED. Failures: REGDB_E_CLASSNOTREG (unknown class),
// CO_E_DLLNOTFOUND (module file missing), CO_E_ERRORINDLL (module does not
// load or lacks DllGetClassObject), or the module's own result.
HRESULT CoGetClassObject(REFCLSID clsid, DWORD clsctx, void* server_info,
                         REFIID iid, void** out);
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD clsctx,
                         REFIID iid, void** out);

// HKCR\<ProgID>\CLSID, following CurVer when the ProgID has no CLSID of its
// own; CO_E_CLASSSTRING when neither leads to a class.
HRESULT CLSIDFromProgID(LPCOLESTR prog_id, CLSID* clsid);
// HKCR\CLSID\{clsid}\ProgID; *prog_id from CoTaskMemAlloc.
HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* prog_id);

// Class objects of this process. Suspended ones are not handed out until
// CoResumeClassObjects. CO_E_OBJNOTREG for an unknown cookie.
HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* object, DWORD clsctx,
                              DWORD flags, DWORD* cookie);
HRESULT CoRevokeClassObject(DWORD cookie);
HRESULT CoSuspendClassObjects();
HRESULT CoResumeClassObjects();
// Server process reference count; the release that drops it to zero
// suspends every class object, so no new client can arrive while the
// process shuts down.
ULONG CoAddRefServerProcess();
ULONG CoReleaseServerProcess();

// Unloads every loaded module whose DllCanUnloadNow answers S_OK.
void CoFreeUnusedLibraries();

// Module entry points, exported with C names by every in-process module.
using LPFNGETCLASSOBJECT = HRESULT (*)(REFCLSID clsid, REFIID iid, void** out);
using LPFNCANUNLOADNOW = HRESULT (*)();
using LPFNREGISTERSERVER = HRESULT (*)();
using LPFNUNREGISTERSERVER = HRESULT (*)();
#define KAVEX_MODULE_EXPORT extern "C" __attribute__((visibility("default")))

#endif  // KAVEX_PLATFORM_COM_ACTIVATION_H_
