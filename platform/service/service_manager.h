// The service control manager: open the manager and a service with access
// rights, query its status, start it, send it the stop control, create and
// delete it. Backed by systemd where it is the init system (each service is a
// unit, see service_names.h), by the fake of fake_service_manager.h when a
// test chooses it, and by nothing otherwise: then OpenSCManagerA fails with
// RPC_S_SERVER_UNAVAILABLE, as it does for a manager that cannot be reached.
//
// Every call sets the last error (GetLastError) when it fails and returns
// FALSE or null. Handles are validated: a closed, foreign or null handle
// gives ERROR_INVALID_HANDLE, never a crash. Calls may come from any thread.
//
// Rights: reading (connect, enumerate, query status and configuration) is
// granted to every caller; any other right (create, start, stop, delete,
// change) is granted only to a caller the manager lets manage services:
// root, or a user the system's authorisation policy allows to manage units.
// Asking for a right one may not have fails the open with
// ERROR_ACCESS_DENIED, as on Windows; a call that needs a right the handle was
// not opened with fails the same way.
#ifndef KAVEX_PLATFORM_SERVICE_SERVICE_MANAGER_H_
#define KAVEX_PLATFORM_SERVICE_SERVICE_MANAGER_H_

#include "platform/base/results.h"
#include "platform/base/types.h"

using SC_HANDLE = struct ServiceControlHandle*;

// Standard and generic access rights.
constexpr DWORD DELETE = 0x00010000;
constexpr DWORD READ_CONTROL = 0x00020000;
constexpr DWORD WRITE_DAC = 0x00040000;
constexpr DWORD WRITE_OWNER = 0x00080000;
constexpr DWORD STANDARD_RIGHTS_REQUIRED = 0x000F0000;
constexpr DWORD STANDARD_RIGHTS_READ = READ_CONTROL;
constexpr DWORD STANDARD_RIGHTS_WRITE = READ_CONTROL;
constexpr DWORD STANDARD_RIGHTS_EXECUTE = READ_CONTROL;
constexpr DWORD GENERIC_ALL = 0x10000000;
constexpr DWORD GENERIC_EXECUTE = 0x20000000;
constexpr DWORD GENERIC_WRITE = 0x40000000;
constexpr DWORD GENERIC_READ = 0x80000000;

// Rights on the manager.
constexpr DWORD SC_MANAGER_CONNECT = 0x0001;
constexpr DWORD SC_MANAGER_CREATE_SERVICE = 0x0002;
constexpr DWORD SC_MANAGER_ENUMERATE_SERVICE = 0x0004;
constexpr DWORD SC_MANAGER_LOCK = 0x0008;
constexpr DWORD SC_MANAGER_QUERY_LOCK_STATUS = 0x0010;
constexpr DWORD SC_MANAGER_MODIFY_BOOT_CONFIG = 0x0020;
constexpr DWORD SC_MANAGER_ALL_ACCESS = 0x000F003F;

// Rights on a service.
constexpr DWORD SERVICE_QUERY_CONFIG = 0x0001;
constexpr DWORD SERVICE_CHANGE_CONFIG = 0x0002;
constexpr DWORD SERVICE_QUERY_STATUS = 0x0004;
constexpr DWORD SERVICE_ENUMERATE_DEPENDENTS = 0x0008;
constexpr DWORD SERVICE_START = 0x0010;
constexpr DWORD SERVICE_STOP = 0x0020;
constexpr DWORD SERVICE_PAUSE_CONTINUE = 0x0040;
constexpr DWORD SERVICE_INTERROGATE = 0x0080;
constexpr DWORD SERVICE_USER_DEFINED_CONTROL = 0x0100;
constexpr DWORD SERVICE_ALL_ACCESS = 0x000F01FF;

constexpr const char* SERVICES_ACTIVE_DATABASEA = "ServicesActive";

// Service types, start types and error control.
constexpr DWORD SERVICE_WIN32_OWN_PROCESS = 0x00000010;
constexpr DWORD SERVICE_WIN32_SHARE_PROCESS = 0x00000020;
constexpr DWORD SERVICE_AUTO_START = 2;
constexpr DWORD SERVICE_DEMAND_START = 3;
constexpr DWORD SERVICE_DISABLED = 4;
constexpr DWORD SERVICE_ERROR_IGNORE = 0;
constexpr DWORD SERVICE_ERROR_NORMAL = 1;

// Current states.
constexpr DWORD SERVICE_STOPPED = 1;
constexpr DWORD SERVICE_START_PENDING = 2;
constexpr DWORD SERVICE_STOP_PENDING = 3;
constexpr DWORD SERVICE_RUNNING = 4;
constexpr DWORD SERVICE_CONTINUE_PENDING = 5;
constexpr DWORD SERVICE_PAUSE_PENDING = 6;
constexpr DWORD SERVICE_PAUSED = 7;

