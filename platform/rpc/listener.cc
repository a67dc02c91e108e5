#include "platform/rpc/listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/base/results.h"
#include "platform/log/logger.h"
#include "platform/sync/clock.h"

namespace kavex::rpc {

namespace {

constexpr int kTickMs = 100;  // how often deadlines are checked
constexpr uint64_t kListenTag = 0;
constexpr uint64_t kWakeTag = ~uint64_t{0};

DWORD Win32FromErrno(int e) {
  switch (e) {
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    case EADDRINUSE:
      return ERROR_ALREADY_EXISTS;
    case EINVAL:
    case EADDRNOTAVAIL:
      return ERROR_INVALID_PARAMETER;
    case ENOMEM:
    case ENOBUFS:
      return ERROR_NOT_ENOUGH_MEMORY;
    default:
      return ERROR_GEN_FAILURE;
  }
}

}  // namespace

struct Listener::Client {
  Client(uint64_t id, int fd, std::string peer, const ConnectionConfig* config)
      : fd(fd), peer(std::move(peer)), connection(id, config) {}
  int fd;
  std::string peer;
  Connection connection;
  uint32_t accepted = 0;
  uint32_t last_activity = 0;
  bool partial = false;
  uint32_t partial_since = 0;
  uint32_t closing_since = 0;
  bool writing = false;  // EPOLLOUT armed
  bool fd_closed = false;
  size_t sent = 0;  // bytes of connection.output() already written
};

Listener::Listener(ListenerOptions options, const ConnectionConfig* config)
    : options_(std::move(options)), config_(config) {}

Listener::~Listener() { Stop(); }

DWORD Listener::Start() {
  if (options_.listen_fd >= 0) {
    listen_fd_ = options_.listen_fd;
    options_.listen_fd = -1;
    // Only a listening TCP socket will do: a unit that hands over a
    // datagram socket or one it never put into listening is refused here,
    // not found out at the first accept.
    int type = 0, accepting = 0, family = 0;
    socklen_t size = sizeof type;
    bool ok = getsockopt(listen_fd_, SOL_SOCKET, SO_TYPE, &type, &size) == 0;
    size = sizeof accepting;
    ok = ok && getsockopt(listen_fd_, SOL_SOCKET, SO_ACCEPTCONN, &accepting,
                          &size) == 0;
    size = sizeof family;
    ok = ok &&
         getsockopt(listen_fd_, SOL_SOCKET, SO_DOMAIN, &family, &size) == 0;
    if (!ok || type != SOCK_STREAM || !accepting || family != AF_INET) {
      close(listen_fd_);
      listen_fd_ = -1;
      return ERROR_INVALID_HANDLE;
    }
    int flags = fcntl(listen_fd_, F_GETFL);
    fcntl(listen_fd_, F_SETFL, flags | O_NONBLOCK);
  } else {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(options_.port);
    if (inet_pton(AF_INET, options_.address.c_str(), &address.sin_addr) != 1) {
      return ERROR_INVALID_PARAMETER;
    }
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0) return Win32FromErrno(errno);
    int one = 1;
    setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&address),
             sizeof address) != 0 ||
        listen(listen_fd_, 128) != 0) {
      DWORD error = Win32FromErrno(errno);
      close(listen_fd_);
      listen_fd_ = -1;
      return error;
    }
  }
  sockaddr_in bound = {};
  socklen_t length = sizeof bound;
  if (getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&bound), &length) ==
      0) {
    port_ = ntohs(bound.sin_port);
  }
  epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
  wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (epoll_fd_ < 0 || wake_fd_ < 0) return Win32FromErrno(errno);
  epoll_event e = {};
  e.events = EPOLLIN;
  e.data.u64 = kListenTag;
  epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, listen_fd_, &e);
  e.data.u64 = kWakeTag;
  epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, wake_fd_, &e);
  stopping_ = false;
  loop_ = std::thread([this] { Loop(); });
  size_t workers = options_.workers ? options_.workers : 1;
  for (size_t i = 0; i < workers; ++i) {
    workers_.emplace_back([this] { Work(); });
  }
  return ERROR_SUCCESS;
}

