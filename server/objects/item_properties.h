// The server object's IOPCItemProperties and GetErrorString, as functions of
// the device the server object is bound to. Item-property calls go to the
// device on the calling thread and take no server lock.
//
// Every item-property call first asks the device's GetItemProperties for the
// item; its failure is the call's result (an unknown item fails as a whole,
// not per property). The server offers the six standard properties:
//   1 "Item Canonical DataType" VT_I2   the device's canonical VARTYPE
//   2 "Item Value"   canonical type     a device Read (its failure is the
//                                       entry's error, the value VT_EMPTY)
//   3 "Item Quality"            VT_I2   a fresh device Read: 0xC0 when it
//                                       succeeds, 0x00 when not; entry S_OK
//   4 "Item Timestamp"          VT_DATE the UTC time of the call
//   5 "Item Access Rights"      VT_I4   the device's access rights
//   6 "Server Scan Rate"        VT_R4   100.0
//
// Arrays and strings handed out come from the task allocator and belong to
// the caller. On failure every output is null (and the count 0). Null
// outputs, and a zero count where IDs are asked for, are E_INVALIDARG.
#ifndef KAVEX_SERVER_OBJECTS_ITEM_PROPERTIES_H_
#define KAVEX_SERVER_OBJECTS_ITEM_PROPERTIES_H_

#include "platform/base/types.h"
#include "platform/com/variant.h"
#include "server/contract/device_interfaces.h"

namespace kavex::server {

inline constexpr DWORD kStandardPropertyCount = 6;
inline constexpr float kServerScanRate = 100.0f;

// Count 6, the IDs 1 to 6, copies of their descriptions and their types.
HRESULT QueryAvailableProperties(IKavexOPCDevice* device,
                                 const void* trace_object, LPWSTR item_id,
                                 DWORD* count, DWORD** property_ids,
                                 LPWSTR** descriptions, VARTYPE** data_types);

// One value and one result per requested ID, in request order; an ID outside
// 1 to 6 gives VT_EMPTY and OPC_E_INVALID_PID. S_FALSE when any entry failed.
HRESULT GetItemProperties(IKavexOPCDevice* device, const void* trace_object,
                          LPWSTR item_id, DWORD count, DWORD* property_ids,
                          VARIANT** data, HRESULT** errors);

// No property maps to another item: every entry is a null string with
// OPC_E_INVALID_PID, and the result is S_FALSE.
HRESULT LookupItemIDs(IKavexOPCDevice* device, const void* trace_object,
                      LPWSTR item_id, DWORD count, DWORD* property_ids,
                      LPWSTR** new_item_ids, HRESULT** errors);

// A task-allocated copy of the code's English text ("General error." for any
// code without one); the locale is ignored.
HRESULT GetErrorString(const void* trace_object, HRESULT error, LCID locale,
                       LPWSTR* text);

}  // namespace kavex::server

#endif  // KAVEX_SERVER_OBJECTS_ITEM_PROPERTIES_H_
