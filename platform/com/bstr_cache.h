// The per-thread cache of small BSTR blocks. A freed string's block goes on
// the freeing thread's list for its size class, and the next string of that
// class made on the thread takes it back without going to the heap: a
// server hands out and takes back thousands of short texts a second, and a
// heap that sees them all pays for it again at each large allocation in
// between (it sorts its small free blocks first).
//
// Only the block sizes are cached, never contents: a string made from a
// cached block is written in full by its maker, as a fresh one is. A
// thread holds at most kBstrCacheMaxBytes; past that, and for blocks above
// kBstrCacheMaxBlock, the heap is used. A block may be freed on any thread;
// a thread's cache goes back to the heap when the thread ends. In
// AddressSanitizer builds a cached block is poisoned, so a string read or
// freed after it was freed is still reported.
#ifndef KAVEX_PLATFORM_COM_BSTR_CACHE_H_
#define KAVEX_PLATFORM_COM_BSTR_CACHE_H_

#include <cstddef>

namespace kavex::com {

// Largest block (prefix, characters and terminator) that is cached, and
// the most a thread's cache holds, in bytes.
inline constexpr size_t kBstrCacheMaxBlock = 128;
inline constexpr size_t kBstrCacheMaxBytes = size_t{256} << 10;

// A block of at least `size` bytes (size > 0), from this thread's cache or
// the heap; null when out of memory.
void* AllocateBstrBlock(size_t size);
// Gives back a block AllocateBstrBlock returned for the same `size`, on
// any thread. Null is fine.
void FreeBstrBlock(void* block, size_t size);

// The bytes this thread's cache holds now.
size_t BstrCacheBytesForTesting();

}  // namespace kavex::com

#endif  // KAVEX_PLATFORM_COM_BSTR_CACHE_H_
