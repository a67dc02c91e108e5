// Strings made together and freed together: each string has the layout of a
// BSTR (byte count, characters, terminator) and is read by every BSTR
// function, but it lies in a block the BstrBlock owns, so it is never given
// to SysFreeString, SysReAllocString or anything that frees or replaces it.
// For values lent to a callee for the length of one call (the [in] values
// of a callback): one growing block instead of an allocation per string.
#ifndef KAVEX_PLATFORM_COM_BSTR_BLOCK_H_
#define KAVEX_PLATFORM_COM_BSTR_BLOCK_H_

#include <cstddef>
#include <memory>
#include <vector>

#include "platform/base/types.h"

namespace kavex::com {

class BstrBlock {
 public:
  BstrBlock() = default;
  BstrBlock(const BstrBlock&) = delete;
  BstrBlock& operator=(const BstrBlock&) = delete;
  BstrBlock(BstrBlock&&) noexcept = default;
  BstrBlock& operator=(BstrBlock&&) noexcept = default;

  // A string of the `cch` characters at `pch` (zeros when null), valid
  // until the block is destroyed; null when out of memory or `cch` is
  // above what a BSTR holds. Its prefix is 4-byte aligned.
  BSTR Add(const OLECHAR* pch, UINT cch);

  // Bytes taken from the heap so far.
  size_t ReservedBytes() const { return reserved_; }

 private:
  struct Chunk {
    std::unique_ptr<char[]> data;
    size_t size;
  };
  std::vector<Chunk> chunks_;
  char* next_ = nullptr;  // free space of the last chunk
  size_t left_ = 0;
  size_t reserved_ = 0;
};

}  // namespace kavex::com

#endif  // KAVEX_PLATFORM_COM_BSTR_BLOCK_H_
