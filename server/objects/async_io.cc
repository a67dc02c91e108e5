// IOPCAsyncIO2 and IOPCAsyncIO of CGroup: the client calls check their
// arguments and queue a request on the server; ProcessRequest does the
// work on the server's async thread.
#include "platform/opc/opc_error.h"
#include "platform/sync/clock.h"
#include "server/objects/com_error.h"
#include "server/objects/group_object.h"
#include "server/objects/server_object.h"
#include "server/objects/stream_writer.h"
#include "server/objects/sync_io.h"
#include "server/objects/task_array.h"
#include "server/objects/trace_log.h"

namespace kavex::server {

// The trace texts and error-info source of one client call.
struct AsyncCallTexts {
  const IID& iid;
  std::u16string_view source;
  const char* create;
  const char* copy;  // null: the call has no handles
  const char* push;
  const char* done;
  const char* error;
  bool old_generation;
};

namespace {

bool IsSource(DWORD source) {
  return source == OPC_DS_CACHE || source == OPC_DS_DEVICE;
}

bool IsGood(WORD quality) {
  return (quality & OPC_QUALITY_MASK) == OPC_QUALITY_GOOD;
}

FILETIME Now() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  return now;
}

}  // namespace

#define KAVEX_ASYNC_TEXTS(name, iid, source, prefix, old)                   \
  const AsyncCallTexts name {                                               \
    iid, source, prefix ": Create Request", prefix ": Copy Server Handles", \
        prefix ": Push Request", prefix ": Done", prefix ": Error", old     \
  }
namespace {
KAVEX_ASYNC_TEXTS(kRead2, IID_IOPCAsyncIO2, u"CGroup::Read",
                  "CGroup::Read (Async)", false);
KAVEX_ASYNC_TEXTS(kWrite2, IID_IOPCAsyncIO2, u"CGroup::Write",
                  "CGroup::Write (Async)", false);
KAVEX_ASYNC_TEXTS(kRead1, IID_IOPCAsyncIO, u"CGroup::Read",
                  "CGroup::Read (Async v1)", true);
KAVEX_ASYNC_TEXTS(kWrite1, IID_IOPCAsyncIO, u"CGroup::Write",
                  "CGroup::Write (Async v1)", true);
KAVEX_ASYNC_TEXTS(kRefresh2, IID_IOPCAsyncIO2, u"CGroup::Refresh2",
                  "CGroup::Refresh2 (Async)", false);
KAVEX_ASYNC_TEXTS(kRefresh1, IID_IOPCAsyncIO, u"CGroup::Refresh",
                  "CGroup::Refresh (Async v1)", true);
}  // namespace
#undef KAVEX_ASYNC_TEXTS

void CGroup::CheckSubscriber(bool old_generation) {
  const bool subscribed =
      old_generation ? AdviseConnectionCount() != 0 : DataCallbackCount() != 0;
  if (!subscribed) ThrowHr(CONNECT_E_NOCONNECTION);
}

HRESULT CGroup::QueueItems(const AsyncCallTexts& texts, DWORD kind, DWORD count,
                           const OPCHANDLE* handles, const VARIANT* values,
                           bool arguments_ok, DWORD client_transaction,
                           DWORD connection, DWORD* id_out,
                           HRESULT** errors_out) {
  const HRESULT hr = InterfaceCall(texts.iid, texts.source, [&] {
    if (removed()) ThrowHr(E_FAIL);
    if (errors_out != nullptr) *errors_out = nullptr;
    const bool write = kind == kAsyncWrite || kind == kOldAsyncWrite;
    if (handles == nullptr || id_out == nullptr || errors_out == nullptr ||
        count == 0 || !arguments_ok || (write && values == nullptr))
      ThrowHr(E_INVALIDARG);
    CheckSubscriber(texts.old_generation);
    TaskArray<HRESULT> errors;
    if (!errors.Allocate(count)) ThrowHr(E_OUTOFMEMORY);
    Trace(kTraceStep, this, S_OK, texts.create);
    auto request = std::make_unique<AsyncRequest>();
    request->group = server_handle();
    request->kind = kind;
    request->connection = connection;
    request->count_or_source = count;
    if (texts.old_generation) {
      std::lock_guard<std::mutex> lock(state_mu_);
      request->transaction = next_transaction_++;
    } else {
      request->transaction = client_transaction;
    }
    HRESULT overall = S_OK;
    {
      std::shared_lock<std::shared_mutex> items(items_mu_);
      request->handles.reserve(count);
      for (DWORD i = 0; i < count; ++i) {
        if (items_.Find(handles[i]) == nullptr) {
          errors[i] = OPC_E_INVALIDHANDLE;
          overall = S_FALSE;
          // A 2.0 completion has an entry for every handle asked for.
          if (texts.old_generation) continue;
        } else {
          errors[i] = S_OK;
        }
        request->handles.push_back(handles[i]);
        if (write) {
          com::Variant copy;
          ThrowIfFailed(VariantCopy(&copy, &values[i]));
          request->values.push_back(std::move(copy));
        }
      }
      Trace(kTraceStep, this, S_OK, texts.copy);
    }
    const DWORD transaction = request->transaction;
    Trace(kTraceStep, this, S_OK, texts.push);
    // Queued even when no handle was valid: the completion then has none.
    if (!owner_) ThrowHr(E_FAIL);
    ThrowIfFailed(owner_->WithServer([&](CServer& server) {
      return server.QueueRequest(std::move(request));
    }));
    *id_out = transaction;
    *errors_out = errors.Release();
    Trace(kTraceDone, this, overall, texts.done);
    return overall;
  });
  if (FAILED(hr)) Trace(kTraceError, this, hr, texts.error);
  return hr;
}

