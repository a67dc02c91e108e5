// The service side: a program that the service manager runs as a service
// hands its main thread to the dispatcher, which runs the service's main
// function on a thread of its own and delivers the manager's controls to the
// service's handler on the dispatcher's (the calling) thread.
//
// On systemd the controls come as signals: SIGTERM is the stop control
// (SERVICE_CONTROL_STOP); no other control is ever sent. The signal handler
// only writes the control to a pipe that the dispatcher reads, so the
// service's handler runs on a normal thread and may lock, allocate and log.
// The states the service reports go to systemd through sd_notify (the unit
// is Type=notify): RUNNING sends READY=1, STOP_PENDING STOPPING=1, and every
// state a STATUS= text; a wait hint of a pending state extends systemd's
// time-out by that much (EXTEND_TIMEOUT_USEC=).
#ifndef KAVEX_PLATFORM_SERVICE_SERVICE_DISPATCHER_H_
#define KAVEX_PLATFORM_SERVICE_SERVICE_DISPATCHER_H_

#include <string>

#include "platform/base/types.h"
#include "platform/service/service_manager.h"

using LPSERVICE_MAIN_FUNCTIONA = void (*)(DWORD argc, char** argv);
struct SERVICE_TABLE_ENTRYA {
  char* lpServiceName;
  LPSERVICE_MAIN_FUNCTIONA lpServiceProc;
};
using LPHANDLER_FUNCTION = void (*)(DWORD control);
using SERVICE_STATUS_HANDLE = struct ServiceStatusHandle*;

// `table` holds one service (own process) followed by an entry of nulls; any
// other table gives ERROR_INVALID_PARAMETER. Fails with
// ERROR_FAILED_SERVICE_CONTROLLER_CONNECT when the process was not started
// by a service manager (neither $NOTIFY_SOCKET nor $INVOCATION_ID is set),
// with ERROR_SERVICE_ALREADY_RUNNING while another dispatcher runs.
//
// Runs the entry's main function with argv = {service name} on a new thread
// and returns TRUE once it has returned, whatever state it reported last.
// SIGTERM's previous disposition is restored then.
BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table);

// Called by the service's main function. `name` must be the dispatched
// service's (compared without regard to case); ERROR_SERVICE_NOT_IN_EXE
// otherwise or without a dispatcher, ERROR_INVALID_PARAMETER for a null
// handler. A stop that arrived before the handler was registered is
// delivered to it then.
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(const char* name,
                                                  LPHANDLER_FUNCTION handler);

// Reports the service's state (see above). ERROR_INVALID_HANDLE for a handle
// that is not the running service's, ERROR_INVALID_DATA for a state outside
// SERVICE_STOPPED..SERVICE_PAUSED. A manager that cannot be told does not
// fail the call.
BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status);

namespace kavex::service {

// Hands `control` to the running service's handler as the manager would
// (the handler runs on the dispatcher's thread): FALSE with
// ERROR_SERVICE_NOT_ACTIVE when no dispatcher runs.
BOOL PostServiceControl(DWORD control);

// The sd_notify message for a status (see above).
std::string NotificationForStatus(const SERVICE_STATUS& status);

}  // namespace kavex::service

#endif  // KAVEX_PLATFORM_SERVICE_SERVICE_DISPATCHER_H_
