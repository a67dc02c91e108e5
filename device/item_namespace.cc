#include "device/item_namespace.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <new>

#include "device/alias_index.h"
#include "device/item_id.h"
#include "platform/com/bstr.h"
#include "platform/opc/opc_error.h"

namespace kavex::device {
namespace {

constexpr DWORD kReadable = 1;

// Switch items, in the order ItemIds lists them (MAC0-5 and IP0-3 only with
// "Integer").
enum SwitchItem {
  kLastUpdate,
  kMacAddress,
  kAlias,
  kTotalPorts,
  kStatus,
  kMac0,             // to kMac0 + 5
  kIp0 = kMac0 + 6,  // to kIp0 + 3
  kIpAddress = kIp0 + 4,
  kSwitchItemCount
};

constexpr std::array<std::string_view, kSwitchItemCount> kSwitchItemNames = {
    "Last_Update", "MAC_Address", "Alias", "TotalPorts", "Status", "MAC0",
    "MAC1",        "MAC2",        "MAC3",  "MAC4",       "MAC5",   "IP0",
    "IP1",         "IP2",         "IP3",   "IP_Address"};

constexpr std::string_view kRingSegment = "ZRing";
enum RingItem { kVersion, kManager, kState, kMember, kRingItemCount };
constexpr std::array<std::string_view, kRingItemCount> kRingItemNames = {
    "Version", "Manager", "State", "Member"};

template <size_t N>
int IndexOf(const std::array<std::string_view, N>& names,
            std::string_view name) {
  for (size_t i = 0; i < N; ++i) {
    if (names[i] == name) return static_cast<int>(i);
  }
  return -1;
}

void SetUi1(VARIANT* value, BYTE number) {
  value->vt = VT_UI1;
  value->bVal = number;
}
void SetUi2(VARIANT* value, USHORT number) {
  value->vt = VT_UI2;
  value->uiVal = number;
}
void SetI4(VARIANT* value, LONG number) {
  value->vt = VT_I4;
  value->lVal = number;
}
void SetUi4(VARIANT* value, ULONG number) {
  value->vt = VT_UI4;
  value->ulVal = number;
}

// Item texts are short ASCII nearly always; those are widened on the stack.
HRESULT SetText(VARIANT* value, std::string_view text) {
  BSTR bstr = nullptr;
  char16_t wide[64];
  size_t i = 0;
  if (text.size() <= std::size(wide)) {
    for (; i < text.size() && static_cast<unsigned char>(text[i]) < 0x80; ++i)
      wide[i] = static_cast<char16_t>(text[i]);
  }
  if (i == text.size()) {
    bstr = SysAllocStringLen(wide, static_cast<UINT>(i));
  } else {
    bstr = com::SysAllocStringUtf8(text);
  }
  if (bstr == nullptr) return E_OUTOFMEMORY;
  value->vt = VT_BSTR;
  value->bstrVal = bstr;
  return S_OK;
}

std::string Decimal(int number) {
  char buffer[16];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, number);
  return std::string(buffer, result.ptr);
}

}  // namespace

ItemNamespace::ItemNamespace(const SwitchTable& table)
    : table_(table),
      aliases_(table.alias_index()),
      format_(table.data_format() == "Integer"  ? Format::kInteger
              : table.data_format() == "String" ? Format::kString
                                                : Format::kOther) {
  property_slots_.fill(-1);
  const size_t mask = property_slots_.size() - 1;
  for (int n = 0; n < kPortPropertyCount; ++n) {
    size_t i = HashText(kPortPropertyNames[n]) & mask;
    while (property_slots_[i] >= 0) i = (i + 1) & mask;
    property_slots_[i] = static_cast<int8_t>(n);
  }
}

int ItemNamespace::FindProperty(std::string_view name) const {
  const size_t mask = property_slots_.size() - 1;
  for (size_t i = HashText(name) & mask; property_slots_[i] >= 0;
       i = (i + 1) & mask) {
    const int n = property_slots_[i];
    if (kPortPropertyNames[n] == name) return n;
  }
  return -1;
}