HRESULT CGroup::QueueRefresh(const AsyncCallTexts& texts, DWORD kind,
                             DWORD source, DWORD client_transaction,
                             DWORD connection, DWORD* id_out) {
  const HRESULT hr = InterfaceCall(texts.iid, texts.source, [&] {
    if (removed()) ThrowHr(E_FAIL);
    if (id_out == nullptr || !IsSource(source)) ThrowHr(E_INVALIDARG);
    if (!active()) ThrowHr(E_FAIL);
    CheckSubscriber(texts.old_generation);
    Trace(kTraceStep, this, S_OK, texts.create);
    auto request = std::make_unique<AsyncRequest>();
    request->group = server_handle();
    request->kind = kind;
    request->connection = connection;
    request->count_or_source = source;
    if (texts.old_generation) {
      std::lock_guard<std::mutex> lock(state_mu_);
      request->transaction = next_transaction_++;
    } else {
      request->transaction = client_transaction;
    }
    const DWORD transaction = request->transaction;
    Trace(kTraceStep, this, S_OK, texts.push);
    if (!owner_) ThrowHr(E_FAIL);
    ThrowIfFailed(owner_->WithServer([&](CServer& server) {
      return server.QueueRequest(std::move(request));
    }));
    *id_out = transaction;
    Trace(kTraceDone, this, S_OK, texts.done);
    return S_OK;
  });
  if (FAILED(hr)) Trace(kTraceError, this, hr, texts.error);
  return hr;
}

HRESULT CGroup::CancelRequest(bool old_generation, DWORD id) {
  return InterfaceCall(old_generation ? IID_IOPCAsyncIO : IID_IOPCAsyncIO2,
                       old_generation ? u"CGroup::Cancel" : u"CGroup::Cancel2",
                       [&] {
                         if (removed()) ThrowHr(E_FAIL);
                         Trace(kTraceStep, this, S_OK,
                               old_generation ? "CGroup::Cancel (Async v1)"
                                              : "CGroup::Cancel2 (Async)");
                         if (!owner_) ThrowHr(E_FAIL);
                         return owner_->WithServer([&](CServer& server) {
                           return server.CancelRequest(id);
                         });
                       });
}

// IOPCAsyncIO2.

HRESULT CGroup::Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID,
                     DWORD* pdwCancelID, HRESULT** ppErrors) {
  return QueueItems(kRead2, kAsyncRead, dwCount, phServer, nullptr, true,
                    dwTransactionID, 0, pdwCancelID, ppErrors);
}

HRESULT CGroup::Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                      DWORD dwTransactionID, DWORD* pdwCancelID,
                      HRESULT** ppErrors) {
  return QueueItems(kWrite2, kAsyncWrite, dwCount, phServer, pItemValues, true,
                    dwTransactionID, 0, pdwCancelID, ppErrors);
}

HRESULT CGroup::Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID,
                         DWORD* pdwCancelID) {
  return QueueRefresh(kRefresh2, kAsyncRefresh, dwSource, dwTransactionID, 0,
                      pdwCancelID);
}

HRESULT CGroup::Cancel2(DWORD dwCancelID) {
  return CancelRequest(false, dwCancelID);
}

HRESULT CGroup::SetEnable(BOOL bEnable) {
  return InterfaceCall(IID_IOPCAsyncIO2, u"CGroup::SetEnable", [&] {
    if (removed()) ThrowHr(E_FAIL);
    CheckSubscriber(false);
    std::lock_guard<std::mutex> lock(state_mu_);
    async_enable_ = bEnable != FALSE;  // kept and reported only
    return S_OK;
  });
}

