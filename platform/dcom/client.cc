#include "platform/dcom/client.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

#include "platform/dcom/client_wire.h"
#include "platform/dcom/dispatcher.h"
#include "platform/dcom/orpc.h"
#include "platform/opc/opc_descriptions.h"
#include "platform/rpc/ndr.h"
#include "platform/sync/event.h"
#include "platform/sync/wait.h"

namespace kavex::dcom {

namespace {

bool GuidLess(const GUID& a, const GUID& b) {
  return std::memcmp(&a, &b, sizeof(GUID)) < 0;
}

constexpr HRESULT kServerUnavailable =
    HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE);
constexpr HRESULT kBadStubData = HRESULT_FROM_WIN32(RPC_X_BAD_STUB_DATA);

HRESULT FromNdr(rpc::NdrStatus status) {
  switch (status) {
    case rpc::NdrStatus::kOk:
      return S_OK;
    case rpc::NdrStatus::kBadStubData:
      return kBadStubData;
    case rpc::NdrStatus::kNoMemory:
      return E_OUTOFMEMORY;
    case rpc::NdrStatus::kUnsupported:
      return E_NOTIMPL;
    case rpc::NdrStatus::kBadValue:
      return E_INVALIDARG;
  }
  return E_FAIL;
}

HRESULT FromFault(uint32_t fault) {
  if (fault == rpc::kFaultAccessDenied) return E_ACCESSDENIED;
  if (fault & 0x80000000u) return static_cast<HRESULT>(fault);
  if (fault == rpc::kFaultBadStubData) return kBadStubData;
  return kCallFailed;
}

bool IsIpv4(const std::string& host) {
  in_addr a;
  return inet_pton(AF_INET, host.c_str(), &a) == 1;
}

}  // namespace

HRESULT RemoteInterfaceOf(IUnknown* pointer, RemoteInterface* out) {
  if (!pointer) return E_INVALIDARG;
  com::ComPtr<IRemoteInterfaceHolder> holder;
  if (FAILED(pointer->QueryInterface(
          IID_IRemoteInterfaceHolder,
          reinterpret_cast<void**>(holder.GetAddressOf())))) {
    return E_INVALIDARG;
  }
  *out = holder->remote();
  return S_OK;
}

// Interface pointers in calls: those received become RemoteObjects whose
// references the client holds; those sent must be the server's own.
class DcomClient::Hook : public rpc::ObjrefHook {
 public:
  explicit Hook(DcomClient* client) : client_(client) {}

  HRESULT Marshal(IUnknown* object, REFIID iid,
                  std::vector<uint8_t>* objref) override {
    RemoteInterface remote;
    // The client exports no objects of its own (no callbacks).
    if (FAILED(RemoteInterfaceOf(object, &remote))) return E_NOTIMPL;
    Objref ref;
    ref.iid = iid;
    ref.std = remote.std;
    ref.std.public_refs = 0;
    {
      std::lock_guard lock(client_->mu_);
      ref.resolver_address = client_->bindings_;
    }
    *objref = EncodeObjref(ref);
    return S_OK;
  }

  HRESULT Unmarshal(std::span<const uint8_t> bytes, REFIID iid,
                    IUnknown** object) override {
    Objref ref;
    if (!DecodeObjref(bytes, &ref)) return E_INVALIDARG;
    {
      std::lock_guard lock(client_->mu_);
      if (client_->have_exporter_ && ref.std.oxid != client_->oxid_) {
        // Another exporter's object: this client talks to one only.
        return E_NOTIMPL;
      }
    }
    com::ComPtr<RemoteObject> remote;
    HRESULT hr = RemoteObject::CreateInstance(&remote);
    if (FAILED(hr)) return hr;
    remote->set_remote({ref.iid == GUID{} ? iid : ref.iid, ref.std});
    client_->Hold(ref.std);
    *object = static_cast<IRemoteInterfaceHolder*>(remote.Detach());
    return S_OK;
  }

