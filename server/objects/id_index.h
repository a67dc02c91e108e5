// An open-addressing hash index of 32-bit ids whose keys live elsewhere: the
// table holds the ids alone (4 bytes a slot), and the caller says how to hash
// a stored id and whether it matches a key. Linear probing, at most 3/4 full,
// erasure by shifting the rest of the run back (no tombstones), so lookups
// stay short however many ids come and go.
#ifndef KAVEX_SERVER_OBJECTS_ID_INDEX_H_
#define KAVEX_SERVER_OBJECTS_ID_INDEX_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

namespace kavex::server {

// A 64-bit mix with every input bit reaching the low bits the table uses.
inline uint64_t MixHash(uint64_t x) {
  x ^= x >> 30;
  x *= 0xBF58476D1CE4E5B9ULL;
  x ^= x >> 27;
  x *= 0x94D049BB133111EBULL;
  x ^= x >> 31;
  return x;
}

class IdIndex {
 public:
  static constexpr uint32_t kNone = UINT32_MAX;

  IdIndex() = default;
  IdIndex(const IdIndex&) = delete;
  IdIndex& operator=(const IdIndex&) = delete;

  size_t size() const { return size_; }

  // Makes room for `extra` more ids; hash_of(id) is a stored id's hash.
  // Throws std::bad_alloc with the index unchanged.
  template <class HashOf>
  void Reserve(size_t extra, HashOf&& hash_of) {
    const size_t wanted = size_ + extra;
    if (wanted * 4 <= capacity_ * 3) return;
    size_t capacity = capacity_ == 0 ? 16 : capacity_;
    while (wanted * 4 > capacity * 3) capacity *= 2;
    auto slots = std::make_unique_for_overwrite<uint32_t[]>(capacity);
    for (size_t i = 0; i < capacity; ++i) slots[i] = kNone;
    const size_t mask = capacity - 1;
    for (size_t i = 0; i < capacity_; ++i) {
      const uint32_t id = slots_[i];
      if (id == kNone) continue;
      size_t slot = hash_of(id) & mask;
      while (slots[slot] != kNone) slot = (slot + 1) & mask;
      slots[slot] = id;
    }
    slots_ = std::move(slots);
    capacity_ = capacity;
  }

  // The stored id with this hash for which match(id) holds, else kNone.
  template <class Match>
  uint32_t Find(uint64_t hash, Match&& match) const {
    if (capacity_ == 0) return kNone;
    const size_t mask = capacity_ - 1;
    for (size_t slot = hash & mask;; slot = (slot + 1) & mask) {
      const uint32_t id = slots_[slot];
      if (id == kNone) return kNone;
      if (match(id)) return id;
    }
  }

  // Adds an id that is not stored yet; Reserve made room for it.
  void Insert(uint64_t hash, uint32_t id) {
    const size_t mask = capacity_ - 1;
    size_t slot = hash & mask;
    while (slots_[slot] != kNone) slot = (slot + 1) & mask;
    slots_[slot] = id;
    ++size_;
  }

  // Removes a stored id (hash is its hash); hash_of as for Reserve.
  template <class HashOf>
  void Erase(uint64_t hash, uint32_t id, HashOf&& hash_of) {
    if (capacity_ == 0) return;
    const size_t mask = capacity_ - 1;
    size_t hole = hash & mask;
    while (slots_[hole] != id) {
      if (slots_[hole] == kNone) return;
      hole = (hole + 1) & mask;
    }
    // Moves back every later id of the run whose home slot does not lie
    // between the hole and the id itself.
    for (size_t next = (hole + 1) & mask; slots_[next] != kNone;
         next = (next + 1) & mask) {
      const size_t home = hash_of(slots_[next]) & mask;
      if (((next - home) & mask) >= ((next - hole) & mask)) {
        slots_[hole] = slots_[next];
        hole = next;
      }
    }
    slots_[hole] = kNone;
    --size_;
  }

  // Empties the index and frees the table.
  void Clear() {
    slots_.reset();
    capacity_ = 0;
    size_ = 0;
  }

  size_t MemoryBytes() const { return capacity_ * sizeof(uint32_t); }

 private:
  std::unique_ptr<uint32_t[]> slots_;
  size_t capacity_ = 0;  // a power of two, or 0
  size_t size_ = 0;
};

}  // namespace kavex::server

#endif  // KAVEX_SERVER_OBJECTS_ID_INDEX_H_
