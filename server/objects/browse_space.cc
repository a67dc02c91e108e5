#include "server/objects/browse_space.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "platform/com/safearray.h"
#include "platform/com/task_memory.h"
#include "server/objects/trace_log.h"

namespace kavex::server {
namespace {

std::u16string_view UpToNul(std::u16string_view text) {
  return text.substr(0, text.find(u'\0'));
}

// The BSTR elements of an item list, held locked while this lives.
class ItemList {
 public:
  ItemList() = default;
  ItemList(const ItemList&) = delete;
  ItemList& operator=(const ItemList&) = delete;
  ~ItemList() {
    if (array_ != nullptr) SafeArrayUnaccessData(array_);
  }

  // E_INVALIDARG unless `ids` is a one-dimensional BSTR array with lower
  // bound 0 (the count is cElements; element 0 is the first).
  HRESULT Open(const VARIANT& ids) {
    if (ids.vt != (VT_ARRAY | VT_BSTR) || ids.parray == nullptr)
      return E_INVALIDARG;
    SAFEARRAY* array = ids.parray;
    VARTYPE element_type = VT_EMPTY;
    if (SafeArrayGetDim(array) != 1 ||
        FAILED(SafeArrayGetVartype(array, &element_type)) ||
        element_type != VT_BSTR || array->cbElements != sizeof(BSTR) ||
        array->rgsabound[0].lLbound != 0) {
      return E_INVALIDARG;
    }
    void* data = nullptr;
    if (FAILED(SafeArrayAccessData(array, &data))) return E_INVALIDARG;
    array_ = array;
    items_ = static_cast<const BSTR*>(data);
    count_ = array->rgsabound[0].cElements;
    return S_OK;
  }

  const BSTR* items() const { return items_; }
  ULONG count() const { return count_; }

 private:
  SAFEARRAY* array_ = nullptr;
  const BSTR* items_ = nullptr;
  ULONG count_ = 0;
};

// Runs `body`, turning an allocation failure into E_OUTOFMEMORY and anything
// else thrown into E_FAIL.
template <class Body>
HRESULT Guarded(Body&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_FAIL;
  }
}

// The tree of an empty list, shared by every space until its first list.
const std::shared_ptr<const BrowseTree>& EmptyTree() {
  static const auto* const empty =
      new std::shared_ptr<const BrowseTree>(std::make_shared<BrowseTree>());
  return *empty;
}

}  // namespace

BrowseSpace::BrowseSpace(BrowseTreeCache* cache)
    : cache_(cache), shared_(EmptyTree()) {}

void BrowseSpace::SetDelimiter(std::u16string delimiter) {
  std::u16string separators(UpToNul(delimiter));
  std::lock_guard<std::mutex> lock(lock_);
  delimiter_ = std::move(delimiter);
  separators_ = std::move(separators);
}

void BrowseSpace::Split(std::u16string_view separators, std::u16string_view id,
                        std::vector<std::u16string_view>* out) {
  out->clear();
  if (separators.empty()) {
    if (!id.empty()) out->push_back(id);
    return;
  }
  const size_t n = id.size();
  if (separators.size() == 1) {
    const char16_t separator = separators[0];
    for (size_t i = 0; i < n;) {
      if (id[i] == separator) {
        ++i;
        continue;
      }
      const size_t end = std::min(id.find(separator, i), n);
      out->push_back(id.substr(i, end - i));
      i = end;
    }
    return;
  }
  auto is_separator = [separators](char16_t c) {
    return separators.find(c) != separators.npos;
  };
  size_t i = 0;
  while (i < n) {
    while (i < n && is_separator(id[i])) ++i;
    const size_t start = i;
    while (i < n && !is_separator(id[i])) ++i;
    if (i > start) out->push_back(id.substr(start, i - start));
  }
}

