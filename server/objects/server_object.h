// CServer: the OPC server object (class Server) a client creates, one per
// client connection. It binds to the process's device, keeps the client's
// groups with an index by name, the item registry of their items and the
// browse tree and position, answers IOPCServer and IOPCCommon, and runs two
// worker threads (update and asynchronous requests) that reach it through
// its ServerCallback.
//
// Locks: the group lock guards the groups, their names and handles, and is
// held by every walk of the item registry for a pushed value; it comes
// before every lock of a group. The browse tree has its own lock.
//
// Going away (FinalRelease): the stop event is set, the callback stops
// forwarding, and each worker thread gets 2000 ms to end. A thread that
// does not end cannot be killed; it is left running. It owns its start
// block (its own references to the events and to the callback) and reaches
// the server only through the callback, so nothing it holds is freed under
// it; a call it already has running in the server is waited for before the
// server's memory goes. The groups the client still holds are marked
// removed and cut off from the server.
#ifndef KAVEX_SERVER_OBJECTS_SERVER_OBJECT_H_
#define KAVEX_SERVER_OBJECTS_SERVER_OBJECT_H_

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/base/unique_handle.h"
#include "platform/com/com_object.h"
#include "platform/com/com_ptr.h"
#include "platform/com/connection_point.h"
#include "platform/opc/opc_common.h"
#include "platform/opc/opc_da.h"
#include "server/contract/device_interfaces.h"
#include "server/objects/async_request.h"
#include "server/objects/browse_space.h"
#include "server/objects/data_change.h"
#include "server/objects/group_object.h"
#include "server/objects/group_owner.h"
#include "server/objects/item_registry.h"
#include "server/objects/server_callback.h"
#include "server/objects/worker_threads.h"

inline constexpr CLSID CLSID_Server =
    kavex::com::GuidLiteral("{79910CD7-CD3A-415F-9CE5-A178A44EB618}");

