// The way from a group back to the server object that created it. A group
// holds its server without a reference (the server holds the group), and
// a client may keep a group after releasing the server: the link then
// answers E_FAIL instead of reaching a freed server. The server detaches
// the link as it goes, after the calls running through it have returned.
#ifndef KAVEX_SERVER_OBJECTS_GROUP_OWNER_H_
#define KAVEX_SERVER_OBJECTS_GROUP_OWNER_H_

#include <mutex>
#include <shared_mutex>

#include "platform/base/results.h"

namespace kavex::server {

class CServer;

class GroupOwner {
 public:
  explicit GroupOwner(CServer* server) : server_(server) {}
  GroupOwner(const GroupOwner&) = delete;
  GroupOwner& operator=(const GroupOwner&) = delete;

  // fn(CServer&) while the server lives, else E_FAIL. Calls through the
  // link run in parallel; the caller holds none of its group's locks.
  template <class Fn>
  HRESULT WithServer(Fn&& fn) {
    std::shared_lock<std::shared_mutex> lock(mu_);
    if (server_ == nullptr) return E_FAIL;
    return fn(*server_);
  }

  // Called by the server as it goes, holding none of its locks: waits for
  // the calls running through the link, then cuts it.
  void Detach() {
    std::unique_lock<std::shared_mutex> lock(mu_);
    server_ = nullptr;
  }

 private:
  std::shared_mutex mu_;
  CServer* server_;  // not owned
};

}  // namespace kavex::server

#endif  // KAVEX_SERVER_OBJECTS_GROUP_OWNER_H_
