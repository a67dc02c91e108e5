#include "platform/service/backend.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/base/results.h"
#include "platform/service/fake_service_manager.h"
#include "platform/service/systemd_backend.h"

namespace kavex::service {
namespace {

struct StateName {
  ActiveState state;
  const char* name;
};
constexpr StateName kStateNames[] = {
    {ActiveState::kInactive, "inactive"},
    {ActiveState::kActivating, "activating"},
    {ActiveState::kActive, "active"},
    {ActiveState::kReloading, "reloading"},
    {ActiveState::kDeactivating, "deactivating"},
    {ActiveState::kFailed, "failed"},
};

std::mutex& FactoryMutex() {
  static std::mutex* mu = new std::mutex;  // used until exit
  return *mu;
}
BackendFactory& Factory() {
  static BackendFactory* factory = new BackendFactory;
  return *factory;
}

constexpr char kFakePrefix[] = "fake:";

}  // namespace

const char* ActiveStateName(ActiveState state) {
  for (const StateName& entry : kStateNames)
    if (entry.state == state) return entry.name;
  return "inactive";
}

bool ParseActiveState(const std::string& word, ActiveState* state) {
  for (const StateName& entry : kStateNames) {
    if (word == entry.name) {
      *state = entry.state;
      return true;
    }
  }
  return false;
}

DWORD ConnectBackend(std::unique_ptr<Backend>* backend) {
  BackendFactory factory;
  {
    std::lock_guard<std::mutex> lock(FactoryMutex());
    factory = Factory();
  }
  if (factory) return factory(backend);
  const char* choice = std::getenv("KAVEX_SERVICE_MANAGER");
  std::string value = choice != nullptr ? choice : "";
  if (value.empty()) {
    if (!SystemdIsInit()) return RPC_S_SERVER_UNAVAILABLE;
    return SystemdBackend::Connect(SystemdOptions{}, backend);
  }
  if (value == "systemd")
    return SystemdBackend::Connect(SystemdOptions{}, backend);
  if (value.rfind(kFakePrefix, 0) == 0)
    return FakeServiceManager::Connect(value.substr(std::strlen(kFakePrefix)),
                                       backend);
  return RPC_S_SERVER_UNAVAILABLE;
}

void SetBackendFactoryForTesting(BackendFactory factory) {
  std::lock_guard<std::mutex> lock(FactoryMutex());
  Factory() = std::move(factory);
}

}  // namespace kavex::service
