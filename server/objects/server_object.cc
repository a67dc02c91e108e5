#include "server/objects/server_object.h"

#include <time.h>

#include <string>
#include <vector>

#include "platform/com/enumerators.h"
#include "platform/com/marshal.h"
#include "platform/opc/opc_error.h"
#include "platform/sync/clock.h"
#include "platform/sync/event.h"
#include "platform/sync/last_error.h"
#include "platform/sync/wait.h"
#include "server/objects/com_error.h"
#include "server/objects/item_properties.h"
#include "server/objects/process_state.h"
#include "server/objects/stream_writer.h"
#include "server/objects/task_array.h"
#include "server/objects/trace_log.h"

namespace kavex::server {
namespace {

constexpr LCID kLocaleEnglishUs = 1033;
constexpr LCID kLocaleSystemDefault = 2048;

// The machine's standard time-zone bias: minutes to add to local time for
// UTC (daylight saving not included). Read once: reading the zone again
// frees and rebuilds the C library's zone state, which its other readers
// (local-time conversions on any thread) must not meet half done.
LONG MachineTimeZoneBias() {
  static const LONG bias = [] {
    tzset();
    return static_cast<LONG>(timezone / 60);
  }();
  return bias;
}

HRESULT LastErrorResult() {
  const DWORD error = GetLastError();
  return error != 0 ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

// The worker call the calling thread is in, if any: a subscriber that
// releases the server from inside its callback makes FinalRelease run on
// that worker thread, which must not wait for itself.
enum class Worker { kNone, kUpdate, kAsync };
struct WorkerSlot {
  const CServer* server = nullptr;
  Worker worker = Worker::kNone;
};
thread_local WorkerSlot current_worker;

class WorkerScope {
 public:
  WorkerScope(const CServer* server, Worker worker) : saved_(current_worker) {
    current_worker = WorkerSlot{server, worker};
  }
  ~WorkerScope() { current_worker = saved_; }

 private:
  const WorkerSlot saved_;
};

bool OnWorker(const CServer* server, Worker worker) {
  return current_worker.server == server && current_worker.worker == worker;
}

}  // namespace

CServer::CServer()
    : registry_(std::make_shared<ItemRegistry>(this)),
      owner_link_(std::make_shared<GroupOwner>(this)) {
  shutdown_point_ = AddConnectionPoint(IID_IOPCShutdown);
}

CServer::~CServer() = default;

HRESULT CServer::FinalConstruct() {
  ReadTraceLevel();
  const HRESULT hr = InterfaceCall(IID_IOPCServer, u"CServer::FinalConstruct",
                                   [this] { return Construct(); });
  if (FAILED(hr)) {
    Trace(kTraceError, this, hr, "CServer::FinalConstruct: Error");
    return hr;
  }
  Trace(kTraceDone, this, hr, "CServer::FinalConstruct: Done");
  return hr;
}

HRESULT CServer::Construct() {
  Trace(kTraceStep, this, S_OK, "CServer::FinalConstruct: Creating Device");
  com::ComPtr<IKavexOPCDevice> process_device = ProcessDevice();
  if (!process_device)
    ThrowHr(E_FAIL, u"The device of the server process is not running.");
  ThrowIfFailed(process_device->QueryInterface(device_.GetAddressOf()));
  if (!device_) ThrowHr(E_POINTER);

  Trace(kTraceStep, this, S_OK, "CServer::FinalConstruct: Getting ItemIDs");
  com::Variant ids;
  ThrowIfFailed(device_->get_ItemIDs(&ids));
  com::Bstr delimiter;
  ThrowIfFailed(device_->get_PathDelimiter(delimiter.Out()));
  browse_.SetDelimiter(std::u16string(delimiter.View()));
  ThrowIfFailed(browse_.AddItemIDs(ids));

  // The stream formats are the process's from the first server object on.
  RegisteredStreamFormats();

  Trace(kTraceStep, this, S_OK, "CServer::FinalConstruct: Creating Events");
  events_ = std::make_shared<WorkerEvents>();
  events_->stop.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  if (!events_->stop) ThrowHr(LastErrorResult());
  events_->async.reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  if (!events_->async) ThrowHr(LastErrorResult());

  Trace(kTraceStep, this, S_OK,
        "CServer::FinalConstruct: Initializing Critical Sections");
  // Made directly rather than through activation: it is a class of this
  // module, and the server must reach its methods beyond the interfaces.
  ThrowIfFailed(CServerCallback::CreateInstance(&callback_));
  ThrowIfFailed(callback_->Advise(GetUnknown(), device_.Get()));

  StartWorkers();
  return S_OK;
}

void CServer::StartWorkers() {
  Trace(kTraceStep, this, S_OK,
        "CServer::FinalConstruct: Creating UpdateThread");
  auto update = std::make_unique<UpdateThreadStart>();
  update->events = events_;
  update->period_ms = kUpdatePeriodMs;
  ThrowIfFailed(CoMarshalInterThreadInterfaceInStream(
      IID__IServerCallback, callback_->GetUnknown(),
      update->callback.GetAddressOf()));
  update_thread_ = StartUpdateThread(std::move(update));

  Trace(kTraceStep, this, S_OK,
        "CServer::FinalConstruct: Creating AsyncThread");
  auto async = std::make_unique<AsyncThreadStart>();
  async->events = events_;
  ThrowIfFailed(CoMarshalInterThreadInterfaceInStream(
      IID__IServerCallback, callback_->GetUnknown(),
      async->callback.GetAddressOf()));
  async_thread_ = StartAsyncThread(std::move(async));
}

void CServer::StopWorker(UniqueHandle* thread, const char* terminating_line) {
  if (!*thread) return;
  if (WaitForSingleObject(thread->get(), kThreadStopWaitMs) == WAIT_TIMEOUT) {
    // It cannot be killed: it runs on, holding only its own start block.
    Trace(kTraceTermination, this, S_OK, terminating_line);
  }
  thread->reset();
}

void CServer::FinalRelease() {
  Trace(kTraceStep, this, S_OK,
        "CServer::FinalRelease: Setting Stop Event and Waiting for Threads to "
        "finish");
  stopping_.store(true);
  if (events_ && events_->stop) SetEvent(events_->stop.get());
  if (callback_) callback_->Unadvise();
  // A worker thread that released the server from inside a callback ends
  // by itself once it returns; it is not waited for.
  if (OnWorker(this, Worker::kUpdate))
    update_thread_.reset();
  else
    StopWorker(&update_thread_,
               "CServer::FinalRelease: Terminating Update Thread");
  if (OnWorker(this, Worker::kAsync))
    async_thread_.reset();
  else
    StopWorker(&async_thread_,
               "CServer::FinalRelease: Terminating Async Thread");
  // Requests still queued are not processed.
  requests_.Clear();
  // A call that a thread or the device began before Unadvise is still
  // running in this object: it must end before the object goes.
  if (callback_) callback_->WaitUntilIdle();
  owner_link_->Detach();

  std::map<OPCHANDLE, com::ComPtr<CGroup>> groups;
  {
    std::lock_guard<std::recursive_mutex> lock(group_mu_);
    groups.swap(groups_);
    group_names_.clear();
  }
  // Groups the client still holds answer E_FAIL from now on.
  for (auto& [handle, group] : groups) group->MarkRemoved();
  groups.clear();
  shutdown_point_->DisconnectAll();
  Trace(kTraceStep, this, S_OK,
        "CServer::FinalRelease: Delete Critical Sections");
  Trace(kTraceDone, this, S_OK, "CServer::FinalRelease: Done");
}

void CServer::SetProcessHookForTesting(std::function<void()> hook) {
  std::lock_guard<std::recursive_mutex> lock(group_mu_);
  process_hook_ = std::move(hook);
}

void CServer::SetUpdateHookForTesting(std::function<void()> hook) {
  std::lock_guard<std::recursive_mutex> lock(group_mu_);
  update_hook_ = std::move(hook);
}

std::u16string CServer::GeneratedGroupName() const {
  for (unsigned n = 1;; ++n) {
    std::u16string name = u"Group";
    for (char c : std::to_string(n)) name += static_cast<char16_t>(c);
    if (group_names_.find(name) == group_names_.end()) return name;
  }
}

HRESULT CServer::RenameGroup(CGroup* group, std::u16string_view new_name) {
  return InterfaceCall(IID_IOPCServer, u"CServer::UpdateGroupName", [&] {
    std::lock_guard<std::recursive_mutex> lock(group_mu_);
    const std::u16string wanted(new_name);
    const std::u16string old_name = group->name();
    if (group_names_.count(wanted) != 0) ThrowHr(OPC_E_DUPLICATENAME);
    auto old = group_names_.find(old_name);
    if (old == group_names_.end()) ThrowHr(OPC_E_NOTFOUND);
    if (wanted.empty()) ThrowHr(E_INVALIDARG);
    const OPCHANDLE handle = old->second;
    group_names_.emplace(wanted, handle);
    group_names_.erase(old);
    group->SetGroupName(wanted);
    Trace(kTraceDone, this, S_OK, "CServer::UpdateGroupName: Done");
    return S_OK;
  });
}

// IOPCServer.

HRESULT CServer::AddGroup(LPCWSTR szName, BOOL bActive,
                          DWORD dwRequestedUpdateRate, OPCHANDLE hClientGroup,
                          LONG* pTimeBias, FLOAT* pPercentDeadband,
                          DWORD dwLCID, OPCHANDLE* phServerGroup,
                          DWORD* pRevisedUpdateRate, REFIID riid,
                          LPUNKNOWN* ppUnk) {
  const HRESULT hr = InterfaceCall(IID_IOPCServer, u"CServer::AddGroup", [&] {
    if (ppUnk != nullptr) *ppUnk = nullptr;
    // An empty name is generated; a null one is refused.
    if (szName == nullptr || phServerGroup == nullptr ||
        pRevisedUpdateRate == nullptr || ppUnk == nullptr)
      ThrowHr(E_INVALIDARG);
    const LONG bias = pTimeBias ? *pTimeBias : MachineTimeZoneBias();
    const FLOAT deadband = pPercentDeadband ? *pPercentDeadband : 0.0f;
    if (!IsPercentDeadband(deadband)) ThrowHr(E_INVALIDARG);

    std::lock_guard<std::recursive_mutex> lock(group_mu_);
    Trace(kTraceStep, this, S_OK, "CServer::AddGroup: Create New Group",
          std::u16string_view(szName));
    com::ComPtr<CGroup> group;
    ThrowIfFailed(CGroup::CreateInstance(&group));
    // Set in this order; the first refusal ends the call and the group
    // goes with it.
    group->SetOwner(owner_link_, registry_);
    group->SetActive(bActive != FALSE);
    const HRESULT rate_result = group->SetUpdateRate(dwRequestedUpdateRate);
    std::u16string name(szName);
    if (name.empty()) {
      name = GeneratedGroupName();
    } else if (group_names_.count(name) != 0) {
      ThrowHr(OPC_E_DUPLICATENAME);
    }
    group->SetGroupName(name);
    group->SetTimeBias(bias);
    if (!IsGroupLocale(dwLCID)) ThrowHr(E_INVALIDARG);
    group->SetLocale(dwLCID);
    group->SetPercentDeadband(deadband);
    group->SetClientGroupHandle(hClientGroup);
    const OPCHANDLE handle = next_group_handle_;
    group->SetServerGroupHandle(handle);
    group->SetDevice(device_);

    com::ComPtr<IUnknown> answer;
    const HRESULT query = group->QueryInterface(
        riid, reinterpret_cast<void**>(answer.GetAddressOf()));
    ThrowIfFailed(query);

    Trace(kTraceStep, this, S_OK, "CServer::AddGroup: Add Group to map");
    auto added = groups_.emplace(handle, group);
    try {
      group_names_.emplace(name, handle);
    } catch (...) {
      groups_.erase(added.first);
      throw;
    }
    *phServerGroup = handle;
    *pRevisedUpdateRate = group->update_rate();
    ++next_group_handle_;
    *ppUnk = answer.Detach();
    return rate_result != S_OK ? rate_result : query;
  });
  if (FAILED(hr))
    Trace(kTraceError, this, hr, "CServer::AddGroup: Error");
  else
    Trace(kTraceDone, this, hr, "CServer::AddGroup: Done");
  return hr;
}

HRESULT CServer::GetErrorString(HRESULT dwError, LCID dwLocale,
                                LPWSTR* ppString) {
  return InterfaceCall(IID_IOPCServer, u"CServer::GetErrorString", [&] {
    return server::GetErrorString(this, dwError, dwLocale, ppString);
  });
}

HRESULT CServer::GetGroupByName(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) {
  const HRESULT hr =
      InterfaceCall(IID_IOPCServer, u"CServer::GetGroupByName", [&] {
        if (ppUnk != nullptr) *ppUnk = nullptr;
        if (szName == nullptr || ppUnk == nullptr) ThrowHr(E_INVALIDARG);
        std::lock_guard<std::recursive_mutex> lock(group_mu_);
        auto name = group_names_.find(std::u16string(szName));
        if (name == group_names_.end()) ThrowHr(E_INVALIDARG);
        return groups_.at(name->second)
            ->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
      });
  Trace(FAILED(hr) ? kTraceError : kTraceDone, this, hr,
        FAILED(hr) ? "CServer::GetGroupByName: Error"
                   : "CServer::GetGroupByName: Done");
  return hr;
}

HRESULT CServer::GetStatus(OPCSERVERSTATUS** ppServerStatus) {
  const HRESULT hr = InterfaceCall(IID_IOPCServer, u"CServer::GetStatus", [&] {
    if (ppServerStatus == nullptr) ThrowHr(E_INVALIDARG);
    *ppServerStatus = nullptr;
    Trace(kTraceDone, this, S_OK, "CServer::GetStatus: Get Server Status");
    TaskArray<OPCSERVERSTATUS> status;
    if (!status.Allocate(1)) ThrowHr(E_OUTOFMEMORY);
    LPWSTR vendor = TaskStringCopy(kServerVendorInfo);
    if (vendor == nullptr) ThrowHr(E_OUTOFMEMORY);
    OPCSERVERSTATUS& s = status[0];
    s.ftStartTime = ServerStartTime();
    GetSystemTimeAsFileTime(&s.ftCurrentTime);
    s.ftLastUpdateTime = last_update_time_;
    s.dwServerState = OPC_STATUS_RUNNING;
    {
      std::lock_guard<std::recursive_mutex> lock(group_mu_);
      s.dwGroupCount = static_cast<DWORD>(groups_.size());
    }
    s.dwBandWidth = 0;
    s.wMajorVersion = kServerMajorVersion;
    s.wMinorVersion = kServerMinorVersion;
    s.wBuildNumber = kServerBuildNumber;
    s.wReserved = 0;
    s.szVendorInfo = vendor;
    *ppServerStatus = status.Release();
    return S_OK;
  });
  Trace(FAILED(hr) ? kTraceError : kTraceDone, this, hr,
        FAILED(hr) ? "CServer::GetStatus: Error" : "CServer::GetStatus: Done");
  return hr;
}

HRESULT CServer::RemoveGroup(OPCHANDLE hServerGroup, BOOL /*bForce*/) {
  com::ComPtr<CGroup> released;
  const HRESULT hr =
      InterfaceCall(IID_IOPCServer, u"CServer::RemoveGroup", [&] {
        std::lock_guard<std::recursive_mutex> lock(group_mu_);
        auto it = groups_.find(hServerGroup);
        if (it == groups_.end()) ThrowHr(E_INVALIDARG);
        group_names_.erase(it->second->name());
        HRESULT result = S_OK;
        // Only the server's reference: the group goes. Otherwise the
        // client keeps a group that answers E_FAIL from now on.
        if (it->second->ReferenceCount() >= 2) {
          it->second->MarkRemoved();
          result = OPC_S_INUSE;
        }
        released = std::move(it->second);
        groups_.erase(it);
        return result;
      });
  released.Reset();  // outside the group lock
  if (SUCCEEDED(hr) && TraceEnabled(kTraceDone)) {
    const ULONG references = AddRef() - 1;
    Release();
    Trace(kTraceDone, this, hr, "CServer::RemoveGroup",
          "Ref Count: " + std::to_string(references));
    Trace(kTraceDone, this, hr, "CServer::RemoveGroup: Done");
  }
  return hr;
}

HRESULT CServer::CreateGroupEnumerator(OPCENUMSCOPE /*dwScope*/, REFIID riid,
                                       LPUNKNOWN* ppUnk) {
  const HRESULT hr =
      InterfaceCall(IID_IOPCServer, u"CServer::CreateGroupEnumerator", [&] {
        if (ppUnk != nullptr) *ppUnk = nullptr;
        if (ppUnk == nullptr) ThrowHr(E_INVALIDARG);
        // Every group is private to this server object, whatever the scope.
        std::lock_guard<std::recursive_mutex> lock(group_mu_);
        HRESULT made;
        if (riid == IID_IEnumUnknown) {
          std::vector<com::ComPtr<IUnknown>> groups;
          groups.reserve(groups_.size());
          for (auto& [handle, group] : groups_)
            groups.emplace_back(group->GetUnknown());
          IEnumUnknown* enumerator = nullptr;
          made = com::CreateEnumUnknown(std::move(groups), &enumerator);
          *ppUnk = enumerator;
        } else if (riid == IID_IEnumString) {
          std::vector<std::u16string> names;
          names.reserve(groups_.size());
          for (auto& [handle, group] : groups_) names.push_back(group->name());
          IEnumString* enumerator = nullptr;
          made = com::CreateEnumString(std::move(names), &enumerator);
          *ppUnk = enumerator;
        } else {
          ThrowHr(E_NOINTERFACE);
        }
        ThrowIfFailed(made);
        return groups_.empty() ? S_FALSE : made;
      });
  Trace(FAILED(hr) ? kTraceError : kTraceDone, this, hr,
        FAILED(hr) ? "CServer::CreateGroupEnumerator: Error"
                   : "CServer::CreateGroupEnumerator: Done");
  return hr;
}

// IOPCCommon.

HRESULT CServer::SetLocaleID(LCID dwLcid) {
  return InterfaceCall(IID_IOPCCommon, u"CServer::SetLocaleID", [&] {
    if (dwLcid != kLocaleEnglishUs && dwLcid != kLocaleSystemDefault)
      ThrowHr(E_INVALIDARG);
    locale_.store(dwLcid);
    return S_OK;
  });
}

HRESULT CServer::GetLocaleID(LCID* pdwLcid) {
  return InterfaceCall(IID_IOPCCommon, u"CServer::GetLocaleID", [&] {
    if (pdwLcid == nullptr) ThrowHr(E_INVALIDARG);
    *pdwLcid = locale_.load();
    return S_OK;
  });
}

HRESULT CServer::QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid) {
  return InterfaceCall(IID_IOPCCommon, u"CServer::QueryAvailableLocaleIDs",
                       [&] {
                         if (pdwCount != nullptr) *pdwCount = 0;
                         if (pdwLcid != nullptr) *pdwLcid = nullptr;
                         if (pdwCount == nullptr || pdwLcid == nullptr)
                           ThrowHr(E_INVALIDARG);
                         TaskArray<LCID> locales;
                         if (!locales.Allocate(2)) ThrowHr(E_OUTOFMEMORY);
                         locales[0] = kLocaleEnglishUs;
                         locales[1] = kLocaleSystemDefault;
                         *pdwCount = 2;
                         *pdwLcid = locales.Release();
                         return S_OK;
                       });
}

HRESULT CServer::GetErrorString(HRESULT dwError, LPWSTR* ppString) {
  return GetErrorString(dwError, 0, ppString);
}

HRESULT CServer::SetClientName(LPCWSTR szName) {
  return InterfaceCall(IID_IOPCCommon, u"CServer::SetClientName", [&] {
    if (szName == nullptr) ThrowHr(E_INVALIDARG);
    return S_OK;  // not kept
  });
}

// IOPCBrowseServerAddressSpace.

HRESULT CServer::QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) {
  return InterfaceCall(
      IID_IOPCBrowseServerAddressSpace, u"CServer::QueryOrganization",
      [&] { return browse_.QueryOrganization(pNameSpaceType); });
}

