// A test client's side of activation over the wire: the request of
// IActivation::RemoteActivation for a class and its interfaces, and the
// reply taken apart (OXID, bindings, IRemUnknown's IPID, an OBJREF and a
// result per interface). For tests of the DCOM host and of the programs
// that serve through it.
#ifndef KAVEX_PLATFORM_DCOM_TESTING_REMOTE_ACTIVATION_H_
#define KAVEX_PLATFORM_DCOM_TESTING_REMOTE_ACTIVATION_H_

#include <cstdint>
#include <span>
#include <vector>

#include "platform/dcom/objref.h"
#include "platform/dcom/orpc.h"
#include "platform/rpc/wire.h"

namespace kavex::dcom::testing {

inline std::vector<uint8_t> OrpcHeader() {
  std::vector<uint8_t> stub;
  rpc::WireWriter w(&stub);
  WriteOrpcThis({}, &w);
  return stub;
}

struct Activation {
  uint32_t fault = 0;
  HRESULT hr = E_FAIL;
  Oxid oxid = 0;
  Ipid rem_unknown = {};
  DualStringArray bindings;
  std::vector<HRESULT> results;
  std::vector<Objref> objrefs;
};

inline std::vector<uint8_t> ActivationRequest(const CLSID& clsid,
                                              std::span<const IID> iids) {
  std::vector<uint8_t> stub = OrpcHeader();
  rpc::WireWriter w(&stub);
  w.Guid(clsid);
  w.U32(0);  // no object name
  w.U32(0);  // no storage
  w.U32(2);  // impersonation level
  w.U32(0);  // mode
  w.U32(static_cast<uint32_t>(iids.size()));
  w.U32(0x20000);
  w.U32(static_cast<uint32_t>(iids.size()));
  for (const IID& iid : iids) w.Guid(iid);
  w.U16(1);
  w.Align(4);
  w.U32(1);
  w.U16(kTowerNcacnIpTcp);
  w.Zeros(10);  // as one client sends after the parameters
  return stub;
}

inline bool ParseActivation(const std::vector<uint8_t>& out, size_t count,
                            Activation* a) {
  rpc::WireReader r(out);
  bool present = false;
  uint32_t hint = 0, version = 0, conformance = 0;
  if (!ReadOrpcThat(&r) || !r.Align(8) || !r.U64(&a->oxid) ||
      !ReadDualStringArrayPointer(&r, &a->bindings, &present) || !r.Align(4) ||
      !r.Guid(&a->rem_unknown) || !r.U32(&hint) || !r.U32(&version) ||
      !r.U32(reinterpret_cast<uint32_t*>(&a->hr)) || !r.U32(&conformance) ||
      conformance != count) {
    return false;
  }
  std::vector<uint32_t> referents(count);
  for (auto& ref : referents) r.U32(&ref);
  for (uint32_t ref : referents) {
    if (ref == 0) {
      a->objrefs.emplace_back();
      continue;
    }
    uint32_t max = 0, size = 0;
    std::span<const uint8_t> bytes;
    Objref objref;
    if (!r.Align(4) || !r.U32(&max) || !r.U32(&size) ||
        !r.Bytes(size, &bytes) || !DecodeObjref(bytes, &objref)) {
      return false;
    }
    a->objrefs.push_back(objref);
  }
  if (!r.Align(4) || !r.U32(&conformance) || conformance != count) return false;
  a->results.resize(count);
  for (HRESULT& hr : a->results) r.U32(reinterpret_cast<uint32_t*>(&hr));
  uint32_t status = 1;
  return r.U32(&status) && status == 0;
}

}  // namespace kavex::dcom::testing

#endif  // KAVEX_PLATFORM_DCOM_TESTING_REMOTE_ACTIVATION_H_
