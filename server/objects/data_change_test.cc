// The update tick, the change test and what the subscribers of both
// generations receive.
#include "server/objects/data_change.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/com/global_memory.h"
#include "platform/sync/sync_testing.h"
#include "server/objects/stream_writer.h"
#include "server/objects/sync_io.h"
#include "server/objects/testing/server_fixture.h"
#include "server/objects/testing/subscribers.h"

namespace kavex::server {
namespace {

using testing::Callback;
using testing::DataCallbackSink;
using testing::ParseDataStream;
using testing::ServerFixture;
using testing::StreamSink;

TEST(ItemChangedTest, ComparesQualityThenValue) {
  struct Case {
    const char* what;
    com::Variant sent;
    com::Variant cached;
    WORD sent_quality;
    WORD cached_quality;
    bool changed;
  };
  com::Variant null_value;
  null_value.vt = VT_NULL;
  com::Variant null_string;
  null_string.vt = VT_BSTR;
  null_string.bstrVal = nullptr;
  com::Variant unknown;  // VarCmp cannot compare an interface with a number
  unknown.vt = VT_UNKNOWN;
  unknown.punkVal = nullptr;
  const Case cases[] = {
      {"same number", com::Variant(LONG{4}), com::Variant(LONG{4}), 0xC0, 0xC0,
       false},
      {"other number", com::Variant(LONG{4}), com::Variant(LONG{5}), 0xC0, 0xC0,
       true},
      {"quality alone", com::Variant(LONG{4}), com::Variant(LONG{4}), 0xC0,
       0x00, true},
      {"two nulls", null_value, null_value, 0xC0, 0xC0, false},
      {"null and number", com::Variant(LONG{0}), null_value, 0xC0, 0xC0, true},
      // VarCmp calls VT_EMPTY equal to a zero integer.
      {"empty and zero", com::Variant(LONG{0}), com::Variant(), 0xC0, 0xC0,
       false},
      {"empty and one", com::Variant(LONG{1}), com::Variant(), 0xC0, 0xC0,
       true},
      {"same text", com::Variant(u"abc"), com::Variant(u"abc"), 0xC0, 0xC0,
       false},
      {"other text", com::Variant(u"abc"), com::Variant(u"abd"), 0xC0, 0xC0,
       true},
      {"null string and empty string", null_string, com::Variant(u""), 0xC0,
       0xC0, false},
      {"same double", com::Variant(2.5), com::Variant(2.5), 0xC0, 0xC0, false},
      {"number and its text", com::Variant(LONG{12}), com::Variant(u"12"), 0xC0,
       0xC0, false},
      {"comparison error", com::Variant(LONG{1}), unknown, 0xC0, 0xC0, true},
  };
  for (const Case& c : cases) {
    ItemRecord record(nullptr, 0, com::Bstr(u"x"), VT_I4, OPC_READABLE,
                      VT_EMPTY, 0, true);
    VariantCopy(&record.last_sent_value, &c.sent);
    VariantCopy(&record.value, &c.cached);
    record.last_sent_quality = c.sent_quality;
    record.quality = c.cached_quality;
    EXPECT_EQ(ItemChanged(record), c.changed) << c.what;
  }
}

// A callback's values are what ClientValue gives each record, their
// strings in the entries' block: every kind of value, over enough entries
// for the block to grow many times.
TEST(ItemEntriesTest, ValuesMatchTheClientValuesWithTextsInTheBlock) {
  struct Kind {
    VARTYPE canonical;
    VARTYPE requested;
    DWORD rights;
    com::Variant value;
  };
  com::Variant null_string;
  null_string.vt = VT_BSTR;
  null_string.bstrVal = nullptr;
  const Kind kinds[] = {
      {VT_BSTR, VT_EMPTY, OPC_READABLE, com::Variant(u"counter 12345")},
      {VT_BSTR, VT_BSTR, OPC_READABLE, com::Variant(u"Up")},
      {VT_BSTR, VT_EMPTY, OPC_READABLE, null_string},      // never read
      {VT_I4, VT_BSTR, OPC_READABLE, com::Variant(LONG{-42})},  // converted
      {VT_BSTR, VT_I4, OPC_READABLE, com::Variant(u"77")},
      {VT_BSTR, VT_I4, OPC_READABLE, com::Variant(u"Down")},  // fails
      {VT_I4, VT_EMPTY, OPC_READABLE, com::Variant(LONG{9})},
      {VT_R8, VT_BSTR, OPC_READABLE, com::Variant(2.5)},
      {VT_BSTR, VT_EMPTY, OPC_WRITEABLE, com::Variant(u"hidden")},
  };
  std::vector<std::unique_ptr<ItemRecord>> records;
  for (int n = 0; n < 3000; ++n) {
    const Kind& kind = kinds[n % std::size(kinds)];
    auto record = std::make_unique<ItemRecord>(
        nullptr, n, com::Bstr(u"x"), kind.canonical, kind.rights,
        kind.requested, n, true);
    VariantCopy(&record->value, &kind.value);
    if (kind.value.vt == VT_BSTR && kind.value.bstrVal != nullptr &&
        n % 2 == 1) {
      // Texts of many lengths.
      const std::u16string longer =
          std::u16string(com::BstrView(kind.value.bstrVal)) +
          std::u16string(static_cast<size_t>(n % 70), u'-');
      VariantClear(&record->value);
      record->value.vt = VT_BSTR;
      record->value.bstrVal =
          SysAllocStringLen(longer.data(), static_cast<UINT>(longer.size()));
    }
    records.push_back(std::move(record));
  }
  ItemEntries entries;
  for (const auto& record : records) {
    entries.Add(record->client_handle, 0, FILETIME{}, S_OK);
    entries.errors.back() = entries.SetLastValue(*record);
  }
  EXPECT_GT(entries.texts.ReservedBytes(), size_t{4096} * 4);
  for (size_t n = 0; n < records.size(); ++n) {
    com::Variant own;
    const HRESULT error = ClientValue(*records[n], &own);
    const VARIANT& value = entries.values[n];
    ASSERT_EQ(entries.errors[n], error) << n;
    ASSERT_EQ(value.vt, own.vt) << n;
    if (own.vt == VT_BSTR) {
      ASSERT_NE(value.bstrVal, nullptr) << n;
      ASSERT_EQ(com::BstrView(value.bstrVal), com::BstrView(own.bstrVal)) << n;
      ASSERT_EQ(value.bstrVal[SysStringLen(value.bstrVal)], u'\0') << n;
    } else {
      if (own.vt != VT_EMPTY) {
        ASSERT_EQ(VarCmp(&value, &own, 0, 0), VARCMP_EQ) << n;
      }
    }
  }
  // What a sink may do with a value it is lent: copy it.
  com::Variant copy;
  ASSERT_EQ(VariantCopy(&copy, &entries.values[0]), S_OK);
  EXPECT_EQ(com::BstrView(copy.bstrVal), u"counter 12345");
}

class DataChangeTest : public ServerFixture {
 protected:
  void SetUp() override {
    ServerFixture::SetUp();
    server_ = NewServer();
    group_ = NewGroup(server_.Get(), u"g", TRUE, &group_handle_);
    ASSERT_TRUE(group_);
  }
  void TearDown() override {
    group_.Reset();
    server_.Reset();
    ServerFixture::TearDown();
    EXPECT_EQ(DataCallbackSink::InstanceCount(), 0);
    EXPECT_EQ(StreamSink::InstanceCount(), 0);
  }

