#include "platform/com/global_memory.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_set>

struct GlobalBlock {
  std::unique_ptr<uint8_t[]> data;
  size_t size = 0;
  int locks = 0;
};

namespace kavex::com {
namespace {

// Live blocks. Leaked on purpose: blocks may be freed during exit.
struct Blocks {
  std::mutex mu;
  std::unordered_set<GlobalBlock*> live;
};
Blocks& GetBlocks() {
  static Blocks* blocks = new Blocks;
  return *blocks;
}

std::unique_ptr<uint8_t[]> ZeroBytes(size_t bytes) {
  // One byte at least, so an empty block still has an address.
  return std::unique_ptr<uint8_t[]>(new (std::nothrow)
                                        uint8_t[bytes == 0 ? 1 : bytes]());
}

}  // namespace
}  // namespace kavex::com

HGLOBAL GlobalAlloc(UINT /*flags*/, size_t bytes) {
  auto block = std::unique_ptr<GlobalBlock>(new (std::nothrow) GlobalBlock);
  if (!block) return nullptr;
  block->data = kavex::com::ZeroBytes(bytes);
  if (!block->data) return nullptr;
  block->size = bytes;
  kavex::com::Blocks& blocks = kavex::com::GetBlocks();
  std::lock_guard<std::mutex> lock(blocks.mu);
  try {
    blocks.live.insert(block.get());
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  return block.release();
}

void* GlobalLock(HGLOBAL block) {
  kavex::com::Blocks& blocks = kavex::com::GetBlocks();
  std::lock_guard<std::mutex> lock(blocks.mu);
  if (blocks.live.count(block) == 0 || block->size == 0) return nullptr;
  ++block->locks;
  return block->data.get();
}

BOOL GlobalUnlock(HGLOBAL block) {
  kavex::com::Blocks& blocks = kavex::com::GetBlocks();
  std::lock_guard<std::mutex> lock(blocks.mu);
  if (blocks.live.count(block) == 0 || block->locks == 0) return FALSE;
  return --block->locks > 0 ? TRUE : FALSE;
}

size_t GlobalSize(HGLOBAL block) {
  kavex::com::Blocks& blocks = kavex::com::GetBlocks();
  std::lock_guard<std::mutex> lock(blocks.mu);
  return blocks.live.count(block) == 0 ? 0 : block->size;
}

HGLOBAL GlobalFree(HGLOBAL block) {
  kavex::com::Blocks& blocks = kavex::com::GetBlocks();
  std::unique_ptr<GlobalBlock> owned;
  std::lock_guard<std::mutex> lock(blocks.mu);
  if (blocks.live.erase(block) == 0) return block;
  owned.reset(block);
  return nullptr;
}

HGLOBAL GlobalReAlloc(HGLOBAL block, size_t bytes, UINT /*flags*/) {
  kavex::com::Blocks& blocks = kavex::com::GetBlocks();
  std::lock_guard<std::mutex> lock(blocks.mu);
  if (blocks.live.count(block) == 0 || block->locks > 0) return nullptr;
  auto data = kavex::com::ZeroBytes(bytes);
  if (!data) return nullptr;
  std::memcpy(data.get(), block->data.get(),
              bytes < block->size ? bytes : block->size);
  block->data = std::move(data);
  block->size = bytes;
  return block;
}
