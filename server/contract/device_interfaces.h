// The contract between the OPC server and its device plug-in: the interfaces
// both sides implement or call, and the identities they are registered under.
// The server knows nothing about switches; every item comes from the device.
#ifndef KAVEX_SERVER_CONTRACT_DEVICE_INTERFACES_H_
#define KAVEX_SERVER_CONTRACT_DEVICE_INTERFACES_H_

#include "platform/com/guid.h"
#include "platform/com/unknown.h"
#include "platform/com/variant.h"

// Implemented by the device: item list, path delimiter, item properties,
// read, write. Item IDs are BSTRs, values VARIANTs in the item's canonical
// type, item lists VT_ARRAY|VT_BSTR with lower bound 0.
struct IKavexOPCDevice : IUnknown {
  virtual HRESULT get_ItemIDs(VARIANT* pVal) = 0;
  virtual HRESULT get_PathDelimiter(BSTR* pVal) = 0;
  virtual HRESULT GetItemProperties(BSTR sItemID, USHORT* vtDataType,
                                    ULONG* dwAccessRights) = 0;
  virtual HRESULT Read(BSTR sItemID, VARIANT* vValue) = 0;
  virtual HRESULT Write(BSTR sItemID, VARIANT vValue) = 0;
};
KAVEX_DECLARE_IID(IKavexOPCDevice, "{67A0279B-3337-4BC2-AA79-56C802EAA72F}");

// Offered by a device in the server's process besides IKavexOPCDevice, and
// asked for with QueryInterface: many reads in one call, for the update
// tick and reads of many items. It is never marshalled; a device without
// it is read one item at a time.
//
// ReadItems reads item psItemIDs[i] into pvValues[i] and its result into
// phrResults[i] for i < dwCount, each exactly as Read would answer it. The
// values are in-out: each holds a value the caller owns (VT_EMPTY, or one
// an earlier ReadItems gave it), which the device may reuse or frees; a
// text of the same length may be written into the string it holds. On a
// failed result the value is left VT_EMPTY. E_POINTER when an array is
// null while dwCount is not 0; otherwise S_OK, whatever the items' results.
struct _IKavexOPCDeviceReads : IUnknown {
  virtual HRESULT ReadItems(DWORD dwCount, BSTR* psItemIDs, VARIANT* pvValues,
                            HRESULT* phrResults) = 0;
};
KAVEX_DECLARE_IID(_IKavexOPCDeviceReads,
                  "{84FEF1BB-2F59-4DA2-AE8B-47AE8BCF75EC}");

// The device's outgoing interface, offered as a connection point: pushed
// value changes and item-list changes.
struct _IKavexOPCDeviceEvents : IUnknown {
  virtual HRESULT Change(BSTR sItemID, VARIANT vValue) = 0;
  virtual HRESULT AddItemIDs(VARIANT vItemIDs) = 0;
  virtual HRESULT RemoveItemIDs(VARIANT vItemIDs) = 0;
  virtual HRESULT RefreshItemIDs(VARIANT vItemIDs) = 0;
};
KAVEX_DECLARE_IID(_IKavexOPCDeviceEvents,
                  "{9B739684-14D2-447F-865E-28E21576139A}");

// Implemented by the server object: the two entry points of its worker
// threads, and the device it is bound to.
struct _IKavexOPCServer : IUnknown {
  virtual HRESULT Update() = 0;
  virtual HRESULT ProcessAsyncRequest() = 0;
  virtual HRESULT get_Device(IUnknown** pVal) = 0;
};
KAVEX_DECLARE_IID(_IKavexOPCServer, "{3A041F1F-A2AC-4453-A057-829C89692083}");

// Implemented by the server's callback object, which sits between a server
// object, its worker threads and the device's connection point.
struct _IServerCallback : IUnknown {
  virtual HRESULT Advise(IUnknown* pIUnknown, IKavexOPCDevice* pIDevice) = 0;
  virtual HRESULT Unadvise() = 0;
};
KAVEX_DECLARE_IID(_IServerCallback, "{F9B424D4-51A1-40E0-8EB1-1B9097AF9811}");

// Identities that clients, installation and the registry use.
inline constexpr GUID LIBID_KavexOPCDeviceLib =
    kavex::com::GuidLiteral("{9815A65A-DD46-44B9-A088-819C3D10C058}");
inline constexpr CLSID CLSID_Device =
    kavex::com::GuidLiteral("{1A23B247-C9CF-43F5-A7AE-6B1FF4BDB52A}");
inline constexpr GUID APPID_KavexOPCDevice =
    kavex::com::GuidLiteral("{43F6BC7B-7CD0-464C-BBAD-5B25A5E89027}");
inline constexpr GUID LIBID_KavexOPCServerLib =
    kavex::com::GuidLiteral("{343C5F9C-35D1-4F4B-A04B-BF246FA1A19C}");
inline constexpr CLSID CLSID_ServerCallback =
    kavex::com::GuidLiteral("{24919A8D-2502-49CA-B37B-C348EE6E708C}");

namespace kavex::server {

inline constexpr char kDeviceProgId[] = "KavexOPCDevice.Device";
inline constexpr char kDeviceProgIdVersioned[] = "KavexOPCDevice.Device.1";

}  // namespace kavex::server

#endif  // KAVEX_SERVER_CONTRACT_DEVICE_INTERFACES_H_
