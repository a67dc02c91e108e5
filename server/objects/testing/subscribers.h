// Test subscribers: an IOPCDataCallback sink and an IAdviseSink that record
// what they are sent (the streams as raw bytes), and a reader of the OPC
// DA 1.0 streams written from the stream layout's tables, independently
// of the code that writes them.
#ifndef KAVEX_SERVER_OBJECTS_TESTING_SUBSCRIBERS_H_
#define KAVEX_SERVER_OBJECTS_TESTING_SUBSCRIBERS_H_

#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/com_object.h"
#include "platform/com/data_object.h"
#include "platform/com/variant.h"
#include "platform/opc/opc_da.h"

namespace kavex::server::testing {

// One item of a callback.
struct CallbackItem {
  OPCHANDLE client;
  WORD quality;
  FILETIME time;
  HRESULT error;
  com::Variant value;
};

struct Callback {
  enum Kind { kDataChange, kReadComplete, kWriteComplete } kind;
  DWORD transaction;
  OPCHANDLE group;
  HRESULT master_quality;
  HRESULT master_error;
  std::vector<CallbackItem> items;
};

class DataCallbackSink
    : public com::ComObject<DataCallbackSink, IOPCDataCallback> {
 public:
  // Runs inside every callback, before it is recorded.
  void SetOnCall(std::function<void()> on_call) {
    std::lock_guard<std::mutex> lock(mu_);
    on_call_ = std::move(on_call);
  }
  void SetResult(HRESULT hr) { result_ = hr; }

  std::vector<Callback> calls() {
    std::lock_guard<std::mutex> lock(mu_);
    return calls_;
  }
  size_t count() {
    std::lock_guard<std::mutex> lock(mu_);
    return calls_.size();
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mu_);
    calls_.clear();
  }
  // Waits (ten seconds at most) for `n` calls.
  bool WaitForCount(size_t n) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (count() < n) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::yield();
    }
    return true;
  }

  HRESULT OnDataChange(DWORD dwTransid, OPCHANDLE hGroup,
                       HRESULT hrMasterquality, HRESULT hrMastererror,
                       DWORD dwCount, OPCHANDLE* phClientItems,
                       VARIANT* pvValues, WORD* pwQualities,
                       FILETIME* pftTimeStamps, HRESULT* pErrors) override {
    return Record(Callback::kDataChange, dwTransid, hGroup, hrMasterquality,
                  hrMastererror, dwCount, phClientItems, pvValues, pwQualities,
                  pftTimeStamps, pErrors);
  }
  HRESULT OnReadComplete(DWORD dwTransid, OPCHANDLE hGroup,
                         HRESULT hrMasterquality, HRESULT hrMastererror,
                         DWORD dwCount, OPCHANDLE* phClientItems,
                         VARIANT* pvValues, WORD* pwQualities,
                         FILETIME* pftTimeStamps, HRESULT* pErrors) override {
    return Record(Callback::kReadComplete, dwTransid, hGroup, hrMasterquality,
                  hrMastererror, dwCount, phClientItems, pvValues, pwQualities,
                  pftTimeStamps, pErrors);
  }
  HRESULT OnWriteComplete(DWORD dwTransid, OPCHANDLE hGroup,
                          HRESULT hrMastererr, DWORD dwCount,
                          OPCHANDLE* pClienthandles,
                          HRESULT* pErrors) override {
    return Record(Callback::kWriteComplete, dwTransid, hGroup, S_OK,
                  hrMastererr, dwCount, pClienthandles, nullptr, nullptr,
                  nullptr, pErrors);
  }
  HRESULT OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }

 private:
  HRESULT Record(Callback::Kind kind, DWORD transaction, OPCHANDLE group,
                 HRESULT quality, HRESULT error, DWORD count,
                 const OPCHANDLE* handles, const VARIANT* values,
                 const WORD* qualities, const FILETIME* times,
                 const HRESULT* errors) {
    std::function<void()> on_call;
    {
      std::lock_guard<std::mutex> lock(mu_);
      on_call = on_call_;
    }
    if (on_call) on_call();
    Callback call{kind, transaction, group, quality, error, {}};
    for (DWORD i = 0; i < count; ++i) {
      CallbackItem item{handles[i], qualities ? qualities[i] : WORD{0},
                        times ? times[i] : FILETIME{}, errors[i],
                        com::Variant()};
      if (values != nullptr) item.value = values[i];
      call.items.push_back(std::move(item));
    }
    std::lock_guard<std::mutex> lock(mu_);
    calls_.push_back(std::move(call));
    return result_;
  }

  std::mutex mu_;
  std::function<void()> on_call_;
  std::vector<Callback> calls_;
  HRESULT result_ = S_OK;
};

