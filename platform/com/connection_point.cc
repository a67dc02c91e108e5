#include "platform/com/connection_point.h"

#include <utility>

namespace kavex::com {
namespace {

struct Connection {
  ComPtr<IUnknown> sink;
  DWORD cookie;
};

struct CopyConnection {
  using Element = CONNECTDATA;
  using Stored = Connection;
  static HRESULT Copy(const Stored& from, Element* to) {
    to->pUnk = from.sink.Get();
    to->pUnk->AddRef();
    to->dwCookie = from.cookie;
    return S_OK;
  }
  static void Destroy(Element* e) {
    e->pUnk->Release();
    e->pUnk = nullptr;
  }
};

using CEnumConnections = Enumerator<IEnumConnections, CopyConnection>;
using CEnumConnectionPoints =
    Enumerator<IEnumConnectionPoints, CopyInterface<IConnectionPoint>>;

}  // namespace

ConnectionPoint::ConnectionPoint(IConnectionPointContainer* container,
                                 REFIID iid)
    : container_(container), iid_(iid) {}

ConnectionPoint::~ConnectionPoint() { DisconnectAll(); }

HRESULT ConnectionPoint::QueryInterface(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (iid != IID_IUnknown && iid != IID_IConnectionPoint) return E_NOINTERFACE;
  *out = static_cast<IConnectionPoint*>(this);
  AddRef();
  return S_OK;
}

ULONG ConnectionPoint::AddRef() { return container_->AddRef(); }

ULONG ConnectionPoint::Release() { return container_->Release(); }

HRESULT ConnectionPoint::GetConnectionInterface(IID* iid) {
  if (iid == nullptr) return E_POINTER;
  *iid = iid_;
  return S_OK;
}

HRESULT ConnectionPoint::GetConnectionPointContainer(
    IConnectionPointContainer** container) {
  if (container == nullptr) return E_POINTER;
  *container = container_;
  container_->AddRef();
  return S_OK;
}

HRESULT ConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
  if (cookie != nullptr) *cookie = 0;
  if (sink == nullptr || cookie == nullptr) return E_POINTER;
  ComPtr<IUnknown> typed;
  if (FAILED(sink->QueryInterface(
          iid_, reinterpret_cast<void**>(typed.GetAddressOf()))) ||
      !typed)
    return CONNECT_E_CANNOTCONNECT;
  std::function<void(DWORD)> on_advise;
  {
    std::lock_guard<std::mutex> lock(mu_);
    // After 2^32 - 1 connections the numbers wrap; 0 and numbers still in
    // use are never handed out.
    while (next_cookie_ == 0 || sinks_.count(next_cookie_) != 0) ++next_cookie_;
    *cookie = next_cookie_++;
    sinks_.emplace(*cookie, std::move(typed));
    on_advise = on_advise_;
  }
  if (on_advise) on_advise(*cookie);
  return S_OK;
}

HRESULT ConnectionPoint::Unadvise(DWORD cookie) {
  ComPtr<IUnknown> released;  // released after the lock: it may call back
  std::lock_guard<std::mutex> lock(mu_);
  auto it = sinks_.find(cookie);
  if (it == sinks_.end()) return CONNECT_E_NOCONNECTION;
  released = std::move(it->second);
  sinks_.erase(it);
  return S_OK;
}

HRESULT ConnectionPoint::EnumConnections(IEnumConnections** connections) {
  if (connections == nullptr) return E_POINTER;
  *connections = nullptr;
  std::vector<Connection> items;
  for (auto& [cookie, sink] : Snapshot())
    items.push_back(Connection{std::move(sink), cookie});
  return CEnumConnections::Create(std::move(items), connections);
}

void ConnectionPoint::SetOnAdvise(std::function<void(DWORD)> on_advise) {
  std::lock_guard<std::mutex> lock(mu_);
  on_advise_ = std::move(on_advise);
}

ComPtr<IUnknown> ConnectionPoint::Sink(DWORD cookie) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = sinks_.find(cookie);
  return it == sinks_.end() ? nullptr : it->second;
}

size_t ConnectionPoint::ConnectionCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return sinks_.size();
}

void ConnectionPoint::DisconnectAll() {
  std::map<DWORD, ComPtr<IUnknown>> released;
  {
    std::lock_guard<std::mutex> lock(mu_);
    released.swap(sinks_);
  }
}

std::vector<std::pair<DWORD, ComPtr<IUnknown>>> ConnectionPoint::Snapshot()
    const {
  std::lock_guard<std::mutex> lock(mu_);
  return {sinks_.begin(), sinks_.end()};
}

HRESULT ConnectionPointContainerImpl::EnumConnectionPoints(
    IEnumConnectionPoints** points) {
  if (points == nullptr) return E_POINTER;
  *points = nullptr;
  std::vector<ComPtr<IConnectionPoint>> items;
  for (auto& point : points_) items.emplace_back(point.get());
  return CEnumConnectionPoints::Create(std::move(items), points);
}

HRESULT ConnectionPointContainerImpl::FindConnectionPoint(
    REFIID iid, IConnectionPoint** point) {
  if (point == nullptr) return E_POINTER;
  *point = nullptr;
  for (auto& candidate : points_) {
    if (candidate->Iid() == iid) {
      *point = candidate.get();
      (*point)->AddRef();
      return S_OK;
    }
  }
  return CONNECT_E_NOCONNECTION;
}

ConnectionPoint* ConnectionPointContainerImpl::AddConnectionPoint(REFIID iid) {
  points_.push_back(std::make_unique<ConnectionPoint>(this, iid));
  return points_.back().get();
}

}  // namespace kavex::com
