#include "platform/dcom/exporter.h"

#include <cstring>
#include <random>

#include "platform/com/guid.h"
#include "platform/opc/opc_descriptions.h"
#include "platform/sync/clock.h"

namespace kavex::dcom {

namespace {

thread_local bool refused_foreign_objref = false;
thread_local HRESULT marshal_failure = S_OK;

// Ticks wrap at 2^32; a difference taken unsigned is the elapsed time.
bool Expired(uint32_t last, uint32_t now) {
  return now - last >= kPingPeriodMs * kPingPeriodsBeforeRelease;
}

}  // namespace

std::span<const com::InterfaceDescription* const> ServedInterfaces() {
  static const std::vector<const com::InterfaceDescription*> served = [] {
    std::vector<const com::InterfaceDescription*> v;
    for (const char* name :
         {"IOPCServer", "IOPCCommon", "IOPCItemProperties",
          "IOPCBrowseServerAddressSpace", "IEnumString", "IEnumUnknown",
          "IOPCGroupStateMgt", "IOPCItemMgt", "IEnumOPCItemAttributes",
          "IOPCSyncIO", "IConnectionPointContainer", "IConnectionPoint",
          "IOPCServerList", "IOPCServerList2", "IOPCEnumGUID", "IEnumGUID"}) {
      if (const auto* d = opc::FindInterfaceDescription(name)) v.push_back(d);
    }
    return v;
  }();
  return served;
}

bool ObjectExporter::GuidLess(const Ipid& a, const Ipid& b) {
  return std::memcmp(&a, &b, sizeof(GUID)) < 0;
}

ObjectExporter::ObjectExporter(
    DualStringArray bindings,
    std::span<const com::InterfaceDescription* const> served)
    : bindings_(std::move(bindings)), served_(served) {
  oxid_ = NewId();
  rem_unknown_ipid_ = NewIpid();
}

ObjectExporter::~ObjectExporter() {
  std::vector<com::ComPtr<IUnknown>> to_release;
  {
    std::lock_guard lock(mu_);
    for (auto& [ipid, entry] : interfaces_) {
      to_release.push_back(std::move(entry.pointer));
    }
    for (auto& [oid, object] : objects_) {
      to_release.push_back(std::move(object.identity));
    }
    interfaces_.clear();
    objects_.clear();
    by_identity_.clear();
  }
  // Released outside the lock: an object's destructor may call back.
}

uint64_t ObjectExporter::NewId() {
  static std::mutex mu;
  static std::mt19937_64 generator{std::random_device{}()};
  std::lock_guard lock(mu);
  uint64_t id = 0;
  while (id == 0) id = generator();
  return id;
}

Ipid ObjectExporter::NewIpid() {
  Ipid ipid;
  if (FAILED(CoCreateGuid(&ipid))) {
    uint64_t a = NewId(), b = NewId();
    std::memcpy(&ipid, &a, 8);
    std::memcpy(reinterpret_cast<uint8_t*>(&ipid) + 8, &b, 8);
  }
  return ipid;
}

const com::InterfaceDescription* ObjectExporter::Served(REFIID iid) const {
  for (const auto* d : served_) {
    if (d->iid == iid) return d;
  }
  return nullptr;
}

HRESULT ObjectExporter::Export(IUnknown* object, REFIID iid,
                               uint32_t public_refs, StdObjref* std) {
  std::vector<com::ComPtr<IUnknown>> to_release;
  std::lock_guard lock(mu_);
  // An object exported now counts as pinged now: its client has three
  // periods to add it to a ping set.
  uint32_t now = GetTickCount();
  return ExportLocked(object, iid, public_refs, now, std, &to_release);
}

HRESULT ObjectExporter::ExportLocked(
    IUnknown* object, REFIID iid, uint32_t public_refs, uint32_t now,
    StdObjref* std, std::vector<com::ComPtr<IUnknown>>* /*to_release*/) {
  if (!object) return E_POINTER;
  const com::InterfaceDescription* description = Served(iid);
  if (!description) return E_NOINTERFACE;
  com::ComPtr<IUnknown> pointer;
  HRESULT hr = object->QueryInterface(
      iid, reinterpret_cast<void**>(pointer.GetAddressOf()));
  if (FAILED(hr) || !pointer) return E_NOINTERFACE;
  com::ComPtr<IUnknown> identity;
  hr = object->QueryInterface(
      IID_IUnknown, reinterpret_cast<void**>(identity.GetAddressOf()));
  if (FAILED(hr) || !identity) return E_NOINTERFACE;

  Oid oid = 0;
  auto found = by_identity_.find(identity.Get());
  if (found != by_identity_.end()) {
    oid = found->second;
  } else {
    oid = NewId();
    Object& o = objects_[oid];
    o.identity = identity;
    o.last_ping = now;
    by_identity_[identity.Get()] = oid;
  }
  Object& o = objects_[oid];
  // One IPID per interface of an object: find it, or make it.
  for (const Ipid& ipid : o.ipids) {
    Interface& entry = interfaces_[ipid];
    if (entry.iid == iid) {
      entry.public_refs += public_refs;
      *std = {0, public_refs, oxid_, oid, ipid};
      return S_OK;
    }
  }
  Ipid ipid = NewIpid();
  Interface& entry = interfaces_[ipid];
  entry.oid = oid;
  entry.iid = iid;
  entry.pointer = std::move(pointer);
  entry.description = description;
  entry.public_refs = public_refs;
  o.ipids.insert(ipid);
  *std = {0, public_refs, oxid_, oid, ipid};
  return S_OK;
}

bool ObjectExporter::Lookup(const Ipid& ipid, com::ComPtr<IUnknown>* pointer,
                            const com::InterfaceDescription** description) {
  std::lock_guard lock(mu_);
  auto it = interfaces_.find(ipid);
  if (it == interfaces_.end()) return false;
  *pointer = it->second.pointer;
  *description = it->second.description;
  return true;
}

HRESULT ObjectExporter::QueryInterface(const Ipid& ipid, REFIID iid,
                                       uint32_t public_refs, StdObjref* std) {
  com::ComPtr<IUnknown> identity;
  {
    std::lock_guard lock(mu_);
    auto it = interfaces_.find(ipid);
    if (it == interfaces_.end()) return RPC_E_INVALID_OBJECT;
    identity = objects_[it->second.oid].identity;
  }
  // QueryInterface on the object runs outside the lock.
  return Export(identity.Get(), iid, public_refs, std);
}

HRESULT ObjectExporter::AddRef(const Ipid& ipid, uint32_t public_refs) {
  std::lock_guard lock(mu_);
  auto it = interfaces_.find(ipid);
  if (it == interfaces_.end()) return RPC_E_INVALID_OBJECT;
  if (public_refs > UINT32_MAX - it->second.public_refs) return E_INVALIDARG;
  it->second.public_refs += public_refs;
  return S_OK;
}

HRESULT ObjectExporter::Release(const Ipid& ipid, uint32_t public_refs) {
  std::vector<com::ComPtr<IUnknown>> to_release;
  {
    std::lock_guard lock(mu_);
    auto it = interfaces_.find(ipid);
    if (it == interfaces_.end()) return RPC_E_INVALID_OBJECT;
    Interface& entry = it->second;
    // A client releasing more than it holds loses what it holds, no more.
    entry.public_refs -= std::min(public_refs, entry.public_refs);
    if (entry.public_refs == 0) {
      Oid oid = entry.oid;
      to_release.push_back(std::move(entry.pointer));
      interfaces_.erase(it);
      Object& o = objects_[oid];
      o.ipids.erase(ipid);
      if (o.ipids.empty()) DropObjectLocked(oid, &to_release);
    }
  }
  return S_OK;
}

void ObjectExporter::DropObjectLocked(Oid oid,
                                      std::vector<com::ComPtr<IUnknown>>* out) {
  auto it = objects_.find(oid);
  if (it == objects_.end()) return;
  for (const Ipid& ipid : it->second.ipids) {
    auto entry = interfaces_.find(ipid);
    if (entry != interfaces_.end()) {
      out->push_back(std::move(entry->second.pointer));
      interfaces_.erase(entry);
    }
  }
  by_identity_.erase(it->second.identity.Get());
  out->push_back(std::move(it->second.identity));
  objects_.erase(it);
}

bool ObjectExporter::SimplePing(uint64_t set_id, uint32_t now) {
  std::lock_guard lock(mu_);
  auto it = sets_.find(set_id);
  if (it == sets_.end()) return false;
  it->second.last_ping = now;
  for (Oid oid : it->second.oids) {
    auto o = objects_.find(oid);
    if (o != objects_.end()) o->second.last_ping = now;
  }
  return true;
}

bool ObjectExporter::ComplexPing(uint64_t* set_id, std::span<const Oid> add,
                                 std::span<const Oid> remove, uint32_t now) {
  // Bounds what a client's pings can make the exporter keep.
  constexpr size_t kMaxOidsPerSet = 1 << 16;
  constexpr size_t kMaxSets = 1 << 16;
  std::lock_guard lock(mu_);
  if (*set_id == 0) {
    if (sets_.size() >= kMaxSets) return false;
    *set_id = NewId();
    sets_[*set_id].last_ping = now;
  }
  auto it = sets_.find(*set_id);
  if (it == sets_.end()) return false;
  PingSet& set = it->second;
  for (Oid oid : remove) set.oids.erase(oid);
  for (Oid oid : add) {
    // Unknown OIDs are not kept: they could never be collected otherwise.
    if (objects_.count(oid) && set.oids.size() < kMaxOidsPerSet) {
      set.oids.insert(oid);
    }
  }
  set.last_ping = now;
  for (Oid oid : set.oids) objects_[oid].last_ping = now;
  return true;
}

size_t ObjectExporter::CollectGarbage(uint32_t now) {
  std::vector<com::ComPtr<IUnknown>> to_release;
  size_t released = 0;
  {
    std::lock_guard lock(mu_);
    std::vector<Oid> expired;
    for (auto& [oid, object] : objects_) {
      if (Expired(object.last_ping, now)) expired.push_back(oid);
    }
    for (Oid oid : expired) DropObjectLocked(oid, &to_release);
    released = expired.size();
    for (auto it = sets_.begin(); it != sets_.end();) {
      if (Expired(it->second.last_ping, now)) {
        it = sets_.erase(it);
      } else {
        ++it;
      }
    }
  }
  return released;
}

size_t ObjectExporter::object_count() {
  std::lock_guard lock(mu_);
  return objects_.size();
}

size_t ObjectExporter::interface_count() {
  std::lock_guard lock(mu_);
  return interfaces_.size();
}

HRESULT ObjectExporter::Marshal(IUnknown* object, REFIID iid,
                                std::vector<uint8_t>* objref) {
  Objref ref;
  ref.iid = iid;
  HRESULT hr = Export(object, iid, kPublicRefsPerObjref, &ref.std);
  if (FAILED(hr)) {
    marshal_failure = hr;
    return hr;
  }
  ref.resolver_address = bindings_;
  *objref = EncodeObjref(ref);
  return S_OK;
}

HRESULT ObjectExporter::Unmarshal(std::span<const uint8_t> bytes, REFIID iid,
                                  IUnknown** object) {
  *object = nullptr;
  Objref ref;
  if (!DecodeObjref(bytes, &ref)) return E_INVALIDARG;
  if (ref.std.oxid != oxid_) {
    refused_foreign_objref = true;
    return E_NOTIMPL;
  }
  com::ComPtr<IUnknown> pointer;
  {
    std::lock_guard lock(mu_);
    auto it = interfaces_.find(ref.std.ipid);
    if (it == interfaces_.end()) return RPC_E_INVALID_OBJECT;
    pointer = objects_[it->second.oid].identity;
  }
  return pointer->QueryInterface(iid, reinterpret_cast<void**>(object));
}

HRESULT ObjectExporter::TakeMarshalFailure() {
  return std::exchange(marshal_failure, S_OK);
}

bool ObjectExporter::TakeRefusedForeignObjref() {
  return std::exchange(refused_foreign_objref, false);
}

}  // namespace kavex::dcom