std::vector<std::string> ItemNamespace::ItemIds() const {
  const bool integer = format_ == Format::kInteger;
  std::vector<std::string> ids;
  auto add = [&ids](const std::string& prefix, std::string_view name) {
    std::string id = prefix;
    id.append(".").append(name);
    ids.push_back(std::move(id));
  };
  for (size_t s = 0; s < table_.switch_count(); ++s) {
    const SwitchRecord& record = table_.switch_record(s);
    const std::string& a = record.alias;
    for (int item = kLastUpdate; item <= kStatus; ++item)
      add(a, kSwitchItemNames[item]);
    if (integer) {
      for (int item = kMac0; item < kMac0 + 6; ++item)
        add(a, kSwitchItemNames[item]);
    }
    std::string ring = a;
    ring.append(".").append(kRingSegment);
    for (std::string_view name : kRingItemNames) add(ring, name);
    if (integer) {
      for (int item = kIp0; item < kIp0 + 4; ++item)
        add(a, kSwitchItemNames[item]);
    }
    add(a, kSwitchItemNames[kIpAddress]);
    for (const PortRecord& port : record.ports) {
      std::string prefix = a;
      prefix.append(".").append(port.alias);
      for (std::string_view name : kPortPropertyNames) add(prefix, name);
    }
  }
  return ids;
}

HRESULT ItemNamespace::GetItemProperties(std::string_view id, VARTYPE* type,
                                         DWORD* access_rights) const {
  if (type == nullptr || access_rights == nullptr) return E_POINTER;
  const ItemIdSegments segments = SplitItemId(id);
  if (segments.first.empty()) return E_FAIL;
  const std::string_view name = segments.third;
  switch (format_) {
    case Format::kInteger:
      if (segments.second.empty()) {
        *type = name == "Alias" || name == "MAC_Address" || name == "IP_Address"
                    ? VT_BSTR
                    : VT_I4;
      } else {
        *type = name == "Alias" ? VT_BSTR : VT_I4;
      }
      break;
    case Format::kString:
      *type = VT_BSTR;
      break;
    case Format::kOther:
      break;
  }
  *access_rights = kReadable;
  return S_OK;
}

HRESULT ItemNamespace::Read(std::string_view id, VARIANT* value) const {
  return ReadText(id, nullptr, value);
}

HRESULT ItemNamespace::Read(std::u16string_view id, VARIANT* value) const {
  const size_t first_dot = id.find(u'.');
  const size_t second_dot = first_dot == std::u16string_view::npos
                                ? first_dot
                                : id.find(u'.', first_dot + 1);
  if (second_dot == std::u16string_view::npos)
    return ReadText(ItemIdText(id).View(), nullptr, value);
  const uint64_t port_hash = HashPortKey(id.substr(0, second_dot));
  aliases_.PrefetchPort(port_hash);
  // Beyond ASCII the text is hashed again from its UTF-8 form, as the keys
  // were: an identifier that is not well-formed UTF-16 reads as its text.
  const ItemIdText text(id);
  return ReadText(text.View(), text.Ascii() ? &port_hash : nullptr, value);
}

HRESULT ItemNamespace::ReadText(std::string_view id, const uint64_t* port_hash,
                                VARIANT* value) const {
  if (value == nullptr) return E_POINTER;
  const ItemIdSegments segments = SplitItemId(id);
  if (segments.first.empty()) return E_FAIL;

  if (segments.second == kRingSegment) {
    // A name that is not a ring item goes on to the port items, so a port
    // called "ZRing" still serves its own items.
    const int item = IndexOf(kRingItemNames, segments.third);
    if (item >= 0) {
      const int64_t s = aliases_.FindSwitch(segments.first);
      if (s >= 0) return ReadRingItem(static_cast<uint32_t>(s), item, value);
    }
  } else if (segments.second.empty()) {
    const int64_t s = aliases_.FindSwitch(segments.first);
    if (s < 0) return OPC_E_UNKNOWNITEMID;
    return ReadSwitchItem(static_cast<uint32_t>(s), segments.third, value);
  }

  if (format_ == Format::kOther) return OPC_E_UNKNOWNITEMID;
  // With many switches the port's slot is rarely in the cache: have it on
  // its way while the property is looked up.
  const std::string_view key = segments.first_two;
  const uint64_t hash = port_hash != nullptr ? *port_hash : HashPortKey(key);
  aliases_.PrefetchPort(hash);
  const int property = FindProperty(segments.third);
  if (property < 0) return OPC_E_UNKNOWNITEMID;
  const AliasIndex::PortSlot& slot = aliases_.FindPort(key, hash);
  if (slot.port == nullptr) return OPC_E_UNKNOWNITEMID;
  return ReadPortItem(slot, property, value);
}

