#include "platform/dcom/client_wire.h"

#include "platform/dcom/orpc.h"
#include "platform/rpc/wire.h"

namespace kavex::dcom {

namespace {

constexpr uint32_t kReferent = 0x00020000;
constexpr uint32_t kImpersonationLevelIdentify = 2;
constexpr uint32_t kModeCreateInstance = 0;
// Beyond what any activation or query asks for: a reply claiming more is
// refused before anything is allocated for it.
constexpr size_t kMaxInterfaces = 0x8000;

std::vector<uint8_t> WithOrpcThis() {
  std::vector<uint8_t> stub;
  rpc::WireWriter w(&stub);
  WriteOrpcThis({}, &w);
  return stub;
}

bool Conformance(rpc::WireReader* r, size_t expected) {
  uint32_t max = 0;
  if (!r->Align(4) || !r->U32(&max)) return false;
  return max == expected || r->Fail();
}

bool Hresult(rpc::WireReader* r, HRESULT* hr) {
  uint32_t v = 0;
  if (!r->U32(&v)) return false;
  *hr = static_cast<HRESULT>(v);
  return true;
}

}  // namespace

std::vector<uint8_t> EncodeRemoteActivation(REFCLSID clsid,
                                            std::span<const IID> iids) {
  std::vector<uint8_t> stub = WithOrpcThis();
  rpc::WireWriter w(&stub);
  w.Guid(clsid);
  w.U32(0);  // no object name
  w.U32(0);  // no storage
  w.U32(kImpersonationLevelIdentify);
  w.U32(kModeCreateInstance);
  w.U32(static_cast<uint32_t>(iids.size()));
  w.U32(kReferent);
  w.U32(static_cast<uint32_t>(iids.size()));
  for (const IID& iid : iids) w.Guid(iid);
  w.U16(1);  // one protocol sequence asked for
  w.Align(4);
  w.U32(1);
  w.U16(kTowerNcacnIpTcp);
  return stub;
}

bool ParseRemoteActivationReply(std::span<const uint8_t> stub, size_t count,
                                RemoteActivationReply* reply) {
  if (count == 0 || count > kMaxInterfaces) return false;
  rpc::WireReader r(stub);
  bool present = false;
  uint32_t authn_hint = 0;
  if (!ReadOrpcThat(&r) || !r.Align(8) || !r.U64(&reply->oxid) ||
      !ReadDualStringArrayPointer(&r, &reply->bindings, &present) ||
      !r.Align(4) || !r.Guid(&reply->rem_unknown) || !r.U32(&authn_hint) ||
      !r.U16(&reply->com_major) || !r.U16(&reply->com_minor) ||
      !Hresult(&r, &reply->hr) || !Conformance(&r, count)) {
    return false;
  }
  if (count > r.remaining() / 4) return false;
  std::vector<uint32_t> referents(count);
  for (uint32_t& ref : referents) r.U32(&ref);
  reply->objrefs.assign(count, {});
  for (size_t i = 0; i < count; ++i) {
    if (referents[i] == 0) continue;
    uint32_t max = 0, size = 0;
    std::span<const uint8_t> bytes;
    if (!r.Align(4) || !r.U32(&max) || !r.U32(&size) || max != size ||
        !r.Bytes(size, &bytes) || !DecodeObjref(bytes, &reply->objrefs[i])) {
      return false;
    }
  }
  if (!Conformance(&r, count) || count > r.remaining() / 4) return false;
  reply->results.assign(count, E_FAIL);
  for (HRESULT& hr : reply->results) Hresult(&r, &hr);
  uint32_t status = 1;
  if (!r.U32(&status) || status != 0) return false;
  // An interface said to be there must have come with its OBJREF.
  for (size_t i = 0; i < count; ++i) {
    if (SUCCEEDED(reply->results[i]) && referents[i] == 0) return false;
  }
  return true;
}

std::vector<uint8_t> EncodeRemQueryInterface(const Ipid& ipid,
                                             uint32_t public_refs,
                                             std::span<const IID> iids) {
  std::vector<uint8_t> stub = WithOrpcThis();
  rpc::WireWriter w(&stub);
  w.Guid(ipid);
  w.U32(public_refs);
  w.U16(static_cast<uint16_t>(iids.size()));
  w.Align(4);
  w.U32(static_cast<uint32_t>(iids.size()));
  for (const IID& iid : iids) w.Guid(iid);
  return stub;
}

bool ParseRemQueryInterfaceReply(std::span<const uint8_t> stub, size_t count,
                                 std::vector<RemQiResult>* results,
                                 HRESULT* hr) {
  if (count > kMaxInterfaces) return false;
  rpc::WireReader r(stub);
  uint32_t referent = 0;
  if (!ReadOrpcThat(&r) || !r.Align(4) || !r.U32(&referent)) return false;
  results->assign(count, RemQiResult{});
  if (referent != 0) {
    if (!Conformance(&r, count)) return false;
    for (RemQiResult& result : *results) {
      if (!r.Align(8) || !Hresult(&r, &result.hr) || !r.Align(8) ||
          !ReadStdObjref(&r, &result.std)) {
        return false;
      }
    }
  } else if (count != 0) {
    // No results at all: the call failed as a whole.
    for (RemQiResult& result : *results) result.hr = E_FAIL;
  }
  return r.Align(4) && Hresult(&r, hr);
}

std::vector<uint8_t> EncodeRemRelease(std::span<const RemInterfaceRef> refs) {
  std::vector<uint8_t> stub = WithOrpcThis();
  rpc::WireWriter w(&stub);
  w.U16(static_cast<uint16_t>(refs.size()));
  w.Align(4);
  w.U32(static_cast<uint32_t>(refs.size()));
  for (const RemInterfaceRef& ref : refs) {
    w.Guid(ref.ipid);
    w.U32(ref.public_refs);
    w.U32(0);  // private references
  }
  return stub;
}

bool ParseRemReleaseReply(std::span<const uint8_t> stub, HRESULT* hr) {
  rpc::WireReader r(stub);
  return ReadOrpcThat(&r) && r.Align(4) && Hresult(&r, hr);
}

std::vector<uint8_t> EncodeComplexPing(uint64_t set, uint16_t sequence,
                                       std::span<const Oid> add,
                                       std::span<const Oid> remove) {
  std::vector<uint8_t> stub;
  rpc::WireWriter w(&stub);
  w.U64(set);
  w.U16(sequence);
  w.U16(static_cast<uint16_t>(add.size()));
  w.U16(static_cast<uint16_t>(remove.size()));
  for (std::span<const Oid> list : {add, remove}) {
    w.Align(4);
    if (list.empty()) {
      w.U32(0);
      continue;
    }
    w.U32(kReferent);
    w.U32(static_cast<uint32_t>(list.size()));
    w.Align(8);
    for (Oid oid : list) w.U64(oid);
  }
  return stub;
}

bool ParseComplexPingReply(std::span<const uint8_t> stub, uint64_t* set,
                           uint32_t* status) {
  rpc::WireReader r(stub);
  uint16_t backoff = 0;
  return r.U64(set) && r.U16(&backoff) && r.Align(4) && r.U32(status);
}

std::vector<uint8_t> EncodeSimplePing(uint64_t set) {
  std::vector<uint8_t> stub;
  rpc::WireWriter w(&stub);
  w.U64(set);
  return stub;
}

bool ParseSimplePingReply(std::span<const uint8_t> stub, uint32_t* status) {
  rpc::WireReader r(stub);
  return r.U32(status);
}

bool ParseTcpBindingAddress(const std::u16string& address, std::string* host,
                            uint16_t* port) {
  size_t open = address.find(u'[');
  if (open == 0 || open == std::u16string::npos || address.back() != u']' ||
      open + 2 >= address.size()) {
    return false;
  }
  uint32_t value = 0;
  for (size_t i = open + 1; i + 1 < address.size(); ++i) {
    char16_t c = address[i];
    if (c < u'0' || c > u'9') return false;
    value = value * 10 + static_cast<uint32_t>(c - u'0');
    if (value > 0xffff) return false;
  }
  if (value == 0) return false;
  host->clear();
  for (size_t i = 0; i < open; ++i) {
    if (address[i] > 0x7e || address[i] < 0x21) return false;
    host->push_back(static_cast<char>(address[i]));
  }
  *port = static_cast<uint16_t>(value);
  return true;
}

}  // namespace kavex::dcom