HRESULT CServer::ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection,
                                      LPCWSTR szString) {
  return InterfaceCall(
      IID_IOPCBrowseServerAddressSpace, u"CServer::ChangeBrowsePosition", [&] {
        return browse_.ChangeBrowsePosition(this, dwBrowseDirection, szString);
      });
}

HRESULT CServer::BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType,
                                  LPCWSTR szFilterCriteria,
                                  VARTYPE vtDataTypeFilter,
                                  DWORD dwAccessRightsFilter,
                                  IEnumString** ppIEnumString) {
  return InterfaceCall(
      IID_IOPCBrowseServerAddressSpace, u"CServer::BrowseOPCItemIDs", [&] {
        return browse_.BrowseOPCItemIDs(this, dwBrowseFilterType,
                                        szFilterCriteria, vtDataTypeFilter,
                                        dwAccessRightsFilter, ppIEnumString);
      });
}

HRESULT CServer::GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) {
  return InterfaceCall(
      IID_IOPCBrowseServerAddressSpace, u"CServer::GetItemID",
      [&] { return browse_.GetItemID(this, szItemDataID, szItemID); });
}

HRESULT CServer::BrowseAccessPaths(LPCWSTR szItemID,
                                   IEnumString** ppIEnumString) {
  return InterfaceCall(
      IID_IOPCBrowseServerAddressSpace, u"CServer::BrowseAccessPaths",
      [&] { return browse_.BrowseAccessPaths(szItemID, ppIEnumString); });
}

