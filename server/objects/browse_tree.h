// The browse tree of a server object: a root and one node per distinct path
// component below it, children in binary (case-sensitive, code unit) order of
// their names. Every node keeps its number of children, of children that have
// children themselves (branches) and of all nodes below it, up to date on
// every insertion and removal.
//
// Built for a site of a million items and more: the nodes lie in one arena of
// fixed 32-byte records addressed by 32-bit ids, each name is stored once in
// a pool of interned names, and a node's children are one sorted array of
// ids. The child of a node by name is found by scanning the array while a
// node has few children (the scan reads neighbouring records, where a hash
// probe would miss the cache), and through one hash index for the children
// of nodes that have more. A node of a switch site costs about 40 bytes with
// its share of its parent's array.
//
// Not thread-safe for changes: the owner (BrowseSpace) serialises them. A
// tree that no one changes any more (one that server objects share) may be
// read from any number of threads at once: no const member changes anything.
#ifndef KAVEX_SERVER_OBJECTS_BROWSE_TREE_H_
#define KAVEX_SERVER_OBJECTS_BROWSE_TREE_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "server/objects/id_index.h"

namespace kavex::server {

// Interned names with reference counts: one copy of each distinct text, in
// one character buffer. Released texts leave gaps that are reclaimed once
// they outweigh the live text.
class NamePool {
 public:
  static constexpr uint32_t kNone = IdIndex::kNone;

  NamePool() = default;
  NamePool(const NamePool&) = delete;
  NamePool& operator=(const NamePool&) = delete;

  // Makes this pool a copy of `other` (same ids). Throws std::bad_alloc with
  // this pool unchanged.
  void CopyFrom(const NamePool& other);

  static uint32_t HashOf(std::u16string_view text);
  // The id of `text` (whose HashOf is `hash`), or kNone when no one holds it.
  uint32_t Find(std::u16string_view text, uint32_t hash) const;
  uint32_t Find(std::u16string_view text) const {
    return Find(text, HashOf(text));
  }
  // The id of `text` with one more reference, interning it when new.
  // Throws std::bad_alloc with the pool unchanged.
  uint32_t Acquire(std::u16string_view text, uint32_t hash);
  void AddRef(uint32_t id) noexcept { ++entries_[id].refs; }
  void Release(uint32_t id) noexcept;
  uint32_t References(uint32_t id) const { return entries_[id].refs; }
  std::u16string_view View(uint32_t id) const {
    const Entry& e = entries_[id];
    return {chars_.data() + e.offset, e.length};
  }
  size_t size() const { return index_.size(); }
  void Clear() noexcept;
  // Bytes requested from the allocator.
  size_t MemoryBytes() const;

 private:
  struct Entry {
    uint32_t offset;
    uint32_t length;
    uint32_t refs;  // 0: a free entry
    uint32_t hash;
  };
  void Compact() noexcept;

  std::vector<char16_t> chars_;
  std::vector<Entry> entries_;
  std::vector<uint32_t> free_entries_;  // capacity kept >= entries_.size()
  size_t dead_chars_ = 0;
  IdIndex index_;
};

class BrowseTree {
 public:
  using NodeId = uint32_t;
  static constexpr NodeId kRoot = 0;
  static constexpr NodeId kNoNode = IdIndex::kNone;

  BrowseTree();
  BrowseTree(const BrowseTree&) = delete;
  BrowseTree& operator=(const BrowseTree&) = delete;
  ~BrowseTree();

  // A copy with the same node ids (a node of this tree is the same node of
  // the copy), for a change to a tree that others still read. Not while an
  // inserter lives. Throws std::bad_alloc.
  std::unique_ptr<BrowseTree> Clone() const;

  // Trees alive in the process (for tests of their sharing).
  static size_t LiveCount() { return live_trees_.load(); }

  // Adds paths of component names below the root in one go; each path's last
  // node becomes a leaf unless another path continues below it. Children are
  // appended while the inserter lives and put in order when it ends, so a
  // list of any order costs O(n log n). While an inserter lives, Children()
  // may be out of order and no other change may be made.
  class Inserter {
   public:
    explicit Inserter(BrowseTree* tree) : tree_(tree) {}
    Inserter(const Inserter&) = delete;
    Inserter& operator=(const Inserter&) = delete;
    ~Inserter() { tree_->SortPendingChildren(); }

    // Throws std::bad_alloc, leaving the nodes added so far (counters
    // consistent).
    void Add(std::span<const std::u16string_view> components);

   private:
    BrowseTree* tree_;
    // The nodes of the previous path: lists name neighbours one after the
    // other, so most lookups end at the first component that changed.
    std::vector<NodeId> previous_;
  };

  // Tells, without changing the tree, whether a list of paths would give
  // exactly this tree if added to an empty one: every path lies in the tree
  // and every node lies on a path. Paths in any order, repeats allowed.
  class Matcher {
   public:
    // Throws std::bad_alloc (one bit per node slot).
    explicit Matcher(const BrowseTree& tree);
    Matcher(const Matcher&) = delete;
    Matcher& operator=(const Matcher&) = delete;

    // False, for good, once a path leaves the tree. Throws std::bad_alloc.
    bool Add(std::span<const std::u16string_view> components);
    // After the last path: true when the paths give exactly this tree.
    bool Matches() const {
      return !failed_ && covered_ + 1 == tree_.NodeCount();
    }