HRESULT ItemNamespace::ReadSwitchItem(uint32_t s, std::string_view name,
                                      VARIANT* value) const {
  const int item = IndexOf(kSwitchItemNames, name);
  if (item < 0) return OPC_E_UNKNOWNITEMID;
  const SwitchRecord& record = table_.switch_record(s);
  const SwitchValues live = table_.CopySwitchValues(s);
  const bool integer = format_ == Format::kInteger;

  if (item >= kMac0 && item < kMac0 + 6) {
    SetUi1(value, live.mac[item - kMac0]);
    return S_OK;
  }
  // The address holds the first octet in its low byte.
  auto octet = [&live](int i) -> BYTE { return live.ipv4_address >> (8 * i); };
  if (item >= kIp0 && item < kIp0 + 4) {
    SetUi1(value, octet(item - kIp0));
    return S_OK;
  }
  switch (item) {
    case kIpAddress: {
      char text[16];
      std::snprintf(text, sizeof text, "%d.%d.%d.%d", octet(0), octet(1),
                    octet(2), octet(3));
      return SetText(value, text);
    }
    case kMacAddress:
      return SetText(value, record.address);
    case kAlias:
      return SetText(value, record.alias);
    case kLastUpdate:
      if (!integer) break;
      SetI4(value, static_cast<LONG>(live.last_update));
      return S_OK;
    case kTotalPorts:
      if (!integer) break;
      SetUi4(value, live.total_ports);
      return S_OK;
    case kStatus:
      if (!integer) break;
      SetI4(value, live.status);
      return S_OK;
  }
  static_assert(kLastUpdate == kSwitchLastUpdateSlot &&
                kTotalPorts == kSwitchTotalPortsSlot &&
                kStatus == kSwitchStatusSlot);
  return SetText(value, SwitchTextSlot(record, live, item));
}

HRESULT ItemNamespace::ReadRingItem(uint32_t s, int item,
                                    VARIANT* value) const {
  const SwitchValues live = table_.CopySwitchValues(s);
  const uint8_t version = live.ring_version;
  const uint8_t flags = live.ring_flags;
  const bool offline = live.status_text == StatusText::kOffline;
  const bool manager = flags & 0x01;
  const bool member = flags & 0x02;
  const int state = (flags >> 2) & 0x03;

  if (format_ == Format::kInteger) {
    BYTE number = 0;
    if (item == kVersion) {
      number = version;
    } else if (version != 0 && !offline) {
      if (item == kManager) number = manager;
      if (item == kState) number = manager ? state : 4;
      if (item == kMember) number = member;
    }
    SetUi1(value, number);
    return S_OK;
  }

  if (item == kVersion) return SetText(value, Decimal(version));
  if (offline) return SetText(value, "Offline");
  if (version == 0) return SetText(value, "N/A");
  switch (item) {
    case kManager:
      return SetText(value, manager ? "Yes" : "No");
    case kMember:
      return SetText(value, member ? "Yes" : "No");
  }
  if (!manager) return SetText(value, "Not Manager");
  static constexpr std::array<std::string_view, 4> kStates = {
      "Fault", "Partial Fault (low port rx error)",
      "Partial Fault (high port rx error)", "Ok"};
  return SetText(value, kStates[state]);
}

// A port item's value before it becomes a VARIANT: a number of type `vt`,
// or a text (VT_BSTR) viewing a constant, the port's configured texts or
// `buffer`.
struct ItemNamespace::PortAnswer {
  PortAnswer() = default;
  PortAnswer(const PortAnswer&) = delete;
  PortAnswer& operator=(const PortAnswer&) = delete;

