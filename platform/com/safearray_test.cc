#include "platform/com/safearray.h"

#include <gtest/gtest.h>

#include "platform/com/bstr.h"
#include "platform/com/unknown.h"
#include "platform/com/variant.h"

namespace kavex::com {
namespace {

// Counts references so tests can see every AddRef matched by a Release.
class CountedObject : public IUnknown {
 public:
  HRESULT QueryInterface(REFIID, void** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override { return --refs_; }
  ULONG refs() const { return refs_; }

 private:
  ULONG refs_ = 1;
};

TEST(SafeArrayTest, InterfaceElementsHoldReferences) {
  CountedObject a, b;
  SAFEARRAY* psa = SafeArrayCreateVector(VT_UNKNOWN, 0, 2);
  const LONG i0 = 0, i1 = 1;
  ASSERT_EQ(SafeArrayPutElement(psa, &i0, static_cast<IUnknown*>(&a)), S_OK);
  ASSERT_EQ(SafeArrayPutElement(psa, &i1, static_cast<IUnknown*>(&a)), S_OK);
  EXPECT_EQ(a.refs(), 3u);
  ASSERT_EQ(SafeArrayPutElement(psa, &i1, static_cast<IUnknown*>(&b)), S_OK);
  EXPECT_EQ(a.refs(), 2u);  // the replaced element let go
  IUnknown* out = nullptr;
  ASSERT_EQ(SafeArrayGetElement(psa, &i1, &out), S_OK);
  EXPECT_EQ(out, &b);
  EXPECT_EQ(b.refs(), 3u);
  out->Release();
  SAFEARRAY* copy;
  ASSERT_EQ(SafeArrayCopy(psa, &copy), S_OK);
  EXPECT_EQ(a.refs(), 3u);
  EXPECT_EQ(SafeArrayDestroy(copy), S_OK);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
  EXPECT_EQ(a.refs(), 1u);
  EXPECT_EQ(b.refs(), 1u);
}

TEST(SafeArrayTest, BstrElementsAreCopiedInAndOut) {
  SAFEARRAY* psa = SafeArrayCreateVector(VT_BSTR, 0, 3);
  ASSERT_NE(psa, nullptr);
  EXPECT_EQ(psa->fFeatures & FADF_BSTR, FADF_BSTR);
  for (LONG i = 0; i < 3; ++i) {
    BSTR item = SysAllocStringUtf8("item " + std::to_string(i));
    ASSERT_EQ(SafeArrayPutElement(psa, &i, item), S_OK);
    SysFreeString(item);  // the array holds its own copy
  }
  // Overwriting frees the old element (a leak would fail under ASan).
  const LONG one = 1;
  Bstr replaced(u"replaced");
  ASSERT_EQ(SafeArrayPutElement(psa, &one, replaced.Get()), S_OK);
  ASSERT_EQ(SafeArrayPutElement(psa, &one, nullptr), S_OK);
  ASSERT_EQ(SafeArrayPutElement(psa, &one, replaced.Get()), S_OK);

  Bstr out;
  ASSERT_EQ(SafeArrayGetElement(psa, &one, out.Out()), S_OK);
  EXPECT_EQ(out.View(), u"replaced");
  BSTR* data;
  ASSERT_EQ(SafeArrayAccessData(psa, reinterpret_cast<void**>(&data)), S_OK);
  EXPECT_NE(data[1], out.Get());  // a copy, not the stored string
  EXPECT_EQ(BstrView(data[2]), u"item 2");
  ASSERT_EQ(SafeArrayUnaccessData(psa), S_OK);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(SafeArrayTest, IndicesOutsideTheBoundsAreRejected) {
  SAFEARRAY* psa = SafeArrayCreateVector(VT_I4, 1, 3);  // 1..3
  LONG lower, upper;
  ASSERT_EQ(SafeArrayGetLBound(psa, 1, &lower), S_OK);
  ASSERT_EQ(SafeArrayGetUBound(psa, 1, &upper), S_OK);
  EXPECT_EQ(lower, 1);
  EXPECT_EQ(upper, 3);
  EXPECT_EQ(SafeArrayGetLBound(psa, 2, &lower), DISP_E_BADINDEX);
  EXPECT_EQ(SafeArrayGetUBound(psa, 0, &upper), DISP_E_BADINDEX);
  LONG value = 9;
  for (LONG bad : {0, 4, -1, INT32_MIN, INT32_MAX}) {
    EXPECT_EQ(SafeArrayPutElement(psa, &bad, &value), DISP_E_BADINDEX) << bad;
    EXPECT_EQ(SafeArrayGetElement(psa, &bad, &value), DISP_E_BADINDEX) << bad;
  }
  const LONG three = 3;
  ASSERT_EQ(SafeArrayPutElement(psa, &three, &value), S_OK);
  LONG read = 0;
  ASSERT_EQ(SafeArrayGetElement(psa, &three, &read), S_OK);
  EXPECT_EQ(read, 9);
  EXPECT_EQ(static_cast<LONG*>(psa->pvData)[2], 9);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);

  SAFEARRAY* empty = SafeArrayCreateVector(VT_BSTR, 0, 0);
  ASSERT_NE(empty, nullptr);
  ASSERT_EQ(SafeArrayGetUBound(empty, 1, &upper), S_OK);
  EXPECT_EQ(upper, -1);
  const LONG zero = 0;
  EXPECT_EQ(SafeArrayGetElement(empty, &zero, &value), DISP_E_BADINDEX);
  EXPECT_EQ(SafeArrayDestroy(empty), S_OK);
}

TEST(SafeArrayTest, LockedArraysCannotBeDestroyedOrResized) {
  SAFEARRAY* psa = SafeArrayCreateVector(VT_BSTR, 0, 1);
  void* data;
  ASSERT_EQ(SafeArrayAccessData(psa, &data), S_OK);
  EXPECT_EQ(data, psa->pvData);
  EXPECT_EQ(SafeArrayDestroy(psa), DISP_E_ARRAYISLOCKED);
  const SAFEARRAYBOUND bigger{4, 0};
  EXPECT_EQ(SafeArrayRedim(psa, &bigger), DISP_E_ARRAYISLOCKED);
  ASSERT_EQ(SafeArrayUnaccessData(psa), S_OK);
  EXPECT_EQ(SafeArrayUnlock(psa), E_UNEXPECTED);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
  EXPECT_EQ(SafeArrayDestroy(nullptr), S_OK);
}

TEST(SafeArrayTest, DescribesItsElementType) {
  struct Case {
    VARTYPE vt;
    UINT size;
  } cases[] = {{VT_UI1, 1},    {VT_I2, 2},    {VT_BOOL, 2}, {VT_I4, 4},
               {VT_R4, 4},     {VT_ERROR, 4}, {VT_R8, 8},   {VT_CY, 8},
               {VT_DATE, 8},   {VT_I8, 8},    {VT_BSTR, 8}, {VT_VARIANT, 16},
               {VT_UNKNOWN, 8}};
  for (const Case& c : cases) {
    SAFEARRAY* psa = SafeArrayCreateVector(c.vt, 0, 2);
    ASSERT_NE(psa, nullptr) << c.vt;
    VARTYPE vt = 0;
    ASSERT_EQ(SafeArrayGetVartype(psa, &vt), S_OK);
    EXPECT_EQ(vt, c.vt);
    EXPECT_EQ(SafeArrayGetElemsize(psa), c.size) << c.vt;
    EXPECT_EQ(SafeArrayGetDim(psa), 1u);
    SafeArrayDestroy(psa);
  }
  EXPECT_EQ(SafeArrayCreateVector(VT_EMPTY, 0, 1), nullptr);
  EXPECT_EQ(SafeArrayCreateVector(VT_NULL, 0, 1), nullptr);
  EXPECT_EQ(SafeArrayCreateVector(VT_DECIMAL, 0, 1), nullptr);
  EXPECT_EQ(SafeArrayCreate(VT_I4, 0, nullptr), nullptr);
  EXPECT_EQ(SafeArrayCreateVector(VT_I4, INT32_MAX, 2), nullptr);
  EXPECT_EQ(SafeArrayCreateVector(VT_VARIANT, 0, 0xFFFFFFFF), nullptr);
}

TEST(SafeArrayTest, MultipleDimensionsKeepTheFirstFastest) {
  const SAFEARRAYBOUND bounds[] = {{2, 0}, {3, 10}};
  SAFEARRAY* psa = SafeArrayCreate(VT_I4, 2, bounds);
  ASSERT_NE(psa, nullptr);
  EXPECT_EQ(psa->rgsabound[0].lLbound, 10);  // stored last dimension first
  LONG upper;
  ASSERT_EQ(SafeArrayGetUBound(psa, 2, &upper), S_OK);
  EXPECT_EQ(upper, 12);
  for (LONG j = 10; j < 13; ++j)
    for (LONG i = 0; i < 2; ++i) {
      const LONG index[] = {i, j};
      const LONG value = 100 * i + j;
      ASSERT_EQ(SafeArrayPutElement(psa, index, &value), S_OK);
    }
  const LONG* data = static_cast<const LONG*>(psa->pvData);
  EXPECT_EQ(data[0], 10);   // (0, 10)
  EXPECT_EQ(data[1], 110);  // (1, 10)
  EXPECT_EQ(data[2], 11);   // (0, 11)
  const LONG outside[] = {2, 10};
  LONG value;
  EXPECT_EQ(SafeArrayGetElement(psa, outside, &value), DISP_E_BADINDEX);

  SAFEARRAY* copy;
  ASSERT_EQ(SafeArrayCopy(psa, &copy), S_OK);
  const LONG last[] = {1, 12};
  ASSERT_EQ(SafeArrayGetElement(copy, last, &value), S_OK);
  EXPECT_EQ(value, 112);
  SafeArrayDestroy(copy);
  SafeArrayDestroy(psa);
}

TEST(SafeArrayTest, CopyAndRedimOwnTheirStrings) {
  SAFEARRAY* psa = SafeArrayCreateVector(VT_BSTR, 0, 3);
  for (LONG i = 0; i < 3; ++i) {
    Bstr item = Bstr::FromUtf8(std::string(1, static_cast<char>('a' + i)));
    SafeArrayPutElement(psa, &i, item.Get());
  }
  SAFEARRAY* copy;
  ASSERT_EQ(SafeArrayCopy(psa, &copy), S_OK);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);  // the copy must survive this

