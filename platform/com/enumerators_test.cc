#include "platform/com/enumerators.h"

#include <gtest/gtest.h>

#include "platform/com/task_memory.h"

namespace kavex::com {
namespace {

std::u16string Take(LPOLESTR s) {
  std::u16string out(s);
  CoTaskMemFree(s);
  return out;
}

TEST(EnumStringTest, NextSkipResetClone) {
  ComPtr<IEnumString> e;
  ASSERT_EQ(S_OK,
            CreateEnumString({u"a", u"bb", u"ccc", u"dddd"}, e.GetAddressOf()));
  LPOLESTR items[3] = {};
  ULONG fetched = 99;
  ASSERT_EQ(S_OK, e->Next(2, items, &fetched));
  EXPECT_EQ(2u, fetched);
  EXPECT_EQ(u"a", Take(items[0]));
  EXPECT_EQ(u"bb", Take(items[1]));

  ComPtr<IEnumString> clone;
  ASSERT_EQ(S_OK, e->Clone(clone.GetAddressOf()));

  // Asking for more than is left: what is left, and S_FALSE.
  ASSERT_EQ(S_FALSE, e->Next(3, items, &fetched));
  EXPECT_EQ(2u, fetched);
  EXPECT_EQ(u"ccc", Take(items[0]));
  EXPECT_EQ(u"dddd", Take(items[1]));
  EXPECT_EQ(S_FALSE, e->Next(1, items, nullptr));

  // The clone starts where the original was and moves on its own.
  ASSERT_EQ(S_OK, clone->Skip(1));
  ASSERT_EQ(S_OK, clone->Next(1, items, nullptr));
  EXPECT_EQ(u"dddd", Take(items[0]));
  EXPECT_EQ(S_FALSE, clone->Skip(1));

  ASSERT_EQ(S_OK, e->Reset());
  EXPECT_EQ(S_FALSE, e->Skip(5));
  ASSERT_EQ(S_OK, e->Reset());
  ASSERT_EQ(S_OK, e->Skip(3));
  ASSERT_EQ(S_OK, e->Next(1, items, nullptr));
  EXPECT_EQ(u"dddd", Take(items[0]));

  // Several elements need a place for the count.
  e->Reset();
  EXPECT_EQ(E_POINTER, e->Next(2, items, nullptr));
  EXPECT_EQ(E_POINTER, e->Next(1, nullptr, &fetched));
  EXPECT_EQ(S_OK, e->Next(0, items, &fetched));
  EXPECT_EQ(0u, fetched);
  e.Reset();
  clone.Reset();
  EXPECT_EQ(0, CEnumString::InstanceCount());
}

class CCounted : public ComObject<CCounted, IEnumUnknown> {
 public:
  HRESULT Next(ULONG, IUnknown**, ULONG*) override { return E_NOTIMPL; }
  HRESULT Skip(ULONG) override { return E_NOTIMPL; }
  HRESULT Reset() override { return E_NOTIMPL; }
  HRESULT Clone(IEnumUnknown**) override { return E_NOTIMPL; }
};

TEST(EnumUnknownTest, HandsOutReferencesAndReleasesItsOwn) {
  std::vector<ComPtr<IUnknown>> objects(3);
  for (auto& object : objects) {
    ComPtr<CCounted> c;
    ASSERT_EQ(S_OK, CCounted::CreateInstance(&c));
    object = c->GetUnknown();
  }
  ComPtr<IEnumUnknown> e;
  ASSERT_EQ(S_OK, CreateEnumUnknown(objects, e.GetAddressOf()));
  objects.clear();
  EXPECT_EQ(3, CCounted::InstanceCount());  // the enumerator keeps them
  IUnknown* got[3] = {};
  ULONG fetched = 0;
  ASSERT_EQ(S_OK, e->Next(3, got, &fetched));
  e.Reset();
  EXPECT_EQ(3, CCounted::InstanceCount());  // the caller's references
  for (IUnknown* u : got) u->Release();
  EXPECT_EQ(0, CCounted::InstanceCount());
}

// A copy that fails midway returns nothing and leaves the position alone.
struct FailThird {
  using Element = int;
  using Stored = int;
  static inline int destroyed = 0;
  static HRESULT Copy(const int& from, int* to) {
    if (from == 3) return E_OUTOFMEMORY;
    *to = from;
    return S_OK;
  }
  static void Destroy(int*) { ++destroyed; }
};
struct IEnumInt : IUnknown {
  virtual HRESULT Next(ULONG, int*, ULONG*) = 0;
  virtual HRESULT Skip(ULONG) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(IEnumInt**) = 0;
};

KAVEX_DECLARE_IID(IEnumInt, "{7E1D55A0-2222-4C2B-9E2F-0A0B0C0D0E01}");

TEST(EnumeratorTest, FailedCopyIsAllOrNothing) {
  ComPtr<IEnumInt> e;
  ASSERT_EQ(S_OK, (Enumerator<IEnumInt, FailThird>::Create({1, 2, 3, 4},
                                                           e.GetAddressOf())));
  int out[4] = {};
  ULONG fetched = 7;
  EXPECT_EQ(E_OUTOFMEMORY, e->Next(4, out, &fetched));
  EXPECT_EQ(0u, fetched);
  EXPECT_EQ(2, FailThird::destroyed);
  ASSERT_EQ(S_OK, e->Next(2, out, &fetched));
  EXPECT_EQ(1, out[0]);
  EXPECT_EQ(2, out[1]);
}

}  // namespace
}  // namespace kavex::com