HRESULT CGroup::GetEnable(BOOL* pbEnable) {
  return InterfaceCall(IID_IOPCAsyncIO2, u"CGroup::GetEnable", [&] {
    if (removed()) ThrowHr(E_FAIL);
    if (pbEnable == nullptr) ThrowHr(E_INVALIDARG);
    CheckSubscriber(false);
    std::lock_guard<std::mutex> lock(state_mu_);
    *pbEnable = async_enable_ ? TRUE : FALSE;
    return S_OK;
  });
}

// IOPCAsyncIO.

HRESULT CGroup::Read(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD dwCount,
                     OPCHANDLE* phServer, DWORD* pTransactionID,
                     HRESULT** ppErrors) {
  return QueueItems(kRead1, kOldAsyncRead, dwCount, phServer, nullptr,
                    IsSource(dwSource), 0, dwConnection, pTransactionID,
                    ppErrors);
}

HRESULT CGroup::Write(DWORD dwConnection, DWORD dwCount, OPCHANDLE* phServer,
                      VARIANT* pItemValues, DWORD* pTransactionID,
                      HRESULT** ppErrors) {
  return QueueItems(kWrite1, kOldAsyncWrite, dwCount, phServer, pItemValues,
                    true, 0, dwConnection, pTransactionID, ppErrors);
}

HRESULT CGroup::Refresh(DWORD dwConnection, OPCDATASOURCE dwSource,
                        DWORD* pTransactionID) {
  return QueueRefresh(kRefresh1, kOldAsyncRefresh, dwSource, 0, dwConnection,
                      pTransactionID);
}

HRESULT CGroup::Cancel(DWORD dwTransactionID) {
  return CancelRequest(true, dwTransactionID);
}

// Processing.

void CGroup::ProcessRequest(AsyncRequest& request, Notifications* out) {
  switch (request.kind) {
    case kAsyncRead:
      ProcessRead(request, out);
      break;
    case kAsyncWrite:
    case kOldAsyncWrite:
      ProcessWrite(request, out);
      break;
    case kAsyncRefresh:
    case kOldAsyncRefresh: {
      const bool old = request.kind == kOldAsyncRefresh;
      Trace(kTraceStep, this, S_OK,
            old ? "CGroup::ProcessOldAsyncRefresh: Start"
                : "CGroup::ProcessAsyncRefresh: Start");
      if (request.count_or_source == OPC_DS_DEVICE) {
        std::shared_lock<std::shared_mutex> items(items_mu_);
        ReadActiveItems(Now());
      }
      // Every active item, whatever the client's transaction number: a
      // refresh is never filtered by the change test.
      DoDataChange(request.transaction, true,
                   old ? Audience::kConnection : Audience::kCallbacks,
                   request.connection, out);
      Trace(kTraceDone, this, S_OK,
            old ? "CGroup::ProcessOldAsyncRefresh: Done"
                : "CGroup::ProcessAsyncRefresh: Done");
      break;
    }
    case kOldAsyncRead:
      ProcessOldRead(request, out);
      break;
    default:
      break;
  }
}

void CGroup::ProcessRead(const AsyncRequest& request, Notifications* out) {
  if (request.handles.empty()) return;
  Trace(kTraceStep, this, S_OK, "CGroup::ProcessAsyncRead: Allocate Results");
  std::unique_ptr<Notification> notification =
      NewNotification(Notification::Kind::kReadComplete, request.transaction);
  const size_t count = request.handles.size();
  std::vector<std::shared_ptr<ItemRecord>> records(count);
  {
    std::shared_lock<std::shared_mutex> items(items_mu_);
    for (size_t i = 0; i < count; ++i)
      records[i] = items_.FindShared(request.handles[i]);
  }
  Trace(kTraceStep, this, S_OK, "CGroup::ProcessAsyncRead: Loop through items");
  const FILETIME now = Now();
  std::vector<com::Variant> answers(count);
  std::vector<HRESULT> results(count, OPC_E_INVALIDHANDLE);
  for (size_t i = 0; i < count; ++i) {
    if (!records[i]) continue;
    if (TraceEnabled(kTraceDetail))
      Trace(kTraceDetail, this, S_OK, "CGroup::ProcessAsyncRead: Read Item",
            records[i]->id());
    results[i] = AskDevice(*records[i], &answers[i]);
  }
  ItemEntries& entries = notification->entries;
  entries.Reserve(count);
  {
    std::lock_guard<std::mutex> values(value_mu_);
    for (size_t i = 0; i < count; ++i) {
      if (!records[i] || FAILED(results[i])) {
        if (records[i])
          CacheDeviceAnswer(*records[i], results[i], &answers[i], now);
        entries.Add(0, 0, FILETIME{}, results[i]);
      } else {
        ItemRecord& record = *records[i];
        CacheDeviceAnswer(record, results[i], &answers[i], now);
        entries.Add(record.client_handle, record.quality, record.timestamp,
                    S_OK);
        entries.errors.back() = entries.SetLastValue(record);
      }
      if (entries.errors.back() != S_OK) notification->master_error = S_FALSE;
      if (!IsGood(entries.qualities.back()))
        notification->master_quality = S_FALSE;
    }
  }
  Trace(kTraceStep, this, S_OK, "CGroup::ProcessAsyncRead: Loop Done");
  notification->sinks = callback_point_->Sinks<IOPCDataCallback>();
  out->push_back(std::move(notification));
  Trace(kTraceDone, this, S_OK, "CGroup::ProcessAsyncRead: Done");
}