  // Advises a new sink on `group`'s IOPCDataCallback point.
  com::ComPtr<DataCallbackSink> Advise(IUnknown* group,
                                       DWORD* cookie = nullptr) {
    com::ComPtr<DataCallbackSink> sink;
    EXPECT_EQ(DataCallbackSink::CreateInstance(&sink), S_OK);
    com::ComPtr<IConnectionPointContainer> container;
    EXPECT_EQ(group->QueryInterface(container.GetAddressOf()), S_OK);
    com::ComPtr<IConnectionPoint> point;
    EXPECT_EQ(container->FindConnectionPoint(IID_IOPCDataCallback,
                                             point.GetAddressOf()),
              S_OK);
    DWORD c = 0;
    EXPECT_EQ(point->Advise(sink->GetUnknown(), &c), S_OK);
    if (cookie != nullptr) *cookie = c;
    return sink;
  }

  com::ComPtr<StreamSink> DAdvise(IUnknown* group, CLIPFORMAT format,
                                  DWORD* connection) {
    com::ComPtr<StreamSink> sink;
    EXPECT_EQ(StreamSink::CreateInstance(&sink), S_OK);
    com::ComPtr<IDataObject> data;
    EXPECT_EQ(group->QueryInterface(data.GetAddressOf()), S_OK);
    FORMATETC etc{format, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    EXPECT_EQ(data->DAdvise(&etc, 0, sink.Get(), connection), S_OK);
    return sink;
  }

  void Ticks(int n) {
    for (int i = 0; i < n; ++i) server_->Tick();
  }

  com::ComPtr<CServer> server_;
  com::ComPtr<IOPCItemMgt> group_;
  OPCHANDLE group_handle_ = 0;
};

TEST_F(DataChangeTest, GroupAt1000MsPollsEveryTenthTick) {
  AddItem(group_.Get(), u"A.B.C");
  Ticks(1);  // a new group polls on its first tick
  EXPECT_EQ(device_->reads(), 1);
  Ticks(9);
  EXPECT_EQ(device_->reads(), 1);
  Ticks(1);
  EXPECT_EQ(device_->reads(), 2);
  Ticks(1990);
  EXPECT_EQ(device_->reads(), 201);
  // An inactive group is not polled; an inactive item is not read.
  com::ComPtr<IOPCGroupStateMgt> state;
  ASSERT_EQ(group_.As(&state), S_OK);
  BOOL inactive = FALSE;
  ASSERT_EQ(state->SetState(nullptr, nullptr, &inactive, nullptr, nullptr,
                            nullptr, nullptr),
            S_OK);
  Ticks(100);
  EXPECT_EQ(device_->reads(), 201);
}

TEST_F(DataChangeTest, OnlyChangesAreSentAndQualityAloneIsAChange) {
  AddItem(group_.Get(), u"A.B.C");
  com::ComPtr<DataCallbackSink> sink = Advise(group_.Get());
  // Advise sends every active item as it is: never read yet.
  ASSERT_EQ(sink->count(), 1u);
  EXPECT_EQ(sink->calls()[0].items[0].quality, OPC_QUALITY_UNCERTAIN);
  EXPECT_EQ(sink->calls()[0].master_quality, S_FALSE);
  sink->Clear();

  Ticks(1);  // first read: 7, good
  std::vector<Callback> calls = sink->calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].kind, Callback::kDataChange);
  EXPECT_EQ(calls[0].transaction, 0u);
  EXPECT_EQ(calls[0].group, 77u);
  EXPECT_EQ(calls[0].master_quality, S_OK);
  EXPECT_EQ(calls[0].master_error, S_OK);
  ASSERT_EQ(calls[0].items.size(), 1u);
  EXPECT_EQ(calls[0].items[0].client, 100u);
  EXPECT_EQ(calls[0].items[0].value.lVal, 7);
  EXPECT_EQ(calls[0].items[0].quality, OPC_QUALITY_GOOD);
  EXPECT_EQ(FileTimeToUInt64(calls[0].items[0].time), kStartFileTime);
  sink->Clear();

