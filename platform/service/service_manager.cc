#include "platform/service/service_manager.h"

#include <limits.h>
#include <strings.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/service/backend.h"
#include "platform/service/service_names.h"
#include "platform/service/unit_file.h"
#include "platform/sync/last_error.h"

namespace kavex::service {
namespace {

// One connection to the backend, shared by a manager handle and the service
// handles opened through it; its calls are serialised.
struct Connection {
  std::mutex mu;
  std::unique_ptr<Backend> backend;
  int may_manage = -1;  // -1: not asked yet

  // Whether the caller may manage services; asked once per connection.
  DWORD MayManageLocked(bool* allowed) {
    if (may_manage < 0) {
      bool answer = false;
      DWORD e = backend->MayManage(&answer);
      if (e != ERROR_SUCCESS) return e;
      may_manage = answer ? 1 : 0;
    }
    *allowed = may_manage == 1;
    return ERROR_SUCCESS;
  }
};

struct HandleObject {
  bool is_manager = false;
  std::shared_ptr<Connection> connection;
  DWORD granted = 0;
  std::string unit;  // services only
  // DeleteService succeeded through this handle; under the connection's lock.
  bool deleted = false;
};

struct HandleTable {
  std::mutex mu;
  std::unordered_map<uintptr_t, std::shared_ptr<HandleObject>> live;
  uintptr_t next = 1;
};

HandleTable& Table() {
  static HandleTable* table = new HandleTable;  // used until exit
  return *table;
}

// Handle values are numbers that never point anywhere, so a stale or forged
// handle is only ever looked up, never followed.
SC_HANDLE AddHandle(std::shared_ptr<HandleObject> object) {
  HandleTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mu);
  uintptr_t value = (table.next++ << 4) | 0x5;
  table.live.emplace(value, std::move(object));
  return reinterpret_cast<SC_HANDLE>(value);
}

std::shared_ptr<HandleObject> Lookup(SC_HANDLE handle, bool want_manager) {
  HandleTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mu);
  auto it = table.live.find(reinterpret_cast<uintptr_t>(handle));
  if (it == table.live.end() || it->second->is_manager != want_manager)
    return nullptr;
  return it->second;
}

constexpr DWORD kManagerRights = SC_MANAGER_ALL_ACCESS;
constexpr DWORD kManagerReadRights =
    SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE |
    SC_MANAGER_QUERY_LOCK_STATUS | READ_CONTROL;
constexpr DWORD kServiceReadRights =
    SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_ENUMERATE_DEPENDENTS |
    SERVICE_INTERROGATE | READ_CONTROL;
constexpr DWORD kGenericRights =
    GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL;

DWORD MapManagerAccess(DWORD access) {
  DWORD rights = access & ~kGenericRights;
  if (access & GENERIC_READ)
    rights |= STANDARD_RIGHTS_READ | SC_MANAGER_ENUMERATE_SERVICE |
              SC_MANAGER_QUERY_LOCK_STATUS;
  if (access & GENERIC_WRITE)
    rights |= STANDARD_RIGHTS_WRITE | SC_MANAGER_CREATE_SERVICE |
              SC_MANAGER_MODIFY_BOOT_CONFIG;
  if (access & GENERIC_EXECUTE)
    rights |= STANDARD_RIGHTS_EXECUTE | SC_MANAGER_CONNECT | SC_MANAGER_LOCK;
  if (access & GENERIC_ALL) rights |= kManagerRights;
  return rights | SC_MANAGER_CONNECT;
}

