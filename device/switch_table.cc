#include "device/switch_table.h"

#include <cstring>
#include <utility>

#include "platform/sync/clock.h"

namespace kavex::device {
namespace {

void PrefetchForWrite(const void* address, size_t size) {
  constexpr size_t kCacheLine = 64;
  const uintptr_t begin = reinterpret_cast<uintptr_t>(address);
  for (uintptr_t line = begin & ~(kCacheLine - 1); line < begin + size;
       line += kCacheLine) {
    __builtin_prefetch(reinterpret_cast<const void*>(line), 1);
  }
}

// Seconds are compared with an unsigned 32-bit time-out.
bool Exceeds(int32_t seconds, uint32_t timeout) {
  return static_cast<int64_t>(seconds) > static_cast<int64_t>(timeout);
}

void CountSecond(int32_t& seconds) {
  if (seconds < INT32_MAX) ++seconds;
}

void MarkPortsStale(SwitchRecord& record) {
  for (PortRecord& port : record.ports) port.live.stale = true;
}

}  // namespace

SwitchTable::SwitchTable(sync::Clock* clock) : clock_(clock) {}

void SwitchTable::Install(AdapterEntry adapter, std::string data_format) {
  std::lock_guard<std::mutex> lock(mutex_);
  adapter_ = std::move(adapter);
  data_format_ = std::move(data_format);
  integer_format_ = data_format_ == "Integer";
  address_index_ = AddressIndex();
  alias_index_.Build(adapter_.switches);
  routes_.assign(adapter_.switches.size(), FrameRoute());
  uint32_t port_count = 0;
  for (size_t s = 0; s < adapter_.switches.size(); ++s) {
    SwitchRecord& record = adapter_.switches[s];
    // An address not in the exact upper-case text form never equals a
    // frame's source address, so it is left out of the index.
    uint64_t key;
    if (ParseAddressText(record.address, &key)) {
      address_index_.Add(key, static_cast<uint32_t>(s));
    }

    FrameRoute& route = routes_[s];
    route.type_code = record.type_code;
    route.first_port = port_count;
    route.port_count = static_cast<uint32_t>(record.ports.size());
    route.switch_values = &record.live;
    route.ports = record.ports.data();
    route.port_by_number.fill(-1);
    for (size_t p = 0; p < record.ports.size(); ++p) {
      const uint8_t number = record.ports[p].number;
      if (number <= kMaxFramePortNumber && route.port_by_number[number] < 0) {
        route.port_by_number[number] = static_cast<int16_t>(p);
      }
    }
    port_count += static_cast<uint32_t>(record.ports.size());
  }
  port_ticks_ = std::make_unique<std::atomic<uint32_t>[]>(port_count);
}

FrameResult SwitchTable::HandleFrame(const uint8_t* frame, size_t len) {
  if (!IsVeltoFrame(frame, len)) return FrameResult::kNotVelto;
  if (len < kMinVeltoFrameSize) return FrameResult::kTooShort;
  const int64_t s =
      address_index_.Find(AddressKey(frame + kSourceAddressOffset));
  if (s < 0) return FrameResult::kUnknownSwitch;
  FrameRoute& route = routes_[s];
  const int number = ResolvePortNumber(&route.numbering, route.type_code,
                                       PortByte(frame, len), true);
  if (number == 0) return FrameResult::kNoPortNumber;
  const int p = route.port_by_number[number];
  if (p < 0) return FrameResult::kUnknownPort;

  // The interval is measured from the port's last accepted frame, in
  // wrapping 32-bit milliseconds.
  std::atomic<uint32_t>& last_tick = port_ticks_[route.first_port + p];
  const uint32_t tick = (clock_ ? clock_ : sync::CurrentClock())->TickCount();
  if (tick - last_tick.load(std::memory_order_relaxed) <=
      kPortUpdateIntervalMs) {
    return FrameResult::kThrottled;
  }
  SwitchValues& switch_values = *route.switch_values;
  PortValues& values = route.ports[p].live;
  // With many switches the records are rarely in the cache; start loading
  // them while the frame is decoded and the lock is taken.
  PrefetchForWrite(&values, sizeof values);
  PrefetchForWrite(&switch_values, sizeof switch_values);
  const FrameInfo info = DecodeFrameInfo(frame, len);
  const uint8_t status = StatusByte(frame, len);
  const uint8_t* counters = CountersBytes(frame, len);
  UsageSample sample{
      .speed = info.port_speed != 0
                   ? info.port_speed
                   : DefaultPortSpeed(status, route.type_code, number),
      .status = status,
      .tx_octets = LoadLittleEndian(counters + kTxOctetsOffset, 8),
      .rx_octets = LoadLittleEndian(counters + kRxOctetsOffset, 8)};

  std::lock_guard<std::mutex> lock(mutex_);
  sample.elapsed_ms = tick - last_tick.load(std::memory_order_relaxed);
  if (sample.elapsed_ms <= kPortUpdateIntervalMs) {
    return FrameResult::kThrottled;
  }
  last_tick.store(tick, std::memory_order_relaxed);

  switch_values.seconds = 0;
  switch_values.total_ports = route.port_count;
  std::memcpy(switch_values.mac.data(), frame + kSourceAddressOffset, 6);
  switch_values.ring_version = info.ring_version;
  switch_values.ring_flags = info.ring_flags;
  switch_values.ipv4_address = info.ipv4_address;
  std::memcpy(switch_values.config_text, info.config_text,
              sizeof switch_values.config_text);

  values.stale = false;
  values.seconds = 0;
  values.status = status;
  std::memcpy(values.counters.bytes.data(), counters, kPortCountersSize);
  // The speed record's speed, else the default for the port.
  values.speed = sample.speed;
  ComputeUsage(sample, &values.usage);
  // The slots render these values when read (see PortValues).
  values.published = integer_format_ ? SlotSet::kInteger : SlotSet::kText;
  return FrameResult::kAccepted;
}

void SwitchTable::Tick() {
  std::lock_guard<std::mutex> lock(mutex_);
  const uint32_t timeout = adapter_.timeout_seconds;
  for (SwitchRecord& record : adapter_.switches) {
    SwitchValues& values = record.live;
    if (Exceeds(values.seconds, timeout)) {
      MarkPortsStale(record);
      values.status_text = StatusText::kOffline;
      values.status = 0;
    } else {
      values.status_text = StatusText::kOnline;
      values.status = 1;
    }
    values.last_update = static_cast<uint32_t>(values.seconds);
    values.last_update_text = LastUpdateText::kSeconds;
    CountSecond(values.seconds);

    for (PortRecord& port : record.ports) {
      PortValues& port_values = port.live;
      if (Exceeds(port_values.seconds, timeout)) port_values.stale = true;
      port_values.last_update = port_values.seconds;
      port_values.last_update_written = true;
      CountSecond(port_values.seconds);
    }

    if (values.seconds > kSwitchOfflineSeconds) {
      MarkPortsStale(record);
      values.last_update_text = LastUpdateText::kOffline;
      values.status = 0;
    }
  }
}

SwitchValues SwitchTable::CopySwitchValues(size_t s) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return adapter_.switches[s].live;
}