void CGroup::ProcessWrite(const AsyncRequest& request, Notifications* out) {
  Trace(kTraceStep, this, S_OK, "CGroup::ProcessAsyncWrite: Allocate Results");
  std::unique_ptr<Notification> notification =
      NewNotification(Notification::Kind::kWriteComplete, request.transaction);
  const size_t count = request.handles.size();
  std::vector<std::shared_ptr<ItemRecord>> records(count);
  {
    std::shared_lock<std::shared_mutex> items(items_mu_);
    for (size_t i = 0; i < count; ++i)
      records[i] = items_.FindShared(request.handles[i]);
  }
  Trace(kTraceStep, this, S_OK,
        "CGroup::ProcessAsyncWrite: Loop through items");
  ItemEntries& entries = notification->entries;
  for (size_t i = 0; i < count; ++i) {
    HRESULT error = OPC_E_INVALIDHANDLE;
    OPCHANDLE client = 0;
    if (records[i]) {
      Trace(kTraceStep, this, S_OK, "CGroup::ProcessAsyncWrite: Read Item");
      error = WriteDevice(*records[i], request.values[i]);
      std::lock_guard<std::mutex> values(value_mu_);
      client = records[i]->client_handle;
    }
    entries.Add(client, 0, FILETIME{}, error);
    if (FAILED(error)) notification->master_error = S_FALSE;
  }
  Trace(kTraceStep, this, S_OK, "CGroup::ProcessAsyncWrite: Loop Done");
  if (request.kind == kAsyncWrite) {
    notification->sinks = callback_point_->Sinks<IOPCDataCallback>();
  } else {
    // A 1.0 write completes through its own connection, when that
    // connection takes the write-completion format.
    StreamDelivery delivery;
    {
      std::lock_guard<std::mutex> lock(advise_mu_);
      auto it = connections_.find(request.connection);
      if (it != connections_.end() &&
          it->second.format.cfFormat ==
              RegisteredStreamFormats().write_complete) {
        delivery.sink = it->second.sink;
        delivery.format = it->second.format;
      }
    }
    if (delivery.sink) {
      delivery.block = BuildWriteCompleteStream(
          notification->client_group, request.transaction, entries.count(),
          entries.handles.data(), entries.errors.data());
      if (delivery.block != nullptr)
        notification->streams.push_back(std::move(delivery));
    }
  }
  out->push_back(std::move(notification));
  Trace(kTraceDone, this, S_OK, "CGroup::ProcessAsyncWrite: Done");
}

void CGroup::ProcessOldRead(const AsyncRequest& request, Notifications* out) {
  if (request.handles.empty()) return;
  std::unique_ptr<Notification> notification =
      NewNotification(Notification::Kind::kDataChange, request.transaction);
  std::vector<std::shared_ptr<ItemRecord>> records;
  {
    std::shared_lock<std::shared_mutex> items(items_mu_);
    for (OPCHANDLE handle : request.handles)
      if (auto record = items_.FindShared(handle)) records.push_back(record);
  }
  Trace(kTraceStep, this, S_OK,
        "CGroup::ProcessOldAsyncRead: Loop through items");
  // Always from the device, whatever source the client named.
  for (auto& record : records) {
    if (TraceEnabled(kTraceDetail))
      Trace(kTraceDetail, this, S_OK, "CGroup::ProcessOldAsyncRead: Read Item",
            record->id());
    ReadDevice(*record);
  }
  ItemEntries& entries = notification->entries;
  entries.Reserve(records.size());
  {
    const bool group_active = active();
    std::lock_guard<std::mutex> values(value_mu_);
    for (auto& record : records) {
      entries.Add(record->client_handle,
                  ClientQuality(*record, group_active, OPC_DS_CACHE),
                  record->timestamp, S_OK);
      entries.errors.back() = entries.SetLastValue(*record);
    }
  }
  if (!entries.handles.empty()) {
    AddStream(request.connection, notification.get());
    out->push_back(std::move(notification));
  }
  Trace(kTraceDone, this, S_OK, "CGroup::ProcessAsyncRead: Done");
}

}  // namespace kavex::server