// IOPCItemProperties: the device is asked on the calling thread, without
// any of the server's locks.

HRESULT CServer::QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount,
                                          DWORD** ppPropertyIDs,
                                          LPWSTR** ppDescriptions,
                                          VARTYPE** ppvtDataTypes) {
  return InterfaceCall(
      IID_IOPCItemProperties, u"CServer::QueryAvailableProperties", [&] {
        return server::QueryAvailableProperties(device_.Get(), this, szItemID,
                                                pdwCount, ppPropertyIDs,
                                                ppDescriptions, ppvtDataTypes);
      });
}

HRESULT CServer::GetItemProperties(LPWSTR szItemID, DWORD dwCount,
                                   DWORD* pdwPropertyIDs, VARIANT** ppvData,
                                   HRESULT** ppErrors) {
  return InterfaceCall(
      IID_IOPCItemProperties, u"CServer::GetItemProperties", [&] {
        return server::GetItemProperties(device_.Get(), this, szItemID, dwCount,
                                         pdwPropertyIDs, ppvData, ppErrors);
      });
}

HRESULT CServer::LookupItemIDs(LPWSTR szItemID, DWORD dwCount,
                               DWORD* pdwPropertyIDs, LPWSTR** ppszNewItemIDs,
                               HRESULT** ppErrors) {
  return InterfaceCall(IID_IOPCItemProperties, u"CServer::LookupItemIDs", [&] {
    return server::LookupItemIDs(device_.Get(), this, szItemID, dwCount,
                                 pdwPropertyIDs, ppszNewItemIDs, ppErrors);
  });
}

