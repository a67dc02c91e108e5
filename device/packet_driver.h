// The device's calls into the driver library go through the library's own
// narrow interface (platform/pkio/packet_driver.h), so that tests can make
// any of them fail.
#ifndef KAVEX_DEVICE_PACKET_DRIVER_H_
#define KAVEX_DEVICE_PACKET_DRIVER_H_

#include "platform/pkio/packet_driver.h"

namespace kavex::device {

using pkio::PacketDriver;

// The driver library itself.
inline PacketDriver* PkioDriver() { return pkio::RealPacketDriver(); }

}  // namespace kavex::device

#endif  // KAVEX_DEVICE_PACKET_DRIVER_H_
