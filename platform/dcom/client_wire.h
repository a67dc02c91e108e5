// The client's side of the DCOM service calls: the requests our client
// sends to IActivation::RemoteActivation, IRemUnknown (RemQueryInterface,
// RemRelease) and the OXID resolver's pings, and the parsing of the
// replies.
//
// Replies come from the network: every count, referent and OBJREF is
// checked against the bytes present and against what was asked; a
// malformed reply gives false, never a read past its end.
#ifndef KAVEX_PLATFORM_DCOM_CLIENT_WIRE_H_
#define KAVEX_PLATFORM_DCOM_CLIENT_WIRE_H_

#include <cstdint>
#include <span>
#include <vector>

#include "platform/base/results.h"
#include "platform/base/types.h"
#include "platform/dcom/objref.h"

namespace kavex::dcom {

// IActivation::RemoteActivation (opnum 0) for `iids` of `clsid`, asking
// for ncacn_ip_tcp bindings.
std::vector<uint8_t> EncodeRemoteActivation(REFCLSID clsid,
                                            std::span<const IID> iids);

struct RemoteActivationReply {
  Oxid oxid = 0;
  DualStringArray bindings;
  Ipid rem_unknown = {};
  uint16_t com_major = 0;
  uint16_t com_minor = 0;
  HRESULT hr = E_FAIL;
  std::vector<HRESULT> results;  // one per IID asked for
  std::vector<Objref> objrefs;   // default (zero IPID) where results failed
};
// Parses the reply to a request for `count` interfaces. A failed
// activation (hr a failure, no interfaces) parses too.
bool ParseRemoteActivationReply(std::span<const uint8_t> stub, size_t count,
                                RemoteActivationReply* reply);

// IRemUnknown::RemQueryInterface (opnum 3) on `ipid` for `iids`, asking
// for `public_refs` references each.
std::vector<uint8_t> EncodeRemQueryInterface(const Ipid& ipid,
                                             uint32_t public_refs,
                                             std::span<const IID> iids);
struct RemQiResult {
  HRESULT hr = E_FAIL;
  StdObjref std;
};
// *results gets one entry per IID asked for (`count`); *hr the call's.
bool ParseRemQueryInterfaceReply(std::span<const uint8_t> stub, size_t count,
                                 std::vector<RemQiResult>* results,
                                 HRESULT* hr);

struct RemInterfaceRef {
  Ipid ipid = {};
  uint32_t public_refs = 0;
};
// IRemUnknown::RemRelease (opnum 5) of the references in `refs`.
std::vector<uint8_t> EncodeRemRelease(std::span<const RemInterfaceRef> refs);
// The call's HRESULT (S_FALSE: some IPID was not known).
bool ParseRemReleaseReply(std::span<const uint8_t> stub, HRESULT* hr);

// IObjectExporter::ComplexPing (opnum 2): set 0 makes a new set.
std::vector<uint8_t> EncodeComplexPing(uint64_t set, uint16_t sequence,
                                       std::span<const Oid> add,
                                       std::span<const Oid> remove);
// *set the set's id, *status 0 or an OR_* error.
bool ParseComplexPingReply(std::span<const uint8_t> stub, uint64_t* set,
                           uint32_t* status);
// IObjectExporter::SimplePing (opnum 1).
std::vector<uint8_t> EncodeSimplePing(uint64_t set);
bool ParseSimplePingReply(std::span<const uint8_t> stub, uint32_t* status);

// Splits a ncacn_ip_tcp network address "host[port]" into its parts; false
// for one without a port in brackets or with a port out of range.
bool ParseTcpBindingAddress(const std::u16string& address, std::string* host,
                            uint16_t* port);

}  // namespace kavex::dcom

#endif  // KAVEX_PLATFORM_DCOM_CLIENT_WIRE_H_
