// What the server program writes under HKEY_CLASSES_ROOT when it registers
// itself, and removes when it unregisters: the AppID entries, the four
// classes (Server, Group, ServerCallback, EnumOPCItemAttributes) served by
// this program (LocalServer32), their ProgIDs, the type library, the two
// OPC DA server component categories with the Server class implementing
// them, and with /Service the AppID's "LocalService" value and the service.
#ifndef KAVEX_SERVER_PROGRAM_REGISTRATION_H_
#define KAVEX_SERVER_PROGRAM_REGISTRATION_H_

#include <string>

#include "platform/base/types.h"
#include "platform/com/guid.h"
#include "platform/com/module_registration.h"

namespace kavex::server {

inline constexpr GUID APPID_KavexOPCServer =
    com::GuidLiteral("{343C5F9C-35D1-4F4B-A04B-BF246FA1A19C}");
inline constexpr GUID LIBID_KavexOPCServerLib =
    com::GuidLiteral("{4CA564D7-4F81-4C2C-9429-6609A57D26A5}");
inline constexpr CATID CATID_OPCDAServer10 =
    com::GuidLiteral("{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}");
inline constexpr CATID CATID_OPCDAServer20 =
    com::GuidLiteral("{63D5F430-CFE4-11D1-B2C8-0060083BA1FB}");
// HKCR\AppID\{AppID} "LocalService": present when the program runs as the
// service.
inline constexpr char kLocalServiceValue[] = "LocalService";

// The program's classes, AppID and type library as one registration table.
const com::ModuleEntry& ServerProgramModule();

// RegServer (as_service false) and Service (true) for the program at
// `program_path`: removes the service if installed, writes the AppID
// entries, deletes "LocalService", writes the classes, the type library and
// the categories; with `as_service` also sets "LocalService" = the service
// name and installs the service. The first failure's HRESULT.
HRESULT RegisterServerProgram(const std::string& program_path, bool as_service);

// UnregServer: removes the categories the program registered, the classes
// and the type library, the service if installed, "LocalService" and the
// AppID entries. Everything is tried; the first failure's HRESULT.
HRESULT UnregisterServerProgram();

// Records a component category with its description for `lcid` (as the
// component-categories manager does: HKCR\Component Categories\{catid},
// value "<lcid in hex>" = description).
HRESULT RegisterComponentCategory(REFCATID catid, LCID lcid,
                                  const char* description);
// Removes the category's description for `lcid`, and the category key once
// no description is left and no class under HKCR\CLSID still names it in
// its "Implemented Categories": other servers may implement it too.
HRESULT UnregisterComponentCategory(REFCATID catid, LCID lcid);

}  // namespace kavex::server

#endif  // KAVEX_SERVER_PROGRAM_REGISTRATION_H_
