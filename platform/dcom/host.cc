#include "platform/dcom/host.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

#include "platform/sync/clock.h"
#include "platform/sync/event.h"
#include "platform/sync/wait.h"

namespace kavex::dcom {

namespace {

// One association group counter for both listeners: a client's groups on
// the two ports never collide.
uint32_t NewAssocGroup() {
  static std::atomic<uint32_t> next{0x1000};
  return next.fetch_add(1);
}

// A port the system has free now on `address`.
DWORD FreePort(const std::string& address, uint16_t* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return ERROR_NO_SYSTEM_RESOURCES;
  sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  socklen_t length = sizeof(sa);
  DWORD error = ERROR_SUCCESS;
  if (inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1) {
    error = ERROR_INVALID_PARAMETER;
  } else if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 ||
             getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &length) != 0) {
    error = ERROR_NOT_READY;
  } else {
    *port = ntohs(sa.sin_port);
  }
  close(fd);
  return error;
}

// The address and port a socket is bound to.
bool BoundAddress(int fd, std::string* address, uint16_t* port) {
  sockaddr_in sa = {};
  socklen_t length = sizeof sa;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &length) != 0 ||
      sa.sin_family != AF_INET) {
    return false;
  }
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text);
  *address = text;
  *port = ntohs(sa.sin_port);
  return true;
}

}  // namespace

DcomHost::DcomHost(HostOptions options,
                   std::span<const com::ClassEntry> classes,
                   const rpc::AccountStore* accounts)
    : options_(std::move(options)), classes_(classes), accounts_(accounts) {}

DcomHost::~DcomHost() {
  Stop();
  CloseHandedOver();
}

void DcomHost::CloseHandedOver() {
  if (options_.activation_fd >= 0) close(options_.activation_fd);
  if (options_.object_fd >= 0) close(options_.object_fd);
  options_.activation_fd = options_.object_fd = -1;
}

DWORD DcomHost::Start() {
  Stop();
  // The exporter's bindings and the bind_ack name the ports, so a port
  // left to the system (tests) is chosen before anything is built on it;
  // a handed-over socket names its own.
  uint16_t object_port = options_.object_port;
  uint16_t activation_port = options_.activation_port;
  std::string object_address = options_.address;
  std::string activation_address = options_.address;
  DWORD error = ERROR_SUCCESS;
  if (options_.object_fd >= 0) {
    if (!BoundAddress(options_.object_fd, &object_address, &object_port)) {
      error = ERROR_INVALID_HANDLE;
    }
  } else if (object_port == 0) {
    error = FreePort(options_.address, &object_port);
  }
  if (error == ERROR_SUCCESS && options_.activation_fd >= 0) {
    if (!BoundAddress(options_.activation_fd, &activation_address,
                      &activation_port)) {
      error = ERROR_INVALID_HANDLE;
    }
  } else if (error == ERROR_SUCCESS && activation_port == 0) {
    error = FreePort(options_.address, &activation_port);
  }
  if (error != ERROR_SUCCESS) {
    CloseHandedOver();
    return error;
  }

  std::string host = options_.advertised_address;
  if (host.empty()) host = object_address;
  if (host == "0.0.0.0") {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) == 0 && name[0] != 0) host = name;
  }
  DualStringArray bindings;
  bindings.strings.push_back(
      {kTowerNcacnIpTcp, TcpBindingAddress(host, object_port)});
  bindings.security.push_back({kAuthnWinNt, 0xffff, u""});
  exporter_ = std::make_unique<ObjectExporter>(std::move(bindings));
  dispatcher_ = std::make_unique<DcomDispatcher>(classes_, exporter_.get());

  object_config_ = {};
  object_config_.dispatcher = dispatcher_.get();
  object_config_.ntlm = &options_.ntlm;
  object_config_.accounts = accounts_;
  object_config_.new_assoc_group = &NewAssocGroup;
  object_config_.secondary_address = std::to_string(object_port);
  activation_config_ = object_config_;
  activation_config_.secondary_address = std::to_string(activation_port);

  rpc::ListenerOptions listener_options;
  listener_options.address = options_.address;
  listener_options.workers = options_.workers;
  listener_options.port = object_port;
  listener_options.listen_fd = options_.object_fd;
  object_listener_ =
      std::make_unique<rpc::Listener>(listener_options, &object_config_);
  listener_options.port = activation_port;
  listener_options.listen_fd = options_.activation_fd;
  activation_listener_ =
      std::make_unique<rpc::Listener>(listener_options, &activation_config_);
  // The listeners own the handed-over sockets now.
  options_.activation_fd = options_.object_fd = -1;
  error = object_listener_->Start();
  if (error == ERROR_SUCCESS) error = activation_listener_->Start();
  if (error != ERROR_SUCCESS) {
    Stop();
    return error;
  }
  stop_event_.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  collector_ = std::thread([this] { Collect(); });
  return ERROR_SUCCESS;
}

void DcomHost::Collect() {
  while (WaitForSingleObject(stop_event_.get(), options_.collect_interval_ms) ==
         WAIT_TIMEOUT) {
    exporter_->CollectGarbage(GetTickCount());
  }
}

void DcomHost::Stop() {
  if (stop_event_) SetEvent(stop_event_.get());
  if (collector_.joinable()) collector_.join();
  stop_event_.reset();
  if (activation_listener_) activation_listener_->Stop();
  if (object_listener_) object_listener_->Stop();
  activation_listener_.reset();
  object_listener_.reset();
  dispatcher_.reset();
  exporter_.reset();
}

uint16_t DcomHost::activation_port() const {
  return activation_listener_ ? activation_listener_->port() : 0;
}

uint16_t DcomHost::object_port() const {
  return object_listener_ ? object_listener_->port() : 0;
}

}  // namespace kavex::dcom