  Ticks(30);  // polled three more times, nothing changed
  EXPECT_EQ(sink->count(), 0u);

  device_->SetReadResult(u"A.B.C", E_FAIL);  // good to bad, same value
  Ticks(10);
  calls = sink->calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].items[0].quality, OPC_QUALITY_BAD);
  EXPECT_EQ(calls[0].items[0].value.lVal, 7);
  EXPECT_EQ(calls[0].master_quality, S_FALSE);
  sink->Clear();

  device_->SetReadResult(u"A.B.C", S_OK);
  device_->SetValue(u"A.B.C", com::Variant(LONG{8}));
  Ticks(10);
  calls = sink->calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].items[0].value.lVal, 8);
  EXPECT_EQ(calls[0].items[0].quality, OPC_QUALITY_GOOD);
}

TEST_F(DataChangeTest, ClientValueAndConversionErrorReachTheSink) {
  AddItem(group_.Get(), u"A.B.C", VT_BSTR);
  AddItem(group_.Get(), u"A.D", VT_I4);  // "text" is not a number
  com::ComPtr<DataCallbackSink> sink = Advise(group_.Get());
  sink->Clear();
  Ticks(1);
  std::vector<Callback> calls = sink->calls();
  ASSERT_EQ(calls.size(), 1u);
  ASSERT_EQ(calls[0].items.size(), 2u);
  EXPECT_EQ(calls[0].items[0].value.vt, VT_BSTR);
  EXPECT_EQ(com::BstrView(calls[0].items[0].value.bstrVal), u"7");
  EXPECT_EQ(calls[0].items[0].error, S_OK);
  EXPECT_TRUE(FAILED(calls[0].items[1].error));
  EXPECT_EQ(calls[0].items[1].value.vt, VT_EMPTY);
  EXPECT_EQ(calls[0].master_error, S_FALSE);
}

