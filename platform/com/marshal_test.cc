#include "platform/com/marshal.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/com/com_object.h"
#include "platform/com/connection_point.h"

namespace kavex::com {
namespace {

struct ITestCallback : IUnknown {
  virtual HRESULT Update() = 0;
};
KAVEX_DECLARE_IID(ITestCallback, "{4E2B7D30-5555-4C2B-9E2F-0A0B0C0D0E01}");

class CCallback : public ComObject<CCallback, ITestCallback> {
 public:
  HRESULT Update() override {
    ++updates_;
    return S_OK;
  }
  std::atomic<int> updates_{0};
};

TEST(MarshalTest, PointerCrossesToAnotherThread) {
  ComPtr<CCallback> callback;
  ASSERT_EQ(S_OK, CCallback::CreateInstance(&callback));
  IStream* stream = nullptr;
  ASSERT_EQ(S_OK, CoMarshalInterThreadInterfaceInStream(
                      IID_ITestCallback, callback->GetUnknown(), &stream));
  HRESULT unmarshalled = E_FAIL;
  std::thread worker([&] {
    ComPtr<IUnknown> unknown;
    unmarshalled = CoGetInterfaceAndReleaseStream(
        stream, IID_IUnknown, reinterpret_cast<void**>(unknown.GetAddressOf()));
    ComPtr<ITestCallback> typed;
    if (unknown && SUCCEEDED(unknown.As(&typed))) typed->Update();
  });
  worker.join();
  EXPECT_EQ(S_OK, unmarshalled);
  EXPECT_EQ(1, callback->updates_);
  callback.Reset();
  EXPECT_EQ(0, CCallback::InstanceCount());  // stream and pointers all freed
}

TEST(MarshalTest, FailuresReleaseWhatTheyHold) {
  ComPtr<CCallback> callback;
  CCallback::CreateInstance(&callback);
  IStream* stream = reinterpret_cast<IStream*>(1);
  EXPECT_EQ(E_NOINTERFACE,
            CoMarshalInterThreadInterfaceInStream(
                IID_IConnectionPoint, callback->GetUnknown(), &stream));
  EXPECT_EQ(nullptr, stream);
  ASSERT_EQ(S_OK, CoMarshalInterThreadInterfaceInStream(
                      IID_ITestCallback, callback->GetUnknown(), &stream));
  void* out = reinterpret_cast<void*>(1);
  // Asking for an interface the object lacks still consumes the stream.
  EXPECT_EQ(E_NOINTERFACE,
            CoGetInterfaceAndReleaseStream(stream, IID_IConnectionPoint, &out));
  EXPECT_EQ(nullptr, out);
  // A stream that is not a marshalling stream is refused (and released).
  callback->AddRef();
  EXPECT_EQ(E_INVALIDARG,
            CoGetInterfaceAndReleaseStream(
                reinterpret_cast<IStream*>(callback->GetUnknown()),
                IID_IUnknown, &out));
  EXPECT_EQ(2u, callback->AddRef());
  callback->Release();
  callback.Reset();
  EXPECT_EQ(0, CCallback::InstanceCount());
}

}  // namespace
}  // namespace kavex::com
