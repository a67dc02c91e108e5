#include "platform/service/fake_systemd_bus.h"

#include <dirent.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <systemd/sd-id128.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kavex::service::testing {
namespace {

constexpr char kManagerPath[] = "/org/freedesktop/systemd1";
constexpr char kUnitPrefix[] = "/org/freedesktop/systemd1/unit";
constexpr char kManager[] = "org.freedesktop.systemd1.Manager";
constexpr char kPolkitPath[] = "/org/freedesktop/PolicyKit1/Authority";
constexpr char kPolkit[] = "org.freedesktop.PolicyKit1.Authority";

std::string UnitPathFor(const std::string& name) {
  char* path = nullptr;
  if (sd_bus_path_encode(kUnitPrefix, name.c_str(), &path) < 0) return "";
  std::string result = path;
  std::free(path);
  return result;
}

}  // namespace

FakeSystemdBus::FakeSystemdBus(std::string unit_directory)
    : unit_directory_(std::move(unit_directory)) {
  wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  thread_ = std::thread([this] { Serve(); });
}

FakeSystemdBus::~FakeSystemdBus() {
  stop_ = true;
  uint64_t one = 1;
  ssize_t ignored = write(wake_fd_, &one, sizeof one);
  (void)ignored;
  thread_.join();
  close(wake_fd_);
  for (int fd : new_fds_) close(fd);
}

std::function<int(sd_bus**)> FakeSystemdBus::Opener() {
  return [this](sd_bus** bus) -> int {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
      return -errno;
    {
      std::lock_guard<std::mutex> lock(mu_);
      new_fds_.push_back(fds[1]);
    }
    uint64_t one = 1;
    ssize_t ignored = write(wake_fd_, &one, sizeof one);
    (void)ignored;
    sd_bus* client = nullptr;
    int r = sd_bus_new(&client);
    if (r >= 0) r = sd_bus_set_fd(client, fds[0], fds[0]);
    if (r >= 0) r = sd_bus_start(client);
    if (r < 0) {
      sd_bus_unref(client);
      return r;
    }
    *bus = client;
    return 0;
  };
}

void FakeSystemdBus::SetUnit(const std::string& name, const Unit& unit) {
  std::lock_guard<std::mutex> lock(mu_);
  units_[name] = unit;
}

FakeSystemdBus::Unit FakeSystemdBus::GetUnit(const std::string& name) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = units_.find(name);
  if (it == units_.end()) return Unit{"", "", 0};
  return it->second;
}

std::vector<std::string> FakeSystemdBus::Calls() {
  std::lock_guard<std::mutex> lock(mu_);
  return calls_;
}

void FakeSystemdBus::FailMethod(const std::string& method,
                                const std::string& error_name) {
  std::lock_guard<std::mutex> lock(mu_);
  if (error_name.empty())
    failing_.erase(method);
  else
    failing_[method] = error_name;
}

void FakeSystemdBus::SetStartResult(const std::string& active_state) {
  std::lock_guard<std::mutex> lock(mu_);
  start_result_ = active_state;
}

void FakeSystemdBus::SetStopResult(const std::string& active_state) {
  std::lock_guard<std::mutex> lock(mu_);
  stop_result_ = active_state;
}

void FakeSystemdBus::SetPropertyAsInteger(const std::string& property) {
  std::lock_guard<std::mutex> lock(mu_);
  integer_property_ = property;
}

void FakeSystemdBus::SetLoadUnitReplyAsString(bool on) {
  std::lock_guard<std::mutex> lock(mu_);
  load_unit_as_string_ = on;
}

void FakeSystemdBus::SetPolkit(bool available, bool authorized) {
  std::lock_guard<std::mutex> lock(mu_);
  polkit_available_ = available;
  polkit_authorized_ = authorized;
}

void FakeSystemdBus::ReloadLocked() {
  for (auto& [name, unit] : units_)
    if (access((unit_directory_ + "/" + name).c_str(), F_OK) != 0 &&
        unit.load_state == "loaded")
      unit.load_state = "not-found";
  DIR* dir = opendir(unit_directory_.c_str());
  if (dir == nullptr) return;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name.size() > 8 && name.compare(name.size() - 8, 8, ".service") == 0)
      units_[name].load_state = "loaded";
  }
  closedir(dir);
}

