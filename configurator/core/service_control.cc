#include "configurator/core/service_control.h"

#include "platform/service/service_names.h"

namespace kavex::configurator {
namespace {

constexpr DWORD kFullServiceAccess =
    SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS;  // 0x34
// A stop must be seen complete within this many one-second waits.
constexpr int kStopWaits = 6;
constexpr DWORD kStopWaitMs = 1000;

}  // namespace

std::u16string ServiceNotice(ServiceCheck check) {
  switch (check) {
    case ServiceCheck::kNotFound:
      return kServiceNotFoundNotice;
    case ServiceCheck::kStillRunning:
    case ServiceCheck::kRunningReadOnly:
      return kServiceRunningNotice;
    case ServiceCheck::kNotRunning:
      break;
  }
  return std::u16string();
}

bool StopButtonShown(ServiceCheck check) {
  return check == ServiceCheck::kStillRunning;
}

ServiceControl::ServiceControl(std::function<void(DWORD ms)> sleep)
    : sleep_(std::move(sleep)) {}

ServiceControl::~ServiceControl() { Release(); }

bool ServiceControl::Query() { return QueryServiceStatus(service_, &status_); }

ServiceCheck ServiceControl::Check() {
  Release();
  manager_ = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (manager_ != nullptr) {
    service_ = OpenServiceA(manager_, service::kServerServiceName,
                            kFullServiceAccess);
    if (service_ == nullptr || !Query()) return ServiceCheck::kNotFound;
    if (status_.dwCurrentState != SERVICE_RUNNING)
      return ServiceCheck::kNotRunning;
    return Stop() ? ServiceCheck::kNotRunning : ServiceCheck::kStillRunning;
  }
  manager_ = OpenSCManagerA(nullptr, nullptr, GENERIC_READ);
  if (manager_ == nullptr) return ServiceCheck::kNotFound;
  service_ = OpenServiceA(manager_, service::kServerServiceName,
                          SERVICE_QUERY_STATUS);
  if (service_ == nullptr || !Query()) return ServiceCheck::kNotFound;
  return status_.dwCurrentState == SERVICE_RUNNING
             ? ServiceCheck::kRunningReadOnly
             : ServiceCheck::kNotRunning;
}

bool ServiceControl::Stop() {
  if (!Query()) return false;
  if (status_.dwCurrentState == SERVICE_RUNNING) {
    if (!ControlService(service_, SERVICE_CONTROL_STOP, &status_)) return false;
    if (!Query()) return false;
    // Seven rounds of looking, waiting a second and asking again: the
    // service must report stopped within six waits, since what it says
    // after the seventh is not looked at.
    for (int waits = 0; status_.dwCurrentState != SERVICE_STOPPED; ++waits) {
      if (waits == kStopWaits) {
        sleep_(kStopWaitMs);
        Query();
        return false;
      }
      sleep_(kStopWaitMs);
      if (!Query()) return false;
    }
  }
  return status_.dwCurrentState == SERVICE_STOPPED;
}

void ServiceControl::RestartAndRelease() {
  if (service_ != nullptr) StartServiceA(service_, 0, nullptr);
  Release();
}

void ServiceControl::Release() {
  if (service_ != nullptr) CloseServiceHandle(service_);
  if (manager_ != nullptr) CloseServiceHandle(manager_);
  service_ = nullptr;
  manager_ = nullptr;
}

}  // namespace kavex::configurator
