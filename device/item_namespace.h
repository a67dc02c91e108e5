// The device's item namespace over the switch table: the names of the items
// (the list of item identifiers, each item's type and access rights) and
// the rules that render a read from the table's copies.
//
// A read finds its switch or port through the table's alias index, so it
// costs the same with 1 or 1000 switches: the switch items and ring items
// of the first switch called A, the port items of the first port called P
// on the first switch called A that has one.
#ifndef KAVEX_DEVICE_ITEM_NAMESPACE_H_
#define KAVEX_DEVICE_ITEM_NAMESPACE_H_

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
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

  // Read of each of `count` identifiers as received, into values[i] and
  // results[i]. The values are in-out: each holds a value the caller owns,
  // which is freed or, for a text of the same length, written over; on a
  // failed result it is left VT_EMPTY. Port items are copied from the table
  // many at a time, in one hold of its lock each.
  void ReadMany(size_t count, const BSTR* ids, VARIANT* values,
                HRESULT* results) const;

  // A port item's value, rendered before it becomes a VARIANT.
  struct PortAnswer;

 private:
  enum class Format { kInteger, kString, kOther };

  // Read with the hash of the identifier's "A.P", when the caller has it.
  HRESULT ReadText(std::string_view id, const uint64_t* port_hash,
                   VARIANT* value) const;
  // The index of port property `name`, or -1.
  int FindProperty(std::string_view name) const;

  HRESULT ReadSwitchItem(uint32_t s, std::string_view name,
                         VARIANT* value) const;
  HRESULT ReadRingItem(uint32_t s, int item, VARIANT* value) const;
  HRESULT ReadPortItem(const AliasIndex::PortSlot& slot, int property,
                       VARIANT* value) const;
  // What a port item shows, from values copied for its property.
  void RenderPortItem(const PortRecord& port, const PortItemValues& values,
                      int property, PortAnswer* answer) const;

  const SwitchTable& table_;
  const AliasIndex& aliases_;  // the table's
  const Format format_;
  // Port property indexes by the hash of their names; -1 for none.
  std::array<int8_t, 128> property_slots_;
};

}  // namespace kavex::device

#endif  // KAVEX_DEVICE_ITEM_NAMESPACE_H_
