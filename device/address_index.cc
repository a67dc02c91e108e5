#include "device/address_index.h"

#include <utility>

namespace kavex::device {

void AddressIndex::Add(uint64_t key, uint32_t value) {
  if (Find(key) >= 0) return;
  // At most half full keeps probe sequences short.
  if ((size_ + 1) * 2 > slots_.size()) Grow();
  size_t i = Home(key);
  while (slots_[i].value != kEmpty) i = (i + 1) & mask_;
  slots_[i] = Slot{key, value};
  ++size_;
}

void AddressIndex::Grow() {
  std::vector<Slot> old = std::exchange(slots_, {});
  const size_t capacity = old.empty() ? 16 : old.size() * 2;
  slots_.resize(capacity);
  mask_ = capacity - 1;
  shift_ = 64 - __builtin_ctzll(capacity);
  for (const Slot& slot : old) {
    if (slot.value == kEmpty) continue;
    size_t i = Home(slot.key);
    while (slots_[i].value != kEmpty) i = (i + 1) & mask_;
    slots_[i] = slot;
  }
}

}  // namespace kavex::device
