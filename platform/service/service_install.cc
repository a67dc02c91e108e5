#include "platform/service/service_install.h"

#include "platform/base/results.h"
#include "platform/service/service_manager.h"
#include "platform/sync/last_error.h"
#include "platform/ui/message_box.h"

namespace kavex::service {
namespace {

// Closes a service handle when it goes.
class ScopedServiceHandle {
 public:
  explicit ScopedServiceHandle(SC_HANDLE handle) : handle_(handle) {}
  ~ScopedServiceHandle() {
    if (handle_ != nullptr) CloseServiceHandle(handle_);
  }
  ScopedServiceHandle(const ScopedServiceHandle&) = delete;
  ScopedServiceHandle& operator=(const ScopedServiceHandle&) = delete;
  SC_HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  SC_HANDLE handle_;
};

// Shows `text` and returns the last error as an HRESULT. The error is read
// before the box is shown, which may make calls of its own.
HRESULT Report(const char* name, const char* text) {
  DWORD error = GetLastError();
  MessageBoxA(nullptr, text, name, MB_OK | MB_ICONERROR);
  return error != ERROR_SUCCESS ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

}  // namespace

bool IsServiceInstalled(const char* name) {
  ScopedServiceHandle manager(
      OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return false;
  ScopedServiceHandle service(
      OpenServiceA(manager.get(), name, SERVICE_QUERY_CONFIG));
  return static_cast<bool>(service);
}

HRESULT InstallService(const char* name, const std::string& executable) {
  if (IsServiceInstalled(name)) return S_OK;
  ScopedServiceHandle manager(
      OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return Report(name, "Could not open Service Manager");
  std::string command = "\"" + executable + "\"";
  ScopedServiceHandle service(CreateServiceA(
      manager.get(), name, name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
      SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, command.c_str(), nullptr,
      nullptr, "RPCSS\0", nullptr, nullptr));
  if (!service) return Report(name, "Could not start service");
  return S_OK;
}

HRESULT UninstallService(const char* name) {
  if (!IsServiceInstalled(name)) return S_OK;
  ScopedServiceHandle manager(
      OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return Report(name, "Could not open Service Manager");
  ScopedServiceHandle service(OpenServiceA(
      manager.get(), name, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
  if (!service) return Report(name, "Could not open service");
  SERVICE_STATUS status{};
  if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
    DWORD error = GetLastError();
    bool stopped = error == ERROR_SERVICE_NOT_ACTIVE ||
                   (error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL &&
                    status.dwCurrentState == SERVICE_STOP_PENDING);
    if (!stopped) return Report(name, "Could not stop service");
  }
  if (!DeleteService(service.get())) {
    // Both handles above needed the right to manage services, so a refusal
    // here is of the unit itself: installing did not write it, it came with
    // the system's packages (the packaged kavex-opc-server.service) and goes
    // with them. The service is stopped; its unit stays and serves again.
    if (GetLastError() == ERROR_ACCESS_DENIED) return S_OK;
    return Report(name, "Could not delete service");
  }
  return S_OK;
}

}  // namespace kavex::service