 private:
  DcomClient* client_;
};

DcomClient::DcomClient(DcomClientOptions options)
    : options_(options),
      hook_(std::make_unique<Hook>(this)),
      contexts_(&GuidLess),
      held_(&GuidLess) {}

DcomClient::~DcomClient() { Close(); }

HRESULT DcomClient::Connect(const std::string& host, uint16_t port,
                            const rpc::NtlmClientCredentials* credentials) {
  if (!IsIpv4(host)) return E_INVALIDARG;
  std::lock_guard lock(mu_);
  host_ = host;
  port_ = port;
  if (credentials) credentials_ = *credentials;
  rpc::ClientOptions rpc_options;
  rpc_options.max_fragment = options_.max_fragment;
  rpc_options.timeout_ms = options_.timeout_ms;
  rpc_options.credentials = credentials_ ? &*credentials_ : nullptr;
  activation_ = std::make_unique<rpc::RpcClient>(rpc_options);
  if (activation_->Connect(host, port) != ERROR_SUCCESS) {
    activation_.reset();
    return kServerUnavailable;
  }
  DWORD error = activation_->Bind(kIActivation);
  if (error != ERROR_SUCCESS) {
    activation_.reset();
    return error == ERROR_ACCESS_DENIED ? E_ACCESSDENIED : kCallFailed;
  }
  return S_OK;
}

HRESULT DcomClient::CallOn(rpc::RpcClient* rpc, uint16_t context,
                           uint16_t opnum, const std::vector<uint8_t>& in,
                           std::vector<uint8_t>* out, const GUID* object) {
  if (!rpc) return kServerUnavailable;
  uint32_t fault = 0;
  DWORD error = rpc->Call(context, opnum, in, out, &fault, object);
  if (error != ERROR_SUCCESS) return kCallFailed;
  return fault == 0 ? S_OK : FromFault(fault);
}

HRESULT DcomClient::Activate(REFCLSID clsid, std::span<const IID> iids,
                             std::vector<RemoteInterface>* interfaces,
                             std::vector<HRESULT>* results) {
  interfaces->clear();
  results->clear();
  if (iids.empty()) return E_INVALIDARG;
  std::vector<uint8_t> out;
  RemoteActivationReply reply;
  {
    std::lock_guard lock(mu_);
    HRESULT hr = CallOn(activation_.get(), 0, 0,
                        EncodeRemoteActivation(clsid, iids), &out, nullptr);
    if (FAILED(hr)) return hr;
    if (!ParseRemoteActivationReply(out, iids.size(), &reply)) {
      return kBadStubData;
    }
    if (FAILED(reply.hr)) {
      *results = reply.results;
      return reply.hr;
    }
    if (have_exporter_ && reply.oxid != oxid_) return E_NOTIMPL;
    if (!have_exporter_) {
      have_exporter_ = true;
      oxid_ = reply.oxid;
      bindings_ = reply.bindings;
      rem_unknown_ = reply.rem_unknown;
    }
    if (options_.ping_interval_ms != 0 && !pinger_.joinable()) {
      stop_event_.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
      pinger_ = std::thread([this, stop = stop_event_.get()] { Ping(stop); });
    }
  }
  *results = reply.results;
  interfaces->resize(iids.size());
  for (size_t i = 0; i < iids.size(); ++i) {
    if (FAILED(reply.results[i])) continue;
    (*interfaces)[i] = {iids[i], reply.objrefs[i].std};
    Hold(reply.objrefs[i].std);
  }
  return S_OK;
}