void BrowseSpace::AddTo(BrowseTree* tree, std::u16string_view separators,
                        const BSTR* items, ULONG count) {
  BrowseTree::Inserter inserter(tree);
  std::vector<std::u16string_view> components;
  for (ULONG i = 0; i < count; ++i) {
    Split(separators, UpToNul(com::BstrView(items[i])), &components);
    inserter.Add(components);
  }
}

HRESULT BrowseSpace::TreeOfList(std::u16string_view separators,
                                const BSTR* items, ULONG count,
                                SharedTree* tree,
                                std::unique_ptr<BrowseTree>* partial) const {
  return Guarded([&]() -> HRESULT {
    BrowseTreeCache::ListHash hash;
    for (ULONG i = 0; i < count; ++i)
      hash.Add(UpToNul(com::BstrView(items[i])));
    const BrowseTreeCache::Key key{std::u16string(separators), hash.value(),
                                   count};
    std::vector<std::u16string_view> components;
    for (SharedTree& candidate : cache_->Find(key)) {
      BrowseTree::Matcher matcher(*candidate);
      for (ULONG i = 0; i < count; ++i) {
        Split(separators, UpToNul(com::BstrView(items[i])), &components);
        if (!matcher.Add(components)) break;
      }
      if (matcher.Matches()) {
        *tree = std::move(candidate);
        return S_OK;
      }
    }
    auto built = std::make_unique<BrowseTree>();
    try {
      AddTo(built.get(), separators, items, count);
    } catch (const std::bad_alloc&) {
      *partial = std::move(built);
      return E_OUTOFMEMORY;
    }
    SharedTree shared(std::move(built));
    cache_->Publish(key, shared);  // unpublished, it is only not shared
    *tree = std::move(shared);
    return S_OK;
  });
}

BrowseTree& BrowseSpace::OwnTree(SharedTree* released) {
  if (!own_) {
    own_ = shared_->Clone();
    *released = std::move(shared_);
  }
  return *own_;
}

void BrowseSpace::Install(SharedTree shared, std::unique_ptr<BrowseTree> own,
                          SharedTree* released_shared,
                          std::unique_ptr<BrowseTree>* released_own) {
  *released_shared = std::move(shared_);
  *released_own = std::move(own_);
  shared_ = std::move(shared);
  own_ = std::move(own);
  ++changes_;
  position_ = BrowseTree::kRoot;
}

HRESULT BrowseSpace::AddItemIDs(const VARIANT& ids) {
  ItemList list;
  if (HRESULT hr = list.Open(ids); FAILED(hr)) return hr;
  // What this space lets go of is freed after the browse lock is let go.
  SharedTree released_shared;
  std::unique_ptr<BrowseTree> released_own;
  std::u16string separators;
  uint64_t changes = 0;
  bool empty = false;
  {
    std::lock_guard<std::mutex> lock(lock_);
    separators = separators_;
    changes = changes_;
    empty = tree().NodeCount() == 1;
  }
  if (empty) {
    // The list's shared tree, found or built without the lock.
    SharedTree shared;
    std::unique_ptr<BrowseTree> partial;
    const HRESULT hr =
        TreeOfList(separators, list.items(), list.count(), &shared, &partial);
    if (!shared && !partial) return hr;  // nothing added
    std::lock_guard<std::mutex> lock(lock_);
    if (changes_ == changes) {
      // Still the empty tree: the position is its root.
      Install(std::move(shared), std::move(partial), &released_shared,
              &released_own);
      return hr;
    }
    // Another change came first: the list goes onto the tree as it is now.
  }
  std::lock_guard<std::mutex> lock(lock_);
  return Guarded([&] {
    BrowseTree& tree = OwnTree(&released_shared);
    ++changes_;
    AddTo(&tree, separators_, list.items(), list.count());
    return S_OK;
  });
}

