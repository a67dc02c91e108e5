#include "platform/com/bstr_block.h"

#include <algorithm>
#include <cstdint>
#include <new>

#include "platform/com/bstr.h"

namespace kavex::com {
namespace {

// The first chunk suits a small callback; each next one doubles, up to a
// size whose waste at the end stays small against what it holds.
constexpr size_t kFirstChunk = 4096;
constexpr size_t kLargestChunk = size_t{2} << 20;
constexpr size_t kMaxCharacters = 0x7FFFFFF0 / sizeof(OLECHAR);

}  // namespace

BSTR BstrBlock::Add(const OLECHAR* pch, UINT cch) {
  if (cch > kMaxCharacters) return nullptr;
  const size_t bytes = size_t{cch} * sizeof(OLECHAR);
  // Prefix, characters, terminator; the next string's prefix stays aligned.
  const size_t need = (sizeof(uint32_t) + bytes + 2 + 3) & ~size_t{3};
  if (need > left_) {
    size_t size = chunks_.empty()
                      ? kFirstChunk
                      : std::min(chunks_.back().size * 2, kLargestChunk);
    size = std::max(size, need);
    try {
      // The push below cannot throw then.
      if (chunks_.size() == chunks_.capacity())
        chunks_.reserve(std::max<size_t>(8, 2 * chunks_.size()));
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
    char* data = new (std::nothrow) char[size];
    if (data == nullptr) return nullptr;
    chunks_.push_back(Chunk{std::unique_ptr<char[]>(data), size});
    reserved_ += size;
    next_ = data;
    left_ = size;
  }
  char* block = next_;
  next_ += need;
  left_ -= need;
  return WriteBstrBlock(block, pch, bytes);
}

}  // namespace kavex::com