// _IKavexOPCServer.

HRESULT CServer::Update() {
  const WorkerScope scope(this, Worker::kUpdate);
  std::function<void()> hook;
  {
    std::lock_guard<std::recursive_mutex> lock(group_mu_);
    hook = update_hook_;
  }
  if (hook) hook();
  const bool tick = thread_ticks_.load();
  ++update_count_;
  if (tick) Tick();
  return S_OK;
}

void CServer::Tick() {
  Notifications out;
  try {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    std::lock_guard<std::recursive_mutex> lock(group_mu_);
    for (auto& [handle, group] : groups_) {
      try {
        group->Update(kUpdatePeriodMs, now, &out);
      } catch (...) {
        // The tick goes on with the next group.
      }
    }
  } catch (...) {
  }
  // Outside the group lock: a subscriber may call back into this server.
  // The notifications hold the groups and sinks; nothing of this object is
  // touched after delivery, which may have released it.
  DeliverAll(&out);
}

HRESULT CServer::ProcessAsyncRequest() {
  const WorkerScope scope(this, Worker::kAsync);
  std::function<void()> hook;
  {
    std::lock_guard<std::recursive_mutex> lock(group_mu_);
    hook = process_hook_;
  }
  if (hook) hook();
  // One request at a time under the group lock, its completion delivered
  // after the lock is released.
  for (;;) {
    if (stopping_.load()) return S_OK;
    Notifications out;
    try {
      std::lock_guard<std::recursive_mutex> lock(group_mu_);
      std::unique_ptr<AsyncRequest> request = requests_.Pop();
      if (!request) return S_OK;
      auto it = groups_.find(request->group);
      // A request of a group removed meanwhile is dropped.
      if (it != groups_.end()) it->second->ProcessRequest(*request, &out);
    } catch (...) {
      // The drain goes on with the next request.
    }
    DeliverAll(&out);
  }
}

