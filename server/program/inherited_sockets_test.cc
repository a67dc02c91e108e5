// Sorting the sockets a service manager hands over, on real sockets: by the
// port each is bound to, the unit's own object port taken when it moved,
// and everything else closed with a note.
#include "server/program/inherited_sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace kavex::server {
namespace {

// A socket of `type` bound to a free port of 127.0.0.1 (listening when a
// stream socket); *port gets the port.
int Bound(int type, uint16_t* port) {
  int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  sockaddr_in sa = {};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof sa;
  EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  if (type == SOCK_STREAM) {
    EXPECT_EQ(listen(fd, 4), 0);
  }
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &length);
  *port = ntohs(sa.sin_port);
  return fd;
}

bool IsOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

TEST(InheritedSocketsTest, SortsByPortInAnyOrder) {
  uint16_t a = 0, o = 0;
  int activation = Bound(SOCK_STREAM, &a);
  int object = Bound(SOCK_STREAM, &o);
  std::vector<std::string> notes;
  const int fds[] = {object, activation};
  InheritedSockets s = SortSockets(fds, a, o, &notes);
  EXPECT_TRUE(s.handed_over);
  EXPECT_EQ(s.activation_fd, activation);
  EXPECT_EQ(s.object_fd, object);
  EXPECT_TRUE(notes.empty());
  close(activation);
  close(object);
}

TEST(InheritedSocketsTest, AMovedObjectPortIsTakenFromTheUnit) {
  uint16_t a = 0, o = 0;
  int activation = Bound(SOCK_STREAM, &a);
  int object = Bound(SOCK_STREAM, &o);
  std::vector<std::string> notes;
  const int fds[] = {activation, object};
  // The registry says another port than the unit listens on.
  uint16_t configured = o == 4135 ? 4136 : 4135;
  InheritedSockets s = SortSockets(fds, a, configured, &notes);
  EXPECT_EQ(s.object_fd, object);
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_NE(notes[0].find("serving objects on port " + std::to_string(o)),
            std::string::npos)
      << notes[0];
  close(activation);
  close(object);
}

TEST(InheritedSocketsTest, WhatCannotBeServedIsClosedAndNamed) {
  uint16_t a = 0, o = 0, d = 0, x = 0, y = 0;
  int activation = Bound(SOCK_STREAM, &a);
  int object = Bound(SOCK_STREAM, &o);
  int datagram = Bound(SOCK_DGRAM, &d);
  int pipe_fds[2];
  ASSERT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
  int extra1 = Bound(SOCK_STREAM, &x);
  int extra2 = Bound(SOCK_STREAM, &y);
  // A second descriptor on the activation port.
  int second = dup(activation);
  std::vector<int> fds = {datagram, activation, pipe_fds[0], object,
                          extra1,   extra2,     second};
  std::vector<std::string> notes;
  InheritedSockets s = SortSockets(fds, a, o, &notes);
  EXPECT_EQ(s.activation_fd, activation);
  EXPECT_EQ(s.object_fd, object);
  // The datagram socket, the pipe, the second one on the activation port
  // and the two stream sockets on ports of no use (two: neither can be
  // taken for the object port).
  ASSERT_EQ(notes.size(), 5u);
  std::string all;
  for (const std::string& n : notes) all += n + "\n";
  EXPECT_NE(all.find("is a second socket on port " + std::to_string(a)),
            std::string::npos)
      << all;
  EXPECT_NE(all.find("is not a TCP socket on IPv4"), std::string::npos) << all;
  EXPECT_NE(all.find("neither the activation nor the object port"),
            std::string::npos)
      << all;
  for (int fd : {datagram, pipe_fds[0], extra1, extra2, second}) {
    EXPECT_FALSE(IsOpen(fd)) << fd;
  }
  EXPECT_TRUE(IsOpen(activation));
  EXPECT_TRUE(IsOpen(object));
  close(pipe_fds[1]);
  close(activation);
  close(object);
}

TEST(InheritedSocketsTest, OnlyTheActivationSocketLeavesTheObjectPortOpen) {
  uint16_t a = 0;
  int activation = Bound(SOCK_STREAM, &a);
  std::vector<std::string> notes;
  const int fds[] = {activation};
  InheritedSockets s = SortSockets(fds, a, 4135, &notes);
  EXPECT_TRUE(s.handed_over);
  EXPECT_EQ(s.activation_fd, activation);
  EXPECT_EQ(s.object_fd, -1);
  close(activation);

  InheritedSockets none = SortSockets({}, 135, 4135, &notes);
  EXPECT_FALSE(none.handed_over);
  EXPECT_EQ(none.activation_fd, -1);
}

}  // namespace
}  // namespace kavex::server