HRESULT BrowseSpace::RemoveItemIDs(const VARIANT& ids) {
  ItemList list;
  if (HRESULT hr = list.Open(ids); FAILED(hr)) return hr;
  SharedTree released;  // freed after the browse lock is let go
  std::lock_guard<std::mutex> lock(lock_);
  return Guarded([&] {
    std::vector<std::u16string_view> components;
    for (ULONG i = 0; i < list.count(); ++i) {
      Split(separators_, UpToNul(com::BstrView(list.items()[i])), &components);
      if (components.empty()) continue;
      NodeId node = BrowseTree::kRoot;
      for (std::u16string_view component : components) {
        node = tree().Child(node, component);
        if (node == BrowseTree::kNoNode) break;
      }
      if (node == BrowseTree::kNoNode) continue;
      // A copy has the same node ids: `node` is the same node in it.
      BrowseTree& tree = OwnTree(&released);
      ++changes_;
      const NodeId parent = tree.Parent(node);
      tree.Remove(node);
      // A position inside the removed subtree would point at a freed node.
      if (!tree.IsLive(position_)) position_ = parent;
    }
    return S_OK;
  });
}

HRESULT BrowseSpace::RefreshItemIDs(const VARIANT& ids) {
  ItemList list;
  if (HRESULT hr = list.Open(ids); FAILED(hr)) return hr;
  std::u16string separators;
  {
    std::lock_guard<std::mutex> lock(lock_);
    separators = separators_;
  }
  // The new tree is made without the lock and put in at once.
  SharedTree shared;
  std::unique_ptr<BrowseTree> partial;
  const HRESULT hr =
      TreeOfList(separators, list.items(), list.count(), &shared, &partial);
  if (!shared && !partial) return hr;  // nothing made: nothing changes
  SharedTree released_shared;
  std::unique_ptr<BrowseTree> released_own;
  std::lock_guard<std::mutex> lock(lock_);
  Install(std::move(shared), std::move(partial), &released_shared,
          &released_own);
  return hr;
}

HRESULT BrowseSpace::QueryOrganization(OPCNAMESPACETYPE* type) {
  if (type == nullptr) return E_INVALIDARG;
  *type = OPC_NS_HIERARCHIAL;
  return S_OK;
}

HRESULT BrowseSpace::ChangeBrowsePosition(const void* trace_object,
                                          OPCBROWSEDIRECTION direction,
                                          LPCWSTR name) {
  const HRESULT hr = Guarded([&]() -> HRESULT {
    if (name == nullptr) return E_INVALIDARG;
    std::lock_guard<std::mutex> lock(lock_);
    switch (direction) {
      case OPC_BROWSE_UP:
        if (position_ == BrowseTree::kRoot) return E_FAIL;
        position_ = tree().Parent(position_);
        return S_OK;
      case OPC_BROWSE_DOWN: {
        // A leaf may be entered too.
        const NodeId child = tree().Child(position_, name);
        if (child == BrowseTree::kNoNode) return E_INVALIDARG;
        position_ = child;
        return S_OK;
      }
      case OPC_BROWSE_TO: {
        std::vector<std::u16string_view> components;
        Split(separators_, name, &components);
        NodeId node = BrowseTree::kRoot;
        for (std::u16string_view component : components) {
          node = tree().Child(node, component);
          if (node == BrowseTree::kNoNode) return E_INVALIDARG;
        }
        position_ = node;
        return S_OK;
      }
    }
    return E_INVALIDARG;
  });
  Trace(kTraceDetail, trace_object, hr, "CServer::ChangeBrowsePosition",
        name != nullptr ? std::u16string_view(name) : std::u16string_view());
  return hr;
}

