#include "server/objects/data_change.h"

#include <utility>

#include "platform/com/global_memory.h"

namespace kavex::server {

bool ItemChanged(const ItemRecord& record) {
  if (record.quality != record.last_sent_quality) return true;
  if (record.value.vt == VT_NULL && record.last_sent_value.vt == VT_NULL)
    return false;
  return VarCmp(&record.value, &record.last_sent_value, LOCALE_USER_DEFAULT,
                0) != VARCMP_EQ;
}

void ItemEntries::Reserve(size_t count) {
  handles.reserve(count);
  values.reserve(count);
  qualities.reserve(count);
  times.reserve(count);
  errors.reserve(count);
}

void ItemEntries::Add(OPCHANDLE client, WORD quality, const FILETIME& time,
                      HRESULT error) {
  handles.push_back(client);
  values.emplace_back();
  qualities.push_back(quality);
  times.push_back(time);
  errors.push_back(error);
}

StreamDelivery::StreamDelivery(StreamDelivery&& other) noexcept
    : sink(std::move(other.sink)), format(other.format), block(other.block) {
  other.block = nullptr;
}

StreamDelivery::~StreamDelivery() {
  if (block != nullptr) GlobalFree(block);
}

HRESULT Notification::Deliver() {
  HRESULT last = S_OK;
  for (com::ComPtr<IOPCDataCallback>& sink : sinks) {
    // A sink that throws is a failing sink like any other.
    try {
      switch (kind) {
        case Kind::kDataChange:
          last = sink->OnDataChange(
              transaction, client_group, master_quality, master_error,
              entries.count(), entries.handles.data(), entries.value_data(),
              entries.qualities.data(), entries.times.data(),
              entries.errors.data());
          break;
        case Kind::kReadComplete:
          last = sink->OnReadComplete(
              transaction, client_group, master_quality, master_error,
              entries.count(), entries.handles.data(), entries.value_data(),
              entries.qualities.data(), entries.times.data(),
              entries.errors.data());
          break;
        case Kind::kWriteComplete:
          last = sink->OnWriteComplete(transaction, client_group, master_error,
                                       entries.count(), entries.handles.data(),
                                       entries.errors.data());
          break;
      }
    } catch (...) {
      last = E_FAIL;
    }
  }
  for (StreamDelivery& stream : streams) {
    STGMEDIUM medium{};
    medium.tymed = TYMED_HGLOBAL;
    medium.hGlobal = stream.block;
    medium.pUnkForRelease = nullptr;
    stream.block = nullptr;  // the medium's now
    try {
      stream.sink->OnDataChange(&stream.format, &medium);
    } catch (...) {
    }
    ReleaseStgMedium(&medium);
  }
  return last;
}

void DeliverAll(Notifications* notifications) {
  for (std::unique_ptr<Notification>& notification : *notifications)
    notification->Deliver();
  notifications->clear();
}

}  // namespace kavex::server
