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
#ifndef KAVEX_SERVER_OBJECTS_BROWSE_SPACE_H_
#define KAVEX_SERVER_OBJECTS_BROWSE_SPACE_H_

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/enumerators.h"
#include "platform/com/variant.h"
#include "platform/opc/opc_da.h"
#include "server/objects/browse_tree.h"

namespace kavex::server {

class BrowseSpace {
 public:
  BrowseSpace();
  BrowseSpace(const BrowseSpace&) = delete;
  BrowseSpace& operator=(const BrowseSpace&) = delete;

  // The separator characters of item IDs; set before any AddItemIDs (the
  // tree is not rebuilt). Text after an embedded NUL is ignored.
  void SetDelimiter(std::u16string delimiter);
  const std::u16string& delimiter() const { return delimiter_; }

  // Item lists are VT_ARRAY|VT_BSTR, one dimension, lower bound 0; anything
  // else is E_INVALIDARG with the tree unchanged. An item ID is read up to
  // its first NUL; one without any component (empty, only delimiters) adds
  // and removes nothing. E_OUTOFMEMORY keeps the IDs added so far.
  HRESULT AddItemIDs(const VARIANT& ids);
  // Removes the node of each ID with everything below it (a parent left
  // without children stays, as a leaf); an ID with a missing component is
  // skipped. A browse position inside a removed subtree moves up to the
  // removed node's parent.
  HRESULT RemoveItemIDs(const VARIANT& ids);
  // Everything below the root goes, then AddItemIDs; the position returns
  // to the root. A list that is not valid changes nothing.
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

  // For tests and benchmarks.
  size_t NodeCount() const;
  size_t MemoryBytes() const;
  std::string CheckConsistency() const;

 private:
  using NodeId = BrowseTree::NodeId;

  // The components of `id` at the delimiter's characters, into `out`.
  void Split(std::u16string_view id,
             std::vector<std::u16string_view>* out) const;
  // Adds the IDs of a list; the browse lock is held.
  HRESULT AddLocked(const BSTR* items, ULONG count);
  std::u16string ItemIdOf(NodeId node) const;

  std::u16string delimiter_;
  std::u16string_view separators_;  // delimiter_ up to its first NUL

  mutable std::mutex lock_;  // the browse lock
  BrowseTree tree_;
  NodeId position_ = BrowseTree::kRoot;
};

}  // namespace kavex::server

#endif  // KAVEX_SERVER_OBJECTS_BROWSE_SPACE_H_