  void SetText(std::string_view value) {
    vt = VT_BSTR;
    text = value;
  }

  VARTYPE vt = VT_EMPTY;
  LONG number = 0;  // VT_I4, or VT_UI2 in its low bits
  std::string_view text;
  char buffer[kSlotTextBufferSize];
};

namespace {

using PortAnswer = ItemNamespace::PortAnswer;

// The answer into a VARIANT of its own (an [out] value). E_OUTOFMEMORY
// leaves *value as it was.
HRESULT WriteAnswer(const PortAnswer& answer, VARIANT* value) {
  switch (answer.vt) {
    case VT_BSTR:
      return SetText(value, answer.text);
    case VT_UI2:
      SetUi2(value, static_cast<USHORT>(answer.number));
      return S_OK;
    default:
      SetI4(value, answer.number);
      return S_OK;
  }
}

// The answer into a value the caller owns: a string of the same length is
// written over, anything else is freed first. E_OUTOFMEMORY leaves the
// value empty.
HRESULT StoreAnswer(const PortAnswer& answer, VARIANT* value) {
  if (answer.vt == VT_BSTR && value->vt == VT_BSTR &&
      value->bstrVal != nullptr &&
      SysStringLen(value->bstrVal) == answer.text.size()) {
    const std::string_view text = answer.text;
    char16_t* chars = value->bstrVal;
    unsigned char any = 0;
    for (size_t i = 0; i < text.size(); ++i)
      any |= static_cast<unsigned char>(text[i]);
    if (any < 0x80) {
      for (size_t i = 0; i < text.size(); ++i)
        chars[i] = static_cast<char16_t>(text[i]);
      return S_OK;
    }
  }
  VARIANT fresh;
  fresh.vt = VT_EMPTY;
  const HRESULT hr = WriteAnswer(answer, &fresh);
  VariantClear(value);
  if (SUCCEEDED(hr)) *value = fresh;
  return hr;
}

}  // namespace

HRESULT ItemNamespace::ReadPortItem(const AliasIndex::PortSlot& slot, int n,
                                    VARIANT* value) const {
  const PortRecord& port = *slot.port;
  const PortItemValues values = table_.CopyPortItem(slot.switch_index, port, n);
  PortAnswer answer;
  RenderPortItem(port, values, n, &answer);
  return WriteAnswer(answer, value);
}

void ItemNamespace::RenderPortItem(const PortRecord& port,
                                   const PortItemValues& values, int n,
                                   PortAnswer* answer) const {
  // Slots 3 and 4 below come from the same copy: only counter slots depend
  // on the property the values were copied for.
  if (format_ == Format::kInteger) {
    if (n == kPortIdProperty || n == kPortAliasProperty) {
      answer->SetText(PortTextSlotView(port, values, n, answer->buffer));
      return;
    }
    const bool link_up = PortIntegerSlot(values, kLinkStatusProperty) == 1;
    if (n == kSpeedProperty) {
      if (link_up) {
        answer->vt = VT_UI2;
        answer->number = values.speed;
      } else {
        answer->vt = VT_I4;
        answer->number = 0;
      }
      return;
    }
    int32_t number = PortIntegerSlot(values, n);
    if (n != kPortLastUpdateProperty &&
        (values.stale || values.switch_status == 0 || !link_up)) {
      number = 0;
    }
    answer->vt = VT_I4;
    answer->number = number;
    return;
  }

  // "String".
  if (n == kPortLastUpdateProperty) {
    answer->SetText(PortTextSlotView(port, values, n, answer->buffer));
    return;
  }
  char slot[kSlotTextBufferSize];
  const bool link_up =
      PortTextSlotView(port, values, kLinkStatusProperty, slot) == "1";
  std::string_view text;
  switch (n) {
    case kSpeedProperty:
      // A link that is up shows its speed even while the switch is offline.
      if (link_up) {
        auto result = std::to_chars(
            answer->buffer, answer->buffer + sizeof answer->buffer,
            static_cast<int>(values.speed));
        answer->SetText(std::string_view(
            answer->buffer, static_cast<size_t>(result.ptr - answer->buffer)));
        return;
      }
      text = "N/A";
      break;
    case kLinkStatusProperty:
      text = PortTextSlotView(port, values, n, slot) == "0" ? "Down" : "Up";
      break;
    case kDuplexProperty:
      if (!link_up) {
        text = "N/A";
      } else {
        text = PortTextSlotView(port, values, kDuplexProperty, slot) == "0"
                   ? "Half"
                   : "Full";
      }
      break;
    default:
      text = PortTextSlotView(port, values, n, answer->buffer);
  }
  if (values.stale || values.switch_status_text == StatusText::kOffline)
    text = "Offline";
  answer->SetText(text);
}

