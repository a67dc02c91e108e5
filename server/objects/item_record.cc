#include "server/objects/item_record.h"

namespace kavex::server {

ItemRecord::ItemRecord(CGroup* group, OPCHANDLE handle, com::Bstr item_id,
                       VARTYPE canonical_type, DWORD access_rights,
                       VARTYPE requested_type, OPCHANDLE client_handle,
                       bool active)
    : group(group),
      item_id(item_id.Detach()),
      access_rights(access_rights),
      client_handle(client_handle),
      handle(handle),
      requested_type(requested_type),
      canonical_type(canonical_type),
      active(active) {
  VariantInit(&value);
  VariantInit(&last_sent_value);
  // The zero of the canonical type; a type that an empty value does not
  // convert to stays empty. The empty string is a null BSTR, which costs
  // no allocation.
  if (canonical_type == VT_BSTR) {
    value.vt = VT_BSTR;
    value.bstrVal = nullptr;
  } else {
    VariantChangeType(&value, &value, 0, canonical_type);
  }
  VariantCopy(&last_sent_value, &value);
}

ItemRecord::~ItemRecord() {
  VariantClear(&value);
  VariantClear(&last_sent_value);
  SysFreeString(item_id);
}

void ItemTable::Append(std::shared_ptr<ItemRecord> record) {
  const OPCHANDLE handle = record->handle;
  slots_.push_back(Slot{handle, std::move(record)});
  ++live_;
}

size_t ItemTable::Lookup(OPCHANDLE handle) const {
  if (slots_.empty()) return kNone;
  // Until a removal leaves a hole, handle h lies h - first slots in.
  const OPCHANDLE first = slots_.front().handle;
  if (handle >= first && handle - first < slots_.size()) {
    const Slot& guess = slots_[handle - first];
    if (guess.handle == handle)
      return guess.record ? static_cast<size_t>(handle - first) : kNone;
  }
  auto it = std::lower_bound(
      slots_.begin(), slots_.end(), handle,
      [](const Slot& slot, OPCHANDLE h) { return slot.handle < h; });
  if (it == slots_.end() || it->handle != handle || !it->record) return kNone;
  return static_cast<size_t>(it - slots_.begin());
}

ItemRecord* ItemTable::Find(OPCHANDLE handle) const {
  const size_t i = Lookup(handle);
  return i == kNone ? nullptr : slots_[i].record.get();
}

std::shared_ptr<ItemRecord> ItemTable::FindShared(OPCHANDLE handle) const {
  const size_t i = Lookup(handle);
  return i == kNone ? nullptr : slots_[i].record;
}

std::shared_ptr<ItemRecord> ItemTable::Take(OPCHANDLE handle) {
  const size_t i = Lookup(handle);
  if (i == kNone) return nullptr;
  --live_;
  return std::move(slots_[i].record);
}

void ItemTable::ReserveMore(size_t additional) {
  const size_t needed = slots_.size() + additional;
  // Exactly what a large call needs, but never less than doubling, so
  // many small calls still grow the table geometrically.
  if (needed > slots_.capacity())
    slots_.reserve(std::max(needed, 2 * slots_.capacity()));
}

void ItemTable::Compact() {
  if (slots_.size() == live_) return;
  std::erase_if(slots_, [](const Slot& slot) { return !slot.record; });
  // Keep the slack bounded after a large removal.
  if (slots_.capacity() > 2 * slots_.size() + 16) slots_.shrink_to_fit();
}

void ItemTable::Clear() {
  slots_.clear();
  live_ = 0;
}

}  // namespace kavex::server
