// IOPCAsyncIO2 and IOPCAsyncIO: the calls' checks and results, and what
// the async thread sends back.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <thread>

#include "server/objects/stream_writer.h"
#include "server/objects/testing/server_fixture.h"
#include "server/objects/testing/subscribers.h"
#include "server/objects/trace_capture_for_test.h"

namespace kavex::server {
namespace {

using testing::Callback;
using testing::DataCallbackSink;
using testing::ParseDataStream;
using testing::ServerFixture;
using testing::StreamSink;

// Holds the async thread at the start of its drains until opened.
class Gate {
 public:
  void Wait() {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, std::chrono::seconds(10), [&] { return open_; });
  }
  void Open() {
    std::lock_guard<std::mutex> lock(mu_);
    open_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool open_ = false;
};

class AsyncIoTest : public ServerFixture {
 protected:
  void SetUp() override {
    ServerFixture::SetUp();
    server_ = NewServer();
    group_ = NewGroup(server_.Get(), u"g", TRUE, &group_handle_);
    ASSERT_TRUE(group_);
    ASSERT_EQ(group_.As(&io2_), S_OK);
    ASSERT_EQ(group_.As(&io1_), S_OK);
    const std::vector<testing::Added> added =
        AddItems(group_.Get(), {u"A.B.C", u"W.I4"});  // clients 100, 101
    ASSERT_EQ(added.size(), 2u);
    number_ = added[0].result.hServer;
    writable_ = added[1].result.hServer;
  }
  void TearDown() override {
    gate_.Open();
    io1_.Reset();
    io2_.Reset();
    group_.Reset();
    server_.Reset();
    ServerFixture::TearDown();
    EXPECT_EQ(DataCallbackSink::InstanceCount(), 0);
    EXPECT_EQ(StreamSink::InstanceCount(), 0);
  }