void ItemNamespace::ReadMany(size_t count, const BSTR* ids, VARIANT* values,
                             HRESULT* results) const {
  // Port items go to the table a batch at a time; everything else is read
  // as Read reads it.
  constexpr size_t kBatch = 64;
  SwitchTable::PortItemRequest requests[kBatch];
  size_t positions[kBatch];
  PortItemValues copies[kBatch];
  auto read_alone = [&](size_t i, std::u16string_view id) {
    VariantClear(&values[i]);
    results[i] = Read(id, &values[i]);
  };
  // Per identifier of a batch: where its port key ends, and its hash; 0
  // for an identifier read alone.
  size_t key_sizes[kBatch];
  uint64_t hashes[kBatch];
  for (size_t begin = 0; begin < count; begin += kBatch) {
    const size_t end = std::min(count, begin + kBatch);
    // First every port slot is set loading, then the identifiers are
    // resolved: the slots are rarely in the cache with many switches.
    for (size_t i = begin; i < end; ++i) {
      const std::u16string_view id = com::BstrView(ids[i]);
      const size_t first_dot = id.find(u'.');
      const size_t second_dot = first_dot == std::u16string_view::npos
                                    ? first_dot
                                    : id.find(u'.', first_dot + 1);
      // Switch and ring items, identifiers without a switch and data
      // formats without port items are read alone.
      if (second_dot == std::u16string_view::npos || first_dot == 0 ||
          second_dot == first_dot + 1 || format_ == Format::kOther ||
          id.substr(first_dot + 1, second_dot - first_dot - 1) == u"ZRing") {
        key_sizes[i - begin] = 0;
        continue;
      }
      key_sizes[i - begin] = second_dot;
      hashes[i - begin] = HashPortKey(id.substr(0, second_dot));
      aliases_.PrefetchPort(hashes[i - begin]);
    }
    size_t pending = 0;
    for (size_t i = begin; i < end; ++i) {
      try {
        const std::u16string_view id = com::BstrView(ids[i]);
        const size_t key_size = key_sizes[i - begin];
        if (key_size == 0) {
          read_alone(i, id);
          continue;
        }
        const ItemIdText text(id);
        if (!text.Ascii()) {
          read_alone(i, id);
          continue;
        }
        const std::string_view narrow = text.View();
        const int property = FindProperty(narrow.substr(key_size + 1));
        const AliasIndex::PortSlot* slot =
            property < 0 ? nullptr
                         : &aliases_.FindPort(narrow.substr(0, key_size),
                                              hashes[i - begin]);
        if (slot == nullptr || slot->port == nullptr) {
          VariantClear(&values[i]);
          results[i] = OPC_E_UNKNOWNITEMID;
          continue;
        }
        requests[pending] = {slot->port, slot->switch_index, property};
        positions[pending] = i;
        ++pending;
      } catch (const std::bad_alloc&) {
        VariantClear(&values[i]);
        results[i] = E_OUTOFMEMORY;
      } catch (...) {
        VariantClear(&values[i]);
        results[i] = E_FAIL;
      }
    }
    table_.CopyPortItems(pending, requests, copies);
    for (size_t j = 0; j < pending; ++j) {
      PortAnswer answer;
      RenderPortItem(*requests[j].port, copies[j], requests[j].property,
                     &answer);
      results[positions[j]] = StoreAnswer(answer, &values[positions[j]]);
    }
  }
}

}  // namespace kavex::device
