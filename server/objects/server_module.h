// The server's classes as one table: Server, Group, ServerCallback and
// EnumOPCItemAttributes with their CLSIDs, ProgIDs and descriptions. The
// server program registers the class objects from it; clients create
// "KavexOPCServer.Server" by ProgID through the component runtime.
#ifndef KAVEX_SERVER_OBJECTS_SERVER_MODULE_H_
#define KAVEX_SERVER_OBJECTS_SERVER_MODULE_H_

#include <span>
#include <vector>

#include "platform/com/class_factory.h"

namespace kavex::server {

// Version-independent and versioned ProgIDs of the classes clients create.
inline constexpr char16_t kServerProgId[] = u"KavexOPCServer.Server";
inline constexpr char16_t kServerProgIdVersioned[] = u"KavexOPCServer.Server.1";

// One class of the server, with the names its registration needs.
struct ServerClass {
  com::ClassEntry entry;
  const char* description;
  const char* prog_id;  // versioned
  const char* version_independent_prog_id;
};

std::span<const ServerClass> ServerClasses();

// Registers every class object of the table in this process with
// `clsctx` and `flags` (CoRegisterClassObject); the cookies go to
// `cookies`. On a failure the classes registered so far are revoked.
HRESULT RegisterServerClassObjects(DWORD clsctx, DWORD flags,
                                   std::vector<DWORD>* cookies);
void RevokeServerClassObjects(std::vector<DWORD>* cookies);

}  // namespace kavex::server

#endif  // KAVEX_SERVER_OBJECTS_SERVER_MODULE_H_