HRESULT DcomClient::ObjectConnection() {
  if (objects_) return S_OK;
  if (!have_exporter_) return E_UNEXPECTED;
  rpc::ClientOptions rpc_options;
  rpc_options.max_fragment = options_.max_fragment;
  rpc_options.timeout_ms = options_.timeout_ms;
  rpc_options.credentials = credentials_ ? &*credentials_ : nullptr;
  // The exporter's TCP bindings in order; a name this client cannot
  // resolve is tried at the address the activation went to.
  std::vector<std::pair<std::string, uint16_t>> targets;
  for (const StringBinding& b : bindings_.strings) {
    std::string host;
    uint16_t port = 0;
    if (b.tower_id != kTowerNcacnIpTcp ||
        !ParseTcpBindingAddress(b.network_address, &host, &port)) {
      continue;
    }
    targets.emplace_back(IsIpv4(host) ? host : host_, port);
  }
  for (const auto& [host, port] : targets) {
    auto rpc = std::make_unique<rpc::RpcClient>(rpc_options);
    if (rpc->Connect(host, port) != ERROR_SUCCESS) continue;
    DWORD error = rpc->Bind(kIRemUnknown);
    if (error == ERROR_ACCESS_DENIED) return E_ACCESSDENIED;
    if (error != ERROR_SUCCESS) continue;
    objects_ = std::move(rpc);
    contexts_.clear();
    contexts_[kIRemUnknown.uuid] = 0;
    return S_OK;
  }
  return kServerUnavailable;
}

HRESULT DcomClient::ContextFor(REFIID iid, uint16_t* context) {
  HRESULT hr = ObjectConnection();
  if (FAILED(hr)) return hr;
  auto it = contexts_.find(iid);
  if (it != contexts_.end()) {
    *context = it->second;
    return S_OK;
  }
  DWORD error = objects_->AlterContext({iid, 0, 0}, context);
  if (error == ERROR_ACCESS_DENIED) return E_NOINTERFACE;
  if (error != ERROR_SUCCESS) {
    objects_.reset();
    return kCallFailed;
  }
  contexts_[iid] = *context;
  return S_OK;
}

HRESULT DcomClient::Call(const RemoteInterface& target,
                         const com::MethodDescription* method,
                         void* const* arguments, HRESULT* result) {
  *result = E_FAIL;
  if (!method || !target.valid()) return E_INVALIDARG;
  std::vector<uint8_t> in;
  {
    rpc::WireWriter w(&in);
    WriteOrpcThis({}, &w);
  }
  rpc::NdrStatus status =
      rpc::EncodeRequest(method, arguments, hook_.get(), &in);
  if (status != rpc::NdrStatus::kOk) return FromNdr(status);
  std::vector<uint8_t> out;
  {
    std::lock_guard lock(mu_);
    uint16_t context = 0;
    HRESULT hr = ContextFor(target.iid, &context);
    if (FAILED(hr)) return hr;
    hr = CallOn(objects_.get(), context, method->opnum, in, &out,
                &target.std.ipid);
    if (hr == kCallFailed) objects_.reset();
    if (FAILED(hr)) return hr;
  }
  // Decoding may hold references (Unmarshal), so it runs unlocked.
  rpc::WireReader r(out);
  if (!ReadOrpcThat(&r)) return kBadStubData;
  return FromNdr(rpc::DecodeResponse(method, arguments, hook_.get(), out,
                                     r.position(), result));
}

HRESULT DcomClient::Call(const RemoteInterface& target,
                         std::string_view method, void* const* arguments,
                         HRESULT* result) {
  *result = E_FAIL;
  const com::InterfaceDescription* d =
      opc::FindInterfaceDescription(target.iid);
  const com::MethodDescription* m = d ? d->FindMethod(method) : nullptr;
  if (!m) return E_NOTIMPL;
  return Call(target, m, arguments, result);
}