DWORD MapServiceAccess(DWORD access) {
  DWORD rights = access & ~kGenericRights;
  if (access & GENERIC_READ)
    rights |= STANDARD_RIGHTS_READ | SERVICE_QUERY_CONFIG |
              SERVICE_QUERY_STATUS | SERVICE_INTERROGATE |
              SERVICE_ENUMERATE_DEPENDENTS;
  if (access & GENERIC_WRITE)
    rights |= STANDARD_RIGHTS_WRITE | SERVICE_CHANGE_CONFIG;
  if (access & GENERIC_EXECUTE)
    rights |= STANDARD_RIGHTS_EXECUTE | SERVICE_START | SERVICE_STOP |
              SERVICE_PAUSE_CONTINUE | SERVICE_USER_DEFINED_CONTROL;
  if (access & GENERIC_ALL) rights |= SERVICE_ALL_ACCESS;
  return rights;
}

// ERROR_SUCCESS when the caller may hold `rights`, of which `read_rights`
// are open to everybody (any other bit, unknown ones included, needs the
// right to manage services).
DWORD CheckRights(Connection& connection, DWORD rights, DWORD read_rights) {
  if ((rights & ~read_rights) == 0) return ERROR_SUCCESS;
  bool allowed = false;
  DWORD e = connection.MayManageLocked(&allowed);
  if (e != ERROR_SUCCESS) return e;
  return allowed ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

void ToServiceStatus(const UnitStatus& unit, SERVICE_STATUS* status) {
  *status = SERVICE_STATUS{};
  status->dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  switch (unit.exists ? unit.state : ActiveState::kInactive) {
    case ActiveState::kInactive:
      status->dwCurrentState = SERVICE_STOPPED;
      break;
    case ActiveState::kFailed:
      status->dwCurrentState = SERVICE_STOPPED;
      if (unit.exit_status != 0) {
        status->dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
        status->dwServiceSpecificExitCode =
            static_cast<DWORD>(unit.exit_status);
      } else {
        // Killed by a signal or a time-out rather than ending with a code.
        status->dwWin32ExitCode = ERROR_PROCESS_ABORTED;
      }
      break;
    case ActiveState::kActivating:
      status->dwCurrentState = SERVICE_START_PENDING;
      status->dwControlsAccepted = SERVICE_ACCEPT_STOP;
      break;
    case ActiveState::kActive:
    case ActiveState::kReloading:
      status->dwCurrentState = SERVICE_RUNNING;
      status->dwControlsAccepted = SERVICE_ACCEPT_STOP;
      break;
    case ActiveState::kDeactivating:
      status->dwCurrentState = SERVICE_STOP_PENDING;
      break;
  }
}

bool IsRunning(ActiveState state) {
  return state == ActiveState::kActive || state == ActiveState::kActivating ||
         state == ActiveState::kReloading;
}

bool IsStopped(const UnitStatus& unit) {
  return !unit.exists || unit.state == ActiveState::kInactive ||
         unit.state == ActiveState::kFailed;
}

template <typename T>
T Fail(DWORD error, T result) {
  SetLastError(error);
  return result;
}

// Runs `body` (which returns the error) and turns an allocation failure into
// ERROR_NOT_ENOUGH_MEMORY: nothing is thrown out of the API.
template <typename Body>
DWORD Guarded(Body body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  } catch (...) {
    return ERROR_GEN_FAILURE;
  }
}

BOOL Finish(DWORD error) {
  if (error == ERROR_SUCCESS) return TRUE;
  SetLastError(error);
  return FALSE;
}

// The double-NUL-terminated dependency list, each name resolved.
constexpr size_t kMaxDependencyBytes = 64 * 1024;
DWORD ParseDependencies(const char* list, std::vector<UnitDependency>* deps) {
  if (list == nullptr) return ERROR_SUCCESS;
  size_t total = 0;
  for (const char* p = list; *p != '\0';) {
    size_t n = strnlen(p, kMaxDependencyBytes - total);
    total += n + 1;
    if (total >= kMaxDependencyBytes) return ERROR_INVALID_PARAMETER;
    UnitDependency dep;
    if (!DependencyForServiceName(std::string(p, n), &dep))
      return ERROR_INVALID_PARAMETER;
    deps->push_back(dep);
    p += n + 1;
  }
  return ERROR_SUCCESS;
}

