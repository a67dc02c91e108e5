#include "server/objects/item_registry.h"

#include "server/objects/trace_log.h"

namespace kavex::server {

void ItemRegistry::Register(ItemRecord* record) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    record->next_same_id = nullptr;
    auto [it, added] = by_id_.try_emplace(record->id(), record);
    if (!added) {
      // Appended, so the records of one ID keep their registration order.
      ItemRecord* last = it->second;
      while (last->next_same_id != nullptr) last = last->next_same_id;
      last->next_same_id = record;
    }
  }
  Trace(kTraceDone, trace_object_, S_OK, "CServer::RegisterItem: Done");
}

void ItemRegistry::Unregister(ItemRecord* record) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = by_id_.find(record->id());
    if (it == by_id_.end()) return;
    ItemRecord** link = &it->second;
    while (*link != nullptr && *link != record) link = &(*link)->next_same_id;
    if (*link == nullptr) return;  // not registered
    *link = record->next_same_id;
    record->next_same_id = nullptr;
    if (it->second == nullptr) {
      by_id_.erase(it);
    } else if (link == &it->second) {
      // The key viewed the removed record's text: view the new head's. A
      // node reinserted with an equal key needs no allocation.
      auto node = by_id_.extract(it);
      node.key() = node.mapped()->id();
      by_id_.insert(std::move(node));
    }
  }
  Trace(kTraceDone, trace_object_, S_OK, "CServer::UnRegisterItem: Done");
}

size_t ItemRegistry::CountOf(std::u16string_view item_id) {
  size_t n = 0;
  ForEachRecord(item_id, [&](ItemRecord&) { ++n; });
  return n;
}

size_t ItemRegistry::IdCount() {
  std::lock_guard<std::mutex> lock(mu_);
  return by_id_.size();
}

}  // namespace kavex::server