HRESULT BrowseSpace::BrowseOPCItemIDs(const void* /*trace_object*/,
                                      OPCBROWSETYPE type, LPCWSTR filter,
                                      VARTYPE /*data_type_filter*/,
                                      DWORD /*access_rights_filter*/,
                                      IEnumString** out) {
  if (out != nullptr) *out = nullptr;
  if (filter == nullptr || out == nullptr ||
      (type != OPC_BRANCH && type != OPC_LEAF && type != OPC_FLAT)) {
    return E_INVALIDARG;
  }
  return Guarded([&]() -> HRESULT {
    std::vector<std::u16string> names;
    {
      std::lock_guard<std::mutex> lock(lock_);
      const NodeId at = position_;
      if (type == OPC_FLAT) {
        // Depth first, each node before its children, children in order;
        // a stack of child ranges, so any depth is fine.
        names.reserve(tree().DescendantCount(at));
        using Range = std::span<const NodeId>;
        std::vector<Range> stack{tree().Children(at)};
        while (!stack.empty()) {
          Range& top = stack.back();
          if (top.empty()) {
            stack.pop_back();
            continue;
          }
          const NodeId node = top.front();
          top = top.subspan(1);
          names.emplace_back(tree().Name(node));
          if (tree().IsBranch(node)) stack.push_back(tree().Children(node));
        }
      } else {
        const bool branches = type == OPC_BRANCH;
        names.reserve(branches
                          ? tree().BranchCount(at)
                          : tree().ChildCount(at) - tree().BranchCount(at));
        for (NodeId child : tree().Children(at)) {
          if (tree().IsBranch(child) == branches)
            names.emplace_back(tree().Name(child));
        }
      }
    }
    const bool empty = names.empty();
    const HRESULT hr = com::CreateEnumString(std::move(names), out);
    if (FAILED(hr)) return hr;
    return empty ? S_FALSE : S_OK;
  });
}

std::u16string BrowseSpace::ItemIdOf(NodeId node) const {
  std::vector<std::u16string_view> names;
  size_t length = 0;
  for (; node != BrowseTree::kRoot; node = tree().Parent(node)) {
    names.push_back(tree().Name(node));
    length += names.back().size() + separators_.size();
  }
  std::u16string id;
  id.reserve(length);
  for (auto it = names.rbegin(); it != names.rend(); ++it) {
    if (it != names.rbegin()) id.append(separators_);
    id.append(*it);
  }
  return id;
}

HRESULT BrowseSpace::GetItemID(const void* trace_object, LPWSTR item_data_id,
                               LPWSTR* item_id) {
  if (item_id != nullptr) *item_id = nullptr;
  const HRESULT hr = Guarded([&]() -> HRESULT {
    if (item_data_id == nullptr || item_id == nullptr) return E_INVALIDARG;
    std::u16string id;
    {
      std::lock_guard<std::mutex> lock(lock_);
      NodeId node = position_;
      if (*item_data_id != u'\0') {
        node = tree().Child(position_, item_data_id);
        if (node == BrowseTree::kNoNode) return E_INVALIDARG;
      }
      id = ItemIdOf(node);
    }
    const size_t bytes = (id.size() + 1) * sizeof(char16_t);
    auto* text = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
    if (text == nullptr) return E_OUTOFMEMORY;
    std::memcpy(text, id.c_str(), bytes);
    *item_id = text;
    return S_OK;
  });
  if (FAILED(hr))
    Trace(kTraceError, trace_object, hr, "CServer::GetItemID: Error");
  return hr;
}

HRESULT BrowseSpace::BrowseAccessPaths(LPCWSTR /*item_id*/, IEnumString** out) {
  if (out != nullptr) *out = nullptr;
  return E_NOTIMPL;
}

size_t BrowseSpace::NodeCount() const {
  std::lock_guard<std::mutex> lock(lock_);
  return tree().NodeCount();
}

size_t BrowseSpace::MemoryBytes() const {
  std::lock_guard<std::mutex> lock(lock_);
  return tree().MemoryBytes();
}

std::string BrowseSpace::CheckConsistency() const {
  std::lock_guard<std::mutex> lock(lock_);
  std::string problems = tree().CheckConsistency();
  if (!tree().IsLive(position_)) problems.append("position not live\n");
  return problems;
}

const BrowseTree* BrowseSpace::TreeForTesting() const {
  std::lock_guard<std::mutex> lock(lock_);
  return &tree();
}

bool BrowseSpace::SharesTreeForTesting() const {
  std::lock_guard<std::mutex> lock(lock_);
  return own_ == nullptr;
}

}  // namespace kavex::server