namespace kavex::server {

// What GetStatus reports of this server.
inline constexpr WORD kServerMajorVersion = 9;
inline constexpr WORD kServerMinorVersion = 7;
inline constexpr WORD kServerBuildNumber = 0;
inline constexpr char16_t kServerVendorInfo[] = u"Kavex";
// The update thread's tick, also what each tick takes off a group's
// countdown.
inline constexpr DWORD kUpdatePeriodMs = 100;
// How long FinalRelease waits for each worker thread.
inline constexpr DWORD kThreadStopWaitMs = 2000;

class CServer
    : public com::ComObject<CServer, com::ConnectionPointContainerImpl,
                            IOPCBrowseServerAddressSpace, IOPCCommon,
                            IOPCItemProperties, IOPCServer, _IKavexOPCServer,
                            _IKavexOPCDeviceEvents> {
 public:
  CServer();
  ~CServer() override;

  // Binds to the process's device (its item list and path delimiter build
  // the browse tree), subscribes the callback and starts the worker
  // threads. A failing step fails the construction with its result.
  HRESULT FinalConstruct();
  void FinalRelease();

  // For the groups: renames `group` (OPC_E_DUPLICATENAME when the new
  // name is taken, OPC_E_NOTFOUND when the group's name is no longer
  // indexed, E_INVALIDARG for an empty name), under the group lock.
  HRESULT RenameGroup(CGroup* group, std::u16string_view new_name);

  // For the groups' asynchronous calls: queues `request` and wakes the
  // async thread (E_FAIL once the server is going away).
  HRESULT QueueRequest(std::unique_ptr<AsyncRequest> request);
  // Takes the first queued request of `transaction` (any group's) out of
  // the queue: S_OK, or E_FAIL when none is queued.
  HRESULT CancelRequest(DWORD transaction);

  // Tests: runs `hook` at the start of every Update.
  void SetUpdateHookForTesting(std::function<void()> hook);
  // Tests: runs `hook` at the start of every drain of the request queue.
  void SetProcessHookForTesting(std::function<void()> hook);
  // The update tick over the groups (what Update runs): each due group
  // polls the device; the changes go to the subscribers after the group
  // lock is released.
  void Tick();
  // Tests: with false, Update (the update thread's call) only counts
  // itself and the test runs the ticks with Tick.
  void SetThreadTicksForTesting(bool on) { thread_ticks_.store(on); }
  // Tests: the number of Update calls so far, and requests queued now.
  uint64_t UpdateCountForTesting() const { return update_count_.load(); }
  size_t QueuedRequestCountForTesting() const { return requests_.size(); }

  // IOPCServer.
  HRESULT AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate,
                   OPCHANDLE hClientGroup, LONG* pTimeBias,
                   FLOAT* pPercentDeadband, DWORD dwLCID,
                   OPCHANDLE* phServerGroup, DWORD* pRevisedUpdateRate,
                   REFIID riid, LPUNKNOWN* ppUnk) override;
  HRESULT GetErrorString(HRESULT dwError, LCID dwLocale,
                         LPWSTR* ppString) override;
  HRESULT GetGroupByName(LPCWSTR szName, REFIID riid,
                         LPUNKNOWN* ppUnk) override;
  HRESULT GetStatus(OPCSERVERSTATUS** ppServerStatus) override;
  HRESULT RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) override;
  HRESULT CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid,
                                LPUNKNOWN* ppUnk) override;

  // IOPCCommon.
  HRESULT SetLocaleID(LCID dwLcid) override;
  HRESULT GetLocaleID(LCID* pdwLcid) override;
  HRESULT QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid) override;
  HRESULT GetErrorString(HRESULT dwError, LPWSTR* ppString) override;
  HRESULT SetClientName(LPCWSTR szName) override;

  // IOPCBrowseServerAddressSpace.
  HRESULT QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) override;
  HRESULT ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection,
                               LPCWSTR szString) override;
  HRESULT BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType,
                           LPCWSTR szFilterCriteria, VARTYPE vtDataTypeFilter,
                           DWORD dwAccessRightsFilter,
                           IEnumString** ppIEnumString) override;
  HRESULT GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) override;
  HRESULT BrowseAccessPaths(LPCWSTR szItemID,
                            IEnumString** ppIEnumString) override;

  // IOPCItemProperties.
  HRESULT QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount,
                                   DWORD** ppPropertyIDs,
                                   LPWSTR** ppDescriptions,
                                   VARTYPE** ppvtDataTypes) override;
  HRESULT GetItemProperties(LPWSTR szItemID, DWORD dwCount,
                            DWORD* pdwPropertyIDs, VARIANT** ppvData,
                            HRESULT** ppErrors) override;
  HRESULT LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                        LPWSTR** ppszNewItemIDs, HRESULT** ppErrors) override;

  // _IKavexOPCServer: the worker threads' two entry points, and the device.
  HRESULT Update() override;
  HRESULT ProcessAsyncRequest() override;
  HRESULT get_Device(IUnknown** pVal) override;

  // _IKavexOPCDeviceEvents: a pushed value reaches every record of the
  // item; the item-list events maintain the browse tree.
  HRESULT Change(BSTR sItemID, VARIANT vValue) override;
  HRESULT AddItemIDs(VARIANT vItemIDs) override;
  HRESULT RemoveItemIDs(VARIANT vItemIDs) override;
  HRESULT RefreshItemIDs(VARIANT vItemIDs) override;

 private:
  HRESULT Construct();
  void StartWorkers();
  // The first "Group<n>" (n = 1, 2, ...) not in use; under the group lock.
  std::u16string GeneratedGroupName() const;
  void StopWorker(UniqueHandle* thread, const char* terminating_line);

  com::ConnectionPoint* shutdown_point_;  // owned by the container
  com::ComPtr<IKavexOPCDevice> device_;
  com::ComPtr<CServerCallback> callback_;

  // Under the group lock. Recursive, as a pushed value may arrive on a
  // thread that already holds it (a device firing from inside a call).
  std::recursive_mutex group_mu_;
  std::map<OPCHANDLE, com::ComPtr<CGroup>> groups_;
  std::map<std::u16string, OPCHANDLE> group_names_;
  OPCHANDLE next_group_handle_ = 0;
  std::function<void()> update_hook_;
  std::function<void()> process_hook_;
  std::atomic<uint64_t> update_count_{0};
  std::atomic<bool> thread_ticks_{true};
  std::atomic<bool> stopping_{false};
  RequestQueue requests_;

  const std::shared_ptr<ItemRegistry> registry_;
  const std::shared_ptr<GroupOwner> owner_link_;

  std::shared_ptr<WorkerEvents> events_;
  UniqueHandle update_thread_;
  UniqueHandle async_thread_;

  std::atomic<LCID> locale_{1033};
  FILETIME last_update_time_{};  // reported; nothing sets it
  BrowseSpace browse_;
};

}  // namespace kavex::server

#endif  // KAVEX_SERVER_OBJECTS_SERVER_OBJECT_H_