void Listener::Stop() {
  if (!loop_.joinable()) {
    if (listen_fd_ >= 0) close(listen_fd_);
    listen_fd_ = -1;
    // A handed-over socket never started on is the listener's too.
    if (options_.listen_fd >= 0) close(options_.listen_fd);
    options_.listen_fd = -1;
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  work_cv_.notify_all();
  uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(wake_fd_, &one, sizeof one);
  for (std::thread& t : workers_) t.join();
  workers_.clear();
  loop_.join();
  for (auto& [id, client] : clients_) {
    if (!client->fd_closed) close(client->fd);
    if (config_->dispatcher) config_->dispatcher->ConnectionClosed(id);
  }
  clients_.clear();
  per_peer_.clear();
  connection_count_ = 0;
  jobs_.clear();
  done_.clear();
  close(listen_fd_);
  close(epoll_fd_);
  close(wake_fd_);
  listen_fd_ = epoll_fd_ = wake_fd_ = -1;
}

void Listener::Loop() {
  epoll_event events[64];
  while (!stopping_) {
    int n = epoll_wait(epoll_fd_, events, 64, kTickMs);
    for (int i = 0; i < n && !stopping_; ++i) {
      uint64_t tag = events[i].data.u64;
      if (tag == kListenTag) {
        Accept();
      } else if (tag == kWakeTag) {
        uint64_t count;
        [[maybe_unused]] ssize_t r = read(wake_fd_, &count, sizeof count);
        TakeCompletions();
      } else {
        auto it = clients_.find(tag);
        if (it == clients_.end() || it->second->fd_closed) continue;
        Client& client = *it->second;
        if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
          ReadFrom(client);
        }
        if (clients_.count(tag) && (events[i].events & EPOLLOUT)) {
          Flush(client);
        }
      }
    }
    CheckDeadlines();
  }
}

void Listener::Accept() {
  for (;;) {
    sockaddr_in peer = {};
    socklen_t length = sizeof peer;
    int fd = accept4(listen_fd_, reinterpret_cast<sockaddr*>(&peer), &length,
                     SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR) continue;
      return;  // EAGAIN, or a transient error such as EMFILE
    }
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    std::string address = text;
    const Limits& l = config_->limits;
    if (clients_.size() >= l.max_connections ||
        per_peer_[address] >= l.max_connections_per_peer) {
      ++refused_count_;  // before the peer can see the close
      close(fd);
      log::Logf(log::Level::kWarning, "rpc",
                "refusing a connection from %s: too many connections",
                address.c_str());
      continue;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    uint64_t id = next_id_++;
    auto client = std::make_unique<Client>(id, fd, address, config_);
    client->accepted = client->last_activity = GetTickCount();
    epoll_event e = {};
    e.events = EPOLLIN;
    e.data.u64 = id;
    if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &e) != 0) {
      close(fd);
      continue;
    }
    ++per_peer_[address];
    clients_.emplace(id, std::move(client));
    ++connection_count_;
  }
}

void Listener::ReadFrom(Client& client) {
  uint8_t buffer[16384];
  // Read a bounded amount per wake-up so one busy client cannot starve the
  // others.
  for (int round = 0; round < 16; ++round) {
    ssize_t n = recv(client.fd, buffer, sizeof buffer, 0);
    if (n > 0) {
      client.last_activity = GetTickCount();
      client.connection.Receive({buffer, static_cast<size_t>(n)});
      if (client.connection.closing()) break;
      continue;
    }
    if (n < 0 && (errno == EINTR)) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    // EOF or a hard error: the peer is gone.
    CloseClient(client.connection.id());
    return;
  }
  bool partial = client.connection.partial_pdu();
  if (partial && !client.partial) client.partial_since = GetTickCount();
  client.partial = partial;
  Schedule(client);
  Flush(client);
}

void Listener::Schedule(Client& client) {
  if (auto call = client.connection.TakeCall()) {
    Job job{client.connection.id(), std::move(*call),
            client.connection.security(), client.connection.assoc_group()};
    {
      std::lock_guard<std::mutex> lock(mu_);
      jobs_.push_back(std::move(job));
    }
    work_cv_.notify_one();
  }
}