void SwitchTable::PrefetchPortItem(size_t s, const PortRecord& port,
                                   int property) const {
  const PortValues& values = port.live;
  __builtin_prefetch(&values);
  __builtin_prefetch(&values.usage.usage);
  if (property >= kFirstCounterProperty && property < kUsageProperty) {
    __builtin_prefetch(
        values.counters.bytes.data() +
        kPublishedCounters[property - kFirstCounterProperty].offset);
  }
  __builtin_prefetch(&adapter_.switches[s].live.status);
}

PortItemValues SwitchTable::PortItemLocked(size_t s, const PortRecord& port,
                                           int property) const {
  const SwitchRecord& record = adapter_.switches[s];
  PortItemValues item = PortItemFrom(port.live, property);
  item.switch_status = record.live.status;
  item.switch_status_text = record.live.status_text;
  return item;
}

PortItemValues SwitchTable::CopyPortItem(size_t s, const PortRecord& port,
                                         int property) const {
  // With many switches these lines are rarely in the cache: have them all
  // on their way at once rather than one after another under the lock.
  PrefetchPortItem(s, port, property);
  std::lock_guard<std::mutex> lock(mutex_);
  return PortItemLocked(s, port, property);
}

void SwitchTable::CopyPortItems(size_t count, const PortItemRequest* requests,
                                PortItemValues* out) const {
  for (size_t i = 0; i < count; ++i)
    PrefetchPortItem(requests[i].switch_index, *requests[i].port,
                     requests[i].property);
  std::lock_guard<std::mutex> lock(mutex_);
  for (size_t i = 0; i < count; ++i)
    out[i] = PortItemLocked(requests[i].switch_index, *requests[i].port,
                            requests[i].property);
}

}  // namespace kavex::device
