// What a group sends its subscribers: the entries of one notification
// (data change, read completion or write completion), the change test that
// picks the entries of an update tick, and the delivery to the sinks.
//
// A notification is built under the group's locks and delivered after
// every server and group lock is released: a subscriber that calls back
// into the server from its callback (removes the group, releases its
// connection or the group, reads synchronously) then finds the locks free
// instead of waiting on the thread that waits on it. The notification
// holds its own references to the group and to every sink, so nothing it
// reaches goes away while it is delivered.
#ifndef KAVEX_SERVER_OBJECTS_DATA_CHANGE_H_
#define KAVEX_SERVER_OBJECTS_DATA_CHANGE_H_

#include <memory>
#include <vector>

#include "platform/com/bstr_block.h"
#include "platform/com/com_ptr.h"
#include "platform/com/data_object.h"
#include "platform/com/variant.h"
#include "platform/opc/opc_da.h"
#include "server/objects/item_record.h"

namespace kavex::server {

// True when `record`'s cache differs from what was last sent: the quality
// differs, or the values do (two VT_NULLs are equal; otherwise VarCmp in
// the user's default locale, and anything but "equal", a comparison error
// included, is a difference). The caller holds the item-value lock.
bool ItemChanged(const ItemRecord& record);

// The per-item arrays of a callback, in entry order. The values are the
// entries' own; their strings (a VT_BSTR value's) lie in `texts`, since a
// callee only reads them during the call.
struct ItemEntries {
  ItemEntries() = default;
  ItemEntries(const ItemEntries&) = delete;
  ItemEntries& operator=(const ItemEntries&) = delete;
  ~ItemEntries();  // clears the values

  void Reserve(size_t count);
  // An entry with an empty value.
  void Add(OPCHANDLE client, WORD quality, const FILETIME& time, HRESULT error);
  // The last entry's value: `record`'s client value (see ClientValue);
  // returns its error. The caller holds the item-value lock.
  HRESULT SetLastValue(const ItemRecord& record);
  size_t size() const { return handles.size(); }
  DWORD count() const { return static_cast<DWORD>(handles.size()); }
  VARIANT* value_data() { return values.data(); }

  std::vector<OPCHANDLE> handles;
  std::vector<VARIANT> values;  // parallel to handles
  std::vector<WORD> qualities;
  std::vector<FILETIME> times;
  std::vector<HRESULT> errors;
  com::BstrBlock texts;
};

// One OPC DA 1.0 stream for one advise sink.
struct StreamDelivery {
  StreamDelivery() = default;
  StreamDelivery(StreamDelivery&& other) noexcept;
  StreamDelivery& operator=(StreamDelivery&&) = delete;
  ~StreamDelivery();  // frees a block that was not delivered

  com::ComPtr<IAdviseSink> sink;
  FORMATETC format{};
  HGLOBAL block = nullptr;  // owned
};

// A notification ready to go out.
struct Notification {
  enum class Kind { kDataChange, kReadComplete, kWriteComplete };

  // Calls each IOPCDataCallback sink in turn (a failing one does not stop
  // the others), then hands each stream to its sink and frees it. Returns
  // the last sink's result (S_OK without sinks).
  HRESULT Deliver();

  Kind kind = Kind::kDataChange;
  com::ComPtr<IUnknown> group;  // kept alive while delivering
  DWORD transaction = 0;
  OPCHANDLE client_group = 0;
  HRESULT master_quality = S_OK;
  HRESULT master_error = S_OK;
  ItemEntries entries;
  std::vector<com::ComPtr<IOPCDataCallback>> sinks;
  std::vector<StreamDelivery> streams;
};

using Notifications = std::vector<std::unique_ptr<Notification>>;

// Delivers each notification in turn.
void DeliverAll(Notifications* notifications);

}  // namespace kavex::server

#endif  // KAVEX_SERVER_OBJECTS_DATA_CHANGE_H_
