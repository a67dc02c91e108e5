// The listening sockets a service manager hands the server program when it
// starts it on a client's first connection (systemd socket activation:
// kavex-opc-server.socket listens on 127.0.0.1:135 and 127.0.0.1:4135; the
// descriptors arrive from 3 on, with $LISTEN_PID, $LISTEN_FDS and
// $LISTEN_FDNAMES). The socket bound to the activation port serves
// activation and the OXID resolver; the one bound to the object port the
// objects' calls. A unit that names one socket only, or another object
// port than the registry's, still works: the port a socket is bound to is
// the one the program serves and names in its object references.
#ifndef KAVEX_SERVER_PROGRAM_INHERITED_SOCKETS_H_
#define KAVEX_SERVER_PROGRAM_INHERITED_SOCKETS_H_

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kavex::server {

struct InheritedSockets {
  int activation_fd = -1;
  int object_fd = -1;
  // Any passed at all (so the program must not bind for itself: it runs
  // without the right to bind port 135).
  bool handed_over = false;
};

// Sorts listening sockets by the port each is bound to: the one on
// `activation_port` and the one on `object_port`; when none is on
// `object_port`, a single remaining TCP socket is taken as the object port
// (a unit that moved it). Every other descriptor (a second candidate, a
// datagram or non-IPv4 socket, not a socket at all) is closed and named in
// *notes, one line each. Never fails: a missing socket is left at -1.
InheritedSockets SortSockets(std::span<const int> fds, uint16_t activation_port,
                             uint16_t object_port,
                             std::vector<std::string>* notes);

// The descriptors the service manager passed this process (sd_listen_fds;
// the variables are removed so no child inherits them), sorted as above,
// with the notes logged. Nothing passed: handed_over false.
InheritedSockets TakeInheritedSockets(uint16_t activation_port,
                                      uint16_t object_port);

}  // namespace kavex::server

#endif  // KAVEX_SERVER_PROGRAM_INHERITED_SOCKETS_H_
