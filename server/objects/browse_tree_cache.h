// The browse trees that server objects share. Every server object over the
// same device item list builds the same tree, so the first one builds it
// and publishes it here, and the next ones take the published tree instead
// of a copy of their own. A published tree is never changed again: a server
// object whose list changes takes a private copy first (BrowseSpace).
//
// The cache holds its trees weakly: a tree goes when the last server object
// using it lets it go, and its entry is dropped at the next call here.
//
// A key is the delimiter with a hash and the length of the item list; it
// only narrows the search. Several trees may share a key (two lists of the
// same hash, or two server objects that built the same list at once), so
// the caller tells by its list itself which tree, if any, is its own.
//
// Thread-safe. The cache lock is taken alone, briefly: no other lock is
// held while it is taken and nothing is called under it.
#ifndef KAVEX_SERVER_OBJECTS_BROWSE_TREE_CACHE_H_
#define KAVEX_SERVER_OBJECTS_BROWSE_TREE_CACHE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "server/objects/browse_tree.h"

namespace kavex::server {

class BrowseTreeCache {
 public:
  using Tree = std::shared_ptr<const BrowseTree>;
  struct Key {
    std::u16string separators;  // the delimiter's characters
    uint64_t list_hash = 0;
    size_t list_length = 0;
    bool operator==(const Key&) const = default;
  };

  // The hash of a list for its key, one item ID (up to its first NUL)
  // after the other.
  class ListHash {
   public:
    void Add(std::u16string_view id);
    uint64_t value() const { return hash_; }

   private:
    uint64_t hash_ = 0;
  };

  BrowseTreeCache() = default;
  BrowseTreeCache(const BrowseTreeCache&) = delete;
  BrowseTreeCache& operator=(const BrowseTreeCache&) = delete;

  // The cache every server object of the process uses.
  static BrowseTreeCache& Process();

  // The live trees published under `key`, the earliest first. Throws
  // std::bad_alloc.
  std::vector<Tree> Find(const Key& key);
  // Makes `tree`, which no one may change from now on, findable under
  // `key` while it lives. False when there was no memory for the entry
  // (the tree is then not shared, and still good).
  bool Publish(const Key& key, const Tree& tree) noexcept;
  // The number of entries whose tree is alive.
  size_t Size();

 private:
  void DropExpiredLocked() noexcept;

  std::mutex mu_;  // the cache lock
  // Few entries (one per distinct list in use), so a list does.
  std::vector<std::pair<Key, std::weak_ptr<const BrowseTree>>> entries_;
};

}  // namespace kavex::server

#endif  // KAVEX_SERVER_OBJECTS_BROWSE_TREE_CACHE_H_