TEST_F(DataChangeTest, SecondSinkMakesBothReceiveAFullUpdate) {
  AddItem(group_.Get(), u"A.B.C");
  AddItem(group_.Get(), u"A.D");
  com::ComPtr<DataCallbackSink> first = Advise(group_.Get());
  Ticks(1);
  first->Clear();
  com::ComPtr<DataCallbackSink> second = Advise(group_.Get());
  ASSERT_EQ(first->count(), 1u);
  ASSERT_EQ(second->count(), 1u);
  EXPECT_EQ(first->calls()[0].items.size(), 2u);
  EXPECT_EQ(second->calls()[0].items.size(), 2u);
  EXPECT_EQ(second->calls()[0].items[0].value.lVal, 7);
}

TEST_F(DataChangeTest, FailingSinkDoesNotStopTheOthers) {
  AddItem(group_.Get(), u"A.B.C");
  com::ComPtr<DataCallbackSink> failing = Advise(group_.Get());
  failing->SetResult(E_FAIL);
  com::ComPtr<DataCallbackSink> good = Advise(group_.Get());
  failing->Clear();
  good->Clear();
  Ticks(1);
  EXPECT_EQ(failing->count(), 1u);
  EXPECT_EQ(good->count(), 1u);
}

TEST_F(DataChangeTest, ActivationForcesAFullUpdateOnlyWhenItActivates) {
  AddItem(group_.Get(), u"A.B.C");
  com::ComPtr<DataCallbackSink> sink = Advise(group_.Get());
  Ticks(1);
  sink->Clear();
  com::ComPtr<IOPCGroupStateMgt> state;
  ASSERT_EQ(group_.As(&state), S_OK);
  BOOL on = TRUE, off = FALSE;
  // Already active: nothing.
  ASSERT_EQ(state->SetState(nullptr, nullptr, &on, nullptr, nullptr, nullptr,
                            nullptr),
            S_OK);
  EXPECT_EQ(sink->count(), 0u);
  ASSERT_EQ(state->SetState(nullptr, nullptr, &off, nullptr, nullptr, nullptr,
                            nullptr),
            S_OK);
  EXPECT_EQ(sink->count(), 0u);
  ASSERT_EQ(state->SetState(nullptr, nullptr, &on, nullptr, nullptr, nullptr,
                            nullptr),
            S_OK);
  ASSERT_EQ(sink->count(), 1u);
  EXPECT_EQ(sink->calls()[0].items[0].value.lVal, 7);  // unchanged, still sent
}

