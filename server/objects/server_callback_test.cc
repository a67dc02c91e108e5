#include "server/objects/server_callback.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <thread>

#include "platform/com/activation.h"
#include "server/objects/testing/scripted_device.h"

namespace kavex::server {
namespace {

using testing::ScriptedDevice;

// Stands in for a server object: counts what the callback forwards.
class FakeServer : public com::ComObject<FakeServer, _IKavexOPCServer,
                                         _IKavexOPCDeviceEvents> {
 public:
  HRESULT Update() override {
    ++updates;
    if (on_update) on_update();
    return S_OK;
  }
  HRESULT ProcessAsyncRequest() override {
    ++drains;
    return S_FALSE;  // the callback passes results on
  }
  HRESULT get_Device(IUnknown**) override { return S_OK; }
  HRESULT Change(BSTR id, VARIANT value) override {
    last_change = std::u16string(com::BstrView(id));
    last_value = value.lVal;
    ++changes;
    return S_OK;
  }
  HRESULT AddItemIDs(VARIANT) override {
    ++item_list_events;
    return S_OK;
  }
  HRESULT RemoveItemIDs(VARIANT) override {
    ++item_list_events;
    return S_OK;
  }
  HRESULT RefreshItemIDs(VARIANT) override {
    ++item_list_events;
    return S_OK;
  }

  ULONG References() {
    const ULONG n = AddRef();
    Release();
    return n - 1;
  }

  std::atomic<int> updates{0}, drains{0}, changes{0}, item_list_events{0};
  std::u16string last_change;
  LONG last_value = 0;
  std::function<void()> on_update;
};

// Only the worker entry points: no device events.
class HalfServer : public com::ComObject<HalfServer, _IKavexOPCServer> {
 public:
  HRESULT Update() override { return S_OK; }
  HRESULT ProcessAsyncRequest() override { return S_OK; }
  HRESULT get_Device(IUnknown**) override { return S_OK; }
};

// A device without connection points.
class MuteDevice : public com::ComObject<MuteDevice, IKavexOPCDevice> {
 public:
  HRESULT get_ItemIDs(VARIANT*) override { return E_NOTIMPL; }
  HRESULT get_PathDelimiter(BSTR*) override { return E_NOTIMPL; }
  HRESULT GetItemProperties(BSTR, USHORT*, ULONG*) override {
    return E_NOTIMPL;
  }
  HRESULT Read(BSTR, VARIANT*) override { return E_NOTIMPL; }
  HRESULT Write(BSTR, VARIANT) override { return E_NOTIMPL; }
};

class ServerCallbackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(FakeServer::CreateInstance(&server_), S_OK);
    ASSERT_EQ(ScriptedDevice::CreateInstance(&device_), S_OK);
    ASSERT_EQ(CServerCallback::CreateInstance(&callback_), S_OK);
  }
  void TearDown() override {
    callback_.Reset();
    server_.Reset();
    device_.Reset();
    EXPECT_EQ(CServerCallback::InstanceCount(), 0);
    EXPECT_EQ(FakeServer::InstanceCount(), 0);
    EXPECT_EQ(ScriptedDevice::InstanceCount(), 0);
  }

  com::ComPtr<FakeServer> server_;
  com::ComPtr<ScriptedDevice> device_;
  com::ComPtr<CServerCallback> callback_;
};

TEST_F(ServerCallbackTest, AdviseHoldsTheServerWithoutAReference) {
  const ULONG before = server_->References();
  ASSERT_EQ(callback_->Advise(server_->GetUnknown(), device_.Get()), S_OK);
  EXPECT_EQ(server_->References(), before);
  EXPECT_EQ(device_->SubscriberCount(), 1u);
  // Releasing the server does not wait for the callback.
  EXPECT_EQ(callback_->Unadvise(), S_OK);
  EXPECT_EQ(device_->SubscriberCount(), 0u);
}

TEST_F(ServerCallbackTest, ForwardsTheWorkerCallsAndChanges) {
  ASSERT_EQ(callback_->Advise(server_->GetUnknown(), device_.Get()), S_OK);
  EXPECT_EQ(callback_->Update(), S_OK);
  EXPECT_EQ(callback_->ProcessAsyncRequest(), S_FALSE);
  device_->FireChange(u"A.B", com::Variant(LONG{5}));
  EXPECT_EQ(server_->updates, 1);
  EXPECT_EQ(server_->drains, 1);
  EXPECT_EQ(server_->changes, 1);
  EXPECT_EQ(server_->last_change, u"A.B");
  EXPECT_EQ(server_->last_value, 5);
  // Item-list events are not passed on; the device is not its to give.
  com::Variant list;
  EXPECT_EQ(callback_->AddItemIDs(list), S_OK);
  EXPECT_EQ(callback_->RemoveItemIDs(list), S_OK);
  EXPECT_EQ(callback_->RefreshItemIDs(list), S_OK);
  EXPECT_EQ(server_->item_list_events, 0);
  IUnknown* device = reinterpret_cast<IUnknown*>(1);
  EXPECT_EQ(callback_->get_Device(&device), E_FAIL);
  EXPECT_EQ(device, nullptr);
  callback_->Unadvise();
}

