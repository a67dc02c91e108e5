#include "simulator/packet_sender.h"

#include <arpa/inet.h>
#include <errno.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace kavex::simulator {

PacketSender::~PacketSender() {
  if (fd_ >= 0) close(fd_);
}

bool PacketSender::Open(const std::string& ifname, std::string* error) {
  unsigned index = if_nametoindex(ifname.c_str());
  if (index == 0) {
    *error = "there is no network interface \"" + ifname + "\"";
    return false;
  }
  fd_ = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
  if (fd_ < 0) {
    *error = errno == EPERM ? "sending needs the CAP_NET_RAW capability"
                            : std::string("socket: ") + strerror(errno);
    return false;
  }
  int one = 1;
  // Straight to the driver: the frames are ours, no queueing discipline.
  setsockopt(fd_, SOL_PACKET, PACKET_QDISC_BYPASS, &one, sizeof one);
  sockaddr_ll addr{};
  addr.sll_family = AF_PACKET;
  addr.sll_ifindex = static_cast<int>(index);
  addr.sll_protocol = 0;
  if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    *error = std::string("bind: ") + strerror(errno);
    return false;
  }
  pending_.resize(kBatch);
  return true;
}

bool PacketSender::Add(const std::vector<uint8_t>& frame) {
  pending_[count_++] = frame;
  return count_ < kBatch || Flush();
}

bool PacketSender::Flush() {
  mmsghdr msgs[kBatch];
  iovec iovs[kBatch];
  size_t done = 0;
  while (done < count_) {
    size_t n = count_ - done;
    for (size_t i = 0; i < n; ++i) {
      iovs[i] = {pending_[done + i].data(), pending_[done + i].size()};
      msgs[i] = {};
      msgs[i].msg_hdr.msg_iov = &iovs[i];
      msgs[i].msg_hdr.msg_iovlen = 1;
    }
    int rc = sendmmsg(fd_, msgs, static_cast<unsigned>(n), 0);
    if (rc < 0) {
      if (errno == ENOBUFS || errno == EAGAIN || errno == EINTR) continue;
      error_ = std::string("send: ") + strerror(errno);
      count_ = 0;
      return false;
    }
    done += static_cast<size_t>(rc);
    sent_ += static_cast<uint64_t>(rc);
  }
  count_ = 0;
  return true;
}

}  // namespace kavex::simulator