TEST_F(DataChangeTest, DAdviseConnectionsAndTheirFormats) {
  const StreamFormats& formats = RegisteredStreamFormats();
  EXPECT_NE(formats.data, 0);
  EXPECT_NE(formats.data_time, formats.data);
  EXPECT_EQ(RegisterClipboardFormatA("OPCSTMFORMATDATA"), formats.data);
  AddItem(group_.Get(), u"A.B.C");
  DWORD first = 99, other = 99, timed = 99;
  com::ComPtr<StreamSink> data = DAdvise(group_.Get(), formats.data, &first);
  com::ComPtr<StreamSink> stranger = DAdvise(group_.Get(), 1, &other);
  com::ComPtr<StreamSink> with_time =
      DAdvise(group_.Get(), formats.data_time, &timed);
  EXPECT_EQ(first, 0u);
  EXPECT_EQ(other, 1u);
  EXPECT_EQ(timed, 2u);
  EXPECT_EQ(data->count(), 0u);  // DAdvise sends no initial data
  Ticks(1);
  EXPECT_EQ(data->count(), 1u);
  EXPECT_EQ(with_time->count(), 1u);
  EXPECT_EQ(stranger->count(), 0u);

  com::ComPtr<IDataObject> object;
  ASSERT_EQ(group_.As(&object), S_OK);
  EXPECT_EQ(object->DUnadvise(7), E_FAIL);
  EXPECT_EQ(object->DUnadvise(first), S_OK);
  EXPECT_EQ(object->DUnadvise(first), E_FAIL);
  device_->SetValue(u"A.B.C", com::Variant(LONG{9}));
  Ticks(10);
  EXPECT_EQ(data->count(), 1u);
  EXPECT_EQ(with_time->count(), 2u);
  // A new connection never reuses a number.
  DWORD next = 0;
  com::ComPtr<StreamSink> again = DAdvise(group_.Get(), formats.data, &next);
  EXPECT_EQ(next, 3u);

  FORMATETC etc{formats.data, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
  STGMEDIUM medium{};
  EXPECT_EQ(object->GetData(&etc, &medium), E_NOTIMPL);
  EXPECT_EQ(object->GetDataHere(&etc, &medium), E_NOTIMPL);
  EXPECT_EQ(object->QueryGetData(&etc), E_NOTIMPL);
  EXPECT_EQ(object->GetCanonicalFormatEtc(&etc, &etc), E_NOTIMPL);
  EXPECT_EQ(object->SetData(&etc, &medium, FALSE), E_NOTIMPL);
  IEnumFORMATETC* formats_enum = nullptr;
  EXPECT_EQ(object->EnumFormatEtc(DATADIR_GET, &formats_enum), E_NOTIMPL);
  IEnumSTATDATA* advises = nullptr;
  EXPECT_EQ(object->EnumDAdvise(&advises), E_NOTIMPL);
  DWORD connection = 0;
  EXPECT_EQ(object->DAdvise(nullptr, 0, again.Get(), &connection),
            E_INVALIDARG);
  EXPECT_EQ(object->DAdvise(&etc, 0, nullptr, &connection), E_INVALIDARG);
}

TEST_F(DataChangeTest, DataStreamLayout) {
  Declare(u"S.Three", VT_BSTR, OPC_READABLE, com::Variant(u"abc"));
  AddItem(group_.Get(), u"A.B.C");    // client 100
  AddItem(group_.Get(), u"S.Three");  // client 100 too: one item per call
  const StreamFormats& formats = RegisteredStreamFormats();
  DWORD c1 = 0, c2 = 0;
  com::ComPtr<StreamSink> plain = DAdvise(group_.Get(), formats.data, &c1);
  com::ComPtr<StreamSink> timed = DAdvise(group_.Get(), formats.data_time, &c2);
  clock_.Advance(500);
  Ticks(1);
  ASSERT_EQ(plain->count(), 1u);
  const testing::ReceivedStream received = plain->streams()[0];
  EXPECT_EQ(received.format, formats.data);
  EXPECT_EQ(received.tymed, DWORD{TYMED_HGLOBAL});
  const testing::ParsedStream s = ParseDataStream(received.bytes, false);
  ASSERT_TRUE(s.ok) << s.why;
  EXPECT_EQ(s.count, 2u);
  EXPECT_EQ(s.client_group, 77u);
  EXPECT_EQ(s.transaction, 0u);
  EXPECT_EQ(s.status, 0u);
  // 20 + 2 * 12 of headers, 16 for the number, 16 + 4 + 8 for the string.
  EXPECT_EQ(s.size, 20u + 24u + 16u + 28u);
  EXPECT_EQ(s.items[0].value_offset, 44u);
  EXPECT_EQ(s.items[0].vt, VT_I4);
  EXPECT_EQ(s.items[0].int_value, 7);
  EXPECT_EQ(s.items[0].quality, OPC_QUALITY_GOOD);
  EXPECT_EQ(s.items[1].value_offset, 60u);
  EXPECT_EQ(s.items[1].vt, VT_BSTR);
  EXPECT_EQ(s.items[1].value_size, 28u);
  EXPECT_EQ(s.items[1].byte_count, 6u);
  EXPECT_EQ(s.items[1].text, u"abc");
  EXPECT_TRUE(s.items[1].terminated);
  EXPECT_EQ(s.items[1].payload, 0u);  // no pointer of ours leaves the process

  const testing::ParsedStream t =
      ParseDataStream(timed->streams()[0].bytes, true);
  ASSERT_TRUE(t.ok) << t.why;
  EXPECT_EQ(t.size, 20u + 40u + 16u + 28u);
  EXPECT_EQ(t.items[0].time, kStartFileTime + 500 * 10000);
  EXPECT_EQ(t.items[1].text, u"abc");
}

TEST(StreamWriterTest, EmptyStringAndPointerTypes) {
  // A null BSTR is the empty string: byte count 0 and the terminator.
  VARIANT values[3];
  for (VARIANT& v : values) VariantInit(&v);
  values[0].vt = VT_BSTR;
  values[0].bstrVal = nullptr;
  values[1].vt = VT_R8;
  values[1].dblVal = 2.5;
  values[2].vt = VT_ARRAY | VT_I4;
  values[2].parray = reinterpret_cast<SAFEARRAY*>(0x1234);
  const OPCHANDLE handles[] = {1, 2, 3};
  const WORD qualities[] = {0xC0, 0x40, 0x00};
  const FILETIME times[3] = {};
  HGLOBAL block =
      BuildDataStream(false, 5, 9, 3, handles, values, qualities, times);
  ASSERT_NE(block, nullptr);
  const auto* p = static_cast<const uint8_t*>(GlobalLock(block));
  std::vector<uint8_t> bytes(p, p + GlobalSize(block));
  GlobalUnlock(block);
  GlobalFree(block);
  const testing::ParsedStream s = ParseDataStream(bytes, false);
  ASSERT_TRUE(s.ok) << s.why;
  EXPECT_EQ(s.transaction, 9u);
  EXPECT_EQ(s.items[0].byte_count, 0u);
  EXPECT_EQ(s.items[0].value_size, 22u);
  EXPECT_TRUE(s.items[0].terminated);
  double d;
  std::memcpy(&d, &s.items[1].payload, 8);
  EXPECT_EQ(d, 2.5);
  EXPECT_EQ(s.items[2].quality, 0u);
  EXPECT_EQ(s.items[2].payload, 0u);

  const HRESULT errors[] = {S_OK, OPC_E_BADRIGHTS};
  block = BuildWriteCompleteStream(5, 11, 2, handles, errors);
  ASSERT_NE(block, nullptr);
  p = static_cast<const uint8_t*>(GlobalLock(block));
  bytes.assign(p, p + GlobalSize(block));
  GlobalUnlock(block);
  GlobalFree(block);
  ASSERT_EQ(bytes.size(), 36u);
  EXPECT_EQ(testing::Get32(bytes, 0), 36u);
  EXPECT_EQ(testing::Get32(bytes, 4), 2u);
  EXPECT_EQ(testing::Get32(bytes, 8), 5u);
  EXPECT_EQ(testing::Get32(bytes, 12), 11u);
  EXPECT_EQ(testing::Get32(bytes, 16), static_cast<uint32_t>(S_FALSE));
  EXPECT_EQ(testing::Get32(bytes, 28), 2u);
  EXPECT_EQ(testing::Get32(bytes, 32), static_cast<uint32_t>(OPC_E_BADRIGHTS));
}

// Subscribers that call back into the server from their callbacks find
// its locks free: nothing deadlocks, nothing is used after it is freed,
// and the tick goes on with the next group.
TEST_F(DataChangeTest, SinkThatRemovesItsGroupOrReleasesItsConnection) {
  AddItem(group_.Get(), u"A.B.C");
  OPCHANDLE second_handle = 0;
  com::ComPtr<IOPCItemMgt> second =
      NewGroup(server_.Get(), u"h", TRUE, &second_handle);
  AddItem(second.Get(), u"A.B.C");

  DWORD cookie = 0;
  com::ComPtr<DataCallbackSink> remover = Advise(group_.Get(), &cookie);
  com::ComPtr<DataCallbackSink> other = Advise(second.Get());
  com::ComPtr<IConnectionPointContainer> container;
  ASSERT_EQ(group_.As(&container), S_OK);
  com::ComPtr<IConnectionPoint> point;
  ASSERT_EQ(container->FindConnectionPoint(IID_IOPCDataCallback,
                                           point.GetAddressOf()),
            S_OK);
  std::vector<HRESULT> seen;
  remover->SetOnCall([&] {
    seen.push_back(server_->RemoveGroup(group_handle_, FALSE));
    seen.push_back(point->Unadvise(cookie));
    std::vector<testing::ReadEntry> entries;
    seen.push_back(
        testing::SyncRead(group_.Get(), OPC_DS_CACHE, {0}, &entries));
    group_.Reset();  // the client's last reference to the group
    point.Reset();
    container.Reset();
  });
  remover->Clear();
  other->Clear();
  Ticks(1);
  EXPECT_EQ(seen, (std::vector<HRESULT>{OPC_S_INUSE, S_OK, E_FAIL}));
  EXPECT_EQ(remover->count(), 1u);
  EXPECT_EQ(other->count(), 1u);
  EXPECT_EQ(CGroup::InstanceCount(), 1);  // the removed group is gone
  Ticks(10);
  EXPECT_EQ(remover->count(), 1u);
  EXPECT_EQ(other->count(), 1u);  // unchanged
}

// A sink that takes a while holds up only its own delivery: the server's
// group management stays open to the client meanwhile.
TEST_F(DataChangeTest, SlowSinkDoesNotHoldTheServer) {
  AddItem(group_.Get(), u"A.B.C");
  com::ComPtr<DataCallbackSink> sink = Advise(group_.Get());
  sink->Clear();
  std::mutex mu;
  std::condition_variable cv;
  bool entered = false, release = false;
  sink->SetOnCall([&] {
    std::unique_lock<std::mutex> lock(mu);
    entered = true;
    cv.notify_all();
    cv.wait_for(lock, std::chrono::seconds(10), [&] { return release; });
  });
  std::thread ticker([&] { server_->Tick(); });
  {
    std::unique_lock<std::mutex> lock(mu);
    ASSERT_TRUE(
        cv.wait_for(lock, std::chrono::seconds(10), [&] { return entered; }));
  }
  OPCHANDLE handle = 0;
  com::ComPtr<IOPCItemMgt> other = NewGroup(server_.Get(), u"x", TRUE, &handle);
  EXPECT_TRUE(other);
  other.Reset();
  EXPECT_EQ(server_->RemoveGroup(handle, FALSE), S_OK);
  std::vector<testing::ReadEntry> entries;
  EXPECT_EQ(testing::SyncRead(group_.Get(), OPC_DS_CACHE, {0}, &entries), S_OK);
  {
    std::lock_guard<std::mutex> lock(mu);
    release = true;
    cv.notify_all();
  }
  ticker.join();
  EXPECT_EQ(sink->count(), 1u);
}

// Ticks, client calls on the items and asynchronous requests on real
// threads at once (run under ThreadSanitizer too).
TEST_F(DataChangeTest, TicksRaceClientCalls) {
  std::vector<OPCHANDLE> handles;
  for (int i = 0; i < 20; ++i)
    handles.push_back(AddItem(group_.Get(), u"A.B.C"));
  com::ComPtr<DataCallbackSink> sink = Advise(group_.Get());
  com::ComPtr<IOPCAsyncIO2> io;
  ASSERT_EQ(group_.As(&io), S_OK);
  std::atomic<bool> done{false};
  std::thread ticker([&] {
    for (int i = 0; i < 2000; ++i) server_->Tick();
    done = true;
  });
  std::thread client([&] {
    LONG value = 0;
    while (!done) {
      device_->SetValue(u"A.B.C", com::Variant(++value));
      HRESULT* errors = nullptr;
      OPCHANDLE one[] = {handles[value % handles.size()]};
      group_->SetActiveState(1, one, value % 2 == 0, &errors);
      CoTaskMemFree(errors);
      DWORD cancel = 0;
      io->Read(1, one, value, &cancel, &errors);
      CoTaskMemFree(errors);
      const OPCHANDLE added = AddItem(group_.Get(), u"A.D");
      group_->RemoveItems(1, const_cast<OPCHANDLE*>(&added), &errors);
      CoTaskMemFree(errors);
    }
  });
  ticker.join();
  client.join();
  EXPECT_GT(sink->count(), 1u);
}

TEST_F(DataChangeTest, UpdateThreadTicksOnTheInjectedClock) {
  com::ComPtr<CServer> server = NewServer(true);
  ASSERT_TRUE(WaitFor([&] { return server->UpdateCountForTesting() >= 1; }));
  com::ComPtr<IOPCItemMgt> group = NewGroup(server.Get(), u"t");
  AddItem(group.Get(), u"A.B.C");
  com::ComPtr<DataCallbackSink> sink = Advise(group.Get());
  const int reads_before = device_->reads();
  for (int i = 0; i < 25; ++i) {
    const uint64_t ticks = server->UpdateCountForTesting();
    // Both servers' two threads asleep, so the period runs from now.
    ASSERT_TRUE(
        WaitFor([] { return sync::WaitingThreadCountForTesting() >= 4; }));
    clock_.Advance(100);
    ASSERT_TRUE(WaitFor([&] {
      return server->UpdateCountForTesting() > ticks;
    })) << "tick "
        << i;
  }
  // Ticks 1, 11 and 21 of the new group poll the device.
  EXPECT_EQ(device_->reads() - reads_before, 3);
  EXPECT_EQ(sink->count(), 2u);  // the advise's update and the first read
}

TEST_F(DataChangeTest, SinkReleasingTheServerFromTheUpdateThread) {
  com::ComPtr<CServer> server = NewServer(true);
  ASSERT_TRUE(WaitFor([&] { return server->UpdateCountForTesting() >= 1; }));
  com::ComPtr<IOPCItemMgt> group = NewGroup(server.Get(), u"t");
  AddItem(group.Get(), u"A.B.C");
  com::ComPtr<DataCallbackSink> sink = Advise(group.Get());
  // The sink holds the client's last references and drops them while
  // the update thread delivers to it.
  std::mutex mu;
  com::ComPtr<CServer> held = std::move(server);
  com::ComPtr<IOPCItemMgt> held_group = std::move(group);
  sink->SetOnCall([&] {
    std::lock_guard<std::mutex> lock(mu);
    held_group.Reset();
    held.Reset();
  });
  const int servers = CServer::InstanceCount();
  ASSERT_EQ(servers, 2);
  for (int i = 0; i < 1000 && CServer::InstanceCount() == servers; ++i) {
    clock_.Advance(100);
    WaitFor([&] { return CServer::InstanceCount() != servers; });
  }
  EXPECT_EQ(CServer::InstanceCount(), 1);
  ASSERT_TRUE(WaitFor([] { return CServerCallback::InstanceCount() == 1; }));
}

}  // namespace
}  // namespace kavex::server
