#include "platform/pkio/real_adapter.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/ethtool.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <set>

#include "platform/base/results.h"
#include "platform/log/logger.h"
#include "platform/pkio/adapter_list.h"
#include "platform/pkio/frame_source.h"
#include "platform/pkio/last_error.h"

namespace kavex::pkio {
namespace {

constexpr char kCategory[] = "pkio";
constexpr unsigned kBlockSize = 1u << 20;
constexpr unsigned kBlockCount = 8;
constexpr unsigned kFrameSize = 2048;
constexpr unsigned kBlockTimeoutMs = 2;
// Longest wait for frames when nothing else is due.
constexpr int kIdleWaitMs = 50;
// While the link is down: how often the interface is looked at.
constexpr int kLinkCheckMs = 250;

class RealAdapter : public Adapter, private FrameSource {
 public:
  RealAdapter(Mode mode, std::string ndis_name, std::string ifname)
      : Adapter(mode, std::move(ndis_name)), ifname_(std::move(ifname)) {}

  ~RealAdapter() override {
    Close();
    if (ring_ != nullptr) munmap(ring_, ring_size_);
    if (fd_ >= 0) close(fd_);
    if (wake_fd_ >= 0) close(wake_fd_);
  }

  bool Open() {
    ifindex_ = if_nametoindex(ifname_.c_str());
    if (ifindex_ == 0) {
      SetError(ERROR_FILE_NOT_FOUND,
               "there is no network interface \"" + ifname_ + "\"");
      return false;
    }
    fd_ = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
      if (errno == EPERM || errno == EACCES) {
        SetError(ERROR_ACCESS_DENIED,
                 "capturing on \"" + ifname_ +
                     "\" needs the CAP_NET_RAW capability (run as root, or "
                     "setcap cap_net_raw+ep on the program)");
      } else {
        SetError(
            ERROR_GEN_FAILURE,
            std::string("cannot create a packet socket: ") + strerror(errno));
      }
      return false;
    }
    int version = TPACKET_V3;
    tpacket_req3 req{};
    req.tp_block_size = kBlockSize;
    req.tp_block_nr = kBlockCount;
    req.tp_frame_size = kFrameSize;
    req.tp_frame_nr = kBlockSize / kFrameSize * kBlockCount;
    req.tp_retire_blk_tov = kBlockTimeoutMs;
    if (setsockopt(fd_, SOL_PACKET, PACKET_VERSION, &version, sizeof version) ||
        setsockopt(fd_, SOL_PACKET, PACKET_RX_RING, &req, sizeof req)) {
      return Fail("cannot set up the receive ring");
    }
    ring_size_ = size_t{kBlockSize} * kBlockCount;
    void* ring = mmap(nullptr, ring_size_, PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_LOCKED, fd_, 0);
    if (ring == MAP_FAILED) {
      ring =
          mmap(nullptr, ring_size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
    }
    if (ring == MAP_FAILED) return Fail("cannot map the receive ring");
    ring_ = static_cast<uint8_t*>(ring);
    if (!Bind(0)) return Fail("cannot bind to the interface");
    wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd_ < 0) return Fail("cannot create an event descriptor");
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    open_ns_ = uint64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
    StartReceiving(this);
    return true;
  }

 protected:
  bool ApplyBpf(std::span<const bpf_insn> program,
                std::string* reason) override {
    if (program.empty()) {
      int unused = 0;
      if (setsockopt(fd_, SOL_SOCKET, SO_DETACH_FILTER, &unused,
                     sizeof unused) != 0 &&
          errno != ENOENT) {
        *reason = std::string("cannot remove the filter: ") + strerror(errno);
        return false;
      }
      return true;
    }
    // The instruction layout is the kernel's own.
    static_assert(sizeof(sock_filter) == sizeof(bpf_insn));
    sock_fprog fprog{
        static_cast<unsigned short>(program.size()),
        reinterpret_cast<sock_filter*>(const_cast<bpf_insn*>(program.data()))};
    if (setsockopt(fd_, SOL_SOCKET, SO_ATTACH_FILTER, &fprog, sizeof fprog)) {
      *reason =
          std::string("the kernel refused the filter: ") + strerror(errno);
      return false;
    }
    return true;
  }

  bool ApplyPacketFilter(DWORD filter, std::string* reason) override {
    std::lock_guard<std::mutex> lock(link_mu_);
    want_promiscuous_ = filter & NDIS_PACKET_TYPE_PROMISCUOUS;
    want_all_multicast_ = filter & NDIS_PACKET_TYPE_ALL_MULTICAST;
    protocol_ = filter != 0 ? ETH_P_ALL : 0;
    if (!ApplyMemberships() || !Bind(protocol_)) {
      *reason = std::string("cannot change reception on \"") + ifname_ +
                "\": " + strerror(errno);
      return false;
    }
    return true;
  }

