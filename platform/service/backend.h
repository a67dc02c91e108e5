// What the service control manager (service_manager.h) needs of the system
// that supervises services: the state of a unit, start, stop, install and
// remove. Two implementations: systemd over D-Bus (systemd_backend.h) and a
// fake for tests (fake_service_manager.h).
//
// Which one a process gets, decided at every OpenSCManagerA from
// $KAVEX_SERVICE_MANAGER:
//   unset or ""   systemd when it is the init system (/run/systemd/system
//                 exists), else none;
//   "systemd"     systemd;
//   "fake:<dir>"  the fake kept in <dir>;
//   "none"        none (also for any other value).
// "None" makes OpenSCManagerA fail with RPC_S_SERVER_UNAVAILABLE: a program on
// a machine without systemd is told there is no service manager; it never
// gets a fake it did not ask for.
#ifndef KAVEX_PLATFORM_SERVICE_BACKEND_H_
#define KAVEX_PLATFORM_SERVICE_BACKEND_H_

#include <functional>
#include <memory>
#include <string>

#include "platform/base/types.h"

namespace kavex::service {

// A unit's state as systemd names it.
enum class ActiveState {
  kInactive,
  kActivating,
  kActive,
  kReloading,
  kDeactivating,
  kFailed,
};

// "inactive", "activating", ... and back; false for a word that is none.
const char* ActiveStateName(ActiveState state);
bool ParseActiveState(const std::string& word, ActiveState* state);

struct UnitStatus {
  bool exists = false;  // false: nothing else is meaningful
  bool masked = false;  // may not be started
  ActiveState state = ActiveState::kInactive;
  int exit_status = 0;  // of the main process, for a failed unit
};

// Calls return ERROR_* numbers. A backend is used by one thread at a time
// (the manager serialises the calls of one connection).
class Backend {
 public:
  virtual ~Backend() = default;

  // Whether the caller may start, stop, install and remove units.
  virtual DWORD MayManage(bool* allowed) = 0;
  virtual DWORD GetStatus(const std::string& unit, UnitStatus* status) = 0;
  // Queue a start or stop of the unit and return without waiting for it.
  virtual DWORD Start(const std::string& unit) = 0;
  virtual DWORD Stop(const std::string& unit) = 0;
  // Write the unit file `text` and make the manager read it. The caller
  // checked that no such unit exists.
  virtual DWORD Install(const std::string& unit, const std::string& text) = 0;
  // Stop the unit, remove its unit file and make the manager forget it.
  // ERROR_ACCESS_DENIED for a unit whose file Install did not write.
  virtual DWORD Remove(const std::string& unit) = 0;
};

// Connects to the backend chosen as described above: ERROR_SUCCESS and
// *backend, or RPC_S_SERVER_UNAVAILABLE when there is none or it cannot be
// reached.
DWORD ConnectBackend(std::unique_ptr<Backend>* backend);

// Replaces the choice for the whole process while set (tests); an empty
// function restores it.
using BackendFactory = std::function<DWORD(std::unique_ptr<Backend>*)>;
void SetBackendFactoryForTesting(BackendFactory factory);

}  // namespace kavex::service

#endif  // KAVEX_PLATFORM_SERVICE_BACKEND_H_
