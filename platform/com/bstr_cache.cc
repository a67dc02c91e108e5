#include "platform/com/bstr_cache.h"

#include <cstdlib>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define KAVEX_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define KAVEX_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define KAVEX_POISON(p, n) ((void)(p), (void)(n))
#define KAVEX_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace kavex::com {
namespace {

// Size classes of 16 bytes: class c holds blocks of 16 * (c + 1) bytes.
constexpr size_t kGranule = 16;
constexpr size_t kClasses = kBstrCacheMaxBlock / kGranule;

struct FreeBlock {
  FreeBlock* next;
};

enum class State : unsigned char { kUnused, kLive, kGone };

// Trivially destructible, so it stays usable while the thread's other
// thread-local objects are destroyed; the Drainer below empties it.
struct ThreadCache {
  FreeBlock* heads[kClasses];
  size_t bytes;
  State state;
};

// The library is loaded with the program (never opened later), so the
// cache can live in the static TLS block: one load from the thread pointer.
__attribute__((tls_model("initial-exec"))) constinit thread_local ThreadCache
    cache{};

size_t ClassOf(size_t size) { return (size - 1) / kGranule; }
size_t ClassSize(size_t c) { return (c + 1) * kGranule; }

void Drain() {
  for (size_t c = 0; c < kClasses; ++c) {
    FreeBlock* block = cache.heads[c];
    while (block != nullptr) {
      KAVEX_UNPOISON(block, ClassSize(c));
      FreeBlock* next = block->next;
      std::free(block);
      block = next;
    }
    cache.heads[c] = nullptr;
  }
  cache.bytes = 0;
}

struct Drainer {
  ~Drainer() {
    Drain();
    // Blocks freed by later thread-exit code go to the heap.
    cache.state = State::kGone;
  }
};

// The first block a thread keeps makes it drain its cache at exit.
void StartCache() {
  static thread_local Drainer drainer;
  (void)drainer;
  cache.state = State::kLive;
}

}  // namespace

void* AllocateBstrBlock(size_t size) {
  if (size > kBstrCacheMaxBlock) return std::malloc(size);
  const size_t c = ClassOf(size);
  FreeBlock* block = cache.heads[c];
  if (block == nullptr) return std::malloc(ClassSize(c));
  KAVEX_UNPOISON(block, ClassSize(c));
  cache.heads[c] = block->next;
  cache.bytes -= ClassSize(c);
  return block;
}

void FreeBstrBlock(void* block, size_t size) {
  if (block == nullptr) return;
  if (size <= kBstrCacheMaxBlock && cache.state != State::kGone) {
    const size_t c = ClassOf(size);
    if (cache.bytes + ClassSize(c) <= kBstrCacheMaxBytes) {
      if (cache.state == State::kUnused) StartCache();
      FreeBlock* kept = static_cast<FreeBlock*>(block);
      kept->next = cache.heads[c];
      cache.heads[c] = kept;
      cache.bytes += ClassSize(c);
      KAVEX_POISON(kept, ClassSize(c));
      return;
    }
  }
  std::free(block);
}

size_t BstrCacheBytesForTesting() { return cache.bytes; }

}  // namespace kavex::com