  bool SendFrame(const uint8_t* frame, uint32_t length,
                 std::string* reason) override {
    sockaddr_ll to{};
    to.sll_family = AF_PACKET;
    to.sll_ifindex = static_cast<int>(ifindex_.load(std::memory_order_relaxed));
    to.sll_protocol = static_cast<uint16_t>(frame[12] | frame[13] << 8);
    to.sll_halen = 6;
    memcpy(to.sll_addr, frame, 6);
    ssize_t n = sendto(fd_, frame, length, 0, reinterpret_cast<sockaddr*>(&to),
                       sizeof to);
    if (n != static_cast<ssize_t>(length)) {
      *reason = std::string("send failed: ") + strerror(errno);
      return false;
    }
    return true;
  }

  // Asked of the kernel through the adapter's own socket, so the answers are
  // for the interface in the namespace it was opened in (/sys/class/net
  // can show another namespace's interface of the same name).
  AdapterProperties Properties() override {
    AdapterProperties p;
    ifreq ifr = Request();
    if (ioctl(fd_, SIOCGIFHWADDR, &ifr) == 0) {
      memcpy(p.address.data(), ifr.ifr_hwaddr.sa_data, 6);
    }
    ifr = Request();
    if (ioctl(fd_, SIOCGIFFLAGS, &ifr) == 0) {
      p.connected = (ifr.ifr_flags & IFF_RUNNING) != 0;
    }
    ifr = Request();
    if (ioctl(fd_, SIOCGIFMTU, &ifr) == 0 && ifr.ifr_mtu > 0) {
      p.mtu = static_cast<uint32_t>(ifr.ifr_mtu);
    }
    ethtool_cmd settings{};
    settings.cmd = ETHTOOL_GSET;
    ifr = Request();
    ifr.ifr_data = reinterpret_cast<char*>(&settings);
    if (ioctl(fd_, SIOCETHTOOL, &ifr) == 0) {
      uint32_t mbit = ethtool_cmd_speed(&settings);
      if (mbit != static_cast<uint32_t>(SPEED_UNKNOWN))
        p.link_speed_mbit = mbit;
    }
    p.description = InterfaceDriverName(ifname_) + " Ethernet adapter";
    return p;
  }

 private:
  ifreq Request() const {
    ifreq ifr{};
    strncpy(ifr.ifr_name, ifname_.c_str(), IFNAMSIZ - 1);
    return ifr;
  }

  bool Fail(const char* what) {
    SetError(ERROR_GEN_FAILURE,
             std::string(what) + " on \"" + ifname_ + "\": " + strerror(errno));
    return false;
  }

  bool Bind(uint16_t protocol) {
    sockaddr_ll addr{};
    addr.sll_family = AF_PACKET;
    addr.sll_protocol = htons(protocol);
    addr.sll_ifindex = static_cast<int>(ifindex_.load());
    return bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }

  // Under link_mu_.
  bool ApplyMemberships() {
    return Membership(PACKET_MR_PROMISC, want_promiscuous_, &promiscuous_) &&
           Membership(PACKET_MR_ALLMULTI, want_all_multicast_, &all_multicast_);
  }

  bool Membership(int type, bool on, bool* state) {
    if (on == *state) return true;
    packet_mreq mreq{};
    mreq.mr_ifindex = static_cast<int>(ifindex_.load());
    mreq.mr_type = static_cast<unsigned short>(type);
    int op = on ? PACKET_ADD_MEMBERSHIP : PACKET_DROP_MEMBERSHIP;
    if (setsockopt(fd_, SOL_PACKET, op, &mreq, sizeof mreq) != 0) return false;
    *state = on;
    return true;
  }

  tpacket_block_desc* Block(unsigned index) {
    return reinterpret_cast<tpacket_block_desc*>(ring_ +
                                                 size_t{index} * kBlockSize);
  }

  // --- Link loss (receive thread only) -------------------------------------

