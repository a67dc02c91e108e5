// The subscription side of CGroup: the update tick, the change test's
// notifications and their audiences.
#include <array>
#include <cstring>
#include <utility>

#include "platform/com/bstr.h"
#include "platform/opc/opc_error.h"
#include "server/objects/group_object.h"
#include "server/objects/stream_writer.h"
#include "server/objects/sync_io.h"
#include "server/objects/trace_log.h"

namespace kavex::server {
namespace {

bool IsGood(WORD quality) {
  return (quality & OPC_QUALITY_MASK) == OPC_QUALITY_GOOD;
}

// Last sent value = cached value. A string of the same length reuses the
// last sent string's memory (counters rendered as text mostly keep their
// length); anything else is copied.
void RememberSent(ItemRecord& record) {
  VARIANT& sent = record.last_sent_value;
  const VARIANT& value = record.value;
  if (sent.vt == VT_BSTR && value.vt == VT_BSTR && sent.bstrVal != nullptr &&
      value.bstrVal != nullptr) {
    const UINT length = SysStringLen(value.bstrVal);
    if (SysStringLen(sent.bstrVal) == length) {
      std::memcpy(sent.bstrVal, value.bstrVal, 2 * size_t{length});
      return;
    }
  }
  const HRESULT copied = VariantCopy(&sent, &value);
  if (FAILED(copied)) {
    sent.vt = VT_ERROR;
    sent.scode = copied;
  }
}

// With many items the strings a read and its change test touch are rarely
// in the processor's cache: they are set loading while a batch fills. The
// cached values are looked at without the item-value lock; one replaced
// meanwhile only makes the hint useless, since a prefetch never faults.
__attribute__((no_sanitize("thread"))) void PrefetchStrings(
    const ItemRecord& record) {
  __builtin_prefetch(reinterpret_cast<const char*>(record.item_id) - 4);
  const VARIANT& value = record.value;
  if (value.vt == VT_BSTR) __builtin_prefetch(value.bstrVal);
  const VARIANT& sent = record.last_sent_value;
  if (sent.vt == VT_BSTR) __builtin_prefetch(sent.bstrVal);
}

}  // namespace

size_t CGroup::DataCallbackCount() const {
  return callback_point_->ConnectionCount();
}

size_t CGroup::AdviseConnectionCount() {
  std::lock_guard<std::mutex> lock(advise_mu_);
  return connections_.size();
}

std::unique_ptr<Notification> CGroup::NewNotification(Notification::Kind kind,
                                                      DWORD transaction) {
  auto notification = std::make_unique<Notification>();
  notification->kind = kind;
  notification->transaction = transaction;
  notification->group = GetUnknown();
  std::lock_guard<std::mutex> lock(state_mu_);
  notification->client_group = client_handle_;
  return notification;
}

void CGroup::ReadActiveItems(const FILETIME& now) {
  // The device's answers are cached a batch at a time, so the item-value
  // lock is taken once per batch, never while the device is asked.
  struct Answer {
    ItemRecord* record;
    HRESULT hr;
    VARIANT value;  // empty again once cached
  };
  std::array<Answer, 64> batch;
  for (Answer& answer : batch) answer.value.vt = VT_EMPTY;
  size_t filled = 0;
  auto flush = [&] {
    std::lock_guard<std::mutex> values(value_mu_);
    for (size_t i = 0; i < filled; ++i)
      CacheDeviceAnswer(*batch[i].record, batch[i].hr, &batch[i].value, now);
    filled = 0;
  };
  items_.ForEach([&](ItemRecord& record) {
    if (!record.active.load(std::memory_order_relaxed)) return;
    Answer& answer = batch[filled++];
    answer.record = &record;
    answer.hr = AskDevice(record, &answer.value);
    if (filled == batch.size()) flush();
  });
  if (filled != 0) flush();
}

CGroup::PollBatch::PollBatch() {
  for (VARIANT& value : values) value.vt = VT_EMPTY;
}

CGroup::PollBatch::~PollBatch() {
  for (VARIANT& value : values) VariantClear(&value);
}

void CGroup::AskDeviceMany(size_t count, ItemRecord* const* records, BSTR* ids,
                           VARIANT* values, HRESULT* results) {
  if (!device_reads_ || TraceEnabled(kTraceStep)) {
    // One call per item, each traced as it is made.
    for (size_t i = 0; i < count; ++i) {
      VariantClear(&values[i]);
      results[i] = AskDevice(*records[i], &values[i]);
    }
    return;
  }
  // One call per run of readable items; the others are not the device's.
  size_t i = 0;
  while (i < count) {
    if (!records[i]->readable()) {
      VariantClear(&values[i]);
      results[i] = OPC_E_BADRIGHTS;
      ++i;
      continue;
    }
    size_t end = i;
    for (; end < count && records[end]->readable(); ++end)
      ids[end] = records[end]->item_id;
    const HRESULT hr = device_reads_->ReadItems(
        static_cast<DWORD>(end - i), ids + i, values + i, results + i);
    if (FAILED(hr)) {
      for (size_t j = i; j < end; ++j) {
        VariantClear(&values[j]);
        results[j] = hr;
      }
    }
    i = end;
  }
}

void CGroup::AddIfChanged(ItemRecord& record, bool everything,
                          bool group_active, Notification* notification) {
  if (!record.active.load(std::memory_order_relaxed)) return;
  if (!everything && !ItemChanged(record)) return;
  ItemEntries& entries = notification->entries;
  const WORD quality = ClientQuality(record, group_active, OPC_DS_CACHE);
  entries.Add(record.client_handle, quality, record.timestamp, S_OK);
  const HRESULT error = entries.SetLastValue(record);
  entries.errors.back() = error;
  if (error != S_OK) notification->master_error = S_FALSE;
  if (!IsGood(quality)) notification->master_quality = S_FALSE;
  RememberSent(record);
  record.last_sent_quality = record.quality;
}

void CGroup::PollAndNotify(const FILETIME& now, Notifications* out) {
  std::unique_ptr<Notification> notification =
      NewNotification(Notification::Kind::kDataChange, 0);
  if (!poll_batch_) poll_batch_ = std::make_unique<PollBatch>();
  PollBatch& batch = *poll_batch_;
  // Once the group is seen inactive, the rest is only read into the cache:
  // what was found changed before still goes out.
  bool notify = true;
  size_t filled = 0;
  auto flush = [&] {
    AskDeviceMany(filled, batch.records, batch.ids, batch.values,
                  batch.results);
    notify = notify && active();
    std::lock_guard<std::mutex> values(value_mu_);
    for (size_t i = 0; i < filled; ++i) {
      ItemRecord& record = *batch.records[i];
      const HRESULT answer = batch.results[i];
      if (SUCCEEDED(answer)) {
        // The answer goes into the cache; the value it replaces stays as
        // the slot's scratch for the next read.
        record.timestamp = now;
        std::swap(record.value, batch.values[i]);
        record.quality = OPC_QUALITY_GOOD;
      } else {
        record.quality = OPC_QUALITY_BAD;
      }
      if (TraceEnabled(kTraceDone))
        Trace(kTraceDone, this, answer, "CGroup::ReadDevice: Done",
              record.id());
      if (notify) AddIfChanged(record, false, true, notification.get());
    }
    filled = 0;
  };
  {
    std::shared_lock<std::shared_mutex> items(items_mu_);
    items_.ForEach([&](ItemRecord& record) {
      if (!record.active.load(std::memory_order_relaxed)) return;
      PrefetchStrings(record);
      batch.records[filled++] = &record;
      if (filled == PollBatch::kSize) flush();
    });
    if (filled != 0) flush();
  }
  FinishDataChange(std::move(notification), 0, Audience::kAll, 0, out);
}

void CGroup::Update(DWORD period, const FILETIME& now, Notifications* out) {
  if (!active()) return;
  {
    std::lock_guard<std::mutex> lock(state_mu_);
    if (update_countdown_ > period) {
      update_countdown_ -= period;
      return;
    }
    update_countdown_ = update_rate_;
  }
  if (!TraceEnabled(kTraceStep)) {
    PollAndNotify(now, out);
    Trace(kTraceDone, this, S_OK, "CGroup::Update: Done");
    return;
  }
  Trace(kTraceStep, this, S_OK, "CGroup::Update: Start");
  {
    std::shared_lock<std::shared_mutex> items(items_mu_);
    Trace(kTraceStep, this, S_OK, "CGroup::Update: Loop Start");
    ReadActiveItems(now);
    Trace(kTraceStep, this, S_OK, "CGroup::Update: Loop Done");
  }
  DoDataChange(0, false, Audience::kAll, 0, out);
  Trace(kTraceDone, this, S_OK, "CGroup::Update: Done");
}

void CGroup::DoDataChange(DWORD transaction, bool force, Audience audience,
                          DWORD connection, Notifications* out) {
  if (!active()) return;
  std::unique_ptr<Notification> notification =
      NewNotification(Notification::Kind::kDataChange, transaction);
  const bool everything = force || transaction != 0;
  {
    std::shared_lock<std::shared_mutex> items(items_mu_);
    Trace(kTraceStep, this, S_OK, "CGroup::DoDataChange: Start");
    Trace(kTraceStep, this, S_OK, "CGroup::DoDataChange: Loop");
    const bool group_active = active();
    std::lock_guard<std::mutex> values(value_mu_);
    items_.ForEach([&](ItemRecord& record) {
      AddIfChanged(record, everything, group_active, notification.get());
    });
  }
  Trace(kTraceStep, this, S_OK, "CGroup::DoDataChange: Loop Done");
  FinishDataChange(std::move(notification), transaction, audience, connection,
                   out);
}

void CGroup::FinishDataChange(std::unique_ptr<Notification> notification,
                              DWORD transaction, Audience audience,
                              DWORD connection, Notifications* out) {
  if (notification->entries.size() == 0) return;
  if (audience != Audience::kConnection)
    notification->sinks = callback_point_->Sinks<IOPCDataCallback>();
  if (audience == Audience::kAll && transaction == 0) {
    std::vector<DWORD> numbers;
    {
      std::lock_guard<std::mutex> lock(advise_mu_);
      for (const auto& [number, c] : connections_) numbers.push_back(number);
    }
    for (DWORD number : numbers) AddStream(number, notification.get());
  } else if (audience == Audience::kConnection) {
    AddStream(connection, notification.get());
  }
  out->push_back(std::move(notification));
  Trace(kTraceDone, this, S_OK, "CGroup::DoDataChange: Done");
}

void CGroup::AddStream(DWORD connection, Notification* notification) {
  StreamDelivery delivery;
  {
    std::lock_guard<std::mutex> lock(advise_mu_);
    auto it = connections_.find(connection);
    if (it == connections_.end()) return;
    delivery.sink = it->second.sink;
    delivery.format = it->second.format;
  }
  const StreamFormats& formats = RegisteredStreamFormats();
  const CLIPFORMAT format = delivery.format.cfFormat;
  if (format != formats.data_time && format != formats.data) return;
  ItemEntries& e = notification->entries;
  delivery.block =
      BuildDataStream(format == formats.data_time, notification->client_group,
                      notification->transaction, e.count(), e.handles.data(),
                      e.value_data(), e.qualities.data(), e.times.data());
  // Out of memory skips this notification.
  if (delivery.block != nullptr)
    notification->streams.push_back(std::move(delivery));
}

void CGroup::SendForcedDataChange() {
  Notifications out;
  DoDataChange(0, true, Audience::kAll, 0, &out);
  DeliverAll(&out);
}

// IDataObject.

HRESULT CGroup::GetData(FORMATETC*, STGMEDIUM*) { return E_NOTIMPL; }
HRESULT CGroup::GetDataHere(FORMATETC*, STGMEDIUM*) { return E_NOTIMPL; }
HRESULT CGroup::QueryGetData(FORMATETC*) { return E_NOTIMPL; }
HRESULT CGroup::GetCanonicalFormatEtc(FORMATETC*, FORMATETC*) {
  return E_NOTIMPL;
}
HRESULT CGroup::SetData(FORMATETC*, STGMEDIUM*, BOOL) { return E_NOTIMPL; }
HRESULT CGroup::EnumFormatEtc(DWORD, IEnumFORMATETC**) { return E_NOTIMPL; }
HRESULT CGroup::EnumDAdvise(IEnumSTATDATA**) { return E_NOTIMPL; }

HRESULT CGroup::DAdvise(FORMATETC* format, DWORD /*advf*/, IAdviseSink* sink,
                        DWORD* connection) {
  // Any format is taken; one that is not a data format just gets no data.
  if (format == nullptr || sink == nullptr || connection == nullptr)
    return E_INVALIDARG;
  Connection c;
  c.format = *format;
  // The target device lies in the caller's memory, which need not outlive
  // the call: it is not kept.
  c.format.ptd = nullptr;
  c.sink = sink;
  std::lock_guard<std::mutex> lock(advise_mu_);
  *connection = next_connection_++;
  connections_[*connection] = std::move(c);
  return S_OK;
}

HRESULT CGroup::DUnadvise(DWORD connection) {
  com::ComPtr<IAdviseSink> released;  // released outside the lock
  std::lock_guard<std::mutex> lock(advise_mu_);
  auto it = connections_.find(connection);
  if (it == connections_.end()) return E_FAIL;
  released = std::move(it->second.sink);
  connections_.erase(it);
  return S_OK;
}

}  // namespace kavex::server
