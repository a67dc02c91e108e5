// Connection points: outgoing interfaces of an object. An object offers them
// by listing ConnectionPointContainerImpl among its interfaces and adding one
// ConnectionPoint per outgoing interface in its constructor:
//
//   class CDevice : public ComObject<CDevice, IKavexOPCDevice,
//                                    ConnectionPointContainerImpl> {
//     CDevice() { events_ = AddConnectionPoint(IID__IKavexOPCDeviceEvents); }
//     ConnectionPoint* events_;
//   };
//   for (auto& sink : events_->Sinks<_IKavexOPCDeviceEvents>())
//   sink->Change(...);
//
// A connection point is part of its container: its AddRef and Release are
// the container's, so a client holding the point keeps the container alive
// and the container never keeps itself alive through its points.
#ifndef KAVEX_PLATFORM_COM_CONNECTION_POINT_H_
#define KAVEX_PLATFORM_COM_CONNECTION_POINT_H_

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/com/com_ptr.h"
#include "platform/com/enumerators.h"
#include "platform/com/unknown.h"

struct IConnectionPoint;
struct IConnectionPointContainer;

struct CONNECTDATA {
  IUnknown* pUnk;
  DWORD dwCookie;
};

struct IEnumConnections : IUnknown {
  virtual HRESULT Next(ULONG celt, CONNECTDATA* elements, ULONG* fetched) = 0;
  virtual HRESULT Skip(ULONG celt) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(IEnumConnections** clone) = 0;
};
KAVEX_DECLARE_IID(IEnumConnections, "{B196B287-BAB4-101A-B69C-00AA00341D07}");

struct IEnumConnectionPoints : IUnknown {
  virtual HRESULT Next(ULONG celt, IConnectionPoint** elements,
                       ULONG* fetched) = 0;
  virtual HRESULT Skip(ULONG celt) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(IEnumConnectionPoints** clone) = 0;
};
KAVEX_DECLARE_IID(IEnumConnectionPoints,
                  "{B196B285-BAB4-101A-B69C-00AA00341D07}");

struct IConnectionPoint : IUnknown {
  virtual HRESULT GetConnectionInterface(IID* iid) = 0;
  virtual HRESULT GetConnectionPointContainer(
      IConnectionPointContainer** container) = 0;
  virtual HRESULT Advise(IUnknown* sink, DWORD* cookie) = 0;
  virtual HRESULT Unadvise(DWORD cookie) = 0;
  virtual HRESULT EnumConnections(IEnumConnections** connections) = 0;
};
KAVEX_DECLARE_IID(IConnectionPoint, "{B196B286-BAB4-101A-B69C-00AA00341D07}");

struct IConnectionPointContainer : IUnknown {
  virtual HRESULT EnumConnectionPoints(IEnumConnectionPoints** points) = 0;
  virtual HRESULT FindConnectionPoint(REFIID iid, IConnectionPoint** point) = 0;
};
KAVEX_DECLARE_IID(IConnectionPointContainer,
                  "{B196B284-BAB4-101A-B69C-00AA00341D07}");

namespace kavex::com {

// One outgoing interface. Cookies count from 1; Advise keeps the sink's
// pointer for the point's interface; every method is thread-safe and sinks
// are called on snapshots, never under the point's lock.
class ConnectionPoint final : public IConnectionPoint {
 public:
  ConnectionPoint(IConnectionPointContainer* container, REFIID iid);
  ~ConnectionPoint() override;
  ConnectionPoint(const ConnectionPoint&) = delete;
  ConnectionPoint& operator=(const ConnectionPoint&) = delete;

  HRESULT QueryInterface(REFIID iid, void** out) override;
  ULONG AddRef() override;
  ULONG Release() override;
  HRESULT GetConnectionInterface(IID* iid) override;
  HRESULT GetConnectionPointContainer(
      IConnectionPointContainer** container) override;
  // CONNECT_E_CANNOTCONNECT when the sink lacks the point's interface.
  HRESULT Advise(IUnknown* sink, DWORD* cookie) override;
  // CONNECT_E_NOCONNECTION for a cookie that is not connected.
  HRESULT Unadvise(DWORD cookie) override;
  HRESULT EnumConnections(IEnumConnections** connections) override;

  const IID& Iid() const { return iid_; }
  // Called after each successful Advise, outside the lock (for objects that
  // send initial data to a new subscriber).
  void SetOnAdvise(std::function<void(DWORD cookie)> on_advise);
  // The connected sinks now, as the point's interface.
  template <class I>
  std::vector<ComPtr<I>> Sinks() const {
    std::vector<ComPtr<I>> out;
    for (auto& [cookie, sink] : Snapshot())
      out.emplace_back(reinterpret_cast<I*>(sink.Get()));
    return out;
  }
  // The sink of one connection, or null.
  ComPtr<IUnknown> Sink(DWORD cookie) const;
  size_t ConnectionCount() const;
  // Drops every connection (the container is going away).
  void DisconnectAll();

 private:
  std::vector<std::pair<DWORD, ComPtr<IUnknown>>> Snapshot() const;

  IConnectionPointContainer* const container_;  // owns this point
  const IID iid_;
  mutable std::mutex mu_;
  std::map<DWORD, ComPtr<IUnknown>> sinks_;
  DWORD next_cookie_ = 1;
  std::function<void(DWORD)> on_advise_;
};

// IConnectionPointContainer over the points an object adds.
class ConnectionPointContainerImpl : public IConnectionPointContainer {
 public:
  HRESULT EnumConnectionPoints(IEnumConnectionPoints** points) override;
  // CONNECT_E_NOCONNECTION when the object has no point for `iid`.
  HRESULT FindConnectionPoint(REFIID iid, IConnectionPoint** point) override;

 protected:
  ConnectionPointContainerImpl() = default;
  ~ConnectionPointContainerImpl() override = default;
  // The point lives as long as the object; call from the constructor only.
  ConnectionPoint* AddConnectionPoint(REFIID iid);

 private:
  std::vector<std::unique_ptr<ConnectionPoint>> points_;
};
// Listed in ComObject's interfaces, the implementation answers for
// IConnectionPointContainer.
constexpr const IID& KavexInterfaceIid(
    InterfaceTag<ConnectionPointContainerImpl>) {
  return IID_IConnectionPointContainer;
}

}  // namespace kavex::com

#endif  // KAVEX_PLATFORM_COM_CONNECTION_POINT_H_
