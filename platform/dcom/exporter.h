// The object exporter: the tables that give in-process objects their wire
// identities, and the references clients hold on them.
//
// One exporter is one OXID (this process's apartment). Each exported object
// (by its IUnknown identity) gets an OID; each of its interfaces handed out
// gets an IPID. A client's public references are counted per IPID; when an
// object's last one goes (RemRelease), or its client stops pinging for
// three ping periods, the exporter drops its own reference to the object.
//
// Only the interfaces named by the exporter's served list (with a
// description, so a stub can call them) are handed out; asking for others
// gives E_NOINTERFACE. Thread-safe: the listener's workers call it
// concurrently.
#ifndef KAVEX_PLATFORM_DCOM_EXPORTER_H_
#define KAVEX_PLATFORM_DCOM_EXPORTER_H_

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <span>
#include <vector>

#include "platform/base/results.h"
#include "platform/com/com_ptr.h"
#include "platform/com/interface_description.h"
#include "platform/com/unknown.h"
#include "platform/dcom/objref.h"
#include "platform/rpc/ndr.h"

namespace kavex::dcom {

// References a marshalled interface pointer carries for its receiver.
inline constexpr uint32_t kPublicRefsPerObjref = 5;
// A client pings every 120 s; three missed pings release its objects.
inline constexpr uint32_t kPingPeriodMs = 120 * 1000;
inline constexpr uint32_t kPingPeriodsBeforeRelease = 3;

// The interfaces whose stubs the exporter serves: IOPCServer, IOPCCommon,
// IOPCItemProperties, IOPCBrowseServerAddressSpace, IEnumString,
// IEnumUnknown, IOPCGroupStateMgt, IOPCItemMgt, IEnumOPCItemAttributes,
// IOPCSyncIO, IConnectionPointContainer, IConnectionPoint, and the server
// browser's IOPCServerList, IOPCServerList2, IOPCEnumGUID and IEnumGUID.
std::span<const com::InterfaceDescription* const> ServedInterfaces();

class ObjectExporter : public rpc::ObjrefHook {
 public:
  // `bindings`: where clients reach the object port and how they log on
  // (the DUALSTRINGARRAY every OBJREF and resolver reply carries).
  // `served`: the interfaces handed out.
  ObjectExporter(DualStringArray bindings,
                 std::span<const com::InterfaceDescription* const> served =
                     ServedInterfaces());
  ~ObjectExporter() override;  // releases every object still exported
  ObjectExporter(const ObjectExporter&) = delete;
  ObjectExporter& operator=(const ObjectExporter&) = delete;

  Oxid oxid() const { return oxid_; }
  // The IPID of this OXID's IRemUnknown (answered by the dispatcher).
  const Ipid& rem_unknown_ipid() const { return rem_unknown_ipid_; }
  const DualStringArray& bindings() const { return bindings_; }

  // Exports `object`'s interface `iid` and grants `public_refs`
  // references: E_NOINTERFACE when the object lacks it or it is not
  // served. The exporter keeps the object alive while references remain.
  HRESULT Export(IUnknown* object, REFIID iid, uint32_t public_refs,
                 StdObjref* std);

  // The interface behind an IPID for a call: its pointer (one reference
  // for the caller) and description. RPC_E_INVALID_OBJECT-like failure is
  // reported as false (the dispatcher answers a fault).
  bool Lookup(const Ipid& ipid, com::ComPtr<IUnknown>* pointer,
              const com::InterfaceDescription** description);

  // IRemUnknown::RemQueryInterface for one IID on the object behind
  // `ipid`: S_OK and *std, or E_NOINTERFACE / RPC_E_INVALID_OBJECT.
  HRESULT QueryInterface(const Ipid& ipid, REFIID iid, uint32_t public_refs,
                         StdObjref* std);
  // RemAddRef / RemRelease of public references on one IPID.
  HRESULT AddRef(const Ipid& ipid, uint32_t public_refs);
  HRESULT Release(const Ipid& ipid, uint32_t public_refs);

  // Pinging. SimplePing: the set's objects stay alive. ComplexPing:
  // creates the set when *set_id is 0, adds and removes OIDs, and keeps
  // them alive. OR_INVALID_SET-like failures give false.
  bool SimplePing(uint64_t set_id, uint32_t now);
  bool ComplexPing(uint64_t* set_id, std::span<const Oid> add,
                   std::span<const Oid> remove, uint32_t now);
  // Releases the objects (and drops the sets) not pinged for three ping
  // periods before `now` (ms ticks, wrap-safe). Returns how many objects
  // were released. Called from a timer of the host.
  size_t CollectGarbage(uint32_t now);

  size_t object_count();
  size_t interface_count();

  // ObjrefHook: OBJREFs for [out] interface pointers; an incoming OBJREF
  // for one of this exporter's own IPIDs gives back the local object. An
  // object of the client (a callback sink) cannot be called yet: E_NOTIMPL,
  // and refused_foreign_objref() is set for the calling thread so the
  // dispatcher answers that HRESULT instead of a stub-data fault.
  HRESULT Marshal(IUnknown* object, REFIID iid,
                  std::vector<uint8_t>* objref) override;
  HRESULT Unmarshal(std::span<const uint8_t> objref, REFIID iid,
                    IUnknown** object) override;
  static bool TakeRefusedForeignObjref();
  // The failure of the calling thread's last Marshal (E_NOINTERFACE for an
  // interface not served), or S_OK; cleared by taking it.
  static HRESULT TakeMarshalFailure();

 private:
  struct Interface {
    Oid oid = 0;
    IID iid = {};
    com::ComPtr<IUnknown> pointer;  // the object's pointer for `iid`
    const com::InterfaceDescription* description = nullptr;
    uint32_t public_refs = 0;
  };
  struct Object {
    com::ComPtr<IUnknown> identity;
    std::set<Ipid, bool (*)(const Ipid&, const Ipid&)> ipids{&GuidLess};
    uint32_t last_ping = 0;
  };
  struct PingSet {
    std::set<Oid> oids;
    uint32_t last_ping = 0;
  };
  static bool GuidLess(const Ipid& a, const Ipid& b);

  const com::InterfaceDescription* Served(REFIID iid) const;
  HRESULT ExportLocked(IUnknown* object, REFIID iid, uint32_t public_refs,
                       uint32_t now, StdObjref* std,
                       std::vector<com::ComPtr<IUnknown>>* to_release);
  void DropObjectLocked(Oid oid, std::vector<com::ComPtr<IUnknown>>* out);
  uint64_t NewId();
  Ipid NewIpid();

  DualStringArray bindings_;
  std::span<const com::InterfaceDescription* const> served_;
  Oxid oxid_;
  Ipid rem_unknown_ipid_;

  std::mutex mu_;
  std::map<Ipid, Interface, bool (*)(const Ipid&, const Ipid&)> interfaces_{
      &GuidLess};
  std::map<Oid, Object> objects_;
  std::map<IUnknown*, Oid> by_identity_;
  std::map<uint64_t, PingSet> sets_;
};

}  // namespace kavex::dcom

#endif  // KAVEX_PLATFORM_DCOM_EXPORTER_H_
