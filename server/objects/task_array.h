// Arrays and strings handed to a client: task-allocated, zero-filled, owned
// here until handed out, so a failure half way frees them (and what their
// elements own) and the client gets nothing.
//
// A client's count is not trusted: an array of more than kMaxTaskArrayBytes
// is refused as out of memory before anything is allocated or read, so a
// huge count gives E_OUTOFMEMORY rather than an allocation the system
// grants lazily and a walk past the end of the client's own array.
#ifndef KAVEX_SERVER_OBJECTS_TASK_ARRAY_H_
#define KAVEX_SERVER_OBJECTS_TASK_ARRAY_H_

#include <cstddef>
#include <cstring>
#include <string_view>
#include <utility>

#include "platform/com/task_memory.h"
#include "platform/com/variant.h"
#include "platform/opc/opc_da.h"

namespace kavex::server {

inline constexpr size_t kMaxTaskArrayBytes = size_t{1} << 30;

// A task-allocated copy of `text` with its terminator; null when out of
// memory.
LPWSTR TaskStringCopy(std::u16string_view text);

// What an element owns, freed when an array is dropped instead of handed
// out.
inline void FreeTaskElement(OPCITEMSTATE& state) {
  VariantClear(&state.vDataValue);
}
inline void FreeTaskElement(OPCITEMATTRIBUTES& attributes) {
  CoTaskMemFree(attributes.szAccessPath);
  CoTaskMemFree(attributes.szItemID);
  CoTaskMemFree(attributes.pBlob);
  VariantClear(&attributes.vEUInfo);
}
inline void FreeTaskElement(VARIANT& value) { VariantClear(&value); }
inline void FreeTaskElement(LPWSTR& text) { CoTaskMemFree(text); }
template <class T>
void FreeTaskElement(T&) {}

template <class T>
class TaskArray {
 public:
  TaskArray() = default;
  ~TaskArray() { Reset(); }
  TaskArray(const TaskArray&) = delete;
  TaskArray& operator=(const TaskArray&) = delete;

  // `count` zero-filled elements; false when out of memory or over the
  // bound (the array is then empty).
  bool Allocate(size_t count) {
    Reset();
    if (count > kMaxTaskArrayBytes / sizeof(T)) return false;
    const size_t bytes = count * sizeof(T);
    void* block = CoTaskMemAlloc(bytes);
    if (block == nullptr) return false;
    std::memset(block, 0, bytes);
    data_ = static_cast<T*>(block);
    count_ = count;
    return true;
  }

  T* get() const { return data_; }
  size_t size() const { return count_; }
  T& operator[](size_t i) const { return data_[i]; }

  // Hands the array to the caller, who frees it with CoTaskMemFree.
  T* Release() {
    count_ = 0;
    return std::exchange(data_, nullptr);
  }
  void Reset() {
    if (data_ == nullptr) return;
    for (size_t i = 0; i < count_; ++i) FreeTaskElement(data_[i]);
    CoTaskMemFree(std::exchange(data_, nullptr));
    count_ = 0;
  }

 private:
  T* data_ = nullptr;
  size_t count_ = 0;
};

}  // namespace kavex::server

#endif  // KAVEX_SERVER_OBJECTS_TASK_ARRAY_H_
