// The scripted packet driver of the driver library's tests, under the name
// the device's tests use.
#ifndef KAVEX_DEVICE_TESTING_SCRIPTED_PACKET_DRIVER_H_
#define KAVEX_DEVICE_TESTING_SCRIPTED_PACKET_DRIVER_H_

#include "device/packet_driver.h"
#include "platform/pkio/testing/scripted_packet_driver.h"

namespace kavex::device {

using pkio::testing::ScriptedPacketDriver;

}  // namespace kavex::device

#endif  // KAVEX_DEVICE_TESTING_SCRIPTED_PACKET_DRIVER_H_
