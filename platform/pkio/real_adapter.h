// Adapters on the machine's Ethernet interfaces: a packet socket with a
// TPACKET_V3 receive ring. The socket is bound to the interface with
// protocol 0 (receiving nothing) until the packet filter is set, so a filter
// program set right after opening applies to every frame delivered.
//
// Link loss: when the interface goes down the socket reports an error
// (ENETDOWN, ENXIO); the adapter takes it, says so once in the log, and
// looks at the interface a few times a second instead of polling the socket
// in a loop. When the link is up again, or an interface of the same name
// appears (a new interface index after it was deleted and created again),
// the socket is bound to it again and capture goes on; that is logged too.
// Posted reads stay posted all along.
#ifndef KAVEX_PLATFORM_PKIO_REAL_ADAPTER_H_
#define KAVEX_PLATFORM_PKIO_REAL_ADAPTER_H_

#include <memory>
#include <string>

#include "platform/pkio/adapter.h"

namespace kavex::pkio {

struct FrameSourceType;

// The source of "\Device\<ifname>": the Ethernet interfaces of the calling
// thread's network namespace, by interface index. Opening fails with
// ERROR_ACCESS_DENIED without CAP_NET_RAW and ERROR_FILE_NOT_FOUND for an
// unknown interface.
const FrameSourceType* EthernetFrameSource();

// The interface's driver ("virtio_net", "veth"); "Ethernet" when unknown.
std::string InterfaceDriverName(const std::string& ifname);

}  // namespace kavex::pkio

#endif  // KAVEX_PLATFORM_PKIO_REAL_ADAPTER_H_
