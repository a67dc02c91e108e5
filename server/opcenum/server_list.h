// The server browser ("OpcEnum", class CLSID_OpcServerList): tells remote
// clients which OPC servers a host offers, by component category, from
// what the servers registered under HKEY_CLASSES_ROOT.
//
//   EnumClassesOfCategories  the classes under HKCR\CLSID that implement
//                            one of the asked categories (their
//                            "Implemented Categories" subkeys) and require
//                            none beyond the asked ones ("Required
//                            Categories"). A category counts only when it
//                            is recorded under HKCR\Component Categories.
//                            cImplemented 0 is E_INVALIDARG; (ULONG)-1 for
//                            either count drops that test.
//   GetClassDetails          IOPCServerList2: the ProgID, the class's
//                            description and its version-independent
//                            ProgID. IOPCServerList: the version-independent
//                            ProgID where the class has one (what browsers
//                            list, "KavexOPCServer.Server"), else its
//                            ProgID. REGDB_E_CLASSNOTREG for a class not
//                            registered; a missing ProgID or description
//                            comes back null.
//   CLSIDFromProgID          HKCR\<ProgID>\CLSID (following CurVer);
//                            CO_E_CLASSSTRING when none.
//
// Every string and enumerator is a fresh copy for the caller.
#ifndef KAVEX_SERVER_OPCENUM_SERVER_LIST_H_
#define KAVEX_SERVER_OPCENUM_SERVER_LIST_H_

#include <vector>

#include "platform/com/class_factory.h"

namespace kavex::server {

// Appends the server browser's class to a class table (one a DcomHost
// serves), so remote clients can activate CLSID_OpcServerList.
void AddServerListClass(std::vector<com::ClassEntry>* classes);

}  // namespace kavex::server

#endif  // KAVEX_SERVER_OPCENUM_SERVER_LIST_H_
