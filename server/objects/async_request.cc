#include "server/objects/async_request.h"

#include <algorithm>

namespace kavex::server {

void RequestQueue::Push(std::unique_ptr<AsyncRequest> request) {
  std::lock_guard<std::mutex> lock(mu_);
  requests_.push_back(std::move(request));
}

std::unique_ptr<AsyncRequest> RequestQueue::Pop() {
  std::lock_guard<std::mutex> lock(mu_);
  if (requests_.empty()) return nullptr;
  std::unique_ptr<AsyncRequest> front = std::move(requests_.front());
  requests_.pop_front();
  return front;
}

bool RequestQueue::Cancel(DWORD transaction) {
  std::unique_ptr<AsyncRequest> cancelled;  // freed outside the lock
  std::lock_guard<std::mutex> lock(mu_);
  auto it = std::find_if(requests_.begin(), requests_.end(),
                         [&](const std::unique_ptr<AsyncRequest>& r) {
                           return r->transaction == transaction;
                         });
  if (it == requests_.end()) return false;
  cancelled = std::move(*it);
  requests_.erase(it);
  return true;
}

size_t RequestQueue::size() const {
  std::lock_guard<std::mutex> lock(mu_);
  return requests_.size();
}

void RequestQueue::Clear() {
  std::deque<std::unique_ptr<AsyncRequest>> dropped;
  std::lock_guard<std::mutex> lock(mu_);
  dropped.swap(requests_);
}

}  // namespace kavex::server
