// The service manager's backend on systemd, through its D-Bus API
// (org.freedesktop.systemd1): LoadUnit and the unit's LoadState, ActiveState
// and the main process's exit status for the state; StartUnit and StopUnit
// in "replace" mode; unit files written to /etc/systemd/system and Reload.
// Whether the caller may manage units: root may; another user when the
// system's authorisation policy (polkit, action
// "org.freedesktop.systemd1.manage-units") grants it without asking.
// systemd's refusals (access denied, interactive authorisation required,
// not authorised) read ERROR_ACCESS_DENIED.
#ifndef KAVEX_PLATFORM_SERVICE_SYSTEMD_BACKEND_H_
#define KAVEX_PLATFORM_SERVICE_SYSTEMD_BACKEND_H_

#include <systemd/sd-bus.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/service/backend.h"

namespace kavex::service {

struct SystemdOptions {
  std::string unit_directory = "/etc/systemd/system";
  // Opens and starts the connection, returning 0 or a negative errno.
  // Default: systemd's own socket for root (no message bus needed), the
  // system bus otherwise.
  std::function<int(sd_bus** bus)> open_bus;
  // Whether the caller counts as root; default: its effective uid is 0.
  std::optional<bool> caller_is_root;
};

class SystemdBackend : public Backend {
 public:
  // RPC_S_SERVER_UNAVAILABLE when no connection can be made.
  static DWORD Connect(const SystemdOptions& options,
                       std::unique_ptr<Backend>* backend);
  ~SystemdBackend() override;

  DWORD MayManage(bool* allowed) override;
  DWORD GetStatus(const std::string& unit, UnitStatus* status) override;
  DWORD Start(const std::string& unit) override;
  DWORD Stop(const std::string& unit) override;
  DWORD Install(const std::string& unit, const std::string& text) override;
  DWORD Remove(const std::string& unit) override;

 private:
  SystemdBackend(sd_bus* bus, SystemdOptions options);
  DWORD UnitPath(const std::string& unit, std::string* path);
  DWORD GetString(const std::string& path, const char* interface,
                  const char* property, std::string* value);
  DWORD CallJob(const char* method, const std::string& unit);
  DWORD Reload();

  sd_bus* bus_;
  SystemdOptions options_;
};

// The Win32 error for a failed D-Bus call: from the error's name when it has
// one systemd, polkit or the bus uses, else from the errno (`result`, negative
// or positive): refused → ERROR_ACCESS_DENIED, connection trouble →
// RPC_S_SERVER_UNAVAILABLE, no reply in time → ERROR_TIMEOUT, anything else
// ERROR_GEN_FAILURE.
DWORD Win32ErrorFromBus(const sd_bus_error* error, int result);

// Whether this machine runs systemd as its init system.
bool SystemdIsInit();

}  // namespace kavex::service

#endif  // KAVEX_PLATFORM_SERVICE_SYSTEMD_BACKEND_H_
