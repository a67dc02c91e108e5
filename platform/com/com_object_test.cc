#include "platform/com/com_object.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/com/com_ptr.h"

namespace kavex::com {
namespace {

struct ITestAlpha : IUnknown {
  virtual HRESULT Alpha(int* out) = 0;
};
KAVEX_DECLARE_IID(ITestAlpha, "{6D0C3A10-1111-4C2B-9E2F-0A0B0C0D0E01}");
struct ITestBeta : IUnknown {
  virtual HRESULT Beta(int* out) = 0;
};
KAVEX_DECLARE_IID(ITestBeta, "{6D0C3A10-1111-4C2B-9E2F-0A0B0C0D0E02}");
struct ITestGamma : IUnknown {};
KAVEX_DECLARE_IID(ITestGamma, "{6D0C3A10-1111-4C2B-9E2F-0A0B0C0D0E03}");

class CAlphaBeta : public ComObject<CAlphaBeta, ITestAlpha, ITestBeta> {
 public:
  explicit CAlphaBeta(int value, bool* released = nullptr)
      : value_(value), released_(released) {}
  HRESULT FinalConstruct() { return value_ < 0 ? E_INVALIDARG : S_OK; }
  void FinalRelease() {
    // AddRef/Release pairs during tear-down must not free the object twice.
    ComPtr<ITestAlpha> self(this);
    if (released_ != nullptr) *released_ = true;
  }
  HRESULT Alpha(int* out) override {
    *out = value_;
    return S_OK;
  }
  HRESULT Beta(int* out) override {
    *out = -value_;
    return S_OK;
  }

