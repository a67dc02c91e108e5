// Installing and removing the server's service when the server registers or
// unregisters itself. Failures are shown by message box (captioned with the
// service name, so a console program prints them and a daemon logs them)
// and returned as HRESULTs for the process's exit code.
#ifndef KAVEX_PLATFORM_SERVICE_SERVICE_INSTALL_H_
#define KAVEX_PLATFORM_SERVICE_SERVICE_INSTALL_H_

#include <string>

#include "platform/base/types.h"

namespace kavex::service {

// Whether a service of that name exists (false also when no service manager
// can be reached).
bool IsServiceInstalled(const char* name);

// Installs `name` (also its display name) as an own-process, demand-start
// service with normal error control that runs `executable` (an absolute
// path, quoted on the command line) and depends on "RPCSS". Nothing is done
// when a service of that name exists. Failures: "Could not open Service
// Manager", "Could not start service" (the service could not be created).
HRESULT InstallService(const char* name, const std::string& executable);

// Nothing is done when no service of that name exists. Otherwise sends it
// the stop control, where a service that is not active, or whose stop is
// already pending, counts as stopped, and deletes it. Failures: "Could not
// open Service Manager", "Could not open service", "Could not stop service"
// (the service is then left installed: removing the unit of a service that
// still runs would leave its process without a unit), "Could not delete
// service". A unit the manager will not delete although the caller may
// manage services (one that came with the system's packages, not written by
// InstallService) is left in place once stopped, and that is success: the
// server's registration then goes on with the packaged unit as its service.
HRESULT UninstallService(const char* name);

}  // namespace kavex::service

#endif  // KAVEX_PLATFORM_SERVICE_SERVICE_INSTALL_H_
