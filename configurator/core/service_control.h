// The configurator's use of the server's service "Kavex OPC Server": at
// start-up it stops a running service when it may and says so when it
// cannot, the "Stop OPC Server" button tries again, and on closing it starts
// the service again and lets go of its handles. Every failure is silent
// apart from the notice and the button.
#ifndef KAVEX_CONFIGURATOR_CORE_SERVICE_CONTROL_H_
#define KAVEX_CONFIGURATOR_CORE_SERVICE_CONTROL_H_

#include <functional>
#include <string>

#include "platform/base/types.h"
#include "platform/service/service_manager.h"

namespace kavex::configurator {

// What the start-up check found.
enum class ServiceCheck {
  kNotFound = 0,         // no such service, or no access at all
  kStillRunning = 1,     // full access, and a stop did not end it in time
  kRunningReadOnly = 2,  // it runs and we may only look
  kNotRunning = 3,       // present and stopped (also after our stop)
};

inline constexpr char16_t kServiceNotFoundNotice[] =
    u"ATTENTION:: 'Kavex OPC Server' Windows service is not found. Check your "
    u"administrative privileges or reinstall the 'VeltoOPC'";
inline constexpr char16_t kServiceRunningNotice[] =
    u"ATTENTION:: Kavex OPC Server is currently running as a Windows "
    u"service!\n\rFor VeltoOPC to work properly you must stop this service.";

// The notice for a check result, and whether the stop button shows.
std::u16string ServiceNotice(ServiceCheck check);
bool StopButtonShown(ServiceCheck check);

class ServiceControl {
 public:
  // `sleep` waits the given milliseconds between status queries of a stop.
  explicit ServiceControl(std::function<void(DWORD ms)> sleep);
  ~ServiceControl();  // releases the handles, without a start
  ServiceControl(const ServiceControl&) = delete;
  ServiceControl& operator=(const ServiceControl&) = delete;

  // Opens the manager and the service, with full rights when we may (and
  // then stops a running service) or for reading.
  ServiceCheck Check();
  // True when the service is stopped now: the stop control is sent to a
  // running service and it must report stopped within six one-second
  // waits.
  bool Stop();
  // Starts the service when a handle is held (a start refused for a
  // read-only handle changes nothing) and closes both handles.
  void RestartAndRelease();
  // Closes both handles without a start.
  void Release();

  bool holds_service() const { return service_ != nullptr; }

 private:
  bool Query();

  std::function<void(DWORD ms)> sleep_;
  SC_HANDLE manager_ = nullptr;
  SC_HANDLE service_ = nullptr;
  SERVICE_STATUS status_{};
};

}  // namespace kavex::configurator

#endif  // KAVEX_CONFIGURATOR_CORE_SERVICE_CONTROL_H_
