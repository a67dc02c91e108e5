#include "server/objects/data_change.h"

#include <cstring>
#include <utility>

#include "platform/com/bstr.h"
#include "platform/com/global_memory.h"
#include "server/objects/sync_io.h"

namespace kavex::server {

namespace {

// For two values of the same type whose comparison is exact: whether they
// are equal, as VarCmp would say, without its conversions. False in
// `known` for the other types.
bool SameTypeEqual(const VARIANT& a, const VARIANT& b, bool* known) {
  *known = true;
  switch (a.vt) {
    case VT_I1:
    case VT_UI1:
      return a.bVal == b.bVal;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
      return a.uiVal == b.uiVal;
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_ERROR:
      return a.ulVal == b.ulVal;
    case VT_I8:
    case VT_UI8:
      return a.ullVal == b.ullVal;
    case VT_BSTR: {
      // Ordinal comparison; a null BSTR is the empty string.
      const UINT length = SysStringLen(a.bstrVal);
      return length == SysStringLen(b.bstrVal) &&
             (length == 0 ||
              std::memcmp(a.bstrVal, b.bstrVal, 2 * size_t{length}) == 0);
    }
    default:
      *known = false;
      return false;
  }
}

}  // namespace

bool ItemChanged(const ItemRecord& record) {
  if (record.quality != record.last_sent_quality) return true;
  if (record.value.vt == VT_NULL && record.last_sent_value.vt == VT_NULL)
    return false;
  if (record.value.vt == record.last_sent_value.vt) {
    bool known = false;
    const bool equal =
        SameTypeEqual(record.value, record.last_sent_value, &known);
    if (known) return !equal;
  }
  return VarCmp(&record.value, &record.last_sent_value, LOCALE_USER_DEFAULT,
                0) != VARCMP_EQ;
}

ItemEntries::~ItemEntries() {
  // A text is the block's; numbers own nothing.
  for (VARIANT& value : values)
    if (value.vt != VT_BSTR && value.vt > VT_DATE) VariantClear(&value);
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
  VARIANT empty;
  empty.vt = VT_EMPTY;
  values.push_back(empty);
  qualities.push_back(quality);
  times.push_back(time);
  errors.push_back(error);
}

HRESULT ItemEntries::SetLastValue(const ItemRecord& record) {
  return ClientValue(record, &values.back(), &texts);
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
