#include "server/program/server_program.h"

#include <systemd/sd-daemon.h>

#include <cstdio>
#include <string>

#include "platform/base/results.h"
#include "platform/com/activation.h"
#include "platform/com/guid.h"
#include "platform/com/module_registration.h"
#include "platform/registry/registry.h"
#include "platform/service/event_log.h"
#include "platform/service/service_dispatcher.h"
#include "platform/service/service_names.h"
#include "platform/sync/last_error.h"
#include "server/program/command_line.h"
#include "server/program/registration.h"
#include "server/program/server_loop.h"

namespace kavex::server {
namespace {

SERVICE_STATUS_HANDLE status_handle = nullptr;
SERVICE_STATUS service_status = {};
HRESULT last_service_result = S_OK;
const ServerLoopOptions* service_options_for_testing = nullptr;

void ReportStatus(DWORD state, DWORD exit_code = 0) {
  service_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  service_status.dwCurrentState = state;
  service_status.dwControlsAccepted =
      state == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP;
  service_status.dwWin32ExitCode = exit_code;
  service_status.dwCheckPoint = 0;
  service_status.dwWaitHint = 0;
  if (status_handle != nullptr)
    SetServiceStatus(status_handle, &service_status);
}

void Event(const char* text, bool echo) {
  service::LogEvent(service::kServerServiceName, text, echo);
}

}  // namespace

DWORD ReadServiceMode(bool* service_mode) {
  *service_mode = false;
  HKEY key = nullptr;
  const std::string sub = "AppID\\" + com::GuidToString(APPID_KavexOPCServer);
  LONG err = RegOpenKeyExA(HKEY_CLASSES_ROOT, sub.c_str(), 0, KEY_READ, &key);
  if (err != ERROR_SUCCESS) return static_cast<DWORD>(err);
  *service_mode = RegQueryValueExA(key, kLocalServiceValue, nullptr, nullptr,
                                   nullptr, nullptr) == ERROR_SUCCESS;
  RegCloseKey(key);
  return ERROR_SUCCESS;
}

void ServiceControlHandler(DWORD control) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
      ReportStatus(SERVICE_STOP_PENDING);
      QuitServerLoop();
      break;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
    case SERVICE_CONTROL_INTERROGATE:
    case SERVICE_CONTROL_SHUTDOWN:
      break;
    default:
      Event("Bad service request", false);
      break;
  }
}

void ServiceMain(DWORD, char**) {
  status_handle = RegisterServiceCtrlHandlerA(service::kServerServiceName,
                                              ServiceControlHandler);
  if (status_handle == nullptr) {
    Event("Handler not installed", false);
    last_service_result = E_FAIL;
    return;
  }
  ReportStatus(SERVICE_START_PENDING);
  HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (FAILED(hr)) {
    last_service_result = hr;
    ReportStatus(SERVICE_STOPPED, static_cast<DWORD>(hr));
    return;
  }
  ServerLoopOptions options;
  options.serve_network = true;
  if (service_options_for_testing != nullptr)
    options = *service_options_for_testing;
  options.service_mode = true;
  options.on_serving = [] {
    Event("Service started", false);
    ReportStatus(SERVICE_RUNNING);
  };
  hr = RunServerLoop(options);
  last_service_result = hr;
  CoUninitialize();
  ReportStatus(SERVICE_STOPPED, static_cast<DWORD>(hr));
  Event("Service stopped", false);
  status_handle = nullptr;
}

HRESULT LastServiceResult() { return last_service_result; }

void SetServiceLoopOptionsForTesting(const ServerLoopOptions* options) {
  service_options_for_testing = options;
}

int ExitStatusFor(HRESULT hr) {
  if (SUCCEEDED(hr)) return 0;
  int low = static_cast<int>(static_cast<uint32_t>(hr) & 0xFF);
  return low != 0 ? low : 1;
}

HRESULT RunServerProgram(int argc, const char* const* argv) {
  const std::string name = argc > 0 && argv[0] ? argv[0] : "kavex-opc-server";
  switch (ParseCommandLine(argc, argv)) {
    case ProgramAction::kHelp:
      fputs(UsageText(name).c_str(), stdout);
      return S_OK;
    case ProgramAction::kVersion:
      printf("kavex-opc-server %s\n", KAVEX_VERSION);
      return S_OK;
    case ProgramAction::kRegServer:
      return RegisterServerProgram(com::ProgramPath(), /*as_service=*/false);
    case ProgramAction::kService:
      return RegisterServerProgram(com::ProgramPath(), /*as_service=*/true);
    case ProgramAction::kUnregServer:
      return UnregisterServerProgram();
    case ProgramAction::kStart:
      break;
  }
  bool service_mode = false;
  DWORD err = ReadServiceMode(&service_mode);
  if (err != ERROR_SUCCESS) {
    fprintf(stderr,
            "%s: the server is not registered (HKCR\\AppID\\%s: error %u); "
            "run %s /RegServer or /Service first\n",
            name.c_str(), com::GuidToString(APPID_KavexOPCServer).c_str(),
            static_cast<unsigned>(err), name.c_str());
    return HRESULT_FROM_WIN32(err);
  }
  if (service_mode) {
    char service_name[] = "Kavex OPC Server";
    const SERVICE_TABLE_ENTRYA table[] = {{service_name, ServiceMain},
                                          {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherA(table))
      return HRESULT_FROM_WIN32(GetLastError());
    return LastServiceResult();
  }
  HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (FAILED(hr)) return hr;
  ServerLoopOptions options;
  options.serve_network = true;
  // Started by systemd on a client's first connection (the socket unit),
  // the local server is a notify service like the service: ready once it
  // serves. Without $NOTIFY_SOCKET this does nothing.
  options.on_serving = [] { sd_notify(0, "READY=1"); };
  hr = RunServerLoop(options);
  CoUninitialize();
  return hr;
}

}  // namespace kavex::server
