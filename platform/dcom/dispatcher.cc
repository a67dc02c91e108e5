#include "platform/dcom/dispatcher.h"

#include "platform/com/guid.h"
#include "platform/dcom/activation_blob.h"
#include "platform/dcom/orpc.h"
#include "platform/rpc/ndr.h"
#include "platform/sync/clock.h"

namespace kavex::dcom {

const rpc::SyntaxId kIActivation = {
    com::GuidLiteral("{4d9f4ab8-7d1c-11cf-861e-0020af6e7c57}"), 0, 0};
const rpc::SyntaxId kIObjectExporter = {
    com::GuidLiteral("{99fcfec4-5260-101b-bbcb-00aa0021347a}"), 0, 0};
const rpc::SyntaxId kIRemoteSCMActivator = {
    com::GuidLiteral("{000001A0-0000-0000-C000-000000000046}"), 0, 0};
const rpc::SyntaxId kIRemUnknown = {
    com::GuidLiteral("{00000131-0000-0000-C000-000000000046}"), 0, 0};
const rpc::SyntaxId kIRemUnknown2 = {
    com::GuidLiteral("{00000143-0000-0000-C000-000000000046}"), 0, 0};

namespace {

constexpr uint32_t kModeGetClassObject = 0xffffffff;
constexpr uint32_t kMaxRequestedInterfaces = 0x8000;
constexpr uint32_t kMaxRequestedProtseqs = 0x1000;
constexpr uint32_t kAuthnLevelConnect = 2;
constexpr uint32_t kReferent = 0x00020000;

// Reads a conformance that must equal `expected` and fit in what is left.
bool Conformance(rpc::WireReader* r, uint32_t expected, size_t element) {
  uint32_t max = 0;
  if (!r->Align(4) || !r->U32(&max)) return false;
  if (max != expected || max > r->remaining() / element) return r->Fail();
  return true;
}

bool Guids(rpc::WireReader* r, uint32_t count, std::vector<GUID>* out) {
  if (!Conformance(r, count, 16)) return false;
  out->resize(count);
  for (GUID& g : *out) {
    if (!r->Guid(&g)) return false;
  }
  return true;
}

// A unique [string] wchar_t*: skipped (checked only).
bool SkipUniqueString(rpc::WireReader* r) {
  uint32_t ref = 0;
  if (!r->Align(4) || !r->U32(&ref)) return false;
  if (ref == 0) return true;
  uint32_t max = 0, offset = 0, actual = 0;
  if (!r->U32(&max) || !r->U32(&offset) || !r->U32(&actual)) return false;
  if (offset != 0 || actual > max || actual > r->remaining() / 2) {
    return r->Fail();
  }
  return r->Skip(actual * 2);
}

bool SkipUniqueInterfacePointer(rpc::WireReader* r) {
  uint32_t ref = 0;
  if (!r->Align(4) || !r->U32(&ref)) return false;
  if (ref == 0) return true;
  uint32_t max = 0, size = 0;
  if (!r->U32(&max) || !r->U32(&size)) return false;
  if (max != size) return r->Fail();
  return r->Skip(size);
}

// The body of a non-null unique MInterfacePointer (after its referent id).
bool SkipUniqueInterfacePointerBody(rpc::WireReader* r) {
  uint32_t max = 0, size = 0;
  if (!r->U32(&max) || !r->U32(&size)) return false;
  if (max != size) return r->Fail();
  return r->Skip(size);
}

bool Protseqs(rpc::WireReader* r) {
  uint16_t count = 0;
  if (!r->Align(2) || !r->U16(&count)) return false;
  if (count > kMaxRequestedProtseqs) return r->Fail();
  if (!Conformance(r, count, 2)) return false;
  return r->Skip(size_t{count} * 2);
}

void InterfacePointers(const std::vector<std::vector<uint8_t>>& objrefs,
                       rpc::WireWriter* w) {
  w->Align(4);
  w->U32(static_cast<uint32_t>(objrefs.size()));
  for (size_t i = 0; i < objrefs.size(); ++i) {
    w->U32(objrefs[i].empty() ? 0 : kReferent + 4 * static_cast<uint32_t>(i));
  }
  for (const auto& objref : objrefs) {
    if (objref.empty()) continue;
    w->Align(4);
    w->U32(static_cast<uint32_t>(objref.size()));
    w->U32(static_cast<uint32_t>(objref.size()));
    w->Raw(objref.data(), objref.size());
  }
}

void Results(const std::vector<HRESULT>& results, rpc::WireWriter* w) {
  w->Align(4);
  w->U32(static_cast<uint32_t>(results.size()));
  for (HRESULT hr : results) w->U32(static_cast<uint32_t>(hr));
}

void BadStub(rpc::CallResponse* response) {
  response->stub.clear();
  response->fault = rpc::kFaultBadStubData;
}

}  // namespace

DcomDispatcher::DcomDispatcher(std::span<const com::ClassEntry> classes,
                               ObjectExporter* exporter)
    : classes_(classes), exporter_(exporter) {}

bool DcomDispatcher::SupportsInterface(const rpc::SyntaxId& interface) const {
  if (interface == kIActivation || interface == kIObjectExporter ||
      interface == kIRemoteSCMActivator || interface == kIRemUnknown ||
      interface == kIRemUnknown2) {
    return true;
  }
  if (interface.major != 0 || interface.minor != 0) return false;
  for (const auto* d : ServedInterfaces()) {
    if (d->iid == interface.uuid) return true;
  }
  return false;
}

bool DcomDispatcher::AllowsAnonymous(const rpc::SyntaxId& interface) const {
  return interface == kIObjectExporter;
}

void DcomDispatcher::Dispatch(const rpc::CallRequest& call,
                              rpc::CallResponse* response) {
  if (call.interface == kIObjectExporter) {
    // Only ServerAlive2 may be asked without a logon.
    if ((!call.security || !call.security->authenticated) && call.opnum != 5) {
      response->fault = rpc::kFaultAccessDenied;
      return;
    }
    ObjectExporterCall(call, response);
  } else if (call.interface == kIActivation) {
    RemoteActivation(call, response);
  } else if (call.interface == kIRemoteSCMActivator) {
    RemoteCreateInstance(call, response);
  } else if (call.interface == kIRemUnknown ||
             call.interface == kIRemUnknown2) {
    RemUnknownCall(call, response);
  } else {
    ObjectCall(call, response);
  }
}

HRESULT DcomDispatcher::Activate(REFCLSID clsid, std::span<const IID> iids,
                                 std::vector<std::vector<uint8_t>>* objrefs,
                                 std::vector<HRESULT>* results) {
  objrefs->assign(iids.size(), {});
  results->assign(iids.size(), E_NOINTERFACE);
  com::ComPtr<IClassFactory> factory;
  HRESULT hr = com::GetClassObjectFromTable(
      classes_, clsid, IID_IClassFactory,
      reinterpret_cast<void**>(factory.GetAddressOf()));
  if (hr == CLASS_E_CLASSNOTAVAILABLE) hr = REGDB_E_CLASSNOTREG;
  if (FAILED(hr)) {
    results->assign(iids.size(), hr);
    return hr;
  }
  com::ComPtr<IUnknown> object;
  hr = factory->CreateInstance(nullptr, IID_IUnknown,
                               reinterpret_cast<void**>(object.GetAddressOf()));
  if (FAILED(hr)) {
    results->assign(iids.size(), hr);
    return hr;
  }
  bool any = false;
  for (size_t i = 0; i < iids.size(); ++i) {
    (*results)[i] = exporter_->Marshal(object.Get(), iids[i], &(*objrefs)[i]);
    any = any || SUCCEEDED((*results)[i]);
  }
  return any ? S_OK : E_NOINTERFACE;
}

void DcomDispatcher::RemoteActivation(const rpc::CallRequest& call,
                                      rpc::CallResponse* response) {
  if (call.opnum != 0) {
    response->fault = rpc::kFaultOpRangeError;
    return;
  }
  rpc::WireReader r(call.stub);
  OrpcThis orpc_this;
  GUID clsid;
  uint32_t imp_level = 0, mode = 0, count = 0, iids_ref = 0;
  std::vector<GUID> iids;
  if (!ReadOrpcThis(&r, &orpc_this) || !r.Guid(&clsid) ||
      !SkipUniqueString(&r) || !SkipUniqueInterfacePointer(&r) || !r.Align(4) ||
      !r.U32(&imp_level) || !r.U32(&mode) || !r.U32(&count) || count < 1 ||
      count > kMaxRequestedInterfaces || !r.U32(&iids_ref) || iids_ref == 0 ||
      !Guids(&r, count, &iids) || !Protseqs(&r)) {
    // What follows the parameters (some clients send padding) is ignored.
    BadStub(response);
    return;
  }
  std::vector<std::vector<uint8_t>> objrefs;
  std::vector<HRESULT> results;
  HRESULT hr = mode == kModeGetClassObject
                   ? E_NOTIMPL
                   : Activate(clsid, iids, &objrefs, &results);
  if (mode == kModeGetClassObject) {
    objrefs.assign(count, {});
    results.assign(count, hr);
  }

  rpc::WireWriter w(&response->stub);
  WriteOrpcThat(&w);
  w.Align(8);
  w.U64(SUCCEEDED(hr) ? exporter_->oxid() : 0);
  WriteDualStringArrayPointer(exporter_->bindings(), &w);
  w.Align(4);
  w.Guid(SUCCEEDED(hr) ? exporter_->rem_unknown_ipid() : GUID{});
  w.U32(kAuthnLevelConnect);
  w.U16(kComVersionMajor);
  w.U16(kComVersionMinor);
  w.U32(static_cast<uint32_t>(hr));
  InterfacePointers(objrefs, &w);
  Results(results, &w);
  w.U32(0);  // error_status_t
}

void DcomDispatcher::RemoteCreateInstance(const rpc::CallRequest& call,
                                          rpc::CallResponse* response) {
  // Opnum 3 (RemoteGetClassObject) hands out class objects, which no
  // client of this server needs; 0 to 2 are not used on the wire.
  if (call.opnum != 4) {
    response->fault = call.opnum == 3 ? static_cast<uint32_t>(E_NOTIMPL)
                                      : rpc::kFaultOpRangeError;
    return;
  }
  rpc::WireReader r(call.stub);
  OrpcThis orpc_this;
  uint32_t outer = 0, properties_ref = 0, max = 0, size = 0;
  std::span<const uint8_t> properties;
  if (!ReadOrpcThis(&r, &orpc_this) || !r.Align(4) || !r.U32(&outer)) {
    return BadStub(response);
  }
  if (outer != 0 && !SkipUniqueInterfacePointerBody(&r)) {
    return BadStub(response);
  }
  if (!r.Align(4) || !r.U32(&properties_ref) || properties_ref == 0 ||
      !r.U32(&max) || !r.U32(&size) || max != size ||
      !r.Bytes(size, &properties)) {
    return BadStub(response);
  }
  ActivationPropertiesIn in;
  HRESULT hr = S_OK;
  ActivationPropertiesOut out;
  if (outer != 0) {
    hr = CLASS_E_NOAGGREGATION;
  } else if (!ParseActivationPropertiesIn(properties, &in)) {
    hr = E_INVALIDARG;
  } else {
    hr = Activate(in.clsid, in.iids, &out.objrefs, &out.results);
  }
  rpc::WireWriter w(&response->stub);
  WriteOrpcThat(&w);
  if (FAILED(hr)) {
    w.U32(0);
  } else {
    out.iids = in.iids;
    out.oxid = exporter_->oxid();
    out.bindings = exporter_->bindings();
    out.rem_unknown = exporter_->rem_unknown_ipid();
    std::vector<uint8_t> objref = EncodeActivationPropertiesOut(out);
    w.U32(kReferent);
    w.U32(static_cast<uint32_t>(objref.size()));
    w.U32(static_cast<uint32_t>(objref.size()));
    w.Raw(objref.data(), objref.size());
    w.Align(4);
  }
  w.U32(static_cast<uint32_t>(hr));
}

void DcomDispatcher::ObjectExporterCall(const rpc::CallRequest& call,
                                        rpc::CallResponse* response) {
  rpc::WireReader r(call.stub);
  rpc::WireWriter w(&response->stub);
  uint32_t now = GetTickCount();
  switch (call.opnum) {
    case 0:    // ResolveOxid
    case 4: {  // ResolveOxid2
      uint64_t oxid = 0;
      if (!r.Align(8) || !r.U64(&oxid) || !Protseqs(&r))
        return BadStub(response);
      bool known = oxid == exporter_->oxid();
      if (known) {
        WriteDualStringArrayPointer(exporter_->bindings(), &w);
      } else {
        w.U32(0);
      }
      w.Align(4);
      w.Guid(known ? exporter_->rem_unknown_ipid() : GUID{});
      w.U32(kAuthnLevelConnect);
      if (call.opnum == 4) {
        w.U16(kComVersionMajor);
        w.U16(kComVersionMinor);
      }
      w.U32(known ? 0 : OR_INVALID_OXID);
      return;
    }
    case 1: {  // SimplePing
      uint64_t set = 0;
      if (!r.Align(8) || !r.U64(&set)) return BadStub(response);
      w.U32(exporter_->SimplePing(set, now) ? 0 : OR_INVALID_SET);
      return;
    }
    case 2: {  // ComplexPing
      uint64_t set = 0;
      uint16_t sequence = 0, add_count = 0, remove_count = 0;
      if (!r.Align(8) || !r.U64(&set) || !r.U16(&sequence) ||
          !r.U16(&add_count) || !r.U16(&remove_count)) {
        return BadStub(response);
      }
      std::vector<Oid> lists[2];
      for (int i = 0; i < 2; ++i) {
        uint16_t count = i == 0 ? add_count : remove_count;
        uint32_t ref = 0;
        if (!r.Align(4) || !r.U32(&ref)) return BadStub(response);
        if (ref == 0) {
          if (count != 0) return BadStub(response);
          continue;
        }
        if (!Conformance(&r, count, 8) || !r.Align(8)) return BadStub(response);
        lists[i].resize(count);
        for (Oid& oid : lists[i]) {
          if (!r.U64(&oid)) return BadStub(response);
        }
      }
      bool ok = exporter_->ComplexPing(&set, lists[0], lists[1], now);
      w.U64(ok ? set : 0);
      w.U16(0);  // ping backoff factor
      w.Align(4);
      w.U32(ok ? 0 : OR_INVALID_SET);
      return;
    }
    case 3:  // ServerAlive
      w.U32(0);
      return;
    case 5:  // ServerAlive2
      w.U16(kComVersionMajor);
      w.U16(kComVersionMinor);
      WriteDualStringArrayPointer(exporter_->bindings(), &w);
      w.Align(4);
      w.U32(0);  // reserved
      w.U32(0);
      return;
    default:
      response->fault = rpc::kFaultOpRangeError;
  }
}

void DcomDispatcher::RemUnknownCall(const rpc::CallRequest& call,
                                    rpc::CallResponse* response) {
  if (!call.has_object || call.object != exporter_->rem_unknown_ipid()) {
    response->fault = static_cast<uint32_t>(RPC_E_INVALID_OBJECT);
    return;
  }
  if (call.opnum == 6 && call.interface != kIRemUnknown2) {
    response->fault = rpc::kFaultOpRangeError;
    return;
  }
  rpc::WireReader r(call.stub);
  OrpcThis orpc_this;
  if (!ReadOrpcThis(&r, &orpc_this)) return BadStub(response);
  rpc::WireWriter w(&response->stub);
  switch (call.opnum) {
    case 3:    // RemQueryInterface
    case 6: {  // RemQueryInterface2
      GUID ipid;
      uint32_t refs = kPublicRefsPerObjref;
      uint16_t count = 0;
      std::vector<GUID> iids;
      if (!r.Guid(&ipid) || (call.opnum == 3 && !r.U32(&refs)) ||
          !r.U16(&count) || !Guids(&r, count, &iids)) {
        return BadStub(response);
      }
      WriteOrpcThat(&w);
      if (call.opnum == 3) {
        w.U32(count ? kReferent : 0);
        if (count) {
          w.U32(count);
          for (const GUID& iid : iids) {
            StdObjref std;
            HRESULT hr = exporter_->QueryInterface(ipid, iid, refs, &std);
            if (FAILED(hr)) std = {};
            w.Align(8);
            w.U32(static_cast<uint32_t>(hr));
            w.Align(8);
            WriteStdObjref(std, &w);
          }
        }
      } else {
        std::vector<std::vector<uint8_t>> objrefs(count);
        std::vector<HRESULT> results(count);
        for (size_t i = 0; i < count; ++i) {
          StdObjref std;
          results[i] = exporter_->QueryInterface(ipid, iids[i],
                                                 kPublicRefsPerObjref, &std);
          if (SUCCEEDED(results[i])) {
            objrefs[i] = EncodeObjref({iids[i], std, exporter_->bindings()});
          }
        }
        Results(results, &w);
        InterfacePointers(objrefs, &w);
      }
      w.Align(4);
      w.U32(S_OK);
      return;
    }
    case 4:    // RemAddRef
    case 5: {  // RemRelease
      uint16_t count = 0;
      if (!r.U16(&count) || !Conformance(&r, count, 24)) {
        return BadStub(response);
      }
      std::vector<HRESULT> results(count);
      HRESULT overall = S_OK;
      for (size_t i = 0; i < count; ++i) {
        GUID ipid;
        uint32_t public_refs = 0, private_refs = 0;
        if (!r.Guid(&ipid) || !r.U32(&public_refs) || !r.U32(&private_refs)) {
          return BadStub(response);
        }
        // Private references are counted with the public ones: this
        // exporter hands out no other kind.
        uint32_t refs = public_refs + std::min(private_refs, ~public_refs);
        results[i] = call.opnum == 4 ? exporter_->AddRef(ipid, refs)
                                     : exporter_->Release(ipid, refs);
        if (FAILED(results[i])) overall = S_FALSE;
      }
      WriteOrpcThat(&w);
      if (call.opnum == 4) Results(results, &w);
      w.Align(4);
      w.U32(static_cast<uint32_t>(overall));
      return;
    }
    default:
      response->stub.clear();
      response->fault = rpc::kFaultOpRangeError;
  }
}

void DcomDispatcher::ObjectCall(const rpc::CallRequest& call,
                                rpc::CallResponse* response) {
  com::ComPtr<IUnknown> pointer;
  const com::InterfaceDescription* description = nullptr;
  if (!call.has_object ||
      !exporter_->Lookup(call.object, &pointer, &description) ||
      description->iid != call.interface.uuid) {
    response->fault = static_cast<uint32_t>(RPC_E_INVALID_OBJECT);
    return;
  }
  rpc::WireReader r(call.stub);
  OrpcThis orpc_this;
  if (!ReadOrpcThis(&r, &orpc_this)) return BadStub(response);
  std::vector<uint8_t> out;
  rpc::WireWriter w(&out);
  WriteOrpcThat(&w);
  ObjectExporter::TakeRefusedForeignObjref();
  ObjectExporter::TakeMarshalFailure();
  uint32_t fault =
      rpc::InvokeDescribedMethod(*description, pointer.Get(), call.opnum,
                                 call.stub, r.position(), exporter_, &out);
  // A stub that failed for an interface pointer answers the HRESULT that
  // says why rather than a stub-data fault: E_NOTIMPL for a client's own
  // object (no calls back yet), the exporter's refusal (E_NOINTERFACE) for
  // an object the server cannot hand out.
  bool refused = ObjectExporter::TakeRefusedForeignObjref();
  HRESULT marshal = ObjectExporter::TakeMarshalFailure();
  if (fault != 0 && refused) {
    fault = static_cast<uint32_t>(E_NOTIMPL);
  } else if (fault != 0 && FAILED(marshal)) {
    fault = static_cast<uint32_t>(marshal);
  }
  if (fault != 0) {
    response->fault = fault;
    return;
  }
  response->stub = std::move(out);
}

}  // namespace kavex::dcom
