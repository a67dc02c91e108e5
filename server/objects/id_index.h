// An open-addressing hash index of 32-bit ids whose keys live elsewhere: a
// slot holds an id and the 32-bit hash of its key, so a probe touches the
// key itself only when the hashes agree, and growing or erasing never needs
// the keys. Linear probing, at most 3/4 full, erasure by shifting the rest of
// the run back (no tombstones), so lookups stay short however many ids come
// and go.
#ifndef KAVEX_SERVER_OBJECTS_ID_INDEX_H_
#define KAVEX_SERVER_OBJECTS_ID_INDEX_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>

namespace kavex::server {

// A 64-bit mix with every input bit reaching the low bits the index uses.
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

  // Makes this index a copy of `other`. Throws std::bad_alloc with this
  // index unchanged.
  void CopyFrom(const IdIndex& other) {
    std::unique_ptr<Slot[]> slots;
    if (other.capacity_ != 0) {
      slots = std::make_unique_for_overwrite<Slot[]>(other.capacity_);
      std::copy_n(other.slots_.get(), other.capacity_, slots.get());
    }
    slots_ = std::move(slots);
    capacity_ = other.capacity_;
    size_ = other.size_;
  }

  // Makes room for `extra` more ids. Throws std::bad_alloc with the index
  // unchanged.
  void Reserve(size_t extra) {
    const size_t wanted = size_ + extra;
    if (wanted * 4 <= capacity_ * 3) return;
    size_t capacity = capacity_ == 0 ? 16 : capacity_;
    while (wanted * 4 > capacity * 3) capacity *= 2;
    if (capacity > (size_t{1} << 32)) throw std::bad_alloc();
    auto slots = std::make_unique_for_overwrite<Slot[]>(capacity);
    for (size_t i = 0; i < capacity; ++i) slots[i] = Slot{0, kNone};
    const size_t mask = capacity - 1;
    for (size_t i = 0; i < capacity_; ++i) {
      if (slots_[i].id == kNone) continue;
      size_t at = slots_[i].hash & mask;
      while (slots[at].id != kNone) at = (at + 1) & mask;
      slots[at] = slots_[i];
    }
    slots_ = std::move(slots);
    capacity_ = capacity;
  }

  // The stored id with this hash for which match(id) holds, else kNone.
  template <class Match>
  uint32_t Find(uint32_t hash, Match&& match) const {
    if (capacity_ == 0) return kNone;
    const size_t mask = capacity_ - 1;
    for (size_t at = hash & mask;; at = (at + 1) & mask) {
      const Slot& slot = slots_[at];
      if (slot.id == kNone) return kNone;
      if (slot.hash == hash && match(slot.id)) return slot.id;
    }
  }

  // Adds an id that is not stored yet; Reserve made room for it.
  void Insert(uint32_t hash, uint32_t id) {
    const size_t mask = capacity_ - 1;
    size_t at = hash & mask;
    while (slots_[at].id != kNone) at = (at + 1) & mask;
    slots_[at] = Slot{hash, id};
    ++size_;
  }

  // Removes a stored id inserted with this hash.
  void Erase(uint32_t hash, uint32_t id) {
    if (capacity_ == 0) return;
    const size_t mask = capacity_ - 1;
    size_t hole = hash & mask;
    while (slots_[hole].id != id) {
      if (slots_[hole].id == kNone) return;
      hole = (hole + 1) & mask;
    }
    // Moves back every later id of the run whose home slot does not lie
    // between the hole and the id itself.
    for (size_t next = (hole + 1) & mask; slots_[next].id != kNone;
         next = (next + 1) & mask) {
      const size_t home = slots_[next].hash & mask;
      if (((next - home) & mask) >= ((next - hole) & mask)) {
        slots_[hole] = slots_[next];
        hole = next;
      }
    }
    slots_[hole] = Slot{0, kNone};
    --size_;
  }

  // Empties the index and frees the table.
  void Clear() {
    slots_.reset();
    capacity_ = 0;
    size_ = 0;
  }

  size_t MemoryBytes() const { return capacity_ * sizeof(Slot); }

 private:
  struct Slot {
    uint32_t hash;
    uint32_t id;  // kNone: empty
  };

  std::unique_ptr<Slot[]> slots_;
  size_t capacity_ = 0;  // a power of two, or 0
  size_t size_ = 0;
};

}  // namespace kavex::server

#endif  // KAVEX_SERVER_OBJECTS_ID_INDEX_H_