// A stream as received.
struct ReceivedStream {
  CLIPFORMAT format;
  DWORD tymed;
  std::vector<uint8_t> bytes;
};

class StreamSink : public com::ComObject<StreamSink, IAdviseSink> {
 public:
  std::vector<ReceivedStream> streams() {
    std::lock_guard<std::mutex> lock(mu_);
    return streams_;
  }
  size_t count() {
    std::lock_guard<std::mutex> lock(mu_);
    return streams_.size();
  }

  void OnDataChange(FORMATETC* format, STGMEDIUM* medium) override {
    ReceivedStream stream{format->cfFormat, medium->tymed, {}};
    const size_t size = GlobalSize(medium->hGlobal);
    const auto* p = static_cast<const uint8_t*>(GlobalLock(medium->hGlobal));
    if (p != nullptr) stream.bytes.assign(p, p + size);
    GlobalUnlock(medium->hGlobal);
    std::lock_guard<std::mutex> lock(mu_);
    streams_.push_back(std::move(stream));
  }
  void OnViewChange(DWORD, LONG) override {}
  void OnRename(IMoniker*) override {}
  void OnSave() override {}
  void OnClose() override {}

 private:
  std::mutex mu_;
  std::vector<ReceivedStream> streams_;
};

// A data stream read by the layout's tables: group header of five 32-bit
// fields; item headers of 20 bytes (with time) or 12; values of 16 bytes,
// a string followed by its byte count and characters with terminator.
struct ParsedItem {
  uint32_t client;
  uint32_t value_offset;
  uint16_t quality;
  uint16_t reserved;
  uint64_t time;  // with time only
  uint16_t vt;
  uint64_t payload;  // bytes 8..15 of the VARIANT
  int32_t int_value;
  bool has_string = false;
  uint32_t byte_count = 0;
  std::u16string text;
  bool terminated = false;
  size_t value_size = 0;
};

struct ParsedStream {
  bool ok = false;
  std::string why;
  uint32_t size, count, client_group, transaction, status;
  std::vector<ParsedItem> items;
};

inline uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
  uint32_t v;
  std::memcpy(&v, b.data() + at, 4);
  return v;
}

inline ParsedStream ParseDataStream(const std::vector<uint8_t>& b,
                                    bool with_time) {
  ParsedStream s;
  if (b.size() < 20) {
    s.why = "shorter than the group header";
    return s;
  }
  s.size = Get32(b, 0);
  s.count = Get32(b, 4);
  s.client_group = Get32(b, 8);
  s.transaction = Get32(b, 12);
  s.status = Get32(b, 16);
  const size_t header = with_time ? 20 : 12;
  if (20 + header * s.count > b.size()) {
    s.why = "item headers run past the block";
    return s;
  }
  size_t expected_value_at = 20 + header * s.count;
  for (uint32_t i = 0; i < s.count; ++i) {
    const size_t h = 20 + header * i;
    ParsedItem item{};
    item.client = Get32(b, h);
    item.value_offset = Get32(b, h + 4);
    std::memcpy(&item.quality, b.data() + h + 8, 2);
    std::memcpy(&item.reserved, b.data() + h + 10, 2);
    if (with_time) {
      std::memcpy(&item.time, b.data() + h + 12, 8);
    }
    const size_t v = item.value_offset;
    if (v != expected_value_at || v + 16 > b.size()) {
      s.why = "value " + std::to_string(i) + " not where expected";
      return s;
    }
    std::memcpy(&item.vt, b.data() + v, 2);
    std::memcpy(&item.payload, b.data() + v + 8, 8);
    std::memcpy(&item.int_value, b.data() + v + 8, 4);
    item.value_size = 16;
    if (item.vt == VT_BSTR) {
      if (v + 20 > b.size()) {
        s.why = "no byte count";
        return s;
      }
      item.has_string = true;
      item.byte_count = Get32(b, v + 16);
      const size_t chars = v + 20;
      if (chars + item.byte_count + 2 > b.size()) {
        s.why = "string runs past the block";
        return s;
      }
      item.text.resize(item.byte_count / 2);
      std::memcpy(item.text.data(), b.data() + chars, item.byte_count);
      item.terminated = b[chars + item.byte_count] == 0 &&
                        b[chars + item.byte_count + 1] == 0;
      item.value_size = 20 + item.byte_count + 2;
    }
    expected_value_at += item.value_size;
    s.items.push_back(std::move(item));
  }
  if (expected_value_at != b.size() || s.size != b.size()) {
    s.why = "dwSize or block size does not match the contents";
    return s;
  }
  s.ok = true;
  return s;
}

}  // namespace kavex::server::testing

#endif  // KAVEX_SERVER_OBJECTS_TESTING_SUBSCRIBERS_H_