// The registry the registering process uses is the one the service must
// read: a root other than the default is passed on, made absolute since the
// service runs in its own working directory.
void AddRegistryRoot(UnitSpec* spec) {
  const char* root = std::getenv("KAVEX_REGISTRY_ROOT");
  if (root == nullptr || *root == '\0') return;
  std::string value = root;
  if (value[0] != '/') {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) != nullptr)
      value = std::string(cwd) + "/" + value;
  }
  spec->environment.emplace_back("KAVEX_REGISTRY_ROOT", value);
}

bool IsLocalSystemAccount(const char* account) {
  return account == nullptr || strcasecmp(account, "LocalSystem") == 0 ||
         strcasecmp(account, ".\\LocalSystem") == 0;
}

}  // namespace
}  // namespace kavex::service

using kavex::service::ActiveState;
using kavex::service::HandleObject;
using kavex::service::UnitStatus;
namespace svc = kavex::service;

SC_HANDLE OpenSCManagerA(const char* machine, const char* database,
                         DWORD access) {
  SC_HANDLE result = nullptr;
  DWORD e = svc::Guarded([&]() -> DWORD {
    if (machine != nullptr && *machine != '\0') return RPC_S_SERVER_UNAVAILABLE;
    if (database != nullptr && strcasecmp(database, SERVICES_ACTIVE_DATABASEA))
      return ERROR_DATABASE_DOES_NOT_EXIST;
    auto connection = std::make_shared<svc::Connection>();
    DWORD error = svc::ConnectBackend(&connection->backend);
    if (error != ERROR_SUCCESS) return error;
    DWORD rights = svc::MapManagerAccess(access);
    {
      std::lock_guard<std::mutex> lock(connection->mu);
      error = svc::CheckRights(*connection, rights, svc::kManagerReadRights);
    }
    if (error != ERROR_SUCCESS) return error;
    auto object = std::make_shared<HandleObject>();
    object->is_manager = true;
    object->connection = std::move(connection);
    object->granted = rights;
    result = svc::AddHandle(std::move(object));
    return ERROR_SUCCESS;
  });
  return e == ERROR_SUCCESS ? result : svc::Fail<SC_HANDLE>(e, nullptr);
}

SC_HANDLE OpenServiceA(SC_HANDLE manager, const char* name, DWORD access) {
  SC_HANDLE result = nullptr;
  DWORD e = svc::Guarded([&]() -> DWORD {
    auto owner = svc::Lookup(manager, /*want_manager=*/true);
    if (!owner) return ERROR_INVALID_HANDLE;
    std::string unit;
    if (name == nullptr || !svc::UnitForServiceName(name, &unit))
      return ERROR_INVALID_NAME;
    svc::Connection& connection = *owner->connection;
    DWORD rights = svc::MapServiceAccess(access);
    std::lock_guard<std::mutex> lock(connection.mu);
    UnitStatus status;
    DWORD error = connection.backend->GetStatus(unit, &status);
    if (error != ERROR_SUCCESS) return error;
    if (!status.exists) return ERROR_SERVICE_DOES_NOT_EXIST;
    error = svc::CheckRights(connection, rights, svc::kServiceReadRights);
    if (error != ERROR_SUCCESS) return error;
    auto object = std::make_shared<HandleObject>();
    object->connection = owner->connection;
    object->granted = rights;
    object->unit = unit;
    result = svc::AddHandle(std::move(object));
    return ERROR_SUCCESS;
  });
  return e == ERROR_SUCCESS ? result : svc::Fail<SC_HANDLE>(e, nullptr);
}