HRESULT DcomClient::QueryInterface(const RemoteInterface& from, REFIID iid,
                                   RemoteInterface* out) {
  *out = {};
  if (!from.valid()) return E_INVALIDARG;
  std::vector<uint8_t> reply;
  std::vector<RemQiResult> results;
  HRESULT call_hr = S_OK;
  {
    std::lock_guard lock(mu_);
    uint16_t context = 0;
    HRESULT hr = ContextFor(kIRemUnknown.uuid, &context);
    if (FAILED(hr)) return hr;
    hr = CallOn(objects_.get(), context, 3,
                EncodeRemQueryInterface(from.std.ipid, options_.public_refs,
                                        {&iid, 1}),
                &reply, &rem_unknown_);
    if (hr == kCallFailed) objects_.reset();
    if (FAILED(hr)) return hr;
  }
  if (!ParseRemQueryInterfaceReply(reply, 1, &results, &call_hr)) {
    return kBadStubData;
  }
  if (FAILED(results[0].hr)) return results[0].hr;
  if (FAILED(call_hr)) return call_hr;
  *out = {iid, results[0].std};
  Hold(results[0].std);
  return S_OK;
}

HRESULT DcomClient::Release(const RemoteInterface& target) {
  RemInterfaceRef ref;
  std::vector<Oid> unpinged;
  {
    std::lock_guard lock(held_mu_);
    auto it = held_.find(target.std.ipid);
    if (it == held_.end()) return S_FALSE;
    ref = {target.std.ipid, it->second.public_refs};
    Forget(target.std.ipid, &unpinged);
  }
  std::vector<uint8_t> reply;
  std::lock_guard lock(mu_);
  uint16_t context = 0;
  HRESULT hr = ContextFor(kIRemUnknown.uuid, &context);
  if (FAILED(hr)) return hr;
  hr = CallOn(objects_.get(), context, 5, EncodeRemRelease({&ref, 1}), &reply,
              &rem_unknown_);
  if (FAILED(hr)) return hr;
  HRESULT released = E_FAIL;
  if (!ParseRemReleaseReply(reply, &released)) return kBadStubData;
  return released;
}

void DcomClient::Hold(const StdObjref& std) {
  std::lock_guard lock(held_mu_);
  auto [it, added] = held_.try_emplace(std.ipid);
  Held& held = it->second;
  held.public_refs += std.public_refs;
  if (added) {
    held.oid = std.oid;
    held.pinged = (std.flags & kSorfNoPing) == 0;
    if (held.pinged && oid_users_[std.oid]++ == 0) {
      auto gone = std::find(ping_remove_.begin(), ping_remove_.end(), std.oid);
      if (gone != ping_remove_.end()) {
        ping_remove_.erase(gone);
      } else {
        ping_add_.push_back(std.oid);
      }
    }
  }
}

void DcomClient::Forget(const Ipid& ipid, std::vector<Oid>* unpinged) {
  auto it = held_.find(ipid);
  if (it == held_.end()) return;
  if (it->second.pinged && --oid_users_[it->second.oid] == 0) {
    Oid oid = it->second.oid;
    oid_users_.erase(oid);
    auto pending = std::find(ping_add_.begin(), ping_add_.end(), oid);
    if (pending != ping_add_.end()) {
      ping_add_.erase(pending);
    } else {
      ping_remove_.push_back(oid);
    }
    unpinged->push_back(oid);
  }
  held_.erase(it);
}