  // Takes the socket's pending error; reading it clears it, which is what
  // ends poll's POLLERR.
  void TakeSocketError() {
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
      error = errno;
    }
    if (error == ENETDOWN || error == ENXIO || error == ENODEV) {
      if (!link_down_) {
        link_down_ = true;
        log::Logf(log::Level::kWarning, kCategory,
                  "%s: the link is down (%s); capture waits for it",
                  ndis_name().c_str(), strerror(error));
      }
      CheckLink();
      return;
    }
    if (error == 0) {
      // An error condition with nothing to take: sit it out once rather
      // than poll again at once.
      skip_socket_ = true;
      return;
    }
    if (reported_errors_.insert(error).second) {
      log::Logf(log::Level::kWarning, kCategory,
                "%s: the packet socket reported \"%s\"; capture goes on",
                ndis_name().c_str(), strerror(error));
    }
  }

  // While the link is down: is an interface of our name there and up?
  void CheckLink() {
    const unsigned index = if_nametoindex(ifname_.c_str());
    if (index == 0) {
      if (!gone_) {
        gone_ = true;
        log::Logf(log::Level::kWarning, kCategory,
                  "%s: the interface is gone; capture binds again to the "
                  "next interface named \"%s\"",
                  ndis_name().c_str(), ifname_.c_str());
      }
      return;
    }
    if (index != ifindex_.load()) {
      const unsigned old = ifindex_.load();
      std::lock_guard<std::mutex> lock(link_mu_);
      ifindex_ = index;
      // The kernel dropped the memberships with the old interface.
      promiscuous_ = false;
      all_multicast_ = false;
      if (!ApplyMemberships() || !Bind(protocol_)) {
        if (!rebind_failed_) {
          rebind_failed_ = true;
          log::Logf(log::Level::kError, kCategory,
                    "%s: cannot bind to the new interface \"%s\" (index %u): "
                    "%s; trying again",
                    ndis_name().c_str(), ifname_.c_str(), index,
                    strerror(errno));
        }
        ifindex_ = old;  // so that the next look tries again
        return;
      }
      rebind_failed_ = false;
      gone_ = false;
      log::Logf(log::Level::kInfo, kCategory,
                "%s: bound again to interface \"%s\" (index %u, was %u)",
                ndis_name().c_str(), ifname_.c_str(), index, old);
    }
    ifreq ifr = Request();
    if (ioctl(fd_, SIOCGIFFLAGS, &ifr) == 0 && (ifr.ifr_flags & IFF_UP) != 0) {
      link_down_ = false;
      gone_ = false;
      log::Logf(log::Level::kInfo, kCategory,
                "%s: the link is up again; capture goes on",
                ndis_name().c_str());
    }
  }

  // --- FrameSource ---------------------------------------------------------

  void Wait(int timeout_ms) override {
    if (Block(current_)->hdr.bh1.block_status & TP_STATUS_USER) return;
    int wait_ms = timeout_ms < 0 ? kIdleWaitMs : timeout_ms;
    if (link_down_) {
      CheckLink();
      // Nothing arrives meanwhile; a deadline of the caller's still counts.
      if (link_down_ && timeout_ms < 0) wait_ms = kLinkCheckMs;
    }
    pollfd fds[2] = {{wake_fd_, POLLIN, 0}, {fd_, POLLIN, 0}};
    const nfds_t count = skip_socket_ ? 1 : 2;
    skip_socket_ = false;
    poll(fds, count, wait_ms);
    if (fds[0].revents & POLLIN) {
      uint64_t value;
      [[maybe_unused]] ssize_t n = read(wake_fd_, &value, sizeof value);
    }
    if (count == 2 && (fds[1].revents & POLLERR)) TakeSocketError();
  }

  void NextBatch(std::vector<RxFrame>* frames, uint64_t* drops) override {
    tpacket_block_desc* block = Block(current_);
    if (!(block->hdr.bh1.block_status & TP_STATUS_USER)) return;
    // The kernel marks a block it closed while it had dropped frames since
    // the statistics were last read (reading them resets them); without the
    // mark there is nothing to count, and no system call per block.
    if (block->hdr.bh1.block_status & TP_STATUS_LOSING) {
      tpacket_stats_v3 stats{};
      socklen_t len = sizeof stats;
      if (getsockopt(fd_, SOL_PACKET, PACKET_STATISTICS, &stats, &len) == 0) {
        *drops = stats.tp_drops;
      }
    }
    const uint32_t count = block->hdr.bh1.num_pkts;
    auto* hdr = reinterpret_cast<tpacket3_hdr*>(
        reinterpret_cast<uint8_t*>(block) + block->hdr.bh1.offset_to_first_pkt);
    for (uint32_t i = 0; i < count; ++i) {
      const auto* ll = reinterpret_cast<const sockaddr_ll*>(
          reinterpret_cast<uint8_t*>(hdr) +
          TPACKET_ALIGN(sizeof(tpacket3_hdr)));
      uint64_t ns = uint64_t(hdr->tp_sec) * 1000000000 + hdr->tp_nsec;
      frames->push_back({reinterpret_cast<uint8_t*>(hdr) + hdr->tp_mac,
                         hdr->tp_snaplen, hdr->tp_len,
                         ns > open_ns_ ? (ns - open_ns_) / 100 : 0,
                         ll->sll_pkttype});
      hdr = reinterpret_cast<tpacket3_hdr*>(reinterpret_cast<uint8_t*>(hdr) +
                                            hdr->tp_next_offset);
    }
    released_ = false;
  }

