// ServerCallback: the object between a server object, its two worker
// threads and the device's connection point. The worker threads call only
// its Update and ProcessAsyncRequest, the device fires Change at it, and it
// forwards all three to the server object it was advised with.
//
// It holds the server without a reference (the server owns the callback,
// not the other way round) and the device without one (the server owns
// that reference too). Unadvise stops the forwarding and unsubscribes from
// the device; a call arriving later is accepted and dropped. Calls already
// forwarded are counted, so the server can wait for them to leave before
// its memory goes: a forwarded call never runs in a freed server.
#ifndef KAVEX_SERVER_OBJECTS_SERVER_CALLBACK_H_
#define KAVEX_SERVER_OBJECTS_SERVER_CALLBACK_H_

#include <condition_variable>
#include <mutex>

#include "platform/com/com_object.h"
#include "platform/com/com_ptr.h"
#include "platform/com/connection_point.h"
#include "server/contract/device_interfaces.h"

namespace kavex::server {

class CServerCallback
    : public com::ComObject<CServerCallback, _IServerCallback,
                            _IKavexOPCDeviceEvents, _IKavexOPCServer> {
 public:
  // _IServerCallback. Advise keeps `pIUnknown`'s _IKavexOPCDeviceEvents and
  // _IKavexOPCServer (without references) and subscribes to the device's
  // _IKavexOPCDeviceEvents connection point. E_POINTER for a null argument
  // or pointer handed back, E_UNEXPECTED when already advised, else the
  // failing step's result (nothing is kept then).
  HRESULT Advise(IUnknown* pIUnknown, IKavexOPCDevice* pIDevice) override;
  // Forgets the server and the device and leaves the device's connection
  // point. S_OK, also when not advised.
  HRESULT Unadvise() override;

  // _IKavexOPCDeviceEvents: Change goes to the server; the item-list
  // events are accepted and ignored (the browse tree is built once, from
  // the device's item list).
  HRESULT Change(BSTR sItemID, VARIANT vValue) override;
  HRESULT AddItemIDs(VARIANT vItemIDs) override;
  HRESULT RemoveItemIDs(VARIANT vItemIDs) override;
  HRESULT RefreshItemIDs(VARIANT vItemIDs) override;

  // _IKavexOPCServer: the two worker entry points go to the server (S_OK
  // without a server); the device is not the callback's to give: E_FAIL.
  HRESULT Update() override;
  HRESULT ProcessAsyncRequest() override;
  HRESULT get_Device(IUnknown** pVal) override;

  // Returns when no forwarded call is running in the server, except one
  // the calling thread itself is inside.
  void WaitUntilIdle();

 private:
  template <class Call>
  HRESULT Forward(Call&& call);

  std::mutex mu_;
  std::condition_variable idle_;
  _IKavexOPCServer* server_ = nullptr;               // not owned
  _IKavexOPCDeviceEvents* server_events_ = nullptr;  // not owned
  IKavexOPCDevice* device_ = nullptr;                // not owned
  int calls_ = 0;  // forwarded calls running in the server
  com::ComPtr<IConnectionPoint> device_point_;
  DWORD cookie_ = 0;
};

}  // namespace kavex::server

#endif  // KAVEX_SERVER_OBJECTS_SERVER_CALLBACK_H_
