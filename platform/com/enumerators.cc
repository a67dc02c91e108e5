#include "platform/com/enumerators.h"

#include <cstring>

#include "platform/com/task_memory.h"

namespace kavex::com {

HRESULT CopyTaskString::Copy(const Stored& from, Element* to) {
  size_t bytes = (from.size() + 1) * sizeof(OLECHAR);
  *to = static_cast<LPOLESTR>(CoTaskMemAlloc(bytes));
  if (*to == nullptr) return E_OUTOFMEMORY;
  std::memcpy(*to, from.c_str(), bytes);
  return S_OK;
}

void CopyTaskString::Destroy(Element* e) {
  CoTaskMemFree(*e);
  *e = nullptr;
}

HRESULT CreateEnumString(std::vector<std::u16string> strings,
                         IEnumString** out) {
  return CEnumString::Create(std::move(strings), out);
}

HRESULT CreateEnumUnknown(std::vector<ComPtr<IUnknown>> objects,
                          IEnumUnknown** out) {
  return CEnumUnknown::Create(std::move(objects), out);
}

}  // namespace kavex::com
