// Type library registration. Interfaces here are C++ classes and need no
// binary type library, but installation and tools look for the registry
// keys a registered library leaves:
//   HKCR\TypeLib\{LIBID}\<major.minor>            = name
//   HKCR\TypeLib\{LIBID}\<major.minor>\FLAGS      = "0"
//   HKCR\TypeLib\{LIBID}\<major.minor>\<lcid>\win64 (win32 on 32-bit) = path
//   HKCR\TypeLib\{LIBID}\<major.minor>\HELPDIR    = help directory
// and for each automation interface it describes:
//   HKCR\Interface\{IID} = name, with ProxyStubClsid32 (the automation
//   marshaller), TypeLib = LIBID and its value Version = "major.minor".
// Versions and LCIDs are written in hexadecimal, as the system does.
#ifndef KAVEX_PLATFORM_COM_TYPELIB_H_
#define KAVEX_PLATFORM_COM_TYPELIB_H_

#include "platform/base/types.h"

namespace kavex::com {

// REGDB_E_WRITEREGDB when a key cannot be written.
HRESULT RegisterTypeLibInfo(REFGUID libid, WORD major, WORD minor, LCID lcid,
                            const char* name, const char* path,
                            const char* help_dir = nullptr);
// Removes the version's keys, and the library's key when no version is
// left. TYPE_E_LIBNOTREGISTERED when that version is not registered.
HRESULT UnRegisterTypeLibInfo(REFGUID libid, WORD major, WORD minor, LCID lcid);

HRESULT RegisterTypeLibInterface(REFIID iid, const char* name, REFGUID libid,
                                 WORD major, WORD minor);
HRESULT UnRegisterTypeLibInterface(REFIID iid);

}  // namespace kavex::com

#endif  // KAVEX_PLATFORM_COM_TYPELIB_H_