BOOL QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status) {
  return svc::Finish(svc::Guarded([&]() -> DWORD {
    auto object = svc::Lookup(service, /*want_manager=*/false);
    if (!object) return ERROR_INVALID_HANDLE;
    if (status == nullptr) return ERROR_INVALID_PARAMETER;
    if (!(object->granted & SERVICE_QUERY_STATUS)) return ERROR_ACCESS_DENIED;
    std::lock_guard<std::mutex> lock(object->connection->mu);
    UnitStatus unit;
    DWORD error = object->connection->backend->GetStatus(object->unit, &unit);
    if (error != ERROR_SUCCESS) return error;
    svc::ToServiceStatus(unit, status);
    return ERROR_SUCCESS;
  }));
}

BOOL StartServiceA(SC_HANDLE service, DWORD argc, const char** argv) {
  (void)argv;
  return svc::Finish(svc::Guarded([&]() -> DWORD {
    auto object = svc::Lookup(service, /*want_manager=*/false);
    if (!object) return ERROR_INVALID_HANDLE;
    if (!(object->granted & SERVICE_START)) return ERROR_ACCESS_DENIED;
    if (argc != 0) return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(object->connection->mu);
    if (object->deleted) return ERROR_SERVICE_MARKED_FOR_DELETE;
    svc::Backend& backend = *object->connection->backend;
    UnitStatus unit;
    DWORD error = backend.GetStatus(object->unit, &unit);
    if (error != ERROR_SUCCESS) return error;
    if (!unit.exists) return ERROR_SERVICE_MARKED_FOR_DELETE;
    if (unit.masked) return ERROR_SERVICE_DISABLED;
    if (svc::IsRunning(unit.state)) return ERROR_SERVICE_ALREADY_RUNNING;
    return backend.Start(object->unit);
  }));
}

BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) {
  return svc::Finish(svc::Guarded([&]() -> DWORD {
    auto object = svc::Lookup(service, /*want_manager=*/false);
    if (!object) return ERROR_INVALID_HANDLE;
    if (status == nullptr || control == 0 || control > 255 ||
        control == SERVICE_CONTROL_SHUTDOWN)
      return ERROR_INVALID_PARAMETER;
    DWORD needed = SERVICE_USER_DEFINED_CONTROL;
    if (control == SERVICE_CONTROL_STOP) needed = SERVICE_STOP;
    if (control == SERVICE_CONTROL_INTERROGATE) needed = SERVICE_INTERROGATE;
    if (control == SERVICE_CONTROL_PAUSE || control == SERVICE_CONTROL_CONTINUE)
      needed = SERVICE_PAUSE_CONTINUE;
    if (!(object->granted & needed)) return ERROR_ACCESS_DENIED;

    std::lock_guard<std::mutex> lock(object->connection->mu);
    svc::Backend& backend = *object->connection->backend;
    UnitStatus unit;
    DWORD error = backend.GetStatus(object->unit, &unit);
    if (error != ERROR_SUCCESS) return error;
    svc::ToServiceStatus(unit, status);
    if (svc::IsStopped(unit)) return ERROR_SERVICE_NOT_ACTIVE;
    if (control == SERVICE_CONTROL_INTERROGATE) return ERROR_SUCCESS;
    if (control != SERVICE_CONTROL_STOP) return ERROR_INVALID_SERVICE_CONTROL;
    if (unit.state == ActiveState::kDeactivating)
      return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    error = backend.Stop(object->unit);
    if (error != ERROR_SUCCESS) return error;
    // The stop is queued; a service that has not left yet is stopping.
    if (backend.GetStatus(object->unit, &unit) == ERROR_SUCCESS &&
        !svc::IsRunning(unit.state)) {
      svc::ToServiceStatus(unit, status);
    } else {
      status->dwCurrentState = SERVICE_STOP_PENDING;
      status->dwControlsAccepted = 0;
    }
    return ERROR_SUCCESS;
  }));
}