int FakeSystemdBus::Handle(sd_bus_message* m, void* userdata,
                           sd_bus_error* error) {
  auto* self = static_cast<FakeSystemdBus*>(userdata);
  std::lock_guard<std::mutex> lock(self->mu_);
  return self->HandleLocked(m, error);
}

int FakeSystemdBus::ReplyProperty(sd_bus_message* m, sd_bus_error* error) {
  (void)error;
  const char* interface = nullptr;
  const char* property = nullptr;
  if (sd_bus_message_read(m, "ss", &interface, &property) < 0)
    return sd_bus_reply_method_errorf(
        m, "org.freedesktop.DBus.Error.InvalidArgs", "bad arguments");
  char* name = nullptr;
  if (sd_bus_path_decode(sd_bus_message_get_path(m), kUnitPrefix, &name) <= 0)
    return sd_bus_reply_method_errorf(
        m, "org.freedesktop.DBus.Error.UnknownObject", "no such object");
  Unit& unit = units_[name];
  std::free(name);
  std::string p = property;
  if (p == integer_property_)
    return sd_bus_reply_method_return(m, "v", "i", 42);
  if (p == "LoadState")
    return sd_bus_reply_method_return(m, "v", "s", unit.load_state.c_str());
  if (p == "ActiveState")
    return sd_bus_reply_method_return(m, "v", "s", unit.active_state.c_str());
  if (p == "ExecMainStatus")
    return sd_bus_reply_method_return(m, "v", "i", unit.exec_main_status);
  return sd_bus_reply_method_errorf(
      m, "org.freedesktop.DBus.Error.UnknownProperty", "no property %s",
      property);
}

int FakeSystemdBus::HandleLocked(sd_bus_message* m, sd_bus_error* error) {
  uint8_t type = 0;
  if (sd_bus_message_get_type(m, &type) < 0 ||
      type != SD_BUS_MESSAGE_METHOD_CALL)
    return 0;
  std::string path = sd_bus_message_get_path(m);
  std::string member = sd_bus_message_get_member(m);
  auto failing = failing_.find(member);
  if (failing != failing_.end())
    return sd_bus_reply_method_errorf(m, failing->second.c_str(),
                                      "injected failure");

  if (sd_bus_message_is_method_call(m, "org.freedesktop.DBus.Properties",
                                    "Get"))
    return ReplyProperty(m, error);

  if (path == kPolkitPath &&
      sd_bus_message_is_method_call(m, kPolkit, "CheckAuthorization")) {
    if (!polkit_available_)
      return sd_bus_reply_method_errorf(
          m, "org.freedesktop.DBus.Error.ServiceUnknown", "no polkit");
    const char* kind = nullptr;
    uint32_t pid = 0;
    if (sd_bus_message_enter_container(m, 'r', "sa{sv}") < 0 ||
        sd_bus_message_read(m, "s", &kind) < 0 ||
        sd_bus_message_enter_container(m, 'a', "{sv}") < 0)
      return sd_bus_reply_method_errorf(
          m, "org.freedesktop.DBus.Error.InvalidArgs", "bad subject");
    while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
      const char* key = nullptr;
      sd_bus_message_read(m, "s", &key);
      if (std::strcmp(key, "pid") == 0)
        sd_bus_message_read(m, "v", "u", &pid);
      else
        sd_bus_message_skip(m, "v");
      sd_bus_message_exit_container(m);
    }
    sd_bus_message_exit_container(m);
    sd_bus_message_exit_container(m);
    const char* action = nullptr;
    sd_bus_message_read(m, "s", &action);
    calls_.push_back(std::string("CheckAuthorization ") +
                     (action ? action : "") + " " + std::to_string(pid));
    sd_bus_message* reply = nullptr;
    int r = sd_bus_message_new_method_return(m, &reply);
    if (r >= 0)
      r = sd_bus_message_append(reply, "(bba{ss})", polkit_authorized_, 0, 0);
    if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return r < 0 ? r : 1;
  }

  if (path != kManagerPath) return 0;
  if (sd_bus_message_is_method_call(m, kManager, "Reload")) {
    calls_.push_back("Reload");
    ReloadLocked();
    return sd_bus_reply_method_return(m, "");
  }
  const char* name = nullptr;
  const char* mode = nullptr;
  if (sd_bus_message_is_method_call(m, kManager, "LoadUnit") ||
      sd_bus_message_is_method_call(m, kManager, "ResetFailedUnit")) {
    if (sd_bus_message_read(m, "s", &name) < 0)
      return sd_bus_reply_method_errorf(
          m, "org.freedesktop.DBus.Error.InvalidArgs", "bad arguments");
    calls_.push_back(member + " " + name);
    if (member == "ResetFailedUnit") {
      auto it = units_.find(name);
      if (it != units_.end() && it->second.active_state == "failed")
        it->second.active_state = "inactive";
      return sd_bus_reply_method_return(m, "");
    }
    auto it = units_.find(name);
    if (it == units_.end()) units_[name] = Unit{"not-found", "inactive", 0};
    if (load_unit_as_string_)
      return sd_bus_reply_method_return(m, "s", "not a path");
    return sd_bus_reply_method_return(m, "o", UnitPathFor(name).c_str());
  }
  if (sd_bus_message_is_method_call(m, kManager, "StartUnit") ||
      sd_bus_message_is_method_call(m, kManager, "StopUnit")) {
    if (sd_bus_message_read(m, "ss", &name, &mode) < 0)
      return sd_bus_reply_method_errorf(
          m, "org.freedesktop.DBus.Error.InvalidArgs", "bad arguments");
    calls_.push_back(member + " " + name + " " + mode);
    auto it = units_.find(name);
    if (it == units_.end() || it->second.load_state == "not-found")
      return sd_bus_reply_method_errorf(
          m, "org.freedesktop.systemd1.NoSuchUnit", "Unit %s not found.", name);
    if (member == "StartUnit" && it->second.load_state == "masked")
      return sd_bus_reply_method_errorf(
          m, "org.freedesktop.systemd1.UnitMasked", "Unit %s is masked.", name);
    it->second.active_state =
        member == "StartUnit" ? start_result_ : stop_result_;
    return sd_bus_reply_method_return(m, "o",
                                      "/org/freedesktop/systemd1/job/1");
  }
  return 0;
}

