#include "server/objects/browse_tree.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <unordered_map>

namespace kavex::server {

// ---------------------------------------------------------------------------
// NamePool

void NamePool::CopyFrom(const NamePool& other) {
  std::vector<char16_t> chars(other.chars_);
  // Capacities as the other's: Release relies on free_entries_ holding
  // every entry without reallocating.
  std::vector<Entry> entries;
  entries.reserve(other.entries_.capacity());
  entries = other.entries_;
  std::vector<uint32_t> free_entries;
  free_entries.reserve(other.free_entries_.capacity());
  free_entries = other.free_entries_;
  index_.CopyFrom(other.index_);  // the last step that can fail
  chars_.swap(chars);
  entries_.swap(entries);
  free_entries_.swap(free_entries);
  dead_chars_ = other.dead_chars_;
}

uint32_t NamePool::HashOf(std::u16string_view text) {
  // Four characters a step.
  uint64_t h = text.size();
  const char16_t* p = text.data();
  size_t left = text.size();
  for (; left >= 4; left -= 4, p += 4) {
    uint64_t chunk;
    std::memcpy(&chunk, p, sizeof chunk);
    h = (h ^ chunk) * 0x9E3779B97F4A7C15ULL;
    h ^= h >> 29;
  }
  uint64_t tail = 0;
  if (left != 0) std::memcpy(&tail, p, left * sizeof(char16_t));
  return static_cast<uint32_t>(MixHash(h ^ tail));
}

uint32_t NamePool::Find(std::u16string_view text, uint32_t hash) const {
  return index_.Find(hash, [&](uint32_t id) { return View(id) == text; });
}

uint32_t NamePool::Acquire(std::u16string_view text, uint32_t hash) {
  uint32_t id = Find(text, hash);
  if (id != kNone) {
    ++entries_[id].refs;
    return id;
  }
  // Every allocation first, so that a failure changes nothing.
  if (chars_.size() + text.size() > UINT32_MAX || entries_.size() >= kNone - 1)
    throw std::bad_alloc();
  index_.Reserve(1);
  if (free_entries_.empty() && entries_.size() == entries_.capacity()) {
    entries_.reserve(std::max<size_t>(16, entries_.capacity() * 2));
    free_entries_.reserve(entries_.capacity());
  }
  if (chars_.size() + text.size() > chars_.capacity())
    chars_.reserve(
        std::max(chars_.size() + text.size(), chars_.capacity() * 2));

  const Entry entry{static_cast<uint32_t>(chars_.size()),
                    static_cast<uint32_t>(text.size()), 1, hash};
  chars_.insert(chars_.end(), text.begin(), text.end());
  if (free_entries_.empty()) {
    id = static_cast<uint32_t>(entries_.size());
    entries_.push_back(entry);
  } else {
    id = free_entries_.back();
    free_entries_.pop_back();
    entries_[id] = entry;
  }
  index_.Insert(hash, id);
  return id;
}

void NamePool::Release(uint32_t id) noexcept {
  Entry& e = entries_[id];
  if (--e.refs != 0) return;
  index_.Erase(e.hash, id);
  dead_chars_ += e.length;
  e.length = 0;
  free_entries_.push_back(id);  // never reallocates (capacity kept)
  if (dead_chars_ > 4096 && dead_chars_ * 2 > chars_.size()) Compact();
}

void NamePool::Compact() noexcept {
  std::vector<char16_t> chars;
  try {
    chars.reserve(chars_.size() - dead_chars_);
  } catch (const std::bad_alloc&) {
    return;  // keeps the gaps for now
  }
  for (Entry& e : entries_) {
    if (e.refs == 0) continue;
    const uint32_t offset = static_cast<uint32_t>(chars.size());
    chars.insert(chars.end(), chars_.begin() + e.offset,
                 chars_.begin() + e.offset + e.length);
    e.offset = offset;
  }
  chars_.swap(chars);
  dead_chars_ = 0;
}

void NamePool::Clear() noexcept {
  std::vector<char16_t>().swap(chars_);
  std::vector<Entry>().swap(entries_);
  std::vector<uint32_t>().swap(free_entries_);
  dead_chars_ = 0;
  index_.Clear();
}

size_t NamePool::MemoryBytes() const {
  return chars_.capacity() * sizeof(char16_t) +
         entries_.capacity() * sizeof(Entry) +
         free_entries_.capacity() * sizeof(uint32_t) + index_.MemoryBytes();
}

// ---------------------------------------------------------------------------
// BrowseTree

std::atomic<size_t> BrowseTree::live_trees_{0};

BrowseTree::BrowseTree() {
  blocks_.push_back(std::make_unique<Node[]>(kBlockSize));
  NodeAt(kRoot).name = kRootName;
  node_slots_ = 1;
  live_nodes_ = 1;
  ++live_trees_;
}

BrowseTree::~BrowseTree() { --live_trees_; }

std::unique_ptr<BrowseTree> BrowseTree::Clone() const {
  auto copy = std::make_unique<BrowseTree>();
  copy->blocks_.reserve(blocks_.size());
  while (copy->blocks_.size() < blocks_.size())
    copy->blocks_.push_back(std::make_unique<Node[]>(kBlockSize));
  for (NodeId id = 0; id < node_slots_; ++id) {
    const Node& from = NodeAt(id);
    Node& to = copy->NodeAt(id);
    to.name = from.name;
    to.parent = from.parent;
    to.branches = from.branches;
    to.descendants = from.descendants;
    if (from.child_capacity != 0) {
      to.children =
          std::make_unique_for_overwrite<NodeId[]>(from.child_capacity);
      std::copy_n(from.children.get(), from.child_count, to.children.get());
    }
    to.child_count = from.child_count;
    to.child_capacity = from.child_capacity;
    to.unsorted = from.unsorted;
    to.indexed = from.indexed;
  }
  copy->node_slots_ = node_slots_;
  copy->free_slots_ = free_slots_;
  copy->live_nodes_ = live_nodes_;
  copy->child_slots_ = child_slots_;
  copy->names_.CopyFrom(names_);
  copy->children_index_.CopyFrom(children_index_);
  return copy;
}

BrowseTree::Matcher::Matcher(const BrowseTree& tree)
    : tree_(tree), seen_(tree.node_slots_, false) {}

bool BrowseTree::Matcher::Add(std::span<const std::u16string_view> components) {
  if (failed_) return false;
  if (components.empty()) return true;
  // The nodes the previous path shares with this one are seen already.
  size_t i = 0;
  while (i < components.size() && i < previous_.size() &&
         tree_.Name(previous_[i]) == components[i]) {
    ++i;
  }
  previous_.resize(i);
  NodeId node = i == 0 ? kRoot : previous_[i - 1];
  for (; i < components.size(); ++i) {
    node = tree_.Child(node, components[i]);
    if (node == kNoNode) {
      failed_ = true;
      return false;
    }
    previous_.push_back(node);
    if (!seen_[node]) {
      seen_[node] = true;
      ++covered_;
    }
  }
  return true;
}

std::u16string_view BrowseTree::Name(NodeId node) const {
  const uint32_t name = NodeAt(node).name;
  return name == kRootName ? std::u16string_view() : names_.View(name);
}

bool BrowseTree::NameLess(NodeId a, NodeId b) const {
  return names_.View(NodeAt(a).name) < names_.View(NodeAt(b).name);
}

BrowseTree::NodeId BrowseTree::FindChild(NodeId parent, uint32_t name) const {
  const Node& p = NodeAt(parent);
  if (!p.indexed) {
    for (uint32_t i = 0; i < p.child_count; ++i) {
      if (NodeAt(p.children[i]).name == name) return p.children[i];
    }
    return kNoNode;
  }
  return children_index_.Find(ChildHash(parent, name), [&](NodeId id) {
    const Node& n = NodeAt(id);
    return n.parent == parent && n.name == name;
  });
}

BrowseTree::NodeId BrowseTree::Child(NodeId parent,
                                     std::u16string_view name) const {
  const uint32_t id = names_.Find(name);
  return id == NamePool::kNone ? kNoNode : FindChild(parent, id);
}

void BrowseTree::GrowChildren(Node& node) {
  const uint32_t old_capacity = node.child_capacity;
  const uint32_t capacity =
      old_capacity == 0 ? 4 : std::min(old_capacity * 2, kMaxChildren);
  if (capacity == old_capacity) throw std::bad_alloc();
  auto children = std::make_unique_for_overwrite<NodeId[]>(capacity);
  std::copy_n(node.children.get(), node.child_count, children.get());
  node.children = std::move(children);
  node.child_capacity = capacity;
  child_slots_ += capacity - old_capacity;
}

BrowseTree::NodeId BrowseTree::AllocateSlot() {
  if (free_slots_ != kNoNode) {
    const NodeId id = free_slots_;
    free_slots_ = NodeAt(id).parent;
    return id;
  }
  if (node_slots_ == blocks_.size() * kBlockSize) {
    if (node_slots_ >= kNoNode - kBlockSize) throw std::bad_alloc();
    blocks_.push_back(std::make_unique<Node[]>(kBlockSize));
  }
  return node_slots_++;
}

BrowseTree::NodeId BrowseTree::CreateChild(NodeId parent,
                                           std::u16string_view name,
                                           uint32_t name_id,
                                           uint32_t name_hash) {
  Node* p = &NodeAt(parent);
  // Past kScanLimit children, all of them move into the index.
  const bool start_index = !p->indexed && p->child_count == kScanLimit;
  if (p->indexed || start_index) children_index_.Reserve(p->child_count + 1);
  if (p->child_count == p->child_capacity) GrowChildren(*p);
  const bool out_of_order =
      p->child_count != 0 && !p->unsorted &&
      names_.View(NodeAt(p->children[p->child_count - 1]).name) > name;
  if (out_of_order && pending_.size() == pending_.capacity())
    pending_.reserve(std::max<size_t>(16, pending_.capacity() * 2));
  const NodeId id = AllocateSlot();
  if (name_id != NamePool::kNone) {
    names_.AddRef(name_id);
  } else {
    try {
      name_id = names_.Acquire(name, name_hash);
    } catch (...) {
      Node& slot = NodeAt(id);
      slot.name = kFreeName;
      slot.parent = free_slots_;
      free_slots_ = id;
      throw;
    }
  }
  // Nothing below can fail. Blocks never move, so `p` is still good.
  Node& n = NodeAt(id);
  n.name = name_id;
  n.parent = parent;
  n.branches = 0;
  n.descendants = 0;
  n.child_count = 0;
  p->children[p->child_count++] = id;
  if (out_of_order) {
    p->unsorted = 1;
    pending_.push_back(parent);
  }
  if (start_index) {
    p->indexed = 1;
    for (uint32_t i = 0; i + 1 < p->child_count; ++i)
      children_index_.Insert(HashOfNode(p->children[i]), p->children[i]);
  }
  if (p->indexed) children_index_.Insert(ChildHash(parent, name_id), id);
  ++live_nodes_;
  return id;
}

void BrowseTree::CountChain(NodeId top, bool top_was_leaf, NodeId last,
                            uint32_t created) noexcept {
  if (created == 0) return;
  // From the bottom: the k-th new node (0 right below `top`) has the
  // created - 1 - k nodes of the chain below it, and its one child is a
  // branch unless that child is the last node.
  NodeId node = last;
  for (uint32_t below = 0; below < created; ++below) {
    Node& n = NodeAt(node);
    n.descendants = below;
    n.branches = below >= 2 ? 1 : 0;
    node = n.parent;
  }
  Node& t = NodeAt(top);
  if (created >= 2) ++t.branches;
  if (top_was_leaf && top != kRoot) ++NodeAt(t.parent).branches;
  for (NodeId a = top; a != kNoNode; a = NodeAt(a).parent)
    NodeAt(a).descendants += created;
}

void BrowseTree::Inserter::Add(
    std::span<const std::u16string_view> components) {
  if (components.empty()) return;
  previous_.reserve(components.size());
  NodeId node = kRoot;
  size_t i = 0;
  while (i < components.size() && i < previous_.size() &&
         tree_->Name(previous_[i]) == components[i]) {
    node = previous_[i++];
  }
  previous_.resize(i);
  uint32_t hash = 0;
  uint32_t name = NamePool::kNone;
  for (; i < components.size(); ++i) {
    hash = NamePool::HashOf(components[i]);
    name = tree_->names_.Find(components[i], hash);
    const NodeId child =
        name == NamePool::kNone ? kNoNode : tree_->FindChild(node, name);
    if (child == kNoNode) break;
    node = child;
    previous_.push_back(child);
  }
  if (i == components.size()) return;

  // Below the first missing component everything is new: the names alone
  // are looked up.
  const NodeId top = node;
  const bool top_was_leaf = tree_->ChildCount(top) == 0;
  uint32_t created = 0;
  try {
    for (;;) {
      node = tree_->CreateChild(node, components[i], name, hash);
      ++created;
      previous_.push_back(node);
      if (++i == components.size()) break;
      hash = NamePool::HashOf(components[i]);
      name = tree_->names_.Find(components[i], hash);
    }
  } catch (...) {
    tree_->CountChain(top, top_was_leaf, node, created);
    throw;
  }
  tree_->CountChain(top, top_was_leaf, node, created);
}

void BrowseTree::SortPendingChildren() noexcept {
  std::vector<NodeId> scratch;
  for (NodeId id : pending_) {
    Node& n = NodeAt(id);
    NodeId* first = n.children.get();
    const uint32_t count = n.child_count;
    n.unsorted = 0;
    try {
      scratch.assign(first, first + count);
      bool same = sorted_names_.size() == count;
      for (uint32_t i = 0; same && i < count; ++i)
        same = NodeAt(first[i]).name == sorted_names_[i];
      if (!same) {
        // Sorts positions by name (pairs spare each comparison two
        // lookups) and keeps the order for the next node.
        std::vector<std::pair<std::u16string_view, uint32_t>> keyed(count);
        for (uint32_t i = 0; i < count; ++i)
          keyed[i] = {names_.View(NodeAt(first[i]).name), i};
        std::sort(keyed.begin(), keyed.end());
        sorted_names_.resize(count);
        sorted_order_.resize(count);
        for (uint32_t i = 0; i < count; ++i) {
          sorted_names_[i] = NodeAt(first[i]).name;
          sorted_order_[i] = keyed[i].second;
        }
      }
      for (uint32_t i = 0; i < count; ++i) first[i] = scratch[sorted_order_[i]];
    } catch (const std::bad_alloc&) {
      sorted_names_.clear();
      std::sort(first, first + count,
                [this](NodeId a, NodeId b) { return NameLess(a, b); });
    }
  }
  pending_.clear();
}

void BrowseTree::FreeSlot(NodeId id) noexcept {
  Node& n = NodeAt(id);
  if (NodeAt(n.parent).indexed) children_index_.Erase(HashOfNode(id), id);
  names_.Release(n.name);
  child_slots_ -= n.child_capacity;
  n.children.reset();
  n.child_capacity = 0;
  n.child_count = 0;
  n.unsorted = 0;
  n.indexed = 0;
  n.name = kFreeName;
  n.parent = free_slots_;
  free_slots_ = id;
  --live_nodes_;
}

void BrowseTree::Remove(NodeId node) noexcept {
  Node& n = NodeAt(node);
  const NodeId parent = n.parent;
  Node& p = NodeAt(parent);
  NodeId* first = p.children.get();
  NodeId* last = first + p.child_count;
  NodeId* at = p.unsorted ? last
                          : std::lower_bound(first, last, node,
                                             [this](NodeId a, NodeId b) {
                                               return NameLess(a, b);
                                             });
  if (at == last || *at != node) at = std::find(first, last, node);
  std::copy(at + 1, last, at);
  --p.child_count;

  const uint32_t removed = n.descendants + 1;
  if (n.child_count != 0) --p.branches;
  if (p.child_count == 0 && parent != kRoot) --NodeAt(p.parent).branches;
  for (NodeId a = parent; a != kNoNode; a = NodeAt(a).parent)
    NodeAt(a).descendants -= removed;

  // Frees the subtree bottom-up without a stack: always the last child first.
  NodeId x = node;
  for (;;) {
    while (NodeAt(x).child_count != 0) {
      const Node& xn = NodeAt(x);
      x = xn.children[xn.child_count - 1];
    }
    const NodeId up = x == node ? kNoNode : NodeAt(x).parent;
    FreeSlot(x);
    if (up == kNoNode) break;
    --NodeAt(up).child_count;
    x = up;
  }
}

void BrowseTree::Clear() noexcept {
  blocks_.resize(1);
  const uint32_t in_first = std::min(node_slots_, kBlockSize);
  for (NodeId id = 1; id < in_first; ++id) NodeAt(id) = Node();
  Node& root = NodeAt(kRoot);
  root.children.reset();
  root.child_count = 0;
  root.child_capacity = 0;
  root.unsorted = 0;
  root.indexed = 0;
  root.branches = 0;
  root.descendants = 0;
  node_slots_ = 1;
  free_slots_ = kNoNode;
  live_nodes_ = 1;
  child_slots_ = 0;
  names_.Clear();
  children_index_.Clear();
  std::vector<NodeId>().swap(pending_);
  sorted_names_.clear();
}

size_t BrowseTree::MemoryBytes() const {
  return blocks_.size() * kBlockSize * sizeof(Node) +
         blocks_.capacity() * sizeof(blocks_[0]) +
         child_slots_ * sizeof(NodeId) + names_.MemoryBytes() +
         children_index_.MemoryBytes() +
         (pending_.capacity() + sorted_names_.capacity() +
          sorted_order_.capacity()) *
             sizeof(uint32_t);
}

std::string BrowseTree::CheckConsistency() const {
  std::string problems;
  auto report = [&problems](NodeId id, const char* what) {
    problems.append("node ").append(std::to_string(id)).append(": ");
    problems.append(what).append("\n");
  };
  std::unordered_map<uint32_t, uint32_t> name_uses;
  std::vector<uint32_t> listed(node_slots_, 0);  // times among children
  size_t live = 0;
  size_t indexed = 0;  // nodes whose parent indexes its children
  for (NodeId id = 0; id < node_slots_; ++id) {
    const Node& n = NodeAt(id);
    if (n.name == kFreeName) continue;
    ++live;
    if (id == kRoot) {
      if (n.parent != kNoNode || n.name != kRootName) report(id, "bad root");
    } else {
      ++name_uses[n.name];
      if (!IsLive(n.parent)) report(id, "parent not live");
      if (FindChild(n.parent, n.name) != id) report(id, "not found by name");
      if (NodeAt(n.parent).indexed) ++indexed;
    }
    if (!n.indexed && n.child_count > kScanLimit)
      report(id, "many children, not indexed");
    uint32_t branches = 0;
    uint32_t descendants = 0;
    const std::span<const NodeId> children = Children(id);
    for (size_t i = 0; i < children.size(); ++i) {
      if (children[i] >= node_slots_) {
        report(id, "child id out of range");
        continue;
      }
      ++listed[children[i]];
      const Node& c = NodeAt(children[i]);
      if (c.name == kFreeName || c.parent != id) report(id, "bad child link");
      if (c.child_count != 0) ++branches;
      descendants += c.descendants + 1;
      if (i > 0 && !n.unsorted && !NameLess(children[i - 1], children[i]))
        report(id, "children out of order");
    }
    if (n.child_count > n.child_capacity) report(id, "count above capacity");
    if (branches != n.branches) report(id, "branch count wrong");
    if (descendants != n.descendants) report(id, "descendant count wrong");
  }
  for (NodeId id = 1; id < node_slots_; ++id) {
    if (IsLive(id) && listed[id] != 1)
      report(id, "not once among its parent's children");
  }
  if (live != live_nodes_) report(kNoNode, "live node count wrong");
  if (children_index_.size() != indexed) report(kNoNode, "index size wrong");
  if (names_.size() != name_uses.size()) report(kNoNode, "name count wrong");
  for (const auto& [name, uses] : name_uses) {
    if (names_.References(name) != uses) report(name, "name references wrong");
  }
  size_t free_count = 0;
  for (NodeId id = free_slots_; id != kNoNode && free_count <= node_slots_;
       id = NodeAt(id).parent) {
    ++free_count;
  }
  if (free_count != node_slots_ - live_nodes_)
    report(kNoNode, "free list length wrong");
  return problems;
}

}  // namespace kavex::server
