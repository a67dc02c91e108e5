// One item a client added to a group, and the table of a group's items by
// server handle.
//
// A record's value, quality, timestamp, active flag, client handle and
// requested type are guarded by its group's item-value lock; the other
// fields are fixed once the record is made, except `next_same_id`, which
// belongs to the item registry. Records are shared (a device read holds
// its records outside the group's locks), so a record removed from its
// table during such a read stays valid until the read lets go of it.
#ifndef KAVEX_SERVER_OBJECTS_ITEM_RECORD_H_
#define KAVEX_SERVER_OBJECTS_ITEM_RECORD_H_

#include <algorithm>
#include <atomic>
#include <memory>
#include <vector>

#include "platform/com/bstr.h"
#include "platform/com/variant.h"
#include "platform/opc/opc_da.h"

namespace kavex::server {

class CGroup;

struct ItemRecord {
  // The zero of `canonical_type` as cached value and last sent value,
  // quality uncertain (never read), timestamp zero.
  ItemRecord(CGroup* group, OPCHANDLE handle, com::Bstr item_id,
             VARTYPE canonical_type, DWORD access_rights,
             VARTYPE requested_type, OPCHANDLE client_handle, bool active);
  ~ItemRecord();
  ItemRecord(const ItemRecord&) = delete;
  ItemRecord& operator=(const ItemRecord&) = delete;

  std::u16string_view id() const { return com::BstrView(item_id); }
  bool readable() const { return (access_rights & OPC_READABLE) != 0; }
  bool writable() const { return (access_rights & OPC_WRITEABLE) != 0; }

  CGroup* const group;  // owner; outlives the record's registration
  const BSTR item_id;   // owned
  ItemRecord* next_same_id = nullptr;  // the registry's chain
  VARIANT value;
  VARIANT last_sent_value;
  FILETIME timestamp{};
  const DWORD access_rights;
  OPCHANDLE client_handle;
  const OPCHANDLE handle;
  VARTYPE requested_type;  // VT_EMPTY: the canonical type
  const VARTYPE canonical_type;
  WORD quality = OPC_QUALITY_UNCERTAIN;
  WORD last_sent_quality = OPC_QUALITY_UNCERTAIN;
  // Also read without the item-value lock by the update tick, which only
  // skips inactive items with it.
  std::atomic<bool> active;
};

// A group's records in handle order. Handles only grow, so a new record
// goes at the end and lookups are binary searches; removed records leave
// a gap until Compact.
class ItemTable {
 public:
  // `record`'s handle must be above every handle the table holds.
  void Append(std::shared_ptr<ItemRecord> record);
  // Room for `additional` more records (may throw std::bad_alloc).
  void ReserveMore(size_t additional);
  // The record of `handle`, or null.
  ItemRecord* Find(OPCHANDLE handle) const;
  std::shared_ptr<ItemRecord> FindShared(OPCHANDLE handle) const;
  // Takes the record of `handle` out (null when there is none); the gap
  // goes at the next Compact.
  std::shared_ptr<ItemRecord> Take(OPCHANDLE handle);
  void Compact();
  // Drops every record.
  void Clear();

  size_t size() const { return live_; }
  bool empty() const { return live_ == 0; }
  // Calls fn(ItemRecord&) for each record in handle order.
  template <class Fn>
  void ForEach(Fn&& fn) const {
    for (const Slot& slot : slots_)
      if (slot.record) fn(*slot.record);
  }

 private:
  struct Slot {
    OPCHANDLE handle;
    std::shared_ptr<ItemRecord> record;  // null: removed
  };
  static constexpr size_t kNone = ~size_t{0};
  // Index of the live slot of `handle`, or kNone.
  size_t Lookup(OPCHANDLE handle) const;

  std::vector<Slot> slots_;
  size_t live_ = 0;
};

}  // namespace kavex::server

#endif  // KAVEX_SERVER_OBJECTS_ITEM_RECORD_H_
