// Where the server program listens for DCOM clients, from values under
// HKCR\AppID\{AppID} (the server's AppID):
//
//   "ListenAddress"      REG_SZ, a dotted IPv4 address to bind both ports
//                        to; default "127.0.0.1" (this machine only);
//                        "0.0.0.0" opens them to the LAN.
//   "ObjectPort"         REG_DWORD, or REG_SZ decimal; the port of the
//                        objects' calls, 1..65535 and not the activation
//                        port 135; default 4135.
//   "AdvertisedAddress"  REG_SZ, the host name or address the object
//                        references name, for clients that reach this
//                        machine by another name or behind an address
//                        translation; default: the listen address (the host
//                        name for 0.0.0.0).
//
// A value that is missing takes its default; a bad one is refused with a
// logged error naming it and the default is taken instead, so a typing
// slip never opens the server wider than the default.
#ifndef KAVEX_SERVER_PROGRAM_NETWORK_SETTINGS_H_
#define KAVEX_SERVER_PROGRAM_NETWORK_SETTINGS_H_

#include <cstdint>
#include <span>
#include <string>

#include "platform/base/types.h"

namespace kavex::server {

inline constexpr char kListenAddressValue[] = "ListenAddress";
inline constexpr char kObjectPortValue[] = "ObjectPort";
inline constexpr char kAdvertisedAddressValue[] = "AdvertisedAddress";
inline constexpr char kDefaultListenAddress[] = "127.0.0.1";
inline constexpr uint16_t kActivationPort = 135;
inline constexpr uint16_t kDefaultObjectPort = 4135;

struct NetworkSettings {
  std::string listen_address = kDefaultListenAddress;
  uint16_t activation_port = kActivationPort;
  uint16_t object_port = kDefaultObjectPort;
  std::string advertised_address;  // empty: the default above
};

// The settings from the registry; each refused value is logged (category
// "network") with its name, what was wrong and the default taken.
NetworkSettings ReadNetworkSettings();

// The checks behind it, one value each, on the value's registry type and
// bytes: true and the value, or false and *why in words.
bool ParseListenAddress(DWORD type, std::span<const uint8_t> data,
                        std::string* address, std::string* why);
bool ParseObjectPort(DWORD type, std::span<const uint8_t> data, uint16_t* port,
                     std::string* why);
bool ParseAdvertisedAddress(DWORD type, std::span<const uint8_t> data,
                            std::string* address, std::string* why);

}  // namespace kavex::server

#endif  // KAVEX_SERVER_PROGRAM_NETWORK_SETTINGS_H_
