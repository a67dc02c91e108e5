#include "server/program/inherited_sockets.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cstring>

#include "platform/log/logger.h"

namespace kavex::server {
namespace {

// The port a TCP IPv4 socket is bound to, or 0 for anything else.
uint16_t StreamPort(int fd) {
  int type = 0;
  socklen_t size = sizeof type;
  if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) != 0 ||
      type != SOCK_STREAM) {
    return 0;
  }
  sockaddr_in sa = {};
  socklen_t length = sizeof sa;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &length) != 0 ||
      sa.sin_family != AF_INET) {
    return 0;
  }
  return ntohs(sa.sin_port);
}

}  // namespace

InheritedSockets SortSockets(std::span<const int> fds, uint16_t activation_port,
                             uint16_t object_port,
                             std::vector<std::string>* notes) {
  InheritedSockets sockets;
  sockets.handed_over = !fds.empty();
  std::vector<int> others;
  for (int fd : fds) {
    uint16_t port = StreamPort(fd);
    int* slot = nullptr;
    if (port != 0 && port == activation_port) slot = &sockets.activation_fd;
    if (port != 0 && port == object_port) slot = &sockets.object_fd;
    if (slot != nullptr && *slot < 0) {
      *slot = fd;
    } else if (port != 0 && slot == nullptr) {
      others.push_back(fd);
    } else {
      notes->push_back(
          "descriptor " + std::to_string(fd) +
          (port == 0 ? " is not a TCP socket on IPv4"
                     : " is a second socket on port " + std::to_string(port)) +
          "; closed");
      close(fd);
    }
  }
  if (sockets.object_fd < 0 && others.size() == 1) {
    sockets.object_fd = others[0];
    notes->push_back("object port " + std::to_string(object_port) +
                     " not among the sockets; serving objects on port " +
                     std::to_string(StreamPort(others[0])) +
                     " as the unit says");
    others.clear();
  }
  for (int fd : others) {
    notes->push_back("descriptor " + std::to_string(fd) + " on port " +
                     std::to_string(StreamPort(fd)) +
                     " is neither the activation nor the object port; "
                     "closed");
    close(fd);
  }
  return sockets;
}

InheritedSockets TakeInheritedSockets(uint16_t activation_port,
                                      uint16_t object_port) {
  int count = sd_listen_fds(/*unset_environment=*/1);
  if (count < 0) {
    log::Logf(log::Level::kError, "network",
              "the sockets passed by the service manager cannot be taken: %s",
              strerror(-count));
    return {};
  }
  std::vector<int> fds;
  for (int i = 0; i < count; ++i) fds.push_back(SD_LISTEN_FDS_START + i);
  std::vector<std::string> notes;
  InheritedSockets sockets =
      SortSockets(fds, activation_port, object_port, &notes);
  for (const std::string& note : notes) {
    log::Logf(log::Level::kWarning, "network", "%s", note.c_str());
  }
  return sockets;
}

}  // namespace kavex::server
