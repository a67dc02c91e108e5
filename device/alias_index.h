// Item lookup by alias: the first switch called A and the first port "A.P"
// (the first port called P of the first switch called A that has one), as
// walking the switches and their ports in list order would find them, at
// the same cost with 1 switch or 1000.
//
// Both are open-addressing hash tables over the fixed records, built once,
// at most half full. A port slot keeps the key's first characters, so a
// short key is told from others without loading the records. An alias that
// is empty or holds a dot can never be addressed, so it is left out.
#ifndef KAVEX_DEVICE_ALIAS_INDEX_H_
#define KAVEX_DEVICE_ALIAS_INDEX_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "device/switch_records.h"

namespace kavex::device {

// A hash of a short text, eight bytes at a time, for the alias index and
// the device's other small name tables. Every input bit reaches the low
// bits, from which the tables take their slots. Inline, as the lookups
// that use it: a read makes several.
inline uint64_t HashText(std::string_view text);

// The hash of a port key "A.P" over its UTF-16 code units, the form in which
// item identifiers arrive; the UTF-8 form hashes the same.
inline uint64_t HashPortKey(std::u16string_view key);
uint64_t HashPortKey(std::string_view key);

class AliasIndex {
 public:
  struct alignas(32) PortSlot {
    static constexpr size_t kInlineKey = 16;
    const PortRecord* port = nullptr;  // nullptr: no such port
    uint32_t switch_index = 0;
    uint32_t key_size = 0;
    char key[kInlineKey] = {};
  };

  // An index of no switches.
  AliasIndex() : switch_slots_(16, kNoSwitch), port_slots_(16) {}

  // Indexes `switches`, which must stay where they are, unchanged, for as
  // long as this index is used.
  void Build(const std::vector<SwitchRecord>& switches);

  // The position of the first switch called `alias`, or -1.
  int64_t FindSwitch(std::string_view alias) const {
    const uint32_t s = switch_slots_[ProbeSwitch(alias, HashText(alias))];
    return s == kNoSwitch ? -1 : static_cast<int64_t>(s);
  }
  // The slot of port `key` ("A.P"); its port is nullptr when there is none.
  // `hash` is HashPortKey(key).
  const PortSlot& FindPort(std::string_view key, uint64_t hash) const {
    return port_slots_[ProbePort(key, hash)];
  }
  // Starts loading the slot where the port of `hash` would be.
  void PrefetchPort(uint64_t hash) const {
    __builtin_prefetch(&port_slots_[hash & (port_slots_.size() - 1)]);
  }

 private:
  static constexpr uint32_t kNoSwitch = UINT32_MAX;

  // The slot holding `key`, else the empty slot where it belongs.
  size_t ProbePort(std::string_view key, uint64_t hash) const {
    const size_t mask = port_slots_.size() - 1;
    const size_t inline_size = std::min(key.size(), PortSlot::kInlineKey);
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
      const PortSlot& slot = port_slots_[i];
      if (slot.port == nullptr) return i;
      if (slot.key_size == key.size() &&
          std::memcmp(slot.key, key.data(), inline_size) == 0 &&
          (key.size() <= PortSlot::kInlineKey || NamesPort(key, slot))) {
        return i;
      }
    }
  }
  size_t ProbeSwitch(std::string_view alias, uint64_t hash) const {
    const size_t mask = switch_slots_.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
      const uint32_t s = switch_slots_[i];
      if (s == kNoSwitch || (*switches_)[s].alias == alias) return i;
    }
  }
  bool NamesPort(std::string_view key, const PortSlot& slot) const {
    const std::string& a = (*switches_)[slot.switch_index].alias;
    const std::string& p = slot.port->alias;
    return key.size() == a.size() + 1 + p.size() && key.starts_with(a) &&
           key[a.size()] == '.' && key.ends_with(p);
  }

  const std::vector<SwitchRecord>* switches_ = nullptr;
  std::vector<uint32_t> switch_slots_;  // switch positions; kNoSwitch: empty
  std::vector<PortSlot> port_slots_;
};

namespace alias_index_internal {

inline uint64_t Load(const char* p, size_t width) {
  if (width == 8) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    return word;
  }
  uint32_t word;
  std::memcpy(&word, p, 4);
  return word;
}

inline uint64_t Mix(uint64_t hash, uint64_t word) {
  hash = (hash ^ word) * 0xBF58476D1CE4E5B9ull;
  return hash ^ (hash >> 32);
}

}  // namespace alias_index_internal

inline uint64_t HashText(std::string_view text) {
  using alias_index_internal::Load;
  using alias_index_internal::Mix;
  const char* p = text.data();
  size_t n = text.size();
  uint64_t hash = 0x9E3779B97F4A7C15ull ^ n;
  // The tail is loaded as overlapping words rather than byte by byte.
  if (n >= 8) {
    for (; n > 8; p += 8, n -= 8) hash = Mix(hash, Load(p, 8));
    hash = Mix(hash, Load(p + n - 8, 8));
  } else if (n >= 4) {
    hash = Mix(hash, Load(p, 4) << 32 | Load(p + n - 4, 4));
  } else if (n > 0) {
    hash = Mix(hash, static_cast<uint64_t>(static_cast<uint8_t>(p[0])) << 16 |
                         static_cast<uint64_t>(static_cast<uint8_t>(p[n / 2]))
                             << 8 |
                         static_cast<uint8_t>(p[n - 1]));
  }
  hash ^= hash >> 30;
  hash *= 0xBF58476D1CE4E5B9ull;
  hash ^= hash >> 27;
  hash *= 0x94D049BB133111EBull;
  return hash ^ (hash >> 31);
}

inline uint64_t HashPortKey(std::u16string_view key) {
  return HashText(std::string_view(reinterpret_cast<const char*>(key.data()),
                                   key.size() * sizeof(char16_t)));
}

}  // namespace kavex::device

#endif  // KAVEX_DEVICE_ALIAS_INDEX_H_