HRESULT CServer::QueueRequest(std::unique_ptr<AsyncRequest> request) {
  if (stopping_.load() || !events_ || !events_->async) return E_FAIL;
  requests_.Push(std::move(request));
  SetEvent(events_->async.get());
  return S_OK;
}

HRESULT CServer::CancelRequest(DWORD transaction) {
  return requests_.Cancel(transaction) ? S_OK : E_FAIL;
}

HRESULT CServer::get_Device(IUnknown** pVal) {
  return InterfaceCall(IID__IKavexOPCServer, u"CServer::get_Device", [&] {
    if (pVal == nullptr) ThrowHr(E_POINTER);
    *pVal = nullptr;
    if (!device_) ThrowHr(E_FAIL);
    return device_->QueryInterface(IID_IUnknown,
                                   reinterpret_cast<void**>(pVal));
  });
}

// _IKavexOPCDeviceEvents.

HRESULT CServer::Change(BSTR sItemID, VARIANT vValue) {
  InterfaceCall(IID__IKavexOPCDeviceEvents, u"CServer::Change", [&] {
    std::lock_guard<std::recursive_mutex> lock(group_mu_);
    registry_->ForEachRecord(com::BstrView(sItemID), [&](ItemRecord& record) {
      FILETIME now{};
      GetSystemTimeAsFileTime(&now);
      record.group->Change(record, vValue, now);
    });
    return S_OK;
  });
  Trace(kTraceDetail, this, S_OK, "CServer::Change", com::BstrView(sItemID));
  return S_OK;
}

HRESULT CServer::AddItemIDs(VARIANT vItemIDs) {
  return InterfaceCall(IID__IKavexOPCDeviceEvents, u"CServer::AddItemIDs",
                       [&] { return browse_.AddItemIDs(vItemIDs); });
}

HRESULT CServer::RemoveItemIDs(VARIANT vItemIDs) {
  return InterfaceCall(IID__IKavexOPCDeviceEvents, u"CServer::RemoveItemIDs",
                       [&] { return browse_.RemoveItemIDs(vItemIDs); });
}

HRESULT CServer::RefreshItemIDs(VARIANT vItemIDs) {
  return InterfaceCall(IID__IKavexOPCDeviceEvents, u"CServer::RefreshItemIDs",
                       [&] { return browse_.RefreshItemIDs(vItemIDs); });
}

}  // namespace kavex::server