// Controls accepted.
constexpr DWORD SERVICE_ACCEPT_STOP = 0x01;
constexpr DWORD SERVICE_ACCEPT_PAUSE_CONTINUE = 0x02;
constexpr DWORD SERVICE_ACCEPT_SHUTDOWN = 0x04;

// Control codes.
constexpr DWORD SERVICE_CONTROL_STOP = 1;
constexpr DWORD SERVICE_CONTROL_PAUSE = 2;
constexpr DWORD SERVICE_CONTROL_CONTINUE = 3;
constexpr DWORD SERVICE_CONTROL_INTERROGATE = 4;
constexpr DWORD SERVICE_CONTROL_SHUTDOWN = 5;

struct SERVICE_STATUS {
  DWORD dwServiceType;
  DWORD dwCurrentState;
  DWORD dwControlsAccepted;
  DWORD dwWin32ExitCode;
  DWORD dwServiceSpecificExitCode;
  DWORD dwCheckPoint;
  DWORD dwWaitHint;
};
using LPSERVICE_STATUS = SERVICE_STATUS*;

// machine: null or "" for this machine (any other name fails with
// RPC_S_SERVER_UNAVAILABLE); database: null or "ServicesActive" (else
// ERROR_DATABASE_DOES_NOT_EXIST). SC_MANAGER_CONNECT is always granted.
SC_HANDLE OpenSCManagerA(const char* machine, const char* database,
                         DWORD access);

// name: the service name ("Kavex OPC Server", case-insensitive) or a unit
// name. ERROR_SERVICE_DOES_NOT_EXIST when there is no such service,
// ERROR_INVALID_NAME for a name no service can have.
SC_HANDLE OpenServiceA(SC_HANDLE manager, const char* name, DWORD access);

// Needs SERVICE_QUERY_STATUS. A service whose unit failed reads STOPPED with
// dwWin32ExitCode ERROR_SERVICE_SPECIFIC_ERROR and the process's exit status
// as dwServiceSpecificExitCode.
BOOL QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status);

// Needs SERVICE_START. Arguments are not supported (argc must be 0). Returns
// once the start is queued, without waiting for the service to run;
// ERROR_SERVICE_ALREADY_RUNNING when it runs or is starting.
BOOL StartServiceA(SC_HANDLE service, DWORD argc, const char** argv);

// SERVICE_CONTROL_STOP (needs SERVICE_STOP) asks the service to stop and
// returns at once with STOP_PENDING (or STOPPED) in *status;
// ERROR_SERVICE_NOT_ACTIVE when it does not run, and
// ERROR_SERVICE_CANNOT_ACCEPT_CTRL while its stop is already pending.
// SERVICE_CONTROL_INTERROGATE (needs SERVICE_INTERROGATE) only fills *status.
// Every other control gives ERROR_INVALID_SERVICE_CONTROL: the services here
// accept stop only. *status is filled whenever the status could be read.
BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status);

// Creates an own-process service: writes its unit (unit_file.h) and makes the
// manager read it. binary_path is a command line whose first word, quoted or
// not, is the absolute path of the program. Supported: service type
// SERVICE_WIN32_OWN_PROCESS; start type SERVICE_DEMAND_START (the unit is not
// enabled); dependencies as a double-NUL-terminated list of service names
// ("RPCSS" and the services of service_names.h); no account (null,
// "LocalSystem" or ".\LocalSystem": the unit's own unprivileged user) and no
// password. The display name must equal the service name or be null, and the
// load order group and tag must be null. Anything else gives
// ERROR_INVALID_PARAMETER. Needs SC_MANAGER_CREATE_SERVICE;
// ERROR_SERVICE_EXISTS when a service of that name exists.
SC_HANDLE CreateServiceA(SC_HANDLE manager, const char* name,
                         const char* display_name, DWORD access,
                         DWORD service_type, DWORD start_type,
                         DWORD error_control, const char* binary_path,
                         const char* load_order_group, DWORD* tag_id,
                         const char* dependencies, const char* account,
                         const char* password);

// Needs DELETE. Stops the service, removes its unit and makes the manager
// forget it; the handle stays open, and every later call through it gives
// ERROR_SERVICE_MARKED_FOR_DELETE. A unit the system's packages installed
// (not one CreateServiceA wrote) is not removed: ERROR_ACCESS_DENIED.
BOOL DeleteService(SC_HANDLE service);

// Closes a manager or service handle.
BOOL CloseServiceHandle(SC_HANDLE handle);

#endif  // KAVEX_PLATFORM_SERVICE_SERVICE_MANAGER_H_
