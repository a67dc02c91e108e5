// The device's item namespace over the switch table: the list of item
// identifiers, each item's type and access rights, and reads.
//
// Reads resolve an identifier through indexes built once from the fixed
// table structure, so a read costs the same with 1 or 1000 switches. The
// indexes keep the first match in configuration order, which is what walking
// the switches and their ports in list order would find: the switch items
// and ring items of the first switch called A, the port items of the first
// port called P on the first switch called A that has one.
#ifndef KAVEX_DEVICE_ITEM_NAMESPACE_H_
#define KAVEX_DEVICE_ITEM_NAMESPACE_H_

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "device/switch_table.h"
#include "platform/com/variant.h"

namespace kavex::device {

class ItemNamespace {
 public:
  // Indexes `table`, which must be installed and outlive this object.
  explicit ItemNamespace(const SwitchTable& table);
  ItemNamespace(const ItemNamespace&) = delete;
  ItemNamespace& operator=(const ItemNamespace&) = delete;

  // Every item identifier: per switch in list order its switch and ring
  // items, then the 43 items of each port. A switch with n ports has
  // 10 + 43 n of them, 10 more with data format "Integer".
  std::vector<std::string> ItemIds() const;

  // The item's canonical type and access rights (always readable only).
  // E_FAIL for an identifier without a first segment; other identifiers are
  // not checked against the table. With a data format other than "Integer"
  // or "String", *type is left as it was.
  HRESULT GetItemProperties(std::string_view id, VARTYPE* type,
                            DWORD* access_rights) const;

  // The item's current value, rendered in the data format. *value is
  // written only on S_OK. E_FAIL for an identifier without a first segment,
  // OPC_E_UNKNOWNITEMID when it names nothing, E_OUTOFMEMORY.
  HRESULT Read(std::string_view id, VARIANT* value) const;
  // The same for an identifier as received. A port item's slot is found
  // from the UTF-16 text itself, so that with many switches it is on its
  // way from memory while the text is narrowed.
  HRESULT Read(std::u16string_view id, VARIANT* value) const;

 private:
  enum class Format { kInteger, kString, kOther };
  // A slot of the port index, an open-addressed table of the "A.P" texts:
  // a lookup hashes the text once and nearly always settles with one slot,
  // whatever the number of switches. The slot holds the text's first
  // characters, so a short text is told from others without loading the
  // records.
  struct alignas(32) PortSlot {
    static constexpr size_t kInlineKey = 16;
    const PortRecord* port = nullptr;  // nullptr: an empty slot
    uint32_t switch_index = 0;
    uint32_t key_size = 0;
    char key[kInlineKey] = {};
  };
  struct StringHash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const {
      return std::hash<std::string_view>()(text);
    }
  };
  template <class T>
  using TextMap =
      std::unordered_map<std::string, T, StringHash, std::equal_to<>>;

  // Read with the hash of the identifier's "A.P", when the caller has it.
  HRESULT ReadText(std::string_view id, const uint64_t* port_hash,
                   VARIANT* value) const;
  // The slot holding port `key` ("A.P"), else the empty slot where it
  // belongs; `hash` is HashPortKey of the key.
  size_t ProbePort(std::string_view key, uint64_t hash) const;
  void PrefetchPortSlot(uint64_t hash) const {
    __builtin_prefetch(&port_slots_[hash & (port_slots_.size() - 1)]);
  }
  bool NamesPort(std::string_view key, const PortSlot& slot) const;
  // The index of port property `name`, or -1.
  int FindProperty(std::string_view name) const;

  HRESULT ReadSwitchItem(uint32_t s, std::string_view name,
                         VARIANT* value) const;
  HRESULT ReadRingItem(uint32_t s, int item, VARIANT* value) const;
  HRESULT ReadPortItem(const PortSlot& slot, int property,
                       VARIANT* value) const;

  const SwitchTable& table_;
  const Format format_;
  TextMap<uint32_t> switch_by_alias_;  // first switch called A
  // "A.P": the first such port. A power-of-two size, at most half full.
  std::vector<PortSlot> port_slots_;
  // Port property indexes by the hash of their names; -1 for none.
  std::array<int8_t, 128> property_slots_;
};

}  // namespace kavex::device

#endif  // KAVEX_DEVICE_ITEM_NAMESPACE_H_
