// CGroup: an OPC group (class Group). The server object creates it in
// AddGroup and holds it until RemoveGroup; it holds the group's state, the
// records of the items the client added and the cache of their values.
//
// Locks, in the order they may be taken: the server's group lock (taken by
// the server, never by the group), then the items lock (the item table),
// then the item registry's lock, then the item-value lock (each record's
// value, quality, timestamp, active flag, client handle and requested
// type). The state lock guards the state fields; nothing else is taken
// under it, so it may be taken anywhere. The device is called holding at
// most the items lock, never the item-value lock.
//
// A group whose server removed it while the client still held it, or whose
// server went away, is marked removed: every client call then fails with
// E_FAIL.
#ifndef KAVEX_SERVER_OBJECTS_GROUP_OBJECT_H_
#define KAVEX_SERVER_OBJECTS_GROUP_OBJECT_H_

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "platform/com/com_object.h"
#include "platform/com/com_ptr.h"
#include "platform/com/connection_point.h"
#include "platform/com/data_object.h"
#include "platform/opc/opc_da.h"
#include "server/contract/device_interfaces.h"
#include "server/objects/async_request.h"
#include "server/objects/data_change.h"
#include "server/objects/group_owner.h"
#include "server/objects/item_record.h"
#include "server/objects/item_registry.h"

inline constexpr CLSID CLSID_Group =
    kavex::com::GuidLiteral("{897B5A9B-25C7-4C20-BD6A-C13EA4397A6A}");

