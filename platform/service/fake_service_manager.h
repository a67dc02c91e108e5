// A service manager for tests and CI, where no systemd runs: units and their
// states kept as files in one directory, so that a test and the programs it
// starts (svcstop, the configurator) see the same services. A process uses
// it when $KAVEX_SERVICE_MANAGER is "fake:<dir>" (backend.h) or a test
// installs it with SetBackendFactoryForTesting.
//
// The directory holds:
//   units/<unit>   the unit text; the unit exists while this file does
//   state/<unit>   "<state>" or "<state> <number>": the state word of
//                  backend.h ("active", ...) and, for "failed", the main
//                  process's exit status, for "deactivating", how many more
//                  status queries the stop takes
//   faults         optional, one fault per line (below)
//   requests       every start, stop, install and remove asked for, one line
//                  each: "start <unit>", "stop <unit>", "install <unit>",
//                  "remove <unit>"
// All under an flock of "lock", so processes may share it.
//
// Faults:
//   no-manager        connecting fails (RPC_S_SERVER_UNAVAILABLE)
//   unprivileged      the caller may not manage services
//   stop-delay <n>    a stop reads "deactivating" for n status queries, then
//                     "inactive"; "stop-delay never": it never ends
//                     (default: a stop ends at once)
//   start-fails       a start leaves the unit "failed" with exit status 1
//   masked <unit>     the unit exists but may not be started
// An unknown or malformed line makes every call fail with ERROR_INVALID_DATA.
#ifndef KAVEX_PLATFORM_SERVICE_FAKE_SERVICE_MANAGER_H_
#define KAVEX_PLATFORM_SERVICE_FAKE_SERVICE_MANAGER_H_

#include <memory>
#include <string>
#include <vector>

#include "platform/service/backend.h"

namespace kavex::service {

class FakeServiceManager : public Backend {
 public:
  // Uses `directory`, which must exist. Creates units/ and state/ in it.
  explicit FakeServiceManager(std::string directory);

  // RPC_S_SERVER_UNAVAILABLE when the directory is missing or the
  // "no-manager" fault is set.
  static DWORD Connect(const std::string& directory,
                       std::unique_ptr<Backend>* backend);

  DWORD MayManage(bool* allowed) override;
  DWORD GetStatus(const std::string& unit, UnitStatus* status) override;
  DWORD Start(const std::string& unit) override;
  DWORD Stop(const std::string& unit) override;
  DWORD Install(const std::string& unit, const std::string& text) override;
  DWORD Remove(const std::string& unit) override;

  // For the tests that set up and inspect the fake.
  void AddUnit(const std::string& unit, ActiveState state,
               const std::string& text = "[Service]\n");
  void SetFaults(const std::string& lines);
  // The unit's state file as it is now, "" when there is none.
  std::string StateLine(const std::string& unit) const;
  // The unit text, "" when the unit does not exist.
  std::string UnitText(const std::string& unit) const;
  std::vector<std::string> Requests() const;

  const std::string& directory() const { return directory_; }

 private:
  struct Faults;
  DWORD ReadFaults(Faults* faults) const;
  std::string Path(const char* sub, const std::string& unit) const;

  std::string directory_;
};

}  // namespace kavex::service

#endif  // KAVEX_PLATFORM_SERVICE_FAKE_SERVICE_MANAGER_H_
