// One server object's browse tree and browse position, behind the server
// object's IOPCBrowseServerAddressSpace and its _IKavexOPCDeviceEvents item
// list upkeep.
//
// The tree is built from the device's item IDs: each ID is split at every
// character of the path delimiter (runs of delimiters count as one, leading
// and trailing ones give no empty level; an empty delimiter leaves the ID
// whole) and one node stands for each distinct path component. The position
// starts at the root. Every call takes the browse lock, which is taken alone:
// the trace lines are written after it is released.
//
// The tree is shared: a list added to an empty tree (the construction of a
// server object, a refresh) is looked up in a BrowseTreeCache, and every
// space over the same delimiter and list reads the one tree published
// there; only the browse position is the space's own. A shared tree is
// never changed: the first change that would alter it (AddItemIDs on a
// tree that is not empty, RemoveItemIDs that finds a node) copies it for
// this space alone, keeping node ids, so the position stays where it is.
#ifndef KAVEX_SERVER_OBJECTS_BROWSE_SPACE_H_
#define KAVEX_SERVER_OBJECTS_BROWSE_SPACE_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/enumerators.h"
#include "platform/com/variant.h"
#include "platform/opc/opc_da.h"
#include "server/objects/browse_tree.h"
#include "server/objects/browse_tree_cache.h"

namespace kavex::server {

class BrowseSpace {
 public:
  // `cache`: where trees are shared (it must outlive the space).
  explicit BrowseSpace(BrowseTreeCache* cache = &BrowseTreeCache::Process());
  BrowseSpace(const BrowseSpace&) = delete;
  BrowseSpace& operator=(const BrowseSpace&) = delete;

  // The separator characters of item IDs; set before any AddItemIDs (the
  // tree is not rebuilt). Text after an embedded NUL is ignored.
  void SetDelimiter(std::u16string delimiter);
  const std::u16string& delimiter() const { return delimiter_; }

  // Item lists are VT_ARRAY|VT_BSTR, one dimension, lower bound 0; anything
  // else is E_INVALIDARG with the tree unchanged. An item ID is read up to
  // its first NUL; one without any component (empty, only delimiters) adds
  // and removes nothing. E_OUTOFMEMORY keeps the IDs added so far. Into an
  // empty tree, the list's shared tree is taken (or built and shared).
  HRESULT AddItemIDs(const VARIANT& ids);
  // Removes the node of each ID with everything below it (a parent left
  // without children stays, as a leaf); an ID with a missing component is
  // skipped. A browse position inside a removed subtree moves up to the
  // removed node's parent.
  HRESULT RemoveItemIDs(const VARIANT& ids);
  // Everything below the root goes, then AddItemIDs, in one step for the
  // readers; the position returns to the root. A list that is not valid
  // changes nothing.
  HRESULT RefreshItemIDs(const VARIANT& ids);

  // IOPCBrowseServerAddressSpace. `trace_object` is the server object whose
  // address the trace lines carry.
  HRESULT QueryOrganization(OPCNAMESPACETYPE* type);
  HRESULT ChangeBrowsePosition(const void* trace_object,
                               OPCBROWSEDIRECTION direction, LPCWSTR name);
  // The names below the position (branches, leaves, or all nodes depth
  // first), copied into a new enumerator; S_FALSE when there are none. The
  // filter, data type and access rights are not applied.
  HRESULT BrowseOPCItemIDs(const void* trace_object, OPCBROWSETYPE type,
                           LPCWSTR filter, VARTYPE data_type_filter,
                           DWORD access_rights_filter, IEnumString** out);
  // The full item ID of the position (empty `item_data_id`) or of its child
  // of that name, task-allocated; null on failure.
  HRESULT GetItemID(const void* trace_object, LPWSTR item_data_id,
                    LPWSTR* item_id);
  // Access paths are not supported: E_NOTIMPL.
  HRESULT BrowseAccessPaths(LPCWSTR item_id, IEnumString** out);

  // For tests and benchmarks. MemoryBytes is the tree's, shared or not.
  size_t NodeCount() const;
  size_t MemoryBytes() const;
  std::string CheckConsistency() const;
  // The tree read now, and whether it is a shared one (not this space's
  // own copy).
  const BrowseTree* TreeForTesting() const;
  bool SharesTreeForTesting() const;

 private:
  using NodeId = BrowseTree::NodeId;
  using SharedTree = std::shared_ptr<const BrowseTree>;

  // The components of `id` at the characters of `separators`, into `out`.
  static void Split(std::u16string_view separators, std::u16string_view id,
                    std::vector<std::u16string_view>* out);
  // Adds the IDs of a list to `tree`. Throws std::bad_alloc, keeping the
  // IDs added so far.
  static void AddTo(BrowseTree* tree, std::u16string_view separators,
                    const BSTR* items, ULONG count);
  // The tree of exactly this list: a shared one from the cache, or a new
  // one built and shared (*tree). No lock held. E_OUTOFMEMORY while
  // building gives the part built in *partial.
  HRESULT TreeOfList(std::u16string_view separators, const BSTR* items,
                     ULONG count, SharedTree* tree,
                     std::unique_ptr<BrowseTree>* partial) const;
  // Under the browse lock: the tree read now, and the one to change (this
  // space's own, copied from the shared one first, which goes to
  // *released; throws std::bad_alloc with nothing changed).
  const BrowseTree& tree() const { return own_ ? *own_ : *shared_; }
  BrowseTree& OwnTree(SharedTree* released);
  // Under the browse lock: a whole new tree (one of the two set), the
  // position at its root; the trees let go of go to *released_*.
  void Install(SharedTree shared, std::unique_ptr<BrowseTree> own,
               SharedTree* released_shared,
               std::unique_ptr<BrowseTree>* released_own);
  std::u16string ItemIdOf(NodeId node) const;

  BrowseTreeCache* const cache_;
  std::u16string delimiter_;
  std::u16string separators_;  // delimiter_ up to its first NUL

  mutable std::mutex lock_;  // the browse lock
  // Exactly one is set: the tree is shared_ (never changed) unless it is
  // own_. What the space lets go of is freed after the lock is let go.
  SharedTree shared_;
  std::unique_ptr<BrowseTree> own_;
  // Counts the changes to which tree this is, so that a tree found
  // without the lock is put in only if nothing changed meanwhile.
  uint64_t changes_ = 0;
  NodeId position_ = BrowseTree::kRoot;
};

}  // namespace kavex::server

#endif  // KAVEX_SERVER_OBJECTS_BROWSE_SPACE_H_
