#include "platform/com/variant.h"

#include <gtest/gtest.h>

#include "platform/com/safearray.h"
#include "platform/com/unknown.h"

namespace kavex::com {
namespace {

// Counts references so tests can see every AddRef matched by a Release.
class CountedObject : public IUnknown {
 public:
  HRESULT QueryInterface(REFIID iid, void** out) override {
    if (iid != IID_IUnknown) {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    *out = this;
    return S_OK;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override { return --refs_; }
  ULONG refs() const { return refs_; }

 private:
  ULONG refs_ = 1;
};

TEST(VariantTest, CopyDuplicatesStringsWithEmbeddedNuls) {
  const char16_t text[] = {u'x', 0, u'y'};
  Variant src(std::u16string_view(text, 3));
  Variant dst(LONG{5});
  ASSERT_EQ(VariantCopy(&dst, &src), S_OK);
  EXPECT_EQ(dst.vt, VT_BSTR);
  EXPECT_NE(dst.bstrVal, src.bstrVal);
  EXPECT_EQ(BstrView(dst.bstrVal), std::u16string_view(text, 3));
  EXPECT_EQ(VariantCopy(&dst, &dst), S_OK);  // self copy keeps the value
  EXPECT_EQ(SysStringLen(dst.bstrVal), 3u);
}

TEST(VariantTest, InterfacesAreReferenceCounted) {
  CountedObject object;
  {
    Variant holder;
    holder.vt = VT_UNKNOWN;
    holder.punkVal = &object;
    object.AddRef();  // the variant's own reference
    Variant copy = holder;
    EXPECT_EQ(object.refs(), 3u);
    ASSERT_EQ(copy.Clear(), S_OK);
    EXPECT_EQ(object.refs(), 2u);
    EXPECT_EQ(copy.vt, VT_EMPTY);

    // The reference an out-of-process caller cannot see: VT_BYREF owns
    // nothing.
    IUnknown* pointer = &object;
    VARIANT ref;
    VariantInit(&ref);
    ref.vt = VT_BYREF | VT_UNKNOWN;
    ref.ppunkVal = &pointer;
    ASSERT_EQ(VariantClear(&ref), S_OK);
    EXPECT_EQ(object.refs(), 2u);

    Variant deref;
    ref.vt = VT_BYREF | VT_UNKNOWN;
    ref.ppunkVal = &pointer;
    ASSERT_EQ(VariantCopyInd(&deref, &ref), S_OK);
    EXPECT_EQ(deref.vt, VT_UNKNOWN);
    EXPECT_EQ(object.refs(), 3u);
  }
  EXPECT_EQ(object.refs(), 1u);
}

TEST(VariantTest, ClearRefusesLockedArraysAndUnknownTypes) {
  Variant v;
  v.vt = VT_ARRAY | VT_BSTR;
  v.parray = SafeArrayCreateVector(VT_BSTR, 0, 1);
  const LONG index = 0;
  Bstr element(u"kept");
  ASSERT_EQ(SafeArrayPutElement(v.parray, &index, element.Get()), S_OK);
  ASSERT_EQ(SafeArrayLock(v.parray), S_OK);
  EXPECT_EQ(VariantClear(&v), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(v.vt, VT_ARRAY | VT_BSTR);  // untouched, nothing freed
  ASSERT_EQ(SafeArrayUnlock(v.parray), S_OK);
  EXPECT_EQ(VariantClear(&v), S_OK);

  VARIANT odd;
  VariantInit(&odd);
  odd.vt = 15;
  EXPECT_EQ(VariantClear(&odd), DISP_E_BADVARTYPE);
  odd.vt = VT_VECTOR | VT_I4;
  EXPECT_EQ(VariantCopy(&v, &odd), DISP_E_BADVARTYPE);
}

TEST(VariantTest, CopiesOfArraysAreIndependent) {
  Variant src;
  src.vt = VT_ARRAY | VT_VARIANT;
  src.parray = SafeArrayCreateVector(VT_VARIANT, 0, 2);
  const LONG i0 = 0, i1 = 1;
  Variant text = Variant::FromUtf8("inner");
  Variant number(2.5);
  ASSERT_EQ(SafeArrayPutElement(src.parray, &i0, &text), S_OK);
  ASSERT_EQ(SafeArrayPutElement(src.parray, &i1, &number), S_OK);

  Variant copy = src;
  ASSERT_EQ(copy.vt, VT_ARRAY | VT_VARIANT);
  ASSERT_NE(copy.parray, src.parray);
  src.Clear();  // the copy must not share anything with the freed source
  Variant out;
  ASSERT_EQ(SafeArrayGetElement(copy.parray, &i0, &out), S_OK);
  EXPECT_EQ(BstrView(out.bstrVal), u"inner");
}

TEST(VariantTest, ByReferenceCopiesFollowThePointerOnce) {
  BSTR text = SysAllocString(u"referenced");
  VARIANT ref;
  VariantInit(&ref);
  ref.vt = VT_BYREF | VT_BSTR;
  ref.pbstrVal = &text;
  Variant shallow;
  ASSERT_EQ(VariantCopy(&shallow, &ref), S_OK);
  EXPECT_EQ(shallow.pbstrVal, &text);
  Variant deep;
  ASSERT_EQ(VariantCopyInd(&deep, &ref), S_OK);
  EXPECT_EQ(deep.vt, VT_BSTR);
  EXPECT_NE(deep.bstrVal, text);
  SysFreeString(text);
  EXPECT_EQ(BstrView(deep.bstrVal), u"referenced");

  // In place: the reference is replaced by its value.
  double d = 4.25;
  VARIANT in_place;
  VariantInit(&in_place);
  in_place.vt = VT_BYREF | VT_R8;
  in_place.pdblVal = &d;
  ASSERT_EQ(VariantCopyInd(&in_place, &in_place), S_OK);
  EXPECT_EQ(in_place.vt, VT_R8);
  EXPECT_EQ(in_place.dblVal, 4.25);
}

TEST(VariantTest, OwnerMovesDetachesAndAttaches) {
  Variant a = Variant::FromUtf8("moved");
  Variant b = std::move(a);
  EXPECT_EQ(a.vt, VT_EMPTY);  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(BstrView(b.bstrVal), u"moved");

  VARIANT raw;
  b.Detach(&raw);
  EXPECT_EQ(b.vt, VT_EMPTY);
  EXPECT_EQ(raw.vt, VT_BSTR);
  Variant c(LONG{1});
  c.Attach(&raw);
  EXPECT_EQ(raw.vt, VT_EMPTY);
  EXPECT_EQ(BstrView(c.bstrVal), u"moved");
  c = c;
  EXPECT_EQ(BstrView(c.bstrVal), u"moved");
}

}  // namespace
}  // namespace kavex::com
