#include "server/objects/browse_tree_cache.h"

#include <algorithm>
#include <new>

namespace kavex::server {

BrowseTreeCache& BrowseTreeCache::Process() {
  static BrowseTreeCache* const cache = new BrowseTreeCache();  // never freed
  return *cache;
}

void BrowseTreeCache::ListHash::Add(std::u16string_view id) {
  hash_ = MixHash(hash_ ^ (uint64_t{NamePool::HashOf(id)} << 32 | id.size())) +
          0x9E3779B97F4A7C15ULL;
}

void BrowseTreeCache::DropExpiredLocked() noexcept {
  std::erase_if(entries_,
                [](const auto& entry) { return entry.second.expired(); });
}

std::vector<BrowseTreeCache::Tree> BrowseTreeCache::Find(const Key& key) {
  std::vector<Tree> trees;
  std::lock_guard<std::mutex> lock(mu_);
  DropExpiredLocked();
  for (const auto& [entry_key, weak] : entries_) {
    if (!(entry_key == key)) continue;
    if (Tree tree = weak.lock()) trees.push_back(std::move(tree));
  }
  return trees;
}

bool BrowseTreeCache::Publish(const Key& key, const Tree& tree) noexcept {
  try {
    Key copy = key;
    std::lock_guard<std::mutex> lock(mu_);
    DropExpiredLocked();
    entries_.emplace_back(std::move(copy), tree);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

size_t BrowseTreeCache::Size() {
  std::lock_guard<std::mutex> lock(mu_);
  DropExpiredLocked();
  return entries_.size();
}

}  // namespace kavex::server