   private:
    const BrowseTree& tree_;
    std::vector<bool> seen_;  // by node id: lies on a path added
    size_t covered_ = 0;      // nodes seen, the root not counted
    bool failed_ = false;
    std::vector<NodeId> previous_;  // as the inserter's
  };

  // The child of `parent` named `name`, or kNoNode.
  NodeId Child(NodeId parent, std::u16string_view name) const;
  // Removes `node` (not the root) and everything below it from its parent.
  void Remove(NodeId node) noexcept;
  // Removes every node below the root.
  void Clear() noexcept;

  bool IsLive(NodeId node) const {
    return node < node_slots_ && NodeAt(node).name != kFreeName;
  }
  NodeId Parent(NodeId node) const { return NodeAt(node).parent; }
  std::u16string_view Name(NodeId node) const;  // empty for the root
  std::span<const NodeId> Children(NodeId node) const {
    const Node& n = NodeAt(node);
    return {n.children.get(), n.child_count};
  }
  uint32_t ChildCount(NodeId node) const { return NodeAt(node).child_count; }
  uint32_t BranchCount(NodeId node) const { return NodeAt(node).branches; }
  uint32_t DescendantCount(NodeId node) const {
    return NodeAt(node).descendants;
  }
  bool IsBranch(NodeId node) const { return ChildCount(node) != 0; }

  size_t NodeCount() const { return live_nodes_; }  // the root included
  size_t NameCount() const { return names_.size(); }
  // Bytes the tree requested from the allocator (arena, child arrays, index,
  // names), without the allocator's own overhead.
  size_t MemoryBytes() const;

  // Empty when every link, counter, order and index entry agrees with a
  // recount from the nodes themselves; else what disagrees.
  std::string CheckConsistency() const;

 private:
  static constexpr uint32_t kFreeName = NamePool::kNone;
  static constexpr uint32_t kRootName = NamePool::kNone - 1;
  static constexpr uint32_t kBlockShift = 12;  // 4096 nodes, 128 KiB a block
  static constexpr uint32_t kBlockSize = 1u << kBlockShift;
  // Children beyond this many go into the hash index.
  static constexpr uint32_t kScanLimit = 64;
  static constexpr uint32_t kMaxChildren = (1u << 30) - 1;

  struct Node {
    uint32_t name = 0;        // kFreeName for a free slot
    NodeId parent = kNoNode;  // the next free slot for a free one
    uint32_t branches = 0;
    uint32_t descendants = 0;
    std::unique_ptr<NodeId[]> children;
    uint32_t child_count = 0;
    uint32_t child_capacity : 30 = 0;
    uint32_t unsorted : 1 = 0;  // children appended out of order
    uint32_t indexed : 1 = 0;   // children in children_index_
  };
  static_assert(sizeof(Node) == 32);

  Node& NodeAt(NodeId id) {
    return blocks_[id >> kBlockShift][id & (kBlockSize - 1)];
  }
  const Node& NodeAt(NodeId id) const {
    return blocks_[id >> kBlockShift][id & (kBlockSize - 1)];
  }
  static uint32_t ChildHash(NodeId parent, uint32_t name) {
    return static_cast<uint32_t>(MixHash(uint64_t{parent} << 32 | name));
  }
  uint32_t HashOfNode(NodeId id) const {
    const Node& n = NodeAt(id);
    return ChildHash(n.parent, n.name);
  }
  NodeId FindChild(NodeId parent, uint32_t name) const;
  // Appends a new child named `name` without touching the counters (the
  // inserter fixes them per path). `name_id` and `name_hash` are what the
  // name pool's Find gave for it. Throws std::bad_alloc with the tree
  // unchanged.
  NodeId CreateChild(NodeId parent, std::u16string_view name, uint32_t name_id,
                     uint32_t name_hash);
  // Sets the counters of a chain of `created` new nodes that CreateChild hung
  // below `top`, one below the other, ending at `last`.
  void CountChain(NodeId top, bool top_was_leaf, NodeId last,
                  uint32_t created) noexcept;
  void GrowChildren(Node& node);
  NodeId AllocateSlot();
  void FreeSlot(NodeId id) noexcept;
  bool NameLess(NodeId a, NodeId b) const;
  void SortPendingChildren() noexcept;

  std::vector<std::unique_ptr<Node[]>> blocks_;
  uint32_t node_slots_ = 0;  // slots handed out, free ones included
  NodeId free_slots_ = kNoNode;
  size_t live_nodes_ = 0;
  size_t child_slots_ = 0;  // sum of child_capacity
  NamePool names_;
  IdIndex children_index_;       // (parent, name) -> node, for `indexed`
  std::vector<NodeId> pending_;  // nodes whose children are out of order
  // The names of the last children put in order, as they came, and the
  // order found: a list repeats the same names in the same order for every
  // port, so most sorts are one comparison of name ids.
  std::vector<uint32_t> sorted_names_;
  std::vector<uint32_t> sorted_order_;

  static std::atomic<size_t> live_trees_;
};

}  // namespace kavex::server

#endif  // KAVEX_SERVER_OBJECTS_BROWSE_TREE_H_