 private:
  int value_;
  bool* released_;
};

TEST(ComObjectTest, ReferenceCountingFreesTheObject) {
  long module_locks = ModuleLockCount();
  bool released = false;
  {
    ComPtr<CAlphaBeta> object;
    ASSERT_EQ(S_OK, CAlphaBeta::CreateInstance(&object, 7, &released));
    EXPECT_EQ(1, CAlphaBeta::InstanceCount());
    EXPECT_EQ(module_locks + 1, ModuleLockCount());
    EXPECT_EQ(2u, object->AddRef());
    EXPECT_EQ(1u, object->Release());
    ComPtr<ITestBeta> beta;
    ASSERT_EQ(S_OK, object.As(&beta));
    object.Reset();
    EXPECT_FALSE(released);
    int v = 0;
    beta->Beta(&v);
    EXPECT_EQ(-7, v);
  }
  EXPECT_TRUE(released);
  EXPECT_EQ(0, CAlphaBeta::InstanceCount());
  EXPECT_EQ(module_locks, ModuleLockCount());
}

TEST(ComObjectTest, FailedFinalConstructDestroysTheObject) {
  ComPtr<CAlphaBeta> object;
  EXPECT_EQ(E_INVALIDARG, CAlphaBeta::CreateInstance(&object, -1));
  EXPECT_FALSE(object);
  void* raw = reinterpret_cast<void*>(1);
  EXPECT_EQ(E_INVALIDARG, CAlphaBeta::CreateInstance(IID_ITestAlpha, &raw, -1));
  EXPECT_EQ(nullptr, raw);
  EXPECT_EQ(0, CAlphaBeta::InstanceCount());
}

TEST(ComObjectTest, QueryInterfaceFollowsTheIdentityRules) {
  ComPtr<CAlphaBeta> object;
  ASSERT_EQ(S_OK, CAlphaBeta::CreateInstance(&object, 3));
  ComPtr<ITestAlpha> alpha;
  ComPtr<ITestBeta> beta;
  ASSERT_EQ(S_OK, object.As(&alpha));
  ASSERT_EQ(S_OK, alpha.As(&beta));
  // Identity: IUnknown from every interface is the same pointer.
  ComPtr<IUnknown> from_alpha, from_beta;
  ASSERT_EQ(S_OK, alpha.As(&from_alpha));
  ASSERT_EQ(S_OK, beta.As(&from_beta));
  EXPECT_EQ(from_alpha.Get(), from_beta.Get());
  // Symmetric, transitive and reflexive.
  ComPtr<ITestAlpha> alpha_again;
  ASSERT_EQ(S_OK, beta.As(&alpha_again));
  EXPECT_EQ(alpha.Get(), alpha_again.Get());
  ComPtr<ITestBeta> beta_again;
  ASSERT_EQ(S_OK, beta.As(&beta_again));
  EXPECT_EQ(beta.Get(), beta_again.Get());
  int a = 0, b = 0;
  alpha->Alpha(&a);
  beta->Beta(&b);
  EXPECT_EQ(3, a);
  EXPECT_EQ(-3, b);
  // Unsupported interface: E_NOINTERFACE and a null out-pointer.
  ITestGamma* gamma = reinterpret_cast<ITestGamma*>(1);
  EXPECT_EQ(E_NOINTERFACE, alpha->QueryInterface(IID_PPV_ARGS(&gamma)));
  EXPECT_EQ(nullptr, gamma);
  EXPECT_EQ(E_POINTER, alpha->QueryInterface(IID_ITestBeta, nullptr));
  // Every successful QueryInterface added exactly one reference.
  alpha.Reset();
  beta.Reset();
  from_alpha.Reset();
  from_beta.Reset();
  alpha_again.Reset();
  beta_again.Reset();
  EXPECT_EQ(1u, object->AddRef() - 1);
  object->Release();
}

class CExtra : public ComObject<CExtra, ITestAlpha> {
 public:
  HRESULT Alpha(int* out) override {
    *out = 1;
    return S_OK;
  }
  // Answers ITestGamma with its ITestAlpha, as a class does for the base
  // interface of one it lists.
  HRESULT QueryExtraInterface(REFIID iid, void** out) {
    if (iid != IID_ITestGamma) return E_NOINTERFACE;
    return QueryInterface(IID_ITestAlpha, out);
  }
};

TEST(ComObjectTest, ExtraInterfacesAreAskedLast) {
  ComPtr<CExtra> object;
  ASSERT_EQ(S_OK, CExtra::CreateInstance(&object));
  ComPtr<ITestGamma> gamma;
  ASSERT_EQ(S_OK, object.As(&gamma));
  EXPECT_EQ(static_cast<void*>(object->GetUnknown()),
            static_cast<void*>(gamma.Get()));
  ComPtr<ITestBeta> beta;
  EXPECT_EQ(E_NOINTERFACE, object.As(&beta));
  gamma.Reset();
  EXPECT_EQ(2u, object->AddRef());
  object->Release();
}

TEST(ComObjectTest, ConcurrentAddRefReleaseFreesOnce) {
  ComPtr<CAlphaBeta> object;
  ASSERT_EQ(S_OK, CAlphaBeta::CreateInstance(&object, 1));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([copy = object] {
      for (int i = 0; i < 20000; ++i) {
        ComPtr<ITestAlpha> alpha;
        copy.As(&alpha);
        ComPtr<ITestAlpha> second = alpha;
      }
    });
  }
  object.Reset();  // the threads hold the last references
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(0, CAlphaBeta::InstanceCount());
}

TEST(ComPtrTest, OwnershipTransfers) {
  ComPtr<CAlphaBeta> object;
  ASSERT_EQ(S_OK, CAlphaBeta::CreateInstance(&object, 2));
  ComPtr<ITestAlpha> alpha;
  ASSERT_EQ(S_OK, object.As(&alpha));
  ComPtr<ITestAlpha> moved = std::move(alpha);
  EXPECT_FALSE(alpha);
  ITestAlpha* raw = moved.Detach();
  EXPECT_FALSE(moved);
  ComPtr<ITestAlpha> attached;
  attached.Attach(raw);  // takes the detached reference back
  ComPtr<ITestAlpha> copy;
  ASSERT_EQ(S_OK, attached.CopyTo(copy.ReleaseAndGetAddressOf()));
  copy = attached;  // self-equivalent assignment keeps the count right
  copy = copy;
  ComPtr<IUnknown> upcast = attached;
  EXPECT_TRUE(upcast == ComPtr<IUnknown>(attached.Get()));
  object.Reset();
  attached.Reset();
  copy.Reset();
  EXPECT_EQ(1, CAlphaBeta::InstanceCount());
  upcast = nullptr;
  EXPECT_EQ(0, CAlphaBeta::InstanceCount());
  ComPtr<ITestAlpha> empty;
  ComPtr<ITestBeta> beta;
  EXPECT_EQ(E_POINTER, empty.As(&beta));
}

}  // namespace
}  // namespace kavex::com
