// For tests: the part of systemd's and polkit's D-Bus interfaces that the
// systemd backend uses, served on real D-Bus connections (socket pairs, one
// per connection the backend opens) by a thread of its own. Units are kept
// in memory; Reload reads the unit directory the way systemd does (a file
// makes a unit "loaded", a unit whose file went away becomes "not-found").
// Faults: a method that fails with a given D-Bus error, hostile replies
// (a property of the wrong type, a reply of the wrong signature), polkit's
// answer or absence.
#ifndef KAVEX_PLATFORM_SERVICE_FAKE_SYSTEMD_BUS_H_
#define KAVEX_PLATFORM_SERVICE_FAKE_SYSTEMD_BUS_H_

#include <systemd/sd-bus.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kavex::service::testing {

class FakeSystemdBus {
 public:
  struct Unit {
    std::string load_state = "loaded";
    std::string active_state = "inactive";
    int exec_main_status = 0;
  };

  explicit FakeSystemdBus(std::string unit_directory);
  ~FakeSystemdBus();
  FakeSystemdBus(const FakeSystemdBus&) = delete;
  FakeSystemdBus& operator=(const FakeSystemdBus&) = delete;

  // For SystemdOptions::open_bus: each call makes a new connection.
  std::function<int(sd_bus**)> Opener();

  void SetUnit(const std::string& name, const Unit& unit);
  // The unit as the fake holds it; load_state "" when it never heard of it.
  Unit GetUnit(const std::string& name);
  // "LoadUnit <unit>", "StartUnit <unit> <mode>", "StopUnit <unit> <mode>",
  // "Reload", "ResetFailedUnit <unit>", "CheckAuthorization <action> <pid>".
  // Property reads are not listed.
  std::vector<std::string> Calls();

  // Every later call of `method` fails with this D-Bus error ("": no more).
  void FailMethod(const std::string& method, const std::string& error_name);
  // What a started unit reads ("active" by default), what a stopped one
  // reads ("inactive").
  void SetStartResult(const std::string& active_state);
  void SetStopResult(const std::string& active_state);
  // Hostile replies.
  void SetPropertyAsInteger(const std::string& property);  // "ActiveState"
  void SetLoadUnitReplyAsString(bool on);
  // Polkit's answer; unavailable: the name has no owner.
  void SetPolkit(bool available, bool authorized);

 private:
  static int Handle(sd_bus_message* m, void* userdata, sd_bus_error* error);
  int HandleLocked(sd_bus_message* m, sd_bus_error* error);
  int ReplyProperty(sd_bus_message* m, sd_bus_error* error);
  void ReloadLocked();
  void Serve();

  std::string unit_directory_;
  std::mutex mu_;
  std::map<std::string, Unit> units_;
  std::vector<std::string> calls_;
  std::map<std::string, std::string> failing_;
  std::string start_result_ = "active";
  std::string stop_result_ = "inactive";
  std::string integer_property_;
  bool load_unit_as_string_ = false;
  bool polkit_available_ = true;
  bool polkit_authorized_ = false;
  std::vector<int> new_fds_;
  int wake_fd_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace kavex::service::testing

#endif  // KAVEX_PLATFORM_SERVICE_FAKE_SYSTEMD_BUS_H_