  com::ComPtr<DataCallbackSink> Advise(IUnknown* group) {
    com::ComPtr<DataCallbackSink> sink;
    EXPECT_EQ(DataCallbackSink::CreateInstance(&sink), S_OK);
    com::ComPtr<IConnectionPointContainer> container;
    EXPECT_EQ(group->QueryInterface(container.GetAddressOf()), S_OK);
    com::ComPtr<IConnectionPoint> point;
    EXPECT_EQ(container->FindConnectionPoint(IID_IOPCDataCallback,
                                             point.GetAddressOf()),
              S_OK);
    DWORD cookie = 0;
    EXPECT_EQ(point->Advise(sink->GetUnknown(), &cookie), S_OK);
    sink->Clear();  // the advise's own update
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

  void HoldAsyncThread() {
    server_->SetProcessHookForTesting([this] { gate_.Wait(); });
  }

  // Queues a 2.0 read; the errors copied out.
  HRESULT Read2(const std::vector<OPCHANDLE>& handles, DWORD transaction,
                DWORD* cancel, std::vector<HRESULT>* errors_out) {
    HRESULT* errors = nullptr;
    const HRESULT hr = io2_->Read(static_cast<DWORD>(handles.size()),
                                  const_cast<OPCHANDLE*>(handles.data()),
                                  transaction, cancel, &errors);
    if (errors_out != nullptr) errors_out->clear();
    if (errors != nullptr && errors_out != nullptr)
      errors_out->assign(errors, errors + handles.size());
    CoTaskMemFree(errors);
    return hr;
  }

  Gate gate_;
  com::ComPtr<CServer> server_;
  com::ComPtr<IOPCItemMgt> group_;
  com::ComPtr<IOPCAsyncIO2> io2_;
  com::ComPtr<IOPCAsyncIO> io1_;
  OPCHANDLE group_handle_ = 0;
  OPCHANDLE number_ = 0;
  OPCHANDLE writable_ = 0;
};

TEST_F(AsyncIoTest, EveryCallNeedsASubscriberOfItsGeneration) {
  DWORD id = 0;
  HRESULT* errors = nullptr;
  OPCHANDLE handles[] = {number_};
  com::Variant value(LONG{1});
  EXPECT_EQ(io2_->Read(1, handles, 5, &id, &errors), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(errors, nullptr);
  EXPECT_EQ(io2_->Write(1, handles, &value, 5, &id, &errors),
            CONNECT_E_NOCONNECTION);
  EXPECT_EQ(io2_->Refresh2(OPC_DS_CACHE, 5, &id), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(io2_->SetEnable(TRUE), CONNECT_E_NOCONNECTION);
  BOOL enabled = TRUE;
  EXPECT_EQ(io2_->GetEnable(&enabled), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(io1_->Read(0, OPC_DS_CACHE, 1, handles, &id, &errors),
            CONNECT_E_NOCONNECTION);
  EXPECT_EQ(io1_->Refresh(0, OPC_DS_CACHE, &id), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(server_->QueuedRequestCountForTesting(), 0u);

  // A DA 1.0 connection does not serve DA 2.0 calls, nor the other way.
  DWORD connection = 0;
  com::ComPtr<StreamSink> streams =
      DAdvise(group_.Get(), RegisteredStreamFormats().data, &connection);
  EXPECT_EQ(io2_->Read(1, handles, 5, &id, &errors), CONNECT_E_NOCONNECTION);
  com::ComPtr<DataCallbackSink> sink = Advise(group_.Get());
  EXPECT_EQ(io2_->GetEnable(&enabled), S_OK);
  EXPECT_EQ(enabled, FALSE);  // a fresh group
  EXPECT_EQ(io2_->SetEnable(TRUE), S_OK);
  EXPECT_EQ(io2_->GetEnable(&enabled), S_OK);
  EXPECT_EQ(enabled, TRUE);
  EXPECT_EQ(io2_->GetEnable(nullptr), E_INVALIDARG);
}

TEST_F(AsyncIoTest, ArgumentChecks) {
  com::ComPtr<DataCallbackSink> sink = Advise(group_.Get());
  DWORD connection = 0;
  com::ComPtr<StreamSink> streams =
      DAdvise(group_.Get(), RegisteredStreamFormats().data, &connection);
  HoldAsyncThread();
  DWORD id = 0;
  HRESULT* errors = nullptr;
  OPCHANDLE handles[] = {number_};
  EXPECT_EQ(io2_->Read(0, handles, 5, &id, &errors), E_INVALIDARG);
  EXPECT_EQ(io2_->Read(1, nullptr, 5, &id, &errors), E_INVALIDARG);
  EXPECT_EQ(io2_->Read(1, handles, 5, nullptr, &errors), E_INVALIDARG);
  EXPECT_EQ(io2_->Read(1, handles, 5, &id, nullptr), E_INVALIDARG);
  EXPECT_EQ(io2_->Write(1, handles, nullptr, 5, &id, &errors), E_INVALIDARG);
  EXPECT_EQ(io2_->Refresh2(static_cast<OPCDATASOURCE>(3), 5, &id),
            E_INVALIDARG);
  EXPECT_EQ(io2_->Refresh2(OPC_DS_CACHE, 5, nullptr), E_INVALIDARG);
  EXPECT_EQ(
      io1_->Read(0, static_cast<OPCDATASOURCE>(0), 1, handles, &id, &errors),
      E_INVALIDARG);
  EXPECT_EQ(io1_->Write(0, 1, handles, nullptr, &id, &errors), E_INVALIDARG);
  EXPECT_EQ(errors, nullptr);
  EXPECT_EQ(server_->QueuedRequestCountForTesting(), 0u);

  // An inactive group refuses refreshes.
  com::ComPtr<IOPCGroupStateMgt> state;
  ASSERT_EQ(group_.As(&state), S_OK);
  BOOL off = FALSE;
  ASSERT_EQ(state->SetState(nullptr, nullptr, &off, nullptr, nullptr, nullptr,
                            nullptr),
            S_OK);
  EXPECT_EQ(io2_->Refresh2(OPC_DS_CACHE, 5, &id), E_FAIL);
  EXPECT_EQ(io1_->Refresh(connection, OPC_DS_CACHE, &id), E_FAIL);

  // A removed group refuses everything.
  ASSERT_EQ(server_->RemoveGroup(group_handle_, FALSE), OPC_S_INUSE);
  EXPECT_EQ(io2_->Read(1, handles, 5, &id, &errors), E_FAIL);
  EXPECT_EQ(io2_->Cancel2(5), E_FAIL);
  EXPECT_EQ(io1_->Cancel(5), E_FAIL);
  EXPECT_EQ(server_->QueuedRequestCountForTesting(), 0u);
}

TEST_F(AsyncIoTest, ReadOfValidAndUnknownHandles) {
  TraceCapture trace(5);
  com::ComPtr<DataCallbackSink> sink = Advise(group_.Get());
  DWORD cancel = 0;
  std::vector<HRESULT> errors;
  ASSERT_EQ(Read2({number_, 99}, 41, &cancel, &errors), S_FALSE);
  EXPECT_EQ(cancel, 41u);
  EXPECT_EQ(errors, (std::vector<HRESULT>{S_OK, OPC_E_INVALIDHANDLE}));
  ASSERT_TRUE(sink->WaitForCount(1));
  const std::vector<Callback> calls = sink->calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].kind, Callback::kReadComplete);
  EXPECT_EQ(calls[0].transaction, 41u);
  EXPECT_EQ(calls[0].group, 77u);
  ASSERT_EQ(calls[0].items.size(), 2u);
  EXPECT_EQ(calls[0].items[0].client, 100u);
  EXPECT_EQ(calls[0].items[0].value.lVal, 7);
  EXPECT_EQ(calls[0].items[0].quality, OPC_QUALITY_GOOD);
  EXPECT_EQ(calls[0].items[0].error, S_OK);
  EXPECT_EQ(calls[0].items[1].error, OPC_E_INVALIDHANDLE);
  EXPECT_EQ(calls[0].items[1].client, 0u);
  EXPECT_EQ(calls[0].master_error, S_FALSE);
  EXPECT_EQ(calls[0].master_quality, S_FALSE);
  EXPECT_EQ(device_->reads(), 1);  // always from the device
  bool created = false, pushed = false, processed = false;
  for (const std::string& line : trace.Lines()) {
    created |=
        line.find("CGroup::Read (Async): Create Request") != std::string::npos;
    pushed |=
        line.find("CGroup::Read (Async): Push Request") != std::string::npos;
    processed |=
        line.find("CGroup::ProcessAsyncRead: Done") != std::string::npos;
  }
  EXPECT_TRUE(created && pushed && processed);
}

TEST_F(AsyncIoTest, TraceTextsOfEveryCall) {
  com::ComPtr<DataCallbackSink> sink = Advise(group_.Get());
  DWORD connection = 0;
  com::ComPtr<StreamSink> streams =
      DAdvise(group_.Get(), RegisteredStreamFormats().data, &connection);
  HoldAsyncThread();
  TraceCapture trace(5);
  OPCHANDLE handles[] = {number_};
  com::Variant value(LONG{1});
  DWORD id = 0;
  HRESULT* errors = nullptr;
  ASSERT_EQ(io2_->Read(1, handles, 1, &id, &errors), S_OK);
  CoTaskMemFree(errors);
  ASSERT_EQ(io2_->Write(1, handles, &value, 2, &id, &errors), S_OK);
  CoTaskMemFree(errors);
  ASSERT_EQ(io1_->Read(connection, OPC_DS_DEVICE, 1, handles, &id, &errors),
            S_OK);
  CoTaskMemFree(errors);
  ASSERT_EQ(io1_->Write(connection, 1, handles, &value, &id, &errors), S_OK);
  CoTaskMemFree(errors);
  ASSERT_EQ(io2_->Refresh2(OPC_DS_CACHE, 3, &id), S_OK);
  ASSERT_EQ(io1_->Refresh(connection, OPC_DS_CACHE, &id), S_OK);
  EXPECT_EQ(io2_->Cancel2(3), S_OK);
  EXPECT_EQ(io1_->Cancel(id), S_OK);
  EXPECT_EQ(io2_->Read(0, handles, 1, &id, &errors), E_INVALIDARG);
  const void* g = static_cast<CGroup*>(io2_.Get());
  std::vector<std::string> expected;
  auto steps = [&](const std::string& prefix, bool copies) {
    expected.push_back(
        TraceCapture::Line(g, S_OK, (prefix + ": Create Request").c_str()));
    if (copies)
      expected.push_back(TraceCapture::Line(
          g, S_OK, (prefix + ": Copy Server Handles").c_str()));
    expected.push_back(
        TraceCapture::Line(g, S_OK, (prefix + ": Push Request").c_str()));
    expected.push_back(
        TraceCapture::Line(g, S_OK, (prefix + ": Done").c_str()));
  };
  steps("CGroup::Read (Async)", true);
  steps("CGroup::Write (Async)", true);
  steps("CGroup::Read (Async v1)", true);
  steps("CGroup::Write (Async v1)", true);
  steps("CGroup::Refresh2 (Async)", false);
  steps("CGroup::Refresh (Async v1)", false);
  expected.push_back(TraceCapture::Line(g, S_OK, "CGroup::Cancel2 (Async)"));
  expected.push_back(TraceCapture::Line(g, S_OK, "CGroup::Cancel (Async v1)"));
  expected.push_back(
      TraceCapture::Line(g, E_INVALIDARG, "CGroup::Read (Async): Error"));
  EXPECT_EQ(trace.LinesOf(g), expected);
}

TEST_F(AsyncIoTest, CancelBeforeProcessing) {
  com::ComPtr<DataCallbackSink> sink = Advise(group_.Get());
  HoldAsyncThread();
  DWORD cancel = 0;
  ASSERT_EQ(Read2({number_}, 12, &cancel, nullptr), S_OK);
  EXPECT_EQ(cancel, 12u);
  EXPECT_EQ(io2_->Cancel2(12), S_OK);
  EXPECT_EQ(io2_->Cancel2(12), E_FAIL);
  EXPECT_EQ(io2_->Cancel2(777), E_FAIL);
  ASSERT_EQ(Read2({number_}, 13, &cancel, nullptr), S_OK);
  gate_.Open();
  ASSERT_TRUE(sink->WaitForCount(1));
  const std::vector<Callback> calls = sink->calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].transaction, 13u);
}

TEST_F(AsyncIoTest, WriteCompletes) {
  com::ComPtr<DataCallbackSink> sink = Advise(group_.Get());
  std::vector<com::Variant> values{com::Variant(u"12"), com::Variant(LONG{3}),
                                   com::Variant(LONG{4})};
  OPCHANDLE handles[] = {writable_, number_, 55};
  DWORD cancel = 0;
  HRESULT* errors = nullptr;
  ASSERT_EQ(io2_->Write(3, handles, values.data(), 8, &cancel, &errors),
            S_FALSE);
  EXPECT_EQ(errors[2], OPC_E_INVALIDHANDLE);
  CoTaskMemFree(errors);
  ASSERT_TRUE(sink->WaitForCount(1));
  const Callback call = sink->calls()[0];
  EXPECT_EQ(call.kind, Callback::kWriteComplete);
  EXPECT_EQ(call.transaction, 8u);
  ASSERT_EQ(call.items.size(), 3u);
  EXPECT_EQ(call.items[0].error, S_OK);
  EXPECT_EQ(call.items[0].client, 101u);
  EXPECT_EQ(call.items[1].error, OPC_E_BADRIGHTS);
  EXPECT_EQ(call.items[1].client, 100u);
  EXPECT_EQ(call.items[2].error, OPC_E_INVALIDHANDLE);
  EXPECT_EQ(call.items[2].client, 0u);
  EXPECT_EQ(call.master_error, S_FALSE);
  EXPECT_EQ(device_->Written(u"W.I4").lVal, 12);
}

TEST_F(AsyncIoTest, Refresh2GoesToTheSinksOnly) {
  com::ComPtr<DataCallbackSink> sink = Advise(group_.Get());
  DWORD connection = 0;
  com::ComPtr<StreamSink> streams =
      DAdvise(group_.Get(), RegisteredStreamFormats().data, &connection);
  server_->Tick();  // everything sent once
  sink->Clear();
  const size_t streams_before = streams->count();
  DWORD cancel = 0;
  ASSERT_EQ(io2_->Refresh2(OPC_DS_DEVICE, 0, &cancel), S_OK);
  ASSERT_TRUE(sink->WaitForCount(1));
  const Callback call = sink->calls()[0];
  EXPECT_EQ(call.kind, Callback::kDataChange);
  EXPECT_EQ(call.items.size(), 2u);  // unchanged, all sent
  EXPECT_EQ(streams->count(), streams_before);
}

TEST_F(AsyncIoTest, OldGenerationTransactionsAndStreams) {
  // Advised first: its forced update reaches no stream connection.
  com::ComPtr<DataCallbackSink> sink = Advise(group_.Get());
  const StreamFormats& formats = RegisteredStreamFormats();
  DWORD mine = 0, other = 0, writes = 0;
  com::ComPtr<StreamSink> own = DAdvise(group_.Get(), formats.data_time, &mine);
  com::ComPtr<StreamSink> stranger =
      DAdvise(group_.Get(), formats.data, &other);
  com::ComPtr<StreamSink> write_sink =
      DAdvise(group_.Get(), formats.write_complete, &writes);
  OPCHANDLE handles[] = {number_, 99};
  DWORD transaction = 0;
  HRESULT* errors = nullptr;
  ASSERT_EQ(io1_->Read(mine, OPC_DS_CACHE, 2, handles, &transaction, &errors),
            S_FALSE);
  CoTaskMemFree(errors);
  EXPECT_EQ(transaction, 1u);
  ASSERT_TRUE(ServerFixture::WaitFor([&] { return own->count() == 1; }));
  testing::ParsedStream s = ParseDataStream(own->streams()[0].bytes, true);
  ASSERT_TRUE(s.ok) << s.why;
  EXPECT_EQ(s.transaction, 1u);
  ASSERT_EQ(s.count, 1u);  // the items still in the group
  EXPECT_EQ(s.items[0].int_value, 7);
  EXPECT_EQ(device_->reads(), 1);  // from the device despite the source

  ASSERT_EQ(io1_->Refresh(mine, OPC_DS_CACHE, &transaction), S_OK);
  EXPECT_EQ(transaction, 2u);
  ASSERT_TRUE(ServerFixture::WaitFor([&] { return own->count() == 2; }));
  s = ParseDataStream(own->streams()[1].bytes, true);
  ASSERT_TRUE(s.ok) << s.why;
  EXPECT_EQ(s.transaction, 2u);
  EXPECT_EQ(s.count, 2u);

  com::Variant value(LONG{21});
  OPCHANDLE write_handles[] = {writable_};
  ASSERT_EQ(
      io1_->Write(writes, 1, write_handles, &value, &transaction, &errors),
      S_OK);
  CoTaskMemFree(errors);
  EXPECT_EQ(transaction, 3u);
  ASSERT_TRUE(ServerFixture::WaitFor([&] { return write_sink->count() == 1; }));
  const std::vector<uint8_t> bytes = write_sink->streams()[0].bytes;
  ASSERT_EQ(bytes.size(), 28u);
  EXPECT_EQ(testing::Get32(bytes, 0), 28u);
  EXPECT_EQ(testing::Get32(bytes, 4), 1u);
  EXPECT_EQ(testing::Get32(bytes, 12), 3u);
  EXPECT_EQ(testing::Get32(bytes, 20), 101u);
  EXPECT_EQ(testing::Get32(bytes, 24), 0u);
  EXPECT_EQ(device_->Written(u"W.I4").lVal, 21);

  // Only the request's own connection heard of any of it.
  EXPECT_EQ(stranger->count(), 0u);
  EXPECT_EQ(sink->count(), 0u);
  EXPECT_EQ(own->count(), 2u);
  EXPECT_EQ(io1_->Cancel(3), E_FAIL);
}

TEST_F(AsyncIoTest, RemovedGroupsRequestIsDropped) {
  com::ComPtr<DataCallbackSink> sink = Advise(group_.Get());
  com::ComPtr<IOPCItemMgt> second = NewGroup(server_.Get(), u"h");
  const OPCHANDLE item = AddItem(second.Get(), u"A.B.C");
  com::ComPtr<DataCallbackSink> second_sink = Advise(second.Get());
  com::ComPtr<IOPCAsyncIO2> second_io;
  ASSERT_EQ(second.As(&second_io), S_OK);
  HoldAsyncThread();
  DWORD cancel = 0;
  ASSERT_EQ(Read2({number_}, 1, &cancel, nullptr), S_OK);
  ASSERT_EQ(server_->RemoveGroup(group_handle_, FALSE), OPC_S_INUSE);
  HRESULT* errors = nullptr;
  OPCHANDLE handles[] = {item};
  ASSERT_EQ(second_io->Read(1, handles, 2, &cancel, &errors), S_OK);
  CoTaskMemFree(errors);
  gate_.Open();
  ASSERT_TRUE(second_sink->WaitForCount(1));  // queued after the dropped one
  EXPECT_EQ(sink->count(), 0u);
}

TEST_F(AsyncIoTest, TenThousandRequestsFromTwoThreads) {
  com::ComPtr<DataCallbackSink> sink = Advise(group_.Get());
  constexpr int kPerThread = 5000;
  std::atomic<int> cancelled{0};
  auto client = [&](DWORD base) {
    for (int i = 0; i < kPerThread; ++i) {
      DWORD cancel = 0;
      HRESULT* errors = nullptr;
      OPCHANDLE handles[] = {number_};
      EXPECT_EQ(io2_->Read(1, handles, base + i, &cancel, &errors), S_OK);
      CoTaskMemFree(errors);
      if (i % 7 == 0 && io2_->Cancel2(base + i) == S_OK) ++cancelled;
    }
  };
  std::thread a(client, 1), b(client, 100000);
  a.join();
  b.join();
  // The last request queued completes last.
  DWORD cancel = 0;
  ASSERT_EQ(Read2({number_}, 999999, &cancel, nullptr), S_OK);
  const size_t expected = 2 * kPerThread - cancelled.load() + 1;
  ASSERT_TRUE(sink->WaitForCount(expected));
  const std::vector<Callback> calls = sink->calls();
  EXPECT_EQ(calls.size(), expected);
  EXPECT_EQ(calls.back().transaction, 999999u);
  // Each client's requests complete in the order it queued them.
  DWORD last_a = 0, last_b = 0;
  bool ordered = true;
  for (size_t i = 0; i + 1 < calls.size(); ++i) {
    const DWORD t = calls[i].transaction;
    DWORD& last = t >= 100000 ? last_b : last_a;
    ordered &= t > last;
    last = t;
  }
  EXPECT_TRUE(ordered);
}

TEST_F(AsyncIoTest, ServerReleasedWithRequestsQueued) {
  com::ComPtr<DataCallbackSink> sink = Advise(group_.Get());
  HoldAsyncThread();
  for (DWORD i = 0; i < 100; ++i) {
    DWORD cancel = 0;
    ASSERT_EQ(Read2({number_}, i, &cancel, nullptr), S_OK);
  }
  std::thread releaser([&] {
    io1_.Reset();
    io2_.Reset();
    group_.Reset();
    server_.Reset();
  });
  gate_.Open();
  releaser.join();
  EXPECT_EQ(CServer::InstanceCount(), 0);
}

}  // namespace
}  // namespace kavex::server
