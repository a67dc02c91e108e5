// The installer's service-stop action: asks the service manager once to stop
// the OPC server's service, before the server's files are replaced or
// removed. Never waits and never fails, so that an installation goes on
// whether the service is absent, stopped, or beyond the caller's rights.
#ifndef KAVEX_INSTALLER_SVCSTOP_H_
#define KAVEX_INSTALLER_SVCSTOP_H_

namespace kavex::installer {

// Opens the manager with full rights, opens "Kavex OPC Server" with full
// rights and sends it the stop control. No result is looked at: a step that
// failed makes the next one fail. Handles are left to the end of the
// process. Prints nothing; returns the exit code, always 0.
int StopServerService();

}  // namespace kavex::installer

#endif  // KAVEX_INSTALLER_SVCSTOP_H_