SC_HANDLE CreateServiceA(SC_HANDLE manager, const char* name,
                         const char* display_name, DWORD access,
                         DWORD service_type, DWORD start_type,
                         DWORD error_control, const char* binary_path,
                         const char* load_order_group, DWORD* tag_id,
                         const char* dependencies, const char* account,
                         const char* password) {
  SC_HANDLE result = nullptr;
  DWORD e = svc::Guarded([&]() -> DWORD {
    auto owner = svc::Lookup(manager, /*want_manager=*/true);
    if (!owner) return ERROR_INVALID_HANDLE;
    if (!(owner->granted & SC_MANAGER_CREATE_SERVICE))
      return ERROR_ACCESS_DENIED;
    std::string unit;
    if (name == nullptr || !svc::UnitForServiceName(name, &unit))
      return ERROR_INVALID_NAME;
    if (display_name != nullptr && strcasecmp(display_name, name) != 0)
      return ERROR_INVALID_PARAMETER;
    if (service_type != SERVICE_WIN32_OWN_PROCESS ||
        start_type != SERVICE_DEMAND_START || error_control > 3 ||
        binary_path == nullptr ||
        (load_order_group != nullptr && *load_order_group != '\0') ||
        tag_id != nullptr || !svc::IsLocalSystemAccount(account) ||
        (password != nullptr && *password != '\0'))
      return ERROR_INVALID_PARAMETER;

    svc::UnitSpec spec;
    spec.description = svc::ServiceNameForUnit(unit);
    if (spec.description == unit) spec.description = name;
    if (!svc::SplitCommandLine(binary_path, &spec.command))
      return ERROR_INVALID_PARAMETER;
    DWORD error = svc::ParseDependencies(dependencies, &spec.dependencies);
    if (error != ERROR_SUCCESS) return error;
    svc::AddRegistryRoot(&spec);
    svc::AddUnitResources(unit, &spec);
    std::string text;
    error = svc::GenerateUnitText(spec, &text);
    if (error != ERROR_SUCCESS) return error;

    svc::Connection& connection = *owner->connection;
    DWORD rights = svc::MapServiceAccess(access);
    std::lock_guard<std::mutex> lock(connection.mu);
    error = svc::CheckRights(connection, rights, svc::kServiceReadRights);
    if (error != ERROR_SUCCESS) return error;
    UnitStatus status;
    error = connection.backend->GetStatus(unit, &status);
    if (error != ERROR_SUCCESS) return error;
    if (status.exists) return ERROR_SERVICE_EXISTS;
    error = connection.backend->Install(unit, text);
    if (error != ERROR_SUCCESS) return error;
    auto object = std::make_shared<HandleObject>();
    object->connection = owner->connection;
    object->granted = rights;
    object->unit = unit;
    result = svc::AddHandle(std::move(object));
    return ERROR_SUCCESS;
  });
  return e == ERROR_SUCCESS ? result : svc::Fail<SC_HANDLE>(e, nullptr);
}

BOOL DeleteService(SC_HANDLE service) {
  return svc::Finish(svc::Guarded([&]() -> DWORD {
    auto object = svc::Lookup(service, /*want_manager=*/false);
    if (!object) return ERROR_INVALID_HANDLE;
    if (!(object->granted & DELETE)) return ERROR_ACCESS_DENIED;
    std::lock_guard<std::mutex> lock(object->connection->mu);
    if (object->deleted) return ERROR_SERVICE_MARKED_FOR_DELETE;
    DWORD error = object->connection->backend->Remove(object->unit);
    if (error == ERROR_SERVICE_DOES_NOT_EXIST)
      error = ERROR_SERVICE_MARKED_FOR_DELETE;
    if (error == ERROR_SUCCESS) object->deleted = true;
    return error;
  }));
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
  std::shared_ptr<HandleObject> object;
  {
    svc::HandleTable& table = svc::Table();
    std::lock_guard<std::mutex> lock(table.mu);
    auto it = table.live.find(reinterpret_cast<uintptr_t>(handle));
    if (it == table.live.end()) return svc::Finish(ERROR_INVALID_HANDLE);
    object = std::move(it->second);
    table.live.erase(it);
  }
  // The connection closes with its last handle, outside the table lock.
  object.reset();
  return TRUE;
}
