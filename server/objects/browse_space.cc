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

}  // namespace

BrowseSpace::BrowseSpace() = default;

void BrowseSpace::SetDelimiter(std::u16string delimiter) {
  std::lock_guard<std::mutex> lock(lock_);
  delimiter_ = std::move(delimiter);
  separators_ = UpToNul(delimiter_);
}

void BrowseSpace::Split(std::u16string_view id,
                        std::vector<std::u16string_view>* out) const {
  out->clear();
  if (separators_.empty()) {
    if (!id.empty()) out->push_back(id);
    return;
  }
  const size_t n = id.size();
  if (separators_.size() == 1) {
    const char16_t separator = separators_[0];
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
  auto is_separator = [this](char16_t c) {
    return separators_.find(c) != separators_.npos;
  };
  size_t i = 0;
  while (i < n) {
    while (i < n && is_separator(id[i])) ++i;
    const size_t start = i;
    while (i < n && !is_separator(id[i])) ++i;
    if (i > start) out->push_back(id.substr(start, i - start));
  }
}

HRESULT BrowseSpace::AddLocked(const BSTR* items, ULONG count) {
  return Guarded([&] {
    BrowseTree::Inserter inserter(&tree_);
    std::vector<std::u16string_view> components;
    for (ULONG i = 0; i < count; ++i) {
      Split(UpToNul(com::BstrView(items[i])), &components);
      inserter.Add(components);
    }
    return S_OK;
  });
}

HRESULT BrowseSpace::AddItemIDs(const VARIANT& ids) {
  ItemList list;
  if (HRESULT hr = list.Open(ids); FAILED(hr)) return hr;
  std::lock_guard<std::mutex> lock(lock_);
  return AddLocked(list.items(), list.count());
}

HRESULT BrowseSpace::RemoveItemIDs(const VARIANT& ids) {
  ItemList list;
  if (HRESULT hr = list.Open(ids); FAILED(hr)) return hr;
  std::lock_guard<std::mutex> lock(lock_);
  return Guarded([&] {
    std::vector<std::u16string_view> components;
    for (ULONG i = 0; i < list.count(); ++i) {
      Split(UpToNul(com::BstrView(list.items()[i])), &components);
      if (components.empty()) continue;
      NodeId node = BrowseTree::kRoot;
      for (std::u16string_view component : components) {
        node = tree_.Child(node, component);
        if (node == BrowseTree::kNoNode) break;
      }
      if (node == BrowseTree::kNoNode) continue;
      const NodeId parent = tree_.Parent(node);
      tree_.Remove(node);
      // A position inside the removed subtree would point at a freed node.
      if (!tree_.IsLive(position_)) position_ = parent;
    }
    return S_OK;
  });
}

HRESULT BrowseSpace::RefreshItemIDs(const VARIANT& ids) {
  ItemList list;
  if (HRESULT hr = list.Open(ids); FAILED(hr)) return hr;
  std::lock_guard<std::mutex> lock(lock_);
  tree_.Clear();
  position_ = BrowseTree::kRoot;
  return AddLocked(list.items(), list.count());
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
        position_ = tree_.Parent(position_);
        return S_OK;
      case OPC_BROWSE_DOWN: {
        // A leaf may be entered too.
        const NodeId child = tree_.Child(position_, name);
        if (child == BrowseTree::kNoNode) return E_INVALIDARG;
        position_ = child;
        return S_OK;
      }
      case OPC_BROWSE_TO: {
        std::vector<std::u16string_view> components;
        Split(name, &components);
        NodeId node = BrowseTree::kRoot;
        for (std::u16string_view component : components) {
          node = tree_.Child(node, component);
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
        names.reserve(tree_.DescendantCount(at));
        using Range = std::span<const NodeId>;
        std::vector<Range> stack{tree_.Children(at)};
        while (!stack.empty()) {
          Range& top = stack.back();
          if (top.empty()) {
            stack.pop_back();
            continue;
          }
          const NodeId node = top.front();
          top = top.subspan(1);
          names.emplace_back(tree_.Name(node));
          if (tree_.IsBranch(node)) stack.push_back(tree_.Children(node));
        }
      } else {
        const bool branches = type == OPC_BRANCH;
        names.reserve(branches ? tree_.BranchCount(at)
                               : tree_.ChildCount(at) - tree_.BranchCount(at));
        for (NodeId child : tree_.Children(at)) {
          if (tree_.IsBranch(child) == branches)
            names.emplace_back(tree_.Name(child));
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
  for (; node != BrowseTree::kRoot; node = tree_.Parent(node)) {
    names.push_back(tree_.Name(node));
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
        node = tree_.Child(position_, item_data_id);
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
  return tree_.NodeCount();
}

size_t BrowseSpace::MemoryBytes() const {
  std::lock_guard<std::mutex> lock(lock_);
  return tree_.MemoryBytes();
}

std::string BrowseSpace::CheckConsistency() const {
  std::lock_guard<std::mutex> lock(lock_);
  std::string problems = tree_.CheckConsistency();
  if (!tree_.IsLive(position_)) problems.append("position not live\n");
  return problems;
}

}  // namespace kavex::server