void FakeSystemdBus::Serve() {
  std::vector<sd_bus*> buses;
  while (!stop_) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      for (int fd : new_fds_) {
        sd_bus* bus = nullptr;
        sd_id128_t id;
        sd_id128_randomize(&id);
        if (sd_bus_new(&bus) >= 0 && sd_bus_set_fd(bus, fd, fd) >= 0 &&
            sd_bus_set_server(bus, 1, id) >= 0 &&
            sd_bus_add_fallback(bus, nullptr, "/org/freedesktop", Handle,
                                this) >= 0 &&
            sd_bus_start(bus) >= 0) {
          buses.push_back(bus);
        } else {
          sd_bus_unref(bus);
          close(fd);
        }
      }
      new_fds_.clear();
    }
    for (size_t i = 0; i < buses.size();) {
      int r;
      while ((r = sd_bus_process(buses[i], nullptr)) > 0) {
      }
      if (r < 0) {
        sd_bus_flush_close_unref(buses[i]);
        buses.erase(buses.begin() + static_cast<long>(i));
      } else {
        ++i;
      }
    }
    std::vector<pollfd> fds;
    fds.push_back({wake_fd_, POLLIN, 0});
    for (sd_bus* bus : buses) {
      int events = sd_bus_get_events(bus);
      fds.push_back(
          {sd_bus_get_fd(bus), static_cast<short>(events < 0 ? 0 : events), 0});
    }
    // A bounded poll: the loop also looks at the stop flag and new
    // connections.
    poll(fds.data(), fds.size(), 100);
    uint64_t count;
    ssize_t ignored = read(wake_fd_, &count, sizeof count);
    (void)ignored;
  }
  for (sd_bus* bus : buses) sd_bus_flush_close_unref(bus);
}

}  // namespace kavex::service::testing