void DcomClient::Ping(HANDLE stop) {
  rpc::ClientOptions rpc_options;
  rpc_options.timeout_ms = options_.timeout_ms;
  rpc_options.credentials = credentials_ ? &*credentials_ : nullptr;
  std::unique_ptr<rpc::RpcClient> rpc;
  while (WaitForSingleObject(stop, options_.ping_interval_ms) ==
         WAIT_TIMEOUT) {
    if (!rpc) {
      rpc = std::make_unique<rpc::RpcClient>(rpc_options);
      if (rpc->Connect(host_, port_) != ERROR_SUCCESS ||
          rpc->Bind(kIObjectExporter) != ERROR_SUCCESS) {
        rpc.reset();
        continue;  // the next period tries again
      }
    }
    std::vector<Oid> add, remove;
    uint64_t set = 0;
    uint16_t sequence = 0;
    {
      std::lock_guard lock(held_mu_);
      add = ping_add_;
      remove = ping_remove_;
      set = set_;
      sequence = ++ping_sequence_;
    }
    std::vector<uint8_t> out;
    uint32_t fault = 0, status = 1;
    bool ok = false, broken = false;
    if (set == 0 && add.empty()) continue;  // nothing to keep alive yet
    if (set == 0 || !add.empty() || !remove.empty()) {
      uint64_t new_set = set;
      broken = rpc->Call(0, 2, EncodeComplexPing(set, sequence, add, remove),
                         &out, &fault) != ERROR_SUCCESS;
      ok = !broken && fault == 0 &&
           ParseComplexPingReply(out, &new_set, &status) && status == 0;
      if (ok) {
        std::lock_guard lock(held_mu_);
        set_ = new_set;
        // What changed meanwhile stays pending for the next ping.
        for (Oid oid : add) {
          auto it = std::find(ping_add_.begin(), ping_add_.end(), oid);
          if (it != ping_add_.end()) ping_add_.erase(it);
        }
        for (Oid oid : remove) {
          auto it = std::find(ping_remove_.begin(), ping_remove_.end(), oid);
          if (it != ping_remove_.end()) ping_remove_.erase(it);
        }
      }
    } else {
      broken = rpc->Call(0, 1, EncodeSimplePing(set), &out, &fault) !=
               ERROR_SUCCESS;
      ok = !broken && fault == 0 && ParseSimplePingReply(out, &status) &&
           status == 0;
      if (!broken && fault == 0 && status == OR_INVALID_SET) {
        // The server forgot the set: build it again from what is held.
        std::lock_guard lock(held_mu_);
        set_ = 0;
        ping_remove_.clear();
        ping_add_.clear();
        for (const auto& [oid, users] : oid_users_) ping_add_.push_back(oid);
      }
    }
    if (ok) {
      std::lock_guard lock(held_mu_);
      ++pings_answered_;
    } else if (broken) {
      rpc.reset();  // reconnects next period
    }
  }
}

void DcomClient::StopPinger() {
  std::thread pinger;
  {
    std::lock_guard lock(mu_);
    if (stop_event_) SetEvent(stop_event_.get());
    pinger = std::move(pinger_);
  }
  if (pinger.joinable()) pinger.join();
  std::lock_guard lock(mu_);
  stop_event_.reset();
}

void DcomClient::Close() {
  StopPinger();
  std::vector<RemInterfaceRef> refs;
  {
    std::lock_guard lock(held_mu_);
    for (const auto& [ipid, held] : held_) {
      refs.push_back({ipid, held.public_refs});
    }
    held_.clear();
    oid_users_.clear();
    ping_add_.clear();
    ping_remove_.clear();
    set_ = 0;
  }
  std::lock_guard lock(mu_);
  if (!refs.empty() && have_exporter_) {
    uint16_t context = 0;
    // The references go back in batches the 16-bit count can carry.
    for (size_t i = 0; i < refs.size(); i += 0x4000) {
      size_t n = std::min<size_t>(0x4000, refs.size() - i);
      std::vector<uint8_t> reply;
      if (FAILED(ContextFor(kIRemUnknown.uuid, &context)) ||
          FAILED(CallOn(objects_.get(), context, 5,
                        EncodeRemRelease({refs.data() + i, n}), &reply,
                        &rem_unknown_))) {
        break;  // the server collects the rest once pings stop
      }
    }
  }
  objects_.reset();
  activation_.reset();
  contexts_.clear();
  have_exporter_ = false;
}

size_t DcomClient::held_interfaces() const {
  std::lock_guard lock(held_mu_);
  return held_.size();
}

uint64_t DcomClient::pings_answered() const {
  std::lock_guard lock(held_mu_);
  return pings_answered_;
}

uint64_t DcomClient::ping_set() const {
  std::lock_guard lock(held_mu_);
  return set_;
}

}  // namespace kavex::dcom
