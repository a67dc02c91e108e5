#include "platform/service/systemd_backend.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/base/results.h"
#include "platform/file/file.h"
#include "platform/log/logger.h"

namespace kavex::service {
namespace {

constexpr char kDestination[] = "org.freedesktop.systemd1";
constexpr char kManagerPath[] = "/org/freedesktop/systemd1";
constexpr char kManagerInterface[] = "org.freedesktop.systemd1.Manager";
constexpr char kUnitInterface[] = "org.freedesktop.systemd1.Unit";
constexpr char kServiceInterface[] = "org.freedesktop.systemd1.Service";
constexpr char kPolkitDestination[] = "org.freedesktop.PolicyKit1";
constexpr char kPolkitPath[] = "/org/freedesktop/PolicyKit1/Authority";
constexpr char kPolkitInterface[] = "org.freedesktop.PolicyKit1.Authority";
constexpr char kManageUnitsAction[] = "org.freedesktop.systemd1.manage-units";

// Owns an sd_bus_error for one call.
struct BusError {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  ~BusError() { sd_bus_error_free(&error); }
};

// Owns a reply message.
struct Reply {
  sd_bus_message* message = nullptr;
  ~Reply() { sd_bus_message_unref(message); }
};

int OpenDefaultBus(sd_bus** bus) {
  if (geteuid() == 0) {
    // systemd's own socket answers root even where no message bus runs.
    sd_bus* direct = nullptr;
    if (sd_bus_new(&direct) >= 0 &&
        sd_bus_set_address(direct, "unix:path=/run/systemd/private") >= 0 &&
        sd_bus_start(direct) >= 0) {
      *bus = direct;
      return 0;
    }
    sd_bus_unref(direct);
  }
  return sd_bus_open_system(bus);
}

struct NamedError {
  const char* name;
  DWORD error;
};
constexpr NamedError kBusErrors[] = {
    {"org.freedesktop.DBus.Error.AccessDenied", ERROR_ACCESS_DENIED},
    {"org.freedesktop.DBus.Error.AuthFailed", ERROR_ACCESS_DENIED},
    {"org.freedesktop.DBus.Error.InteractiveAuthorizationRequired",
     ERROR_ACCESS_DENIED},
    {"org.freedesktop.PolicyKit1.Error.NotAuthorized", ERROR_ACCESS_DENIED},
    {"org.freedesktop.systemd1.NoSuchUnit", ERROR_SERVICE_DOES_NOT_EXIST},
    {"org.freedesktop.systemd1.UnitMasked", ERROR_SERVICE_DISABLED},
    {"org.freedesktop.systemd1.LoadFailed", ERROR_INVALID_DATA},
    {"org.freedesktop.systemd1.BadUnitSetting", ERROR_INVALID_DATA},
    {"org.freedesktop.systemd1.OnlyByDependency",
     ERROR_SERVICE_CANNOT_ACCEPT_CTRL},
    {"org.freedesktop.systemd1.TransactionIsDestructive",
     ERROR_SERVICE_CANNOT_ACCEPT_CTRL},
    {"org.freedesktop.systemd1.TransactionJobsConflicting",
     ERROR_SERVICE_CANNOT_ACCEPT_CTRL},
    {"org.freedesktop.systemd1.ShuttingDown", ERROR_SHUTDOWN_IN_PROGRESS},
    {"org.freedesktop.DBus.Error.ServiceUnknown", RPC_S_SERVER_UNAVAILABLE},
    {"org.freedesktop.DBus.Error.NameHasNoOwner", RPC_S_SERVER_UNAVAILABLE},
    {"org.freedesktop.DBus.Error.NoServer", RPC_S_SERVER_UNAVAILABLE},
    {"org.freedesktop.DBus.Error.Disconnected", RPC_S_SERVER_UNAVAILABLE},
    {"org.freedesktop.DBus.Error.NoReply", ERROR_TIMEOUT},
    {"org.freedesktop.DBus.Error.Timeout", ERROR_TIMEOUT},
    {"org.freedesktop.DBus.Error.NoMemory", ERROR_NOT_ENOUGH_MEMORY},
    {"org.freedesktop.DBus.Error.InvalidArgs", ERROR_INVALID_PARAMETER},
    {"org.freedesktop.DBus.Error.UnknownMethod", ERROR_NOT_SUPPORTED},
    {"org.freedesktop.DBus.Error.UnknownObject", ERROR_NOT_SUPPORTED},
    {"org.freedesktop.DBus.Error.UnknownInterface", ERROR_NOT_SUPPORTED},
    {"org.freedesktop.DBus.Error.UnknownProperty", ERROR_NOT_SUPPORTED},
};

// The start time of this process in clock ticks since boot (field 22 of
// /proc/self/stat), which polkit uses to tell it from a later process of the
// same pid; 0 when unreadable.
uint64_t ProcessStartTime() {
  FILE* f = std::fopen("/proc/self/stat", "re");
  if (f == nullptr) return 0;
  char buffer[1024];
  size_t n = std::fread(buffer, 1, sizeof buffer - 1, f);
  std::fclose(f);
  buffer[n] = '\0';
  // The command name in parentheses may hold blanks: count from its end.
  const char* p = std::strrchr(buffer, ')');
  if (p == nullptr) return 0;
  ++p;
  for (int field = 2; field < 22; ++field) {
    p = std::strchr(p + 1, ' ');
    if (p == nullptr) return 0;
  }
  return std::strtoull(p + 1, nullptr, 10);
}

bool FileExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

}  // namespace

DWORD Win32ErrorFromBus(const sd_bus_error* error, int result) {
  if (error != nullptr && sd_bus_error_is_set(error)) {
    for (const NamedError& entry : kBusErrors)
      if (sd_bus_error_has_name(error, entry.name)) return entry.error;
    int e = sd_bus_error_get_errno(error);
    if (e != 0) result = e;
  }
  switch (result < 0 ? -result : result) {
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case ETIMEDOUT:
      return ERROR_TIMEOUT;
    case ECONNREFUSED:
    case ECONNRESET:
    case ENOTCONN:
    case ENOENT:
    case EPIPE:
    case ESHUTDOWN:
    case EHOSTDOWN:
      return RPC_S_SERVER_UNAVAILABLE;
    default:
      return ERROR_GEN_FAILURE;
  }
}

bool SystemdIsInit() {
  struct stat st;
  return lstat("/run/systemd/system", &st) == 0 && S_ISDIR(st.st_mode);
}

SystemdBackend::SystemdBackend(sd_bus* bus, SystemdOptions options)
    : bus_(bus), options_(std::move(options)) {}

SystemdBackend::~SystemdBackend() { sd_bus_flush_close_unref(bus_); }

DWORD SystemdBackend::Connect(const SystemdOptions& options,
                              std::unique_ptr<Backend>* backend) {
  sd_bus* bus = nullptr;
  int r = options.open_bus ? options.open_bus(&bus) : OpenDefaultBus(&bus);
  if (r < 0 || bus == nullptr) {
    log::Logf(log::Level::kDebug, "service", "no connection to systemd: %s",
              std::strerror(-r));
    sd_bus_unref(bus);
    return RPC_S_SERVER_UNAVAILABLE;
  }
  backend->reset(new SystemdBackend(bus, options));
  return ERROR_SUCCESS;
}

DWORD SystemdBackend::MayManage(bool* allowed) {
  bool root = options_.caller_is_root.value_or(geteuid() == 0);
  if (root) {
    *allowed = true;
    return ERROR_SUCCESS;
  }
  BusError error;
  Reply reply;
  int r = sd_bus_call_method(
      bus_, kPolkitDestination, kPolkitPath, kPolkitInterface,
      "CheckAuthorization", &error.error, &reply.message, "(sa{sv})sa{ss}us",
      "unix-process", 2, "pid", "u", static_cast<uint32_t>(getpid()),
      "start-time", "t", ProcessStartTime(), kManageUnitsAction, 0, 0u, "");
  int authorized = 0;
  int challenge = 0;
  if (r >= 0) {
    r = sd_bus_message_enter_container(reply.message, 'r', "bba{ss}");
    if (r >= 0)
      r = sd_bus_message_read(reply.message, "bb", &authorized, &challenge);
  }
  // Without an answer from polkit nobody but root may manage units.
  if (r < 0)
    log::Logf(log::Level::kDebug, "service", "authorisation check failed: %s",
              error.error.message ? error.error.message : std::strerror(-r));
  *allowed = r >= 0 && authorized != 0;
  return ERROR_SUCCESS;
}

DWORD SystemdBackend::UnitPath(const std::string& unit, std::string* path) {
  BusError error;
  Reply reply;
  int r = sd_bus_call_method(bus_, kDestination, kManagerPath,
                             kManagerInterface, "LoadUnit", &error.error,
                             &reply.message, "s", unit.c_str());
  if (r < 0) return Win32ErrorFromBus(&error.error, r);
  const char* object = nullptr;
  r = sd_bus_message_read(reply.message, "o", &object);
  if (r < 0 || object == nullptr) return ERROR_INVALID_DATA;
  *path = object;
  return ERROR_SUCCESS;
}

DWORD SystemdBackend::GetString(const std::string& path, const char* interface,
                                const char* property, std::string* value) {
  BusError error;
  Reply reply;
  int r = sd_bus_call_method(
      bus_, kDestination, path.c_str(), "org.freedesktop.DBus.Properties",
      "Get", &error.error, &reply.message, "ss", interface, property);
  if (r < 0) return Win32ErrorFromBus(&error.error, r);
  // A value of another type than a string is the manager's fault, not a
  // missing service.
  const char* text = nullptr;
  if (sd_bus_message_read(reply.message, "v", "s", &text) < 0 ||
      text == nullptr)
    return ERROR_INVALID_DATA;
  *value = text;
  return ERROR_SUCCESS;
}

DWORD SystemdBackend::GetStatus(const std::string& unit, UnitStatus* status) {
  std::string path;
  DWORD e = UnitPath(unit, &path);
  if (e != ERROR_SUCCESS) return e;
  std::string load_state, active_state;
  e = GetString(path, kUnitInterface, "LoadState", &load_state);
  if (e == ERROR_SUCCESS)
    e = GetString(path, kUnitInterface, "ActiveState", &active_state);
  if (e != ERROR_SUCCESS) return e;
  UnitStatus result;
  if (!ParseActiveState(active_state, &result.state)) {
    // Newer systemd versions name more states: one that refreshes a running
    // unit is running still.
    if (active_state != "refreshing") return ERROR_INVALID_DATA;
    result.state = ActiveState::kReloading;
  }
  // A unit whose file is gone but whose process still runs is a service
  // waiting to be deleted: it exists until it stops.
  result.exists =
      load_state != "not-found" || result.state != ActiveState::kInactive;
  result.masked = load_state == "masked";
  if (result.state == ActiveState::kFailed) {
    BusError error;
    int32_t code = 0;
    int r = sd_bus_get_property_trivial(bus_, kDestination, path.c_str(),
                                        kServiceInterface, "ExecMainStatus",
                                        &error.error, 'i', &code);
    if (r >= 0) result.exit_status = code;
  }
  *status = result;
  return ERROR_SUCCESS;
}

DWORD SystemdBackend::CallJob(const char* method, const std::string& unit) {
  BusError error;
  Reply reply;
  int r = sd_bus_call_method(bus_, kDestination, kManagerPath,
                             kManagerInterface, method, &error.error,
                             &reply.message, "ss", unit.c_str(), "replace");
  if (r < 0) {
    log::Logf(log::Level::kDebug, "service", "%s %s: %s", method, unit.c_str(),
              error.error.message ? error.error.message : std::strerror(-r));
    return Win32ErrorFromBus(&error.error, r);
  }
  const char* job = nullptr;
  if (sd_bus_message_read(reply.message, "o", &job) < 0)
    return ERROR_INVALID_DATA;
  return ERROR_SUCCESS;
}

DWORD SystemdBackend::Start(const std::string& unit) {
  return CallJob("StartUnit", unit);
}

DWORD SystemdBackend::Stop(const std::string& unit) {
  return CallJob("StopUnit", unit);
}

DWORD SystemdBackend::Reload() {
  BusError error;
  Reply reply;
  int r =
      sd_bus_call_method(bus_, kDestination, kManagerPath, kManagerInterface,
                         "Reload", &error.error, &reply.message, "");
  return r < 0 ? Win32ErrorFromBus(&error.error, r) : ERROR_SUCCESS;
}

DWORD SystemdBackend::Install(const std::string& unit,
                              const std::string& text) {
  std::string path = options_.unit_directory + "/" + unit;
  file::ReplaceOptions options;
  options.new_file_mode = 0644;
  DWORD e = file::ReplaceFile(path, text, options);
  if (e != ERROR_SUCCESS) return e;
  e = Reload();
  // A unit the manager did not take is not left behind for a later reload.
  if (e != ERROR_SUCCESS) unlink(path.c_str());
  return e;
}

DWORD SystemdBackend::Remove(const std::string& unit) {
  std::string path = options_.unit_directory + "/" + unit;
  if (!FileExists(path)) {
    UnitStatus status;
    DWORD e = GetStatus(unit, &status);
    if (e != ERROR_SUCCESS) return e;
    return status.exists ? ERROR_ACCESS_DENIED : ERROR_SERVICE_DOES_NOT_EXIST;
  }
  DWORD e = Stop(unit);
  if (e != ERROR_SUCCESS && e != ERROR_SERVICE_DOES_NOT_EXIST) return e;
  if (unlink(path.c_str()) != 0 && errno != ENOENT)
    return errno == EACCES || errno == EPERM || errno == EROFS
               ? ERROR_ACCESS_DENIED
               : ERROR_CANTWRITE;
  e = Reload();
  if (e != ERROR_SUCCESS) return e;
  // A failed unit stays listed until its failure is forgotten.
  BusError error;
  Reply reply;
  sd_bus_call_method(bus_, kDestination, kManagerPath, kManagerInterface,
                     "ResetFailedUnit", &error.error, &reply.message, "s",
                     unit.c_str());
  return ERROR_SUCCESS;
}

}  // namespace kavex::service
