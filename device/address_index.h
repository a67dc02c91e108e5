// Switch lookup by source address: an open-addressing hash table from the
// six address bytes to the position of the first configured switch with that
// address, so a frame costs the same with one switch or a thousand.
#ifndef KAVEX_DEVICE_ADDRESS_INDEX_H_
#define KAVEX_DEVICE_ADDRESS_INDEX_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kavex::device {

class AddressIndex {
 public:
  // Keeps the first value for a key that is added twice (list order wins).
  void Add(uint64_t key, uint32_t value);
  // The value for `key`, or -1.
  int64_t Find(uint64_t key) const {
    if (slots_.empty()) return -1;
    for (size_t i = Home(key);; i = (i + 1) & mask_) {
      const Slot& slot = slots_[i];
      if (slot.value == kEmpty) return -1;
      if (slot.key == key) return slot.value;
    }
  }

 private:
  static constexpr uint32_t kEmpty = UINT32_MAX;
  struct Slot {
    uint64_t key = 0;
    uint32_t value = kEmpty;
  };

  size_t Home(uint64_t key) const {
    // Fibonacci hashing: the vendor prefix is the same for every switch, so
    // the multiply spreads the varying low bytes over the top bits.
    return static_cast<size_t>((key * 0x9E3779B97F4A7C15ULL) >> shift_);
  }
  void Grow();

  std::vector<Slot> slots_;
  size_t mask_ = 0;
  int shift_ = 64;
  size_t size_ = 0;
};

}  // namespace kavex::device

#endif  // KAVEX_DEVICE_ADDRESS_INDEX_H_
