#include "server/objects/server_callback.h"

#include "server/objects/com_error.h"

namespace kavex::server {
namespace {

// The callback whose forwarded call the current thread is inside, so that
// a wait for idleness from inside that call does not wait for itself.
thread_local const CServerCallback* forwarding_callback = nullptr;

}  // namespace

HRESULT CServerCallback::Advise(IUnknown* pIUnknown,
                                IKavexOPCDevice* pIDevice) {
  return InterfaceCall(IID__IServerCallback, u"CServerCallback::Advise", [&] {
    if (pIUnknown == nullptr || pIDevice == nullptr) ThrowHr(E_POINTER);
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (server_ != nullptr || device_point_) ThrowHr(E_UNEXPECTED);
    }
    // Kept without references: the server owns this object.
    _IKavexOPCDeviceEvents* events = nullptr;
    ThrowIfFailed(pIUnknown->QueryInterface(&events));
    if (events == nullptr) ThrowHr(E_POINTER);
    events->Release();
    _IKavexOPCServer* server = nullptr;
    ThrowIfFailed(pIUnknown->QueryInterface(&server));
    if (server == nullptr) ThrowHr(E_POINTER);
    server->Release();

    com::ComPtr<IConnectionPointContainer> container;
    ThrowIfFailed(pIDevice->QueryInterface(container.GetAddressOf()));
    if (!container) ThrowHr(E_POINTER);
    com::ComPtr<IConnectionPoint> point;
    ThrowIfFailed(container->FindConnectionPoint(IID__IKavexOPCDeviceEvents,
                                                 point.GetAddressOf()));
    if (!point) ThrowHr(E_POINTER);
    // Set before subscribing: the device may fire at once.
    {
      std::lock_guard<std::mutex> lock(mu_);
      server_ = server;
      server_events_ = events;
      device_ = pIDevice;
    }
    DWORD cookie = 0;
    const HRESULT hr =
        point->Advise(static_cast<_IKavexOPCDeviceEvents*>(this), &cookie);
    std::lock_guard<std::mutex> lock(mu_);
    if (FAILED(hr)) {
      server_ = nullptr;
      server_events_ = nullptr;
      device_ = nullptr;
      ThrowHr(hr);
    }
    device_point_ = std::move(point);
    cookie_ = cookie;
    return S_OK;
  });
}

HRESULT CServerCallback::Unadvise() {
  com::ComPtr<IConnectionPoint> point;
  DWORD cookie = 0;
  {
    std::lock_guard<std::mutex> lock(mu_);
    server_ = nullptr;
    server_events_ = nullptr;
    device_ = nullptr;
    point = std::move(device_point_);
    cookie = cookie_;
    cookie_ = 0;
  }
  // Leaving the device's point drops its reference on this object; the
  // device lives for the process and would otherwise keep every callback
  // of every server object it ever served.
  if (point) point->Unadvise(cookie);
  return S_OK;
}

template <class Call>
HRESULT CServerCallback::Forward(Call&& call) {
  std::unique_lock<std::mutex> lock(mu_);
  if (server_ == nullptr) return S_OK;
  _IKavexOPCServer* server = server_;
  _IKavexOPCDeviceEvents* events = server_events_;
  ++calls_;
  lock.unlock();
  const CServerCallback* outer = forwarding_callback;
  forwarding_callback = this;
  const HRESULT hr = call(server, events);
  forwarding_callback = outer;
  lock.lock();
  if (--calls_ == 0) idle_.notify_all();
  return hr;
}

void CServerCallback::WaitUntilIdle() {
  const int own = forwarding_callback == this ? 1 : 0;
  std::unique_lock<std::mutex> lock(mu_);
  idle_.wait(lock, [&] { return calls_ <= own; });
}

HRESULT CServerCallback::Change(BSTR sItemID, VARIANT vValue) {
  return Forward([&](_IKavexOPCServer*, _IKavexOPCDeviceEvents* events) {
    return events->Change(sItemID, vValue);
  });
}

HRESULT CServerCallback::AddItemIDs(VARIANT) { return S_OK; }
HRESULT CServerCallback::RemoveItemIDs(VARIANT) { return S_OK; }
HRESULT CServerCallback::RefreshItemIDs(VARIANT) { return S_OK; }

HRESULT CServerCallback::Update() {
  return Forward([](_IKavexOPCServer* server, _IKavexOPCDeviceEvents*) {
    return server->Update();
  });
}

HRESULT CServerCallback::ProcessAsyncRequest() {
  return Forward([](_IKavexOPCServer* server, _IKavexOPCDeviceEvents*) {
    return server->ProcessAsyncRequest();
  });
}

HRESULT CServerCallback::get_Device(IUnknown** pVal) {
  if (pVal != nullptr) *pVal = nullptr;
  return E_FAIL;
}

}  // namespace kavex::server
