// The TCP listener: one thread multiplexes every connection with epoll on
// non-blocking sockets, and a few workers run the calls, so a slow call or
// a slow client never holds up the others.
//
// Limits (Limits in connection.h): connections in total and per peer
// address (the surplus is accepted and closed at once), a deadline for
// each PDU begun (a client trickling bytes is dropped), a deadline to bind,
// an idle time-out, and a bound on replies the peer does not read. The
// deadlines run on the installed clock (GetTickCount), checked a few times
// a second.
#ifndef KAVEX_PLATFORM_RPC_LISTENER_H_
#define KAVEX_PLATFORM_RPC_LISTENER_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/base/types.h"
#include "platform/rpc/connection.h"

namespace kavex::rpc {

struct ListenerOptions {
  // Loopback unless configured otherwise.
  std::string address = "127.0.0.1";
  uint16_t port = 0;  // 0: a free port (see Listener::port())
  // A listening socket handed over (systemd socket activation); when set,
  // address and port are not used and the listener owns the descriptor
  // (closed by Stop, or by Start when it refuses it). It must be a
  // listening IPv4 TCP socket: Start refuses anything else with
  // ERROR_INVALID_HANDLE.
  int listen_fd = -1;
  size_t workers = 2;
};

class Listener {
 public:
  // `config` must outlive the listener; its dispatcher is called from the
  // workers.
  Listener(ListenerOptions options, const ConnectionConfig* config);
  ~Listener();  // stops
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // Binds and starts the threads: ERROR_SUCCESS, or the Win32 form of the
  // socket error (ERROR_ACCESS_DENIED for a privileged port, ...).
  DWORD Start();
  // Closes every connection and joins the threads (idempotent).
  void Stop();

  uint16_t port() const { return port_; }
  // Connections open now (thread-safe).
  size_t connection_count() const { return connection_count_.load(); }
  // Connections accepted and then refused for a limit, since Start.
  size_t refused_count() const { return refused_count_.load(); }

 private:
  struct Client;
  struct Job {
    uint64_t connection_id;
    PendingCall call;
    SecurityContext security;
    uint32_t assoc_group_id;
  };
  struct Done {
    uint64_t connection_id;
    PendingCall call;
    CallResponse response;
  };

  void Loop();
  void Work();
  void Accept();
  void ReadFrom(Client& client);
  void Flush(Client& client);
  void Schedule(Client& client);
  void CheckDeadlines();
  void CloseClient(uint64_t id);
  void UpdateEvents(Client& client);
  void TakeCompletions();

  ListenerOptions options_;
  const ConnectionConfig* config_;
  int listen_fd_ = -1;
  int epoll_fd_ = -1;
  int wake_fd_ = -1;  // eventfd: completions and Stop
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread loop_;
  std::vector<std::thread> workers_;
  std::atomic<size_t> connection_count_{0};
  std::atomic<size_t> refused_count_{0};
  uint64_t next_id_ = 1;
  uint32_t last_check_ = 0;  // tick of the last deadline check
  bool checked_once_ = false;

  // Owned by the loop thread.
  std::map<uint64_t, std::unique_ptr<Client>> clients_;
  std::map<std::string, size_t> per_peer_;

  std::mutex mu_;
  std::condition_variable work_cv_;
  std::deque<Job> jobs_;   // guarded by mu_
  std::deque<Done> done_;  // guarded by mu_
};

}  // namespace kavex::rpc

#endif  // KAVEX_PLATFORM_RPC_LISTENER_H_