namespace kavex::server {

// Locales a group accepts: neutral (0), US English and the system default.
bool IsGroupLocale(DWORD lcid);
// Rates are multiples of the 100 ms tick and at least one tick: rounded
// down, then raised to 100. S_OK when unchanged, else OPC_S_UNSUPPORTEDRATE.
HRESULT ReviseUpdateRate(DWORD requested, DWORD* revised);
// A percent deadband lies in [0, 100] (NaN does not).
bool IsPercentDeadband(FLOAT deadband);

// Who a data change goes to: every subscriber (update ticks, forced
// notifications), the IOPCDataCallback sinks only (a 2.0 refresh), or one
// DAdvise connection only (a 1.0 refresh).
enum class Audience { kAll, kCallbacks, kConnection };

// The trace texts of one asynchronous call (async_io.cc).
struct AsyncCallTexts;

class CGroup
    : public com::ComObject<CGroup, com::ConnectionPointContainerImpl,
                            IOPCAsyncIO2, IOPCAsyncIO, IOPCGroupStateMgt,
                            IOPCItemMgt, IOPCSyncIO, IDataObject> {
 public:
  CGroup();

  HRESULT FinalConstruct();
  void FinalRelease();

  // Set-up by the server's AddGroup, before the client sees the group.
  void SetOwner(std::shared_ptr<GroupOwner> owner,
                std::shared_ptr<ItemRegistry> registry);
  void SetActive(bool active);
  HRESULT SetUpdateRate(DWORD requested);
  void SetGroupName(std::u16string name);  // under the server's group lock
  void SetTimeBias(LONG bias);
  void SetLocale(DWORD lcid);
  void SetPercentDeadband(FLOAT deadband);
  void SetClientGroupHandle(OPCHANDLE handle);
  void SetServerGroupHandle(OPCHANDLE handle);
  void SetDevice(com::ComPtr<IKavexOPCDevice> device);

  std::u16string name() const;
  OPCHANDLE server_handle() const;
  DWORD update_rate() const;
  bool active() const { return active_.load(std::memory_order_acquire); }
  bool removed() const { return removed_.load(std::memory_order_acquire); }
  void MarkRemoved() { removed_.store(true, std::memory_order_release); }
  // References held on the group now (a snapshot).
  ULONG ReferenceCount();
  size_t ItemCount();

  // A value the device pushed for `record`: cached with quality good and
  // the time `now`.
  void Change(ItemRecord& record, const VARIANT& value, const FILETIME& now);
  // Reads `record` from the device into the cache: OPC_E_BADRIGHTS for an
  // item that is not readable (the device is not asked); on any failure
  // the cached quality becomes bad and value and timestamp stay.
  HRESULT ReadDevice(ItemRecord& record);
  // ReadDevice in two halves, for callers that read many items and take
  // the item-value lock once for all of them: the device's answer (or
  // OPC_E_BADRIGHTS) into `value`, which must be empty, then, under the
  // item-value lock, the answer into the cache as read at `now` (the time
  // taken before the device was asked); `value` is left empty.
  HRESULT AskDevice(ItemRecord& record, VARIANT* value);
  void CacheDeviceAnswer(ItemRecord& record, HRESULT answer, VARIANT* value,
                         const FILETIME& now);
  // Writes `value` to the device, converted to the item's canonical type:
  // OPC_E_BADRIGHTS for an item that is not writable (the device is not
  // asked), the conversion's or the device's failure, or S_OK and the
  // cache holds the value as the device got it.
  HRESULT WriteDevice(ItemRecord& record, const VARIANT& value);

  // Subscriptions (data_change_group.cc). The update tick, under the
  // server's group lock: nothing for an inactive group or one whose
  // countdown has not run out; else the active items are read from the
  // device (answers cached as read at `now`) and the changed ones go to
  // `out`.
  void Update(DWORD period, const FILETIME& now, Notifications* out);
  // The notification of the active items (all of them when `force` or
  // `transaction` is set, else the changed ones) for `audience`, into
  // `out`; nothing for an inactive group or when no item qualifies.
  void DoDataChange(DWORD transaction, bool force, Audience audience,
                    DWORD connection, Notifications* out);
  size_t DataCallbackCount() const;
  size_t AdviseConnectionCount();

  // Asynchronous requests (async_io.cc): the work of one dequeued request
  // of this group, under the server's group lock; what it sends goes to
  // `out`.
  void ProcessRequest(AsyncRequest& request, Notifications* out);

  // IOPCAsyncIO2.
  HRESULT Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID,
               DWORD* pdwCancelID, HRESULT** ppErrors) override;
  HRESULT Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                DWORD dwTransactionID, DWORD* pdwCancelID,
                HRESULT** ppErrors) override;
  HRESULT Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID,
                   DWORD* pdwCancelID) override;
  HRESULT Cancel2(DWORD dwCancelID) override;
  HRESULT SetEnable(BOOL bEnable) override;
  HRESULT GetEnable(BOOL* pbEnable) override;

  // IOPCAsyncIO.
  HRESULT Read(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD dwCount,
               OPCHANDLE* phServer, DWORD* pTransactionID,
               HRESULT** ppErrors) override;
  HRESULT Write(DWORD dwConnection, DWORD dwCount, OPCHANDLE* phServer,
                VARIANT* pItemValues, DWORD* pTransactionID,
                HRESULT** ppErrors) override;
  HRESULT Refresh(DWORD dwConnection, OPCDATASOURCE dwSource,
                  DWORD* pTransactionID) override;
  HRESULT Cancel(DWORD dwTransactionID) override;

  // IDataObject (data_object_group.cc): DAdvise and DUnadvise; the rest
  // is E_NOTIMPL.
  HRESULT GetData(FORMATETC* format, STGMEDIUM* medium) override;
  HRESULT GetDataHere(FORMATETC* format, STGMEDIUM* medium) override;
  HRESULT QueryGetData(FORMATETC* format) override;
  HRESULT GetCanonicalFormatEtc(FORMATETC* in, FORMATETC* out) override;
  HRESULT SetData(FORMATETC* format, STGMEDIUM* medium, BOOL release) override;
  HRESULT EnumFormatEtc(DWORD direction, IEnumFORMATETC** formats) override;
  HRESULT DAdvise(FORMATETC* format, DWORD advf, IAdviseSink* sink,
                  DWORD* connection) override;
  HRESULT DUnadvise(DWORD connection) override;
  HRESULT EnumDAdvise(IEnumSTATDATA** advises) override;

  // IOPCGroupStateMgt.
  HRESULT GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName,
                   LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD* pLCID,
                   OPCHANDLE* phClientGroup, OPCHANDLE* phServerGroup) override;
  HRESULT SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate,
                   BOOL* pActive, LONG* pTimeBias, FLOAT* pPercentDeadband,
                   DWORD* pLCID, OPCHANDLE* phClientGroup) override;
  HRESULT SetName(LPCWSTR szName) override;
  HRESULT CloneGroup(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) override;

  // IOPCItemMgt.
  HRESULT AddItems(DWORD dwCount, OPCITEMDEF* pItemArray,
                   OPCITEMRESULT** ppAddResults, HRESULT** ppErrors) override;
  HRESULT ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL bBlobUpdate,
                        OPCITEMRESULT** ppValidationResults,
                        HRESULT** ppErrors) override;
  HRESULT RemoveItems(DWORD dwCount, OPCHANDLE* phServer,
                      HRESULT** ppErrors) override;
  HRESULT SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive,
                         HRESULT** ppErrors) override;
  HRESULT SetClientHandles(DWORD dwCount, OPCHANDLE* phServer,
                           OPCHANDLE* phClient, HRESULT** ppErrors) override;
  HRESULT SetDatatypes(DWORD dwCount, OPCHANDLE* phServer,
                       VARTYPE* pRequestedDatatypes,
                       HRESULT** ppErrors) override;
  HRESULT CreateEnumerator(REFIID riid, LPUNKNOWN* ppUnk) override;

  // IOPCSyncIO (sync_io.cc).
  HRESULT Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
               OPCITEMSTATE** ppItemValues, HRESULT** ppErrors) override;
  HRESULT Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                HRESULT** ppErrors) override;

 private:
  struct Connection {
    FORMATETC format;  // as given, without the target device
    com::ComPtr<IAdviseSink> sink;
  };

  // The scratch of the update tick's reads: the device's answers for a
  // batch of records, kept from tick to tick so that a text answer can be
  // written into the string of an earlier one. Used only under the
  // server's group lock.
  struct PollBatch {
    static constexpr size_t kSize = 64;
    PollBatch();
    ~PollBatch();  // frees the values
    PollBatch(const PollBatch&) = delete;
    PollBatch& operator=(const PollBatch&) = delete;

    ItemRecord* records[kSize];
    BSTR ids[kSize];
    VARIANT values[kSize];  // owned
    HRESULT results[kSize];
  };

  // Reads every active item from the device into the cache (under the
  // items lock, which the caller holds).
  void ReadActiveItems(const FILETIME& now);
  // The update tick without step tracing: each batch of active items is
  // read from the device, cached and given the change test in one pass,
  // while its records are in the processor's cache. The changed items go
  // to `out`, as DoDataChange(0, not forced, everyone) sends them.
  void PollAndNotify(const FILETIME& now, Notifications* out);
  // Reads records[i] from the device for i < count: the answer into
  // values[i] (in-out: a value of the caller's, which the device reuses or
  // frees; empty after a failure) and results[i], OPC_E_BADRIGHTS for an
  // item that is not readable (the device is not asked). ids[] is scratch.
  void AskDeviceMany(size_t count, ItemRecord* const* records, BSTR* ids,
                     VARIANT* values, HRESULT* results);
  // The change test of DoDataChange for one active item: when it changed,
  // its entry into `notification` and its value as sent. The caller holds
  // the item-value lock.
  static void AddIfChanged(ItemRecord& record, bool everything,
                           bool group_active, Notification* notification);
  // The end of DoDataChange: the sinks and streams of `notification` when
  // it has entries, and the notification into `out`.
  void FinishDataChange(std::unique_ptr<Notification> notification,
                        DWORD transaction, Audience audience, DWORD connection,
                        Notifications* out);
  // Sends the forced notification of all active items to all subscribers
  // (activation, a new IOPCDataCallback sink), from a client's thread.
  void SendForcedDataChange();
  // Adds to `notification` the stream of its entries for `connection`
  // when that connection takes one of the data formats.
  void AddStream(DWORD connection, Notification* notification);
  // The queueing half of the asynchronous calls (async_io.cc).
  HRESULT QueueItems(const AsyncCallTexts& texts, DWORD kind, DWORD count,
                     const OPCHANDLE* handles, const VARIANT* values,
                     bool arguments_ok, DWORD client_transaction,
                     DWORD connection, DWORD* id_out, HRESULT** errors_out);
  HRESULT QueueRefresh(const AsyncCallTexts& texts, DWORD kind, DWORD source,
                       DWORD client_transaction, DWORD connection,
                       DWORD* id_out);
  HRESULT CancelRequest(bool old_generation, DWORD id);
  // E_FAIL when removed, then CONNECT_E_NOCONNECTION without a subscriber
  // of the call's generation.
  void CheckSubscriber(bool old_generation);
  void ProcessRead(const AsyncRequest& request, Notifications* out);
  void ProcessWrite(const AsyncRequest& request, Notifications* out);
  void ProcessOldRead(const AsyncRequest& request, Notifications* out);
  std::unique_ptr<Notification> NewNotification(Notification::Kind kind,
                                                DWORD transaction);

  // Validates the definitions with the device; AddItems also makes the
  // records (under the items lock).
  HRESULT CheckItems(bool add, DWORD count, const OPCITEMDEF* definitions,
                     OPCITEMRESULT** results, HRESULT** errors);
  // Applies set(record) under the item-value lock to each handle's record.
  template <class Set>
  HRESULT ForEachHandle(DWORD count, const OPCHANDLE* handles, HRESULT** errors,
                        Set&& set);
  // Stores `value` in the cache as good at `now` (the caller holds the
  // item-value lock).
  static void CacheGoodValue(ItemRecord& record, const VARIANT& value,
                             const FILETIME& now);
  void Unregister(ItemRecord& record);
  // When the cache and the device's `answer` are strings of the same
  // length: the answer's characters into the cached string, quality good,
  // timestamp `now`, and true; else nothing and false. The caller holds the
  // item-value lock.
  bool CacheTextInPlace(ItemRecord& record, const VARIANT& answer,
                        const FILETIME& now);
  // The synchronous read from the device of `records` (null: an unknown
  // handle, already in `errors`).
  HRESULT ReadFromDevice(
      const std::vector<std::shared_ptr<ItemRecord>>& records,
      OPCITEMSTATE* states, HRESULT* errors);

  // State, under the state lock.
  mutable std::mutex state_mu_;
  std::u16string name_;
  std::atomic<bool> active_{false};
  DWORD update_rate_ = 0;
  OPCHANDLE client_handle_ = 0;
  LONG time_bias_ = 0;
  FLOAT percent_deadband_ = 0;
  DWORD locale_ = 0;
  OPCHANDLE server_handle_ = 0;
  std::atomic<bool> removed_{false};

  std::shared_ptr<GroupOwner> owner_;
  std::shared_ptr<ItemRegistry> registry_;
  com::ComPtr<IKavexOPCDevice> device_;
  // The device's many-item reads, when it offers them.
  com::ComPtr<_IKavexOPCDeviceReads> device_reads_;
  std::unique_ptr<PollBatch> poll_batch_;  // under the server's group lock

  // The item table, under the items lock.
  std::shared_mutex items_mu_;
  ItemTable items_;
  OPCHANDLE next_item_handle_ = 0;

  // The item-value lock.
  std::mutex value_mu_;

  // Under the state lock.
  DWORD update_countdown_ = 0;
  bool async_enable_ = false;
  DWORD next_transaction_ = 1;  // OPC DA 1.0 transaction numbers

  com::ConnectionPoint* callback_point_;  // owned by the container

  // The DAdvise connections; a lock of their own, taken last.
  std::mutex advise_mu_;
  std::map<DWORD, Connection> connections_;
  DWORD next_connection_ = 0;
};

}  // namespace kavex::server

#endif  // KAVEX_SERVER_OBJECTS_GROUP_OBJECT_H_
