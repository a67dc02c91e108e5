// Owns one handle and closes it when it goes: kavex::UniqueHandle for the
// HANDLEs of platform/sync, BasicUniqueHandle for any other kind (a driver
// library's adapter handle, a descriptor) given its invalid value and its
// close function.
#ifndef KAVEX_PLATFORM_BASE_UNIQUE_HANDLE_H_
#define KAVEX_PLATFORM_BASE_UNIQUE_HANDLE_H_

#include <utility>

#include "platform/base/handle.h"

namespace kavex {

// Traits: static T Invalid(); static void Close(T) (called only for a value
// that is not Invalid()).
template <typename Traits>
class BasicUniqueHandle {
 public:
  using Handle = decltype(Traits::Invalid());

  BasicUniqueHandle() = default;
  explicit BasicUniqueHandle(Handle handle) : handle_(handle) {}
  ~BasicUniqueHandle() { reset(); }
  BasicUniqueHandle(BasicUniqueHandle&& other) noexcept
      : handle_(other.release()) {}
  BasicUniqueHandle& operator=(BasicUniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  BasicUniqueHandle(const BasicUniqueHandle&) = delete;
  BasicUniqueHandle& operator=(const BasicUniqueHandle&) = delete;

  Handle get() const { return handle_; }
  bool valid() const { return handle_ != Traits::Invalid(); }
  explicit operator bool() const { return valid(); }

  // Closes the handle held, if any, and holds `handle` instead.
  void reset(Handle handle = Traits::Invalid()) {
    Handle old = std::exchange(handle_, handle);
    if (old != Traits::Invalid()) Traits::Close(old);
  }
  // Gives up ownership without closing.
  Handle release() { return std::exchange(handle_, Traits::Invalid()); }

 private:
  Handle handle_ = Traits::Invalid();
};

// Create* functions return null on failure, so null is the empty value.
struct KernelHandleTraits {
  static HANDLE Invalid() { return nullptr; }
  static void Close(HANDLE handle) { CloseHandle(handle); }
};
using UniqueHandle = BasicUniqueHandle<KernelHandleTraits>;

}  // namespace kavex

#endif  // KAVEX_PLATFORM_BASE_UNIQUE_HANDLE_H_
