// An adapter on one of the machine's Ethernet interfaces: a packet socket
// with a TPACKET_V3 receive ring. The socket is bound to the interface with
// protocol 0 (receiving nothing) until the packet filter is set, so a filter
// program set right after opening applies to every frame delivered.
#ifndef KAVEX_PLATFORM_PKIO_REAL_ADAPTER_H_
#define KAVEX_PLATFORM_PKIO_REAL_ADAPTER_H_

#include <memory>
#include <string>

#include "platform/pkio/adapter.h"

namespace kavex::pkio {

// Opens ifname; null with the error set (ERROR_ACCESS_DENIED without
// CAP_NET_RAW, ERROR_FILE_NOT_FOUND for an unknown interface).
std::unique_ptr<Adapter> OpenRealAdapter(Adapter::Mode mode,
                                         const std::string& ndis_name,
                                         const std::string& ifname);

// The interface's driver ("virtio_net", "veth"); "Ethernet" when unknown.
std::string InterfaceDriverName(const std::string& ifname);

}  // namespace kavex::pkio

#endif  // KAVEX_PLATFORM_PKIO_REAL_ADAPTER_H_