  const SAFEARRAYBOUND shorter{2, 0};
  ASSERT_EQ(SafeArrayRedim(copy, &shorter), S_OK);  // frees "c"
  const SAFEARRAYBOUND longer{4, 0};
  ASSERT_EQ(SafeArrayRedim(copy, &longer), S_OK);
  Bstr out;
  for (LONG i : {0, 1}) {
    ASSERT_EQ(SafeArrayGetElement(copy, &i, out.Out()), S_OK);
    EXPECT_EQ(out.View(), std::u16string(1, static_cast<char16_t>('a' + i)));
  }
  const LONG grown = 3;
  ASSERT_EQ(SafeArrayGetElement(copy, &grown, out.Out()), S_OK);
  EXPECT_EQ(out.Get(), nullptr);
  EXPECT_EQ(SafeArrayDestroy(copy), S_OK);

  SAFEARRAY* none = reinterpret_cast<SAFEARRAY*>(1);
  EXPECT_EQ(SafeArrayCopy(nullptr, &none), S_OK);
  EXPECT_EQ(none, nullptr);
}

TEST(SafeArrayTest, VariantElementsAreCopiesAndFreedWithTheArray) {
  SAFEARRAY* psa = SafeArrayCreateVector(VT_VARIANT, 0, 2);
  const LONG i0 = 0;
  Variant text = Variant::FromUtf8("nested");
  ASSERT_EQ(SafeArrayPutElement(psa, &i0, &text), S_OK);
  text.Clear();
  Variant out;
  ASSERT_EQ(SafeArrayGetElement(psa, &i0, &out), S_OK);
  EXPECT_EQ(BstrView(out.bstrVal), u"nested");
  EXPECT_EQ(SafeArrayPutElement(psa, &i0, nullptr), E_INVALIDARG);
  Variant holder;
  holder.vt = VT_ARRAY | VT_VARIANT;
  holder.parray = psa;  // VariantClear frees the array and "nested"
}

}  // namespace
}  // namespace kavex::com