void Listener::Work() {
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(mu_);
      work_cv_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (stopping_) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    CallRequest request;
    request.connection_id = job.connection_id;
    request.assoc_group_id = job.assoc_group_id;
    request.interface = job.call.interface;
    request.context_id = job.call.context_id;
    request.opnum = job.call.opnum;
    request.has_object = job.call.has_object;
    request.object = job.call.object;
    request.stub = job.call.stub;
    request.security = &job.security;
    Done done{job.connection_id, std::move(job.call), {}};
    config_->dispatcher->Dispatch(request, &done.response);
    {
      std::lock_guard<std::mutex> lock(mu_);
      done_.push_back(std::move(done));
    }
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(wake_fd_, &one, sizeof one);
  }
}

void Listener::TakeCompletions() {
  std::deque<Done> done;
  {
    std::lock_guard<std::mutex> lock(mu_);
    done.swap(done_);
  }
  for (Done& d : done) {
    auto it = clients_.find(d.connection_id);
    if (it == clients_.end()) continue;
    Client& client = *it->second;
    client.connection.Complete(d.call, d.response);
    client.last_activity = GetTickCount();
    if (client.fd_closed) {
      // The peer left while its call ran: now it can go.
      CloseClient(d.connection_id);
      continue;
    }
    Schedule(client);
    Flush(client);
  }
}

void Listener::Flush(Client& client) {
  std::vector<uint8_t>& out = client.connection.output();
  while (client.sent < out.size()) {
    ssize_t n = send(client.fd, out.data() + client.sent,
                     out.size() - client.sent, MSG_NOSIGNAL);
    if (n > 0) {
      client.sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    CloseClient(client.connection.id());
    return;
  }
  if (client.sent == out.size()) {
    out.clear();
    client.sent = 0;
  }
  bool closing = client.connection.closing();
  if (closing && out.empty()) {
    CloseClient(client.connection.id());
    return;
  }
  if (closing && client.closing_since == 0) {
    client.closing_since = GetTickCount() | 1;
  }
  UpdateEvents(client);
}

void Listener::UpdateEvents(Client& client) {
  bool want_write = !client.connection.output().empty();
  if (want_write == client.writing) return;
  epoll_event e = {};
  e.events = want_write ? (EPOLLIN | EPOLLOUT) : EPOLLIN;
  e.data.u64 = client.connection.id();
  epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, client.fd, &e);
  client.writing = want_write;
}

void Listener::CloseClient(uint64_t id) {
  auto it = clients_.find(id);
  if (it == clients_.end()) return;
  Client& client = *it->second;
  if (!client.fd_closed) {
    // Counted down before the peer can see the close.
    --connection_count_;
    if (--per_peer_[client.peer] == 0) per_peer_.erase(client.peer);
    epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, client.fd, nullptr);
    close(client.fd);
    client.fd_closed = true;
  }
  // A call still running keeps the record until it completes.
  if (client.connection.call_running()) return;
  config_->dispatcher->ConnectionClosed(id);
  clients_.erase(it);
}

void Listener::CheckDeadlines() {
  const Limits& l = config_->limits;
  uint32_t now = GetTickCount();
  // A few times a second is enough, however busy the connections are.
  if (checked_once_ && now - last_check_ < kTickMs / 2) return;
  last_check_ = now;
  checked_once_ = true;
  std::vector<uint64_t> expired;
  for (auto& [id, c] : clients_) {
    if (c->fd_closed) continue;
    const char* why = nullptr;
    if (c->partial && now - c->partial_since >= l.pdu_deadline_ms) {
      why = "a PDU did not arrive in time";
    } else if (!c->connection.bound() &&
               now - c->accepted >= l.bind_deadline_ms) {
      why = "no bind in time";
    } else if (!c->connection.call_running() &&
               now - c->last_activity >= l.idle_timeout_ms) {
      why = "idle";
    } else if (c->closing_since != 0 &&
               now - c->closing_since >= l.pdu_deadline_ms) {
      why = "the peer does not read";
    }
    if (why) {
      log::Logf(log::Level::kInfo, "rpc", "closing connection %llu from %s: %s",
                static_cast<unsigned long long>(id), c->peer.c_str(), why);
      expired.push_back(id);
    }
  }
  for (uint64_t id : expired) CloseClient(id);
}

}  // namespace kavex::rpc
