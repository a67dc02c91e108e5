// The item registry of a server object: every item record of every group
// of the server, by item ID, so that a value the device pushes for an item
// reaches each record of it.
//
// It has its own lock, the last in the server's lock order: registration
// happens inside a group's items lock, and a walk holds the registry lock
// while it takes each record's item-value lock. A record is registered
// before its group's table holds it and unregistered before the table lets
// go of it, so a walk never meets a freed record. Groups share the
// registry with their server, so a group that outlives its server can
// still unregister its records.
#ifndef KAVEX_SERVER_OBJECTS_ITEM_REGISTRY_H_
#define KAVEX_SERVER_OBJECTS_ITEM_REGISTRY_H_

#include <mutex>
#include <string_view>
#include <unordered_map>

#include "server/objects/item_record.h"

namespace kavex::server {

class ItemRegistry {
 public:
  // `trace_object`: the server object whose address the trace lines of
  // registration carry (only printed).
  explicit ItemRegistry(const void* trace_object)
      : trace_object_(trace_object) {}
  ItemRegistry(const ItemRegistry&) = delete;
  ItemRegistry& operator=(const ItemRegistry&) = delete;

  // Adds `record` under its item ID (it must not be registered yet). May
  // throw std::bad_alloc, leaving the registry as it was.
  void Register(ItemRecord* record);
  // Removes `record` from the list under its item ID; an ID whose list
  // becomes empty leaves the registry.
  void Unregister(ItemRecord* record);

  // Calls fn(ItemRecord&) for every record registered under exactly
  // `item_id`, under the registry lock.
  template <class Fn>
  void ForEachRecord(std::u16string_view item_id, Fn&& fn) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = by_id_.find(item_id);
    if (it == by_id_.end()) return;
    for (ItemRecord* r = it->second; r != nullptr; r = r->next_same_id) fn(*r);
  }

  // Number of records under `item_id`, and of distinct item IDs.
  size_t CountOf(std::u16string_view item_id);
  size_t IdCount();

 private:
  const void* const trace_object_;
  std::mutex mu_;
  // Keys view the item ID of the first record of their chain.
  std::unordered_map<std::u16string_view, ItemRecord*> by_id_;
};

}  // namespace kavex::server

#endif  // KAVEX_SERVER_OBJECTS_ITEM_REGISTRY_H_
