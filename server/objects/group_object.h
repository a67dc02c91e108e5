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
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "platform/com/com_object.h"
#include "platform/com/com_ptr.h"
#include "platform/opc/opc_da.h"
#include "server/contract/device_interfaces.h"
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

class CGroup : public com::ComObject<CGroup, IOPCGroupStateMgt, IOPCItemMgt,
                                     IOPCSyncIO> {
 public:
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

  // The item table, under the items lock.
  std::shared_mutex items_mu_;
  ItemTable items_;
  OPCHANDLE next_item_handle_ = 0;

  // The item-value lock.
  std::mutex value_mu_;
};

}  // namespace kavex::server

#endif  // KAVEX_SERVER_OBJECTS_GROUP_OBJECT_H_