TEST_F(ServerCallbackTest, AfterUnadviseLateCallsAreDropped) {
  ASSERT_EQ(callback_->Advise(server_->GetUnknown(), device_.Get()), S_OK);
  // A device that still holds the sink fires after Unadvise.
  com::ComPtr<_IKavexOPCDeviceEvents> sink;
  ASSERT_EQ(callback_->GetUnknown()->QueryInterface(sink.GetAddressOf()), S_OK);
  EXPECT_EQ(callback_->Unadvise(), S_OK);
  com::Bstr id(u"A.B");
  EXPECT_EQ(sink->Change(id.Get(), com::Variant(LONG{1})), S_OK);
  EXPECT_EQ(callback_->Update(), S_OK);
  EXPECT_EQ(callback_->ProcessAsyncRequest(), S_OK);
  EXPECT_EQ(server_->changes, 0);
  EXPECT_EQ(server_->updates, 0);
  EXPECT_EQ(server_->drains, 0);
  EXPECT_EQ(callback_->Unadvise(), S_OK);  // again: harmless
}

TEST_F(ServerCallbackTest, FailedAdviseKeepsNothing) {
  EXPECT_EQ(callback_->Advise(nullptr, device_.Get()), E_POINTER);
  EXPECT_EQ(callback_->Advise(server_->GetUnknown(), nullptr), E_POINTER);
  com::ComPtr<HalfServer> half;
  ASSERT_EQ(HalfServer::CreateInstance(&half), S_OK);
  EXPECT_EQ(callback_->Advise(half->GetUnknown(), device_.Get()),
            E_NOINTERFACE);
  com::ComPtr<MuteDevice> mute;
  ASSERT_EQ(MuteDevice::CreateInstance(&mute), S_OK);
  EXPECT_EQ(callback_->Advise(server_->GetUnknown(), mute.Get()),
            E_NOINTERFACE);
  EXPECT_EQ(device_->SubscriberCount(), 0u);
  EXPECT_EQ(callback_->Update(), S_OK);
  EXPECT_EQ(server_->updates, 0);
  // Still free for a proper Advise; a second one is refused.
  ASSERT_EQ(callback_->Advise(server_->GetUnknown(), device_.Get()), S_OK);
  EXPECT_EQ(callback_->Advise(server_->GetUnknown(), device_.Get()),
            E_UNEXPECTED);
  EXPECT_EQ(device_->SubscriberCount(), 1u);
  callback_->Unadvise();
  half.Reset();
  mute.Reset();
  EXPECT_EQ(HalfServer::InstanceCount(), 0);
  EXPECT_EQ(MuteDevice::InstanceCount(), 0);
}

TEST_F(ServerCallbackTest, WaitUntilIdleWaitsForTheCallInFlight) {
  ASSERT_EQ(callback_->Advise(server_->GetUnknown(), device_.Get()), S_OK);
  std::promise<void> entered, leave;
  std::shared_future<void> leave_future = leave.get_future().share();
  server_->on_update = [&, leave_future] {
    entered.set_value();
    leave_future.wait();
  };
  std::thread worker([&] { callback_->Update(); });
  ASSERT_EQ(entered.get_future().wait_for(std::chrono::seconds(30)),
            std::future_status::ready);
  callback_->Unadvise();
  std::future<void> idle =
      std::async(std::launch::async, [&] { callback_->WaitUntilIdle(); });
  // Still inside the server: the wait goes on.
  EXPECT_EQ(idle.wait_for(std::chrono::milliseconds(50)),
            std::future_status::timeout);
  leave.set_value();
  EXPECT_EQ(idle.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  worker.join();
  EXPECT_EQ(server_->updates, 1);
}

TEST_F(ServerCallbackTest, WaitUntilIdleFromInsideACallDoesNotWaitForItself) {
  ASSERT_EQ(callback_->Advise(server_->GetUnknown(), device_.Get()), S_OK);
  server_->on_update = [&] { callback_->WaitUntilIdle(); };
  std::future<HRESULT> update =
      std::async(std::launch::async, [&] { return callback_->Update(); });
  ASSERT_EQ(update.wait_for(std::chrono::seconds(30)),
            std::future_status::ready);
  EXPECT_EQ(update.get(), S_OK);
  callback_->Unadvise();
}

}  // namespace
}  // namespace kavex::server
