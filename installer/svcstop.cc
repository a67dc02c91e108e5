#include "installer/svcstop.h"

#include "platform/service/service_manager.h"
#include "platform/service/service_names.h"

namespace kavex::installer {

int StopServerService() {
  // Full manager rights plus generic execute, and full service rights.
  constexpr DWORD kManagerAccess = 0x200F003F;
  constexpr DWORD kServiceAccess = 0x000F01FF;
  SC_HANDLE manager =
      OpenSCManagerA("", SERVICES_ACTIVE_DATABASEA, kManagerAccess);
  SC_HANDLE service =
      OpenServiceA(manager, service::kServerServiceName, kServiceAccess);
  SERVICE_STATUS status;
  ControlService(service, SERVICE_CONTROL_STOP, &status);
  return 0;
}

}  // namespace kavex::installer
