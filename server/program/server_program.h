// The server program as a whole: the mode it starts in, the service's main
// function and control handler, and the command-line actions, as main()
// runs them.
#ifndef KAVEX_SERVER_PROGRAM_SERVER_PROGRAM_H_
#define KAVEX_SERVER_PROGRAM_SERVER_PROGRAM_H_

#include <string>

#include "platform/base/types.h"

namespace kavex::server {

// Whether the program starts as the service: HKCR\AppID\{AppID} has a
// "LocalService" value. ERROR_SUCCESS, or the error opening the key (the
// program then ends with it).
DWORD ReadServiceMode(bool* service_mode);

// The service's control handler: STOP reports STOP_PENDING and ends the
// loop; PAUSE, CONTINUE, INTERROGATE and SHUTDOWN do nothing; any other
// code writes "Bad service request" to the event log.
void ServiceControlHandler(DWORD control);

// The service's main function, run by the service dispatcher.
void ServiceMain(DWORD argc, char** argv);

// The exit code of the service's last run (its loop's HRESULT).
HRESULT LastServiceResult();

// Runs the program for `argv` and returns the process's result: the
// registration's HRESULT, the loop's, or the dispatcher's error.
HRESULT RunServerProgram(int argc, const char* const* argv);

struct ServerLoopOptions;
// The loop options the service's main function runs with (null: the
// defaults), for tests that give the service a device of their own.
void SetServiceLoopOptionsForTesting(const ServerLoopOptions* options);

// The process exit status for a result: 0 for success, else the result's
// low byte, or 1 when that is 0.
int ExitStatusFor(HRESULT hr);

}  // namespace kavex::server

#endif  // KAVEX_SERVER_PROGRAM_SERVER_PROGRAM_H_
