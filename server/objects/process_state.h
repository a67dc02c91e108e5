// What the server process holds for all its server objects: the device
// plug-in, created once by ProgID "KavexOPCDevice.Device" and kept until
// the process ends, and the time the process started serving, which every
// server object reports as its start time.
//
// The server program creates the device before it registers its class
// objects; tests set a device of their own.
#ifndef KAVEX_SERVER_OBJECTS_PROCESS_STATE_H_
#define KAVEX_SERVER_OBJECTS_PROCESS_STATE_H_

#include "platform/base/types.h"
#include "platform/com/com_ptr.h"
#include "server/contract/device_interfaces.h"

namespace kavex::server {

// Resolves "KavexOPCDevice.Device" and creates the device in any class
// context, asking for IKavexOPCDevice, into the process's slot. The
// failing call's HRESULT otherwise (the slot stays as it was).
HRESULT CreateProcessDevice();
// The process's device, or null before it is created.
com::ComPtr<IKavexOPCDevice> ProcessDevice();
// Replaces the device (null empties the slot, releasing the device).
void SetProcessDevice(IKavexOPCDevice* device);

// UTC time the process started serving; zero until recorded.
FILETIME ServerStartTime();
// Records the current UTC time as the start time.
void RecordServerStartTime();

}  // namespace kavex::server

#endif  // KAVEX_SERVER_OBJECTS_PROCESS_STATE_H_