  void ReleaseBatch() override {
    if (released_) return;
    Block(current_)->hdr.bh1.block_status = TP_STATUS_KERNEL;
    __sync_synchronize();
    current_ = (current_ + 1) % kBlockCount;
    released_ = true;
  }

  void Wake() override {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(wake_fd_, &one, sizeof one);
  }

  const std::string ifname_;
  std::atomic<unsigned> ifindex_{0};
  int fd_ = -1;
  int wake_fd_ = -1;
  uint8_t* ring_ = nullptr;
  size_t ring_size_ = 0;
  unsigned current_ = 0;
  bool released_ = true;
  uint64_t open_ns_ = 0;

  // Reception as the packet filter asks for it; link_mu_ guards it against
  // a re-bind on the receive thread.
  std::mutex link_mu_;
  uint16_t protocol_ = 0;
  bool want_promiscuous_ = false;
  bool want_all_multicast_ = false;
  bool promiscuous_ = false;
  bool all_multicast_ = false;

  // The receive thread's view of the link.
  bool link_down_ = false;
  bool gone_ = false;
  bool rebind_failed_ = false;
  bool skip_socket_ = false;
  std::set<int> reported_errors_;
};

// The interfaces of the calling thread's network namespace, Ethernet only,
// by interface index. getifaddrs asks the kernel over rtnetlink, which
// answers for our own namespace; /sys/class/net keeps showing the host's
// interfaces to a process that only unshared its network namespace.
void EnumerateInterfaces(std::vector<AdapterListing>* adapters) {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return;
  std::vector<std::pair<int, AdapterListing>> found;
  for (ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
    if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_PACKET ||
        a->ifa_name == nullptr) {
      continue;
    }
    const auto* link = reinterpret_cast<const sockaddr_ll*>(a->ifa_addr);
    if (link->sll_hatype != ARPHRD_ETHER) continue;
    std::string name = a->ifa_name;
    AdapterListing listing;
    listing.ndis_name = kNdisPrefix + name;
    listing.friendly_name = name + " (" + InterfaceDriverName(name) + ")";
    found.emplace_back(link->sll_ifindex, std::move(listing));
  }
  freeifaddrs(list);
  std::sort(found.begin(), found.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  for (auto& f : found) adapters->push_back(std::move(f.second));
}

std::unique_ptr<Adapter> OpenInterface(Adapter::Mode mode,
                                       const std::string& ndis_name,
                                       DWORD* error, std::string* reason) {
  const std::string ifname = ndis_name.substr(strlen(kNdisPrefix));
  if (ifname.empty() || ifname.find('\\') != std::string::npos ||
      ifname.size() >= IFNAMSIZ) {
    *error = ERROR_FILE_NOT_FOUND;
    *reason = "\"" + ndis_name + "\" is not an adapter name";
    return nullptr;
  }
  auto adapter = std::make_unique<RealAdapter>(mode, ndis_name, ifname);
  if (!adapter->Open()) {
    *error = LastError();
    *reason = LastErrorMessage();
    return nullptr;
  }
  return adapter;
}

const FrameSourceType kEthernetSource = {"Ethernet interfaces", kNdisPrefix,
                                         PKIO_BINDING_SYSTEM,
                                         &EnumerateInterfaces, &OpenInterface};

}  // namespace

const FrameSourceType* EthernetFrameSource() { return &kEthernetSource; }

std::string InterfaceDriverName(const std::string& ifname) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  std::string driver = "Ethernet";
  if (fd < 0) return driver;
  ethtool_drvinfo info{};
  info.cmd = ETHTOOL_GDRVINFO;
  ifreq ifr{};
  strncpy(ifr.ifr_name, ifname.c_str(), IFNAMSIZ - 1);
  ifr.ifr_data = reinterpret_cast<char*>(&info);
  if (ioctl(fd, SIOCETHTOOL, &ifr) == 0 && info.driver[0] != '\0') {
    driver = info.driver;
  }
  close(fd);
  return driver;
}

}  // namespace kavex::pkio
