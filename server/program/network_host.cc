#include "server/program/network_host.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/base/results.h"
#include "platform/dcom/host.h"
#include "platform/log/logger.h"
#include "server/objects/server_module.h"
#include "server/opcenum/server_list.h"
#include "server/program/inherited_sockets.h"

namespace kavex::server {
namespace {

const char* Hint(DWORD error, uint16_t port) {
  if (error == ERROR_ACCESS_DENIED && port < 1024) {
    return " (a port below 1024 needs root or CAP_NET_BIND_SERVICE; under "
           "systemd, kavex-opc-server.socket listens and passes it on)";
  }
  if (error == ERROR_ALREADY_EXISTS) {
    return " (another program listens there already)";
  }
  if (error == ERROR_INVALID_PARAMETER) {
    return " (not an address of this machine)";
  }
  return "";
}

}  // namespace

std::vector<com::ClassEntry> NetworkClassTable() {
  std::vector<com::ClassEntry> classes;
  for (const ServerClass& c : ServerClasses()) classes.push_back(c.entry);
  // The server browser a remote client asks first for the servers here.
  AddServerListClass(&classes);
  return classes;
}

ProgramNetwork::ProgramNetwork() = default;

ProgramNetwork::~ProgramNetwork() { Stop(); }

HRESULT ProgramNetwork::Start(const NetworkSettings& settings) {
  Stop();
  bool credential = false;
  const std::string path =
      rpc::ServerAccountsPath(getenv("CREDENTIALS_DIRECTORY"),
                              getenv("KAVEX_OPC_ACCOUNTS"), &credential);
  std::string why;
  DWORD error = credential ? accounts_.LoadCredential(path, geteuid(), &why)
                           : accounts_.Load(path, geteuid(), &why);
  if (error == ERROR_FILE_NOT_FOUND) {
    log::Logf(log::Level::kWarning, "network",
              "no accounts file (%s): every network logon is refused; add "
              "one with kavex-opc-account",
              why.c_str());
  } else if (error != ERROR_SUCCESS) {
    log::Logf(log::Level::kError, "network", "the accounts are refused: %s",
              why.c_str());
    return HRESULT_FROM_WIN32(error);
  } else {
    log::Logf(log::Level::kInfo, "network", "%zu account(s) from %s",
              accounts_.accounts().size(), path.c_str());
  }

  InheritedSockets sockets =
      TakeInheritedSockets(settings.activation_port, settings.object_port);
  if (sockets.handed_over &&
      (sockets.activation_fd < 0 || sockets.object_fd < 0)) {
    if (sockets.activation_fd >= 0) close(sockets.activation_fd);
    if (sockets.object_fd >= 0) close(sockets.object_fd);
    log::Logf(log::Level::kError, "network",
              "the service manager passed no socket for the %s port (the "
              "socket unit needs ListenStream= lines for ports %u and %u)",
              sockets.activation_fd < 0 ? "activation" : "object",
              settings.activation_port, settings.object_port);
    return HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);
  }
  for (int fd : {sockets.activation_fd, sockets.object_fd}) {
    if (fd >= 0) fcntl(fd, F_SETFD, FD_CLOEXEC);
  }

  dcom::HostOptions options;
  options.address = settings.listen_address;
  options.activation_port = settings.activation_port;
  options.object_port = settings.object_port;
  options.advertised_address = settings.advertised_address;
  options.activation_fd = sockets.activation_fd;
  options.object_fd = sockets.object_fd;
  classes_ = NetworkClassTable();
  auto host = std::make_unique<dcom::DcomHost>(options, classes_, &accounts_);
  error = host->Start();
  if (error != ERROR_SUCCESS) {
    host.reset();
    if (sockets.handed_over) {
      log::Logf(log::Level::kError, "network",
                "cannot serve on the sockets the service manager passed: %s",
                HResultName(HRESULT_FROM_WIN32(error)));
    } else {
      log::Logf(log::Level::kError, "network",
                "cannot listen on %s, ports %u and %u: %s%s",
                settings.listen_address.c_str(), settings.activation_port,
                settings.object_port, HResultName(HRESULT_FROM_WIN32(error)),
                Hint(error, settings.activation_port));
    }
    return HRESULT_FROM_WIN32(error);
  }
  log::Logf(
      log::Level::kInfo, "network",
      "serving DCOM clients on ports %u (activation) and %u (objects)%s",
      host->activation_port(), host->object_port(),
      sockets.handed_over ? ", on the sockets the service manager passed" : "");
  std::lock_guard<std::mutex> lock(mu_);
  host_ = std::move(host);
  return S_OK;
}

void ProgramNetwork::Stop() {
  std::unique_ptr<dcom::DcomHost> host;
  {
    std::lock_guard<std::mutex> lock(mu_);
    host = std::move(host_);
  }
  // Outside the lock: stopping joins the host's threads.
  if (host) host->Stop();
}

size_t ProgramNetwork::exported_objects() {
  std::lock_guard<std::mutex> lock(mu_);
  return host_ && host_->exporter() ? host_->exporter()->object_count() : 0;
}

uint16_t ProgramNetwork::activation_port() {
  std::lock_guard<std::mutex> lock(mu_);
  return host_ ? host_->activation_port() : 0;
}

uint16_t ProgramNetwork::object_port() {
  std::lock_guard<std::mutex> lock(mu_);
  return host_ ? host_->object_port() : 0;
}

}  // namespace kavex::server
