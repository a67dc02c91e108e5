// CDevice: what the OPC server sees of the device plug-in. It names every
// value of the switch table as an item, gives each item's type and rights,
// and answers reads. All items are read-only.
//
// The object is free-threaded: the server calls it from any thread while the
// receive and timer threads write the table; reads copy under the table
// lock. It offers the _IKavexOPCDeviceEvents connection point for the
// server's subscription but never fires it: the server polls.
#ifndef KAVEX_DEVICE_DEVICE_OBJECT_H_
#define KAVEX_DEVICE_DEVICE_OBJECT_H_

#include <memory>

#include "device/item_namespace.h"
#include "device/switch_table.h"
#include "platform/com/com_object.h"
#include "platform/com/connection_point.h"
#include "server/contract/device_interfaces.h"

namespace kavex::device {

class CDevice
    : public com::ComObject<CDevice, IKavexOPCDevice, _IKavexOPCDeviceReads,
                            com::ConnectionPointContainerImpl> {
 public:
  // Construction starts the device (or joins the running one): without a
  // running device the object is not created and its creator gets E_FAIL.
  CDevice();
  // A device over a table of the caller's, for tests and benchmarks.
  explicit CDevice(std::shared_ptr<const SwitchTable> table);

  HRESULT FinalConstruct();
  void FinalRelease();

  // IKavexOPCDevice.
  HRESULT get_ItemIDs(VARIANT* pVal) override;
  HRESULT get_PathDelimiter(BSTR* pVal) override;
  HRESULT GetItemProperties(BSTR sItemID, USHORT* vtDataType,
                            ULONG* dwAccessRights) override;
  HRESULT Read(BSTR sItemID, VARIANT* vValue) override;
  HRESULT Write(BSTR sItemID, VARIANT vValue) override;

  // _IKavexOPCDeviceReads: many reads in one call, for the server in this
  // process.
  HRESULT ReadItems(DWORD dwCount, BSTR* psItemIDs, VARIANT* pvValues,
                    HRESULT* phrResults) override;

 private:
  // Keeps the running device (capture, timer) alive while this object
  // lives; when acquired it shares ownership with the runtime.
  std::shared_ptr<const SwitchTable> table_;
  std::unique_ptr<ItemNamespace> items_;  // over *table_
  com::ConnectionPoint* events_;          // owned by the container
};

}  // namespace kavex::device

#endif  // KAVEX_DEVICE_DEVICE_OBJECT_H_
