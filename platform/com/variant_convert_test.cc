#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "platform/com/filetime.h"
#include "platform/com/safearray.h"
#include "platform/com/variant.h"

namespace kavex::com {
namespace {

struct Result {
  HRESULT hr;
  Variant value;
};

Result Convert(const VARIANT& src, VARTYPE vt, USHORT flags = 0) {
  Result r;
  r.hr = VariantChangeType(&r.value, &src, flags, vt);
  return r;
}

Variant Text(const char* utf8) { return Variant::FromUtf8(utf8); }

Variant Real(double d) { return Variant(d); }

std::string AsText(const VARIANT& v) {
  Result r = Convert(v, VT_BSTR);
  EXPECT_EQ(r.hr, S_OK) << HResultName(r.hr);
  return r.hr == S_OK ? Bstr(BstrView(r.value.bstrVal)).ToUtf8() : "<error>";
}

HRESULT Cmp(const VARIANT& a, const VARIANT& b, ULONG flags = 0) {
  return VarCmp(&a, &b, LOCALE_USER_DEFAULT, flags);
}

TEST(VariantChangeTypeTest, IntegerBoundariesFromTextAndBack) {
  struct Case {
    VARTYPE vt;
    const char *min, *max, *below, *above;
  } cases[] = {
      {VT_I1, "-128", "127", "-129", "128"},
      {VT_I2, "-32768", "32767", "-32769", "32768"},
      {VT_I4, "-2147483648", "2147483647", "-2147483649", "2147483648"},
      {VT_INT, "-2147483648", "2147483647", "-2147483649", "2147483648"},
      {VT_I8, "-9223372036854775808", "9223372036854775807",
       "-9223372036854775809", "9223372036854775808"},
      {VT_UI1, "0", "255", "-1", "256"},
      {VT_UI2, "0", "65535", "-1", "65536"},
      {VT_UI4, "0", "4294967295", "-1", "4294967296"},
      {VT_UINT, "0", "4294967295", "-1", "4294967296"},
      {VT_UI8, "0", "18446744073709551615", "-1", "18446744073709551616"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.vt);
    for (const char* edge : {c.min, c.max}) {
      Result r = Convert(Text(edge), c.vt);
      ASSERT_EQ(r.hr, S_OK) << edge;
      EXPECT_EQ(r.value.vt, c.vt);
      EXPECT_EQ(AsText(r.value), edge);
    }
    EXPECT_EQ(Convert(Text(c.below), c.vt).hr, DISP_E_OVERFLOW) << c.below;
    EXPECT_EQ(Convert(Text(c.above), c.vt).hr, DISP_E_OVERFLOW) << c.above;
  }
}

TEST(VariantChangeTypeTest, IntegerRangesBetweenIntegerTypes) {
  EXPECT_EQ(Convert(Variant(LONG{128}), VT_I1).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Convert(Variant(LONG{-1}), VT_UI4).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Convert(Variant(LONG{-1}), VT_UI8).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Convert(Variant(ULONGLONG{1} << 63), VT_I8).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Convert(Variant(ULONG{0xFFFFFFFF}), VT_I4).hr, DISP_E_OVERFLOW);
  Result r = Convert(Variant(ULONG{0xFFFFFFFF}), VT_I8);
  ASSERT_EQ(r.hr, S_OK);
  EXPECT_EQ(r.value.llVal, 0xFFFFFFFFLL);
  r = Convert(Variant(SHORT{-5}), VT_I1);
  ASSERT_EQ(r.hr, S_OK);
  EXPECT_EQ(r.value.cVal, -5);
}

TEST(VariantChangeTypeTest, RealsRoundHalfToEven) {
  struct Case {
    double in;
    LONG out;
  } cases[] = {{2.5, 2},
               {3.5, 4},
               {-2.5, -2},
               {-3.5, -4},
               {0.5, 0},
               {1.5, 2},
               {-0.5, 0},
               {2.4999, 2},
               {2.5001, 3},
               {-2.5001, -3},
               {1e9 + 0.5, 1000000000}};
  for (const Case& c : cases) {
    Result r = Convert(Real(c.in), VT_I4);
    ASSERT_EQ(r.hr, S_OK) << c.in;
    EXPECT_EQ(r.value.lVal, c.out) << c.in;
    Result from_text = Convert(Text(std::to_string(c.in).c_str()), VT_I4);
    ASSERT_EQ(from_text.hr, S_OK) << c.in;
    EXPECT_EQ(from_text.value.lVal, c.out) << c.in;
  }
  // Currency rounds the same way.
  Variant cy;
  cy.vt = VT_CY;
  cy.cyVal.int64 = 25000;  // 2.5
  EXPECT_EQ(Convert(cy, VT_I2).value.iVal, 2);
  cy.cyVal.int64 = -35000;
  EXPECT_EQ(Convert(cy, VT_I2).value.iVal, -4);
}

TEST(VariantChangeTypeTest, RealsAtTheEdgesOfIntegerRanges) {
  EXPECT_EQ(Convert(Real(127.5), VT_I1).hr, DISP_E_OVERFLOW);  // -> 128
  EXPECT_EQ(Convert(Real(126.5), VT_I1).value.cVal, 126);
  EXPECT_EQ(Convert(Real(-128.5), VT_I1).value.cVal, -128);  // -> -128
  EXPECT_EQ(Convert(Real(-0.5), VT_UI1).hr, S_OK);           // -> 0
  EXPECT_EQ(Convert(Real(-0.51), VT_UI1).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Convert(Real(9.3e18), VT_I8).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Convert(Real(1.8e19), VT_UI8).value.ullVal,
            18000000000000000000ull);
  EXPECT_EQ(Convert(Real(std::nan("")), VT_I4).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Convert(Real(INFINITY), VT_I4).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Convert(Real(1e39), VT_R4).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Convert(Real(-1e39), VT_R4).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Convert(Real(1e15), VT_CY).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Convert(Real(9e14), VT_CY).value.cyVal.int64, 9e18);
}

TEST(VariantChangeTypeTest, TextNeedsToBeANumber) {
  for (const char* bad : {"", "  ", "abc", "12abc", "1 2", "--1", "+-1", "1e",
                          "1e+", "0x10", ".", "1..2", "1.2.3", "e5"}) {
    EXPECT_EQ(Convert(Text(bad), VT_I4).hr, DISP_E_TYPEMISMATCH) << bad;
    EXPECT_EQ(Convert(Text(bad), VT_R8).hr, DISP_E_TYPEMISMATCH) << bad;
    EXPECT_EQ(Convert(Text(bad), VT_CY).hr, DISP_E_TYPEMISMATCH) << bad;
  }
  Variant null_bstr = Variant::FromBstr(nullptr);
  EXPECT_EQ(Convert(null_bstr, VT_I4).hr, DISP_E_TYPEMISMATCH);
}

TEST(VariantChangeTypeTest, TextMayHaveBlanksSignPointAndExponent) {
  struct Case {
    const char* text;
    double value;
  } cases[] = {{"  42\t", 42},
               {"+7", 7},
               {" 1.5e3 ", 1500},
               {".5", 0.5},
               {"-1E-2", -0.01},
               {"5.", 5},
               {"1e-400", 0},
               {"00012", 12},
               {"0.000123", 0.000123},
               {"\xC2\xA0"
                "3",
                3}};
  for (const Case& c : cases) {
    Result r = Convert(Text(c.text), VT_R8);
    ASSERT_EQ(r.hr, S_OK) << c.text;
    EXPECT_DOUBLE_EQ(r.value.dblVal, c.value) << c.text;
  }
  EXPECT_EQ(Convert(Text("1e400"), VT_R8).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Convert(Text("1e39"), VT_R4).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Convert(Text(" 1.5e3 "), VT_I2).value.iVal, 1500);
  EXPECT_EQ(Convert(Text("1e100"), VT_I4).hr, DISP_E_OVERFLOW);
  // Integers keep every digit, beyond what a double holds.
  EXPECT_EQ(Convert(Text("9007199254740993"), VT_I8).value.llVal,
            9007199254740993LL);
  EXPECT_EQ(Convert(Text("9007199254740993.5"), VT_I8).value.llVal,
            9007199254740994LL);
  // Currency keeps four decimals, rounding the fifth half to even.
  EXPECT_EQ(Convert(Text("1.23456"), VT_CY).value.cyVal.int64, 12346);
  EXPECT_EQ(Convert(Text("0.00005"), VT_CY).value.cyVal.int64, 0);
  EXPECT_EQ(Convert(Text("-0.00015"), VT_CY).value.cyVal.int64, -2);
  EXPECT_EQ(Convert(Text("1e15"), VT_CY).hr, DISP_E_OVERFLOW);
}

TEST(VariantChangeTypeTest, BooleansAreMinusOneAndZero) {
  EXPECT_EQ(Convert(Variant(LONG{5}), VT_BOOL).value.boolVal, VARIANT_TRUE);
  EXPECT_EQ(Convert(Real(-0.1), VT_BOOL).value.boolVal, VARIANT_TRUE);
  EXPECT_EQ(Convert(Real(0.0), VT_BOOL).value.boolVal, VARIANT_FALSE);
  for (const char* t : {"True", " TRUE ", "true", "2", "-1", "0.5"})
    EXPECT_EQ(Convert(Text(t), VT_BOOL).value.boolVal, VARIANT_TRUE) << t;
  for (const char* f : {"False", "false", "0", " 0.0 "})
    EXPECT_EQ(Convert(Text(f), VT_BOOL).value.boolVal, VARIANT_FALSE) << f;
  EXPECT_EQ(Convert(Text("yes"), VT_BOOL).hr, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(Convert(Text("Truex"), VT_BOOL).hr, DISP_E_TYPEMISMATCH);

  Variant yes(true), no(false);
  EXPECT_EQ(Convert(yes, VT_I4).value.lVal, -1);
  EXPECT_EQ(Convert(yes, VT_R8).value.dblVal, -1.0);
  EXPECT_EQ(Convert(yes, VT_UI1).value.bVal, 255);
  EXPECT_EQ(Convert(no, VT_UI2).value.uiVal, 0);
  EXPECT_EQ(AsText(yes), "-1");
  EXPECT_EQ(AsText(no), "0");
  EXPECT_EQ(Convert(Text(AsText(yes).c_str()), VT_BOOL).value.boolVal,
            VARIANT_TRUE);
  Variant alpha;
  ASSERT_EQ(VariantChangeType(&alpha, &yes, VARIANT_ALPHABOOL, VT_BSTR), S_OK);
  EXPECT_EQ(text::Utf16ToUtf8(BstrView(alpha.bstrVal)), "True");
  ASSERT_EQ(VariantChangeType(&alpha, &no, VARIANT_ALPHABOOL, VT_BSTR), S_OK);
  EXPECT_EQ(text::Utf16ToUtf8(BstrView(alpha.bstrVal)), "False");
}

TEST(VariantChangeTypeTest, NumbersPrintAsOleDoes) {
  struct Case {
    double value;
    const char* r8;
  } reals[] = {{1.5, "1.5"},
               {0.1, "0.1"},
               {1e20, "1E+20"},
               {-2.5, "-2.5"},
               {1.0 / 3, "0.333333333333333"},
               {123456789012345678.0, "1.23456789012346E+17"},
               {123456789012345.0, "123456789012345"},
               {1e-5, "1E-05"},
               {0.0001, "0.0001"},
               {-0.0, "0"},
               {100, "100"}};
  for (const auto& c : reals) EXPECT_EQ(AsText(Real(c.value)), c.r8);
  EXPECT_EQ(AsText(Variant(0.1f)), "0.1");
  EXPECT_EQ(AsText(Variant(1.0f / 3)), "0.3333333");
  EXPECT_EQ(AsText(Variant(1234567.0f)), "1234567");
  EXPECT_EQ(AsText(Variant(12345678.0f)), "1.234568E+07");
  EXPECT_EQ(AsText(Variant(LONGLONG{INT64_MIN})), "-9223372036854775808");
  Variant i1;
  i1.vt = VT_I1;
  i1.cVal = -7;
  EXPECT_EQ(AsText(i1), "-7");
  Variant cy;
  cy.vt = VT_CY;
  for (auto [scaled, text] : {std::pair<int64_t, const char*>{15000, "1.5"},
                              {-1, "-0.0001"},
                              {1000000, "100"},
                              {INT64_MIN, "-922337203685477.5808"}}) {
    cy.cyVal.int64 = scaled;
    EXPECT_EQ(AsText(cy), text);
  }
  // Text printed from a real reads back as the same real.
  for (double d : {0.1, 1.0 / 3, 6.02214076e23, -1e-300}) {
    Result back = Convert(Text(AsText(Real(d)).c_str()), VT_R8);
    EXPECT_NEAR(back.value.dblVal, d, std::fabs(d) * 1e-14);
  }
}

TEST(VariantChangeTypeTest, DatesUseTheOleEpochAndUsFormat) {
  Variant date;
  date.vt = VT_DATE;
  struct Case {
    double value;
    const char* text;
  } cases[] = {{0.0, "12:00:00 AM"},
               {1.0, "12/31/1899"},
               {2.5, "1/1/1900 12:00:00 PM"},
               {45000.75, "3/15/2023 6:00:00 PM"},
               {36526.0 + 13.0 / 24 + 5.0 / 1440, "1/1/2000 1:05:00 PM"},
               {-1.25, "12/29/1899 6:00:00 AM"},
               {0.5, "12:00:00 PM"}};
  for (const Case& c : cases) {
    date.date = c.value;
    EXPECT_EQ(AsText(date), c.text);
    Result back = Convert(Text(c.text), VT_DATE);
    ASSERT_EQ(back.hr, S_OK) << c.text;
    EXPECT_NEAR(back.value.date, c.value, 1e-9) << c.text;
  }
  for (const char* iso : {"2023-03-15 18:00", "2023-03-15T18:00:00",
                          " 3/15/2023 6:00 pm ", "3/15/23 18:00"}) {
    Result r = Convert(Text(iso), VT_DATE);
    ASSERT_EQ(r.hr, S_OK) << iso;
    EXPECT_DOUBLE_EQ(r.value.date, 45000.75) << iso;
  }
  for (const char* bad : {"hello", "2/30/2023", "13/1/2023", "13:00 PM",
                          "0:30 AM", "25:00", "1/1/2023 x", "12:61", "45000"})
    EXPECT_EQ(Convert(Text(bad), VT_DATE).hr, DISP_E_TYPEMISMATCH) << bad;
  // Two-digit years pivot at 30; four digits are taken as written.
  EXPECT_EQ(Convert(Text("1/1/29"), VT_DATE).value.date,
            Convert(Text("1/1/2029"), VT_DATE).value.date);
  EXPECT_EQ(Convert(Text("1/1/30"), VT_DATE).value.date,
            Convert(Text("1/1/1930"), VT_DATE).value.date);
  EXPECT_EQ(Convert(Text("1/1/0100"), VT_DATE).value.date, kMinDate);
  EXPECT_EQ(Convert(Real(3e6), VT_DATE).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Convert(Real(-700000), VT_DATE).hr, DISP_E_OVERFLOW);
  date.date = 45000.75;
  EXPECT_EQ(Convert(date, VT_I4).value.lVal, 45001);  // rounds like a real
}

TEST(VariantChangeTypeTest, EmptyNullAndError) {
  Variant empty;
  EXPECT_EQ(Convert(empty, VT_I4).value.lVal, 0);
  EXPECT_EQ(Convert(empty, VT_R8).value.dblVal, 0.0);
  EXPECT_EQ(Convert(empty, VT_BOOL).value.boolVal, VARIANT_FALSE);
  Result text = Convert(empty, VT_BSTR);
  ASSERT_EQ(text.hr, S_OK);
  EXPECT_NE(text.value.bstrVal, nullptr);
  EXPECT_EQ(SysStringLen(text.value.bstrVal), 0u);
  EXPECT_EQ(Convert(Variant(LONG{3}), VT_EMPTY).value.vt, VT_EMPTY);
  EXPECT_EQ(Convert(Text("x"), VT_NULL).value.vt, VT_NULL);

  Variant null = Variant::Null();
  for (VARTYPE vt : {VT_I4, VT_BSTR, VT_BOOL, VT_R8, VT_DATE, VT_EMPTY})
    EXPECT_EQ(Convert(null, vt).hr, DISP_E_TYPEMISMATCH) << vt;
  EXPECT_EQ(Convert(null, VT_NULL).value.vt, VT_NULL);

  Variant error = Variant::Error(E_FAIL);
  Result as_i4 = Convert(error, VT_I4);
  ASSERT_EQ(as_i4.hr, S_OK);
  EXPECT_EQ(as_i4.value.lVal, E_FAIL);
  EXPECT_EQ(Convert(error, VT_ERROR).value.scode, E_FAIL);
  for (VARTYPE vt : {VT_I2, VT_BSTR, VT_R8, VT_BOOL, VT_EMPTY, VT_NULL})
    EXPECT_EQ(Convert(error, vt).hr, DISP_E_TYPEMISMATCH) << vt;
  EXPECT_EQ(Convert(Variant(LONG{7}), VT_ERROR).value.scode, 7);
  EXPECT_EQ(Convert(Variant(SHORT{7}), VT_ERROR).hr, DISP_E_TYPEMISMATCH);
}

TEST(VariantChangeTypeTest, UnknownTypesAreRejected) {
  Variant v(LONG{1});
  for (VARTYPE vt : {VARTYPE(15), VARTYPE(VT_DECIMAL), VARTYPE(0x0FFF),
                     VARTYPE(VT_VECTOR | VT_I4), VARTYPE(VT_RECORD)})
    EXPECT_EQ(Convert(v, vt).hr, DISP_E_BADVARTYPE) << vt;
  VARIANT odd;
  VariantInit(&odd);
  odd.vt = 15;
  EXPECT_EQ(Convert(odd, VT_I4).hr, DISP_E_BADVARTYPE);
}

TEST(VariantChangeTypeTest, InPlaceReplacesTheSourceOnlyOnSuccess) {
  Variant v = Text(" 12 ");
  ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_I4), S_OK);
  EXPECT_EQ(v.vt, VT_I4);
  EXPECT_EQ(v.lVal, 12);
  ASSERT_EQ(v.ChangeType(VT_BSTR), S_OK);
  EXPECT_EQ(Bstr(BstrView(v.bstrVal)).ToUtf8(), "12");

  Variant bad = Text("abc");
  EXPECT_EQ(bad.ChangeType(VT_I4), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(bad.vt, VT_BSTR);
  EXPECT_EQ(BstrView(bad.bstrVal), u"abc");
}

TEST(VariantChangeTypeTest, ByReferenceAndArrays) {
  LONG target = 41;
  VARIANT ref;
  VariantInit(&ref);
  ref.vt = VT_BYREF | VT_I4;
  ref.plVal = &target;
  Result r = Convert(ref, VT_BSTR);
  ASSERT_EQ(r.hr, S_OK);
  EXPECT_EQ(BstrView(r.value.bstrVal), u"41");

  Variant array;
  array.vt = VT_ARRAY | VT_BSTR;
  array.parray = SafeArrayCreateVector(VT_BSTR, 0, 2);
  Result copy = Convert(array, VT_ARRAY | VT_BSTR);
  ASSERT_EQ(copy.hr, S_OK);
  EXPECT_NE(copy.value.parray, array.parray);
  EXPECT_EQ(Convert(array, VT_BSTR).hr, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(Convert(array, VT_ARRAY | VT_I4).hr, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(Convert(Variant(LONG{1}), VT_ARRAY | VT_I4).hr,
            DISP_E_TYPEMISMATCH);
}

TEST(VariantChangeTypeTest, HostileTextGivesAnErrorNeverACrash) {
  std::vector<std::string> inputs = {
      std::string(100000, '9'),
      "0." + std::string(100000, '0') + "1",
      "1e999999999999999999",
      "-1e-999999999999999999",
      std::string(100000, '1') + "e-100000",
      std::string("12\0", 3),
      "\xFF\xFE\x80",
      "99999999999999999999999999999999999999999/1/1",
      "1/1/99999 99999:99:99 PM",
      "::",
      "/",
      "-",
      "+.e",
      "12:00:00 AMX",
  };
  // Deterministic noise over the characters the parsers care about.
  const char alphabet[] = "0123456789+-.eE/:TAPMamp \t,x";
  uint32_t seed = 12345;
  for (int n = 0; n < 2000; ++n) {
    std::string s;
    for (int len = n % 24; len > 0; --len) {
      seed = seed * 1103515245 + 12345;
      s.push_back(alphabet[(seed >> 16) % (sizeof(alphabet) - 1)]);
    }
    inputs.push_back(s);
  }
  const VARTYPE targets[] = {VT_I1,   VT_I2,  VT_I4,   VT_I8,   VT_UI1, VT_UI2,
                             VT_UI4,  VT_UI8, VT_R4,   VT_R8,   VT_CY,  VT_DATE,
                             VT_BOOL, VT_INT, VT_UINT, VT_ERROR};
  for (const std::string& input : inputs) {
    const Variant text = Variant::FromUtf8(input);  // embedded NULs kept
    for (VARTYPE vt : targets) {
      Result r = Convert(text, vt);
      EXPECT_TRUE(r.hr == S_OK || r.hr == DISP_E_TYPEMISMATCH ||
                  r.hr == DISP_E_OVERFLOW)
          << HResultName(r.hr);
      EXPECT_EQ(r.value.vt, r.hr == S_OK ? vt : VARTYPE{VT_EMPTY});
    }
    const HRESULT cmp = Cmp(text, Real(1.0));
    EXPECT_TRUE(cmp == VARCMP_LT || cmp == VARCMP_EQ || cmp == VARCMP_GT);
  }
  EXPECT_EQ(Convert(Text(inputs[5].c_str()), VT_I4).hr, S_OK);  // "12" only
  Variant with_nul = Variant::FromUtf8(inputs[5]);
  EXPECT_EQ(Convert(with_nul, VT_I4).hr, DISP_E_TYPEMISMATCH);
}

TEST(VarCmpTest, NumbersCompareByValueAcrossTypes) {
  EXPECT_EQ(Cmp(Variant(LONG{1}), Real(1.0)), VARCMP_EQ);
  EXPECT_EQ(Cmp(Variant(SHORT{-1}), Variant(ULONGLONG{UINT64_MAX})), VARCMP_LT);
  EXPECT_EQ(Cmp(Variant(ULONGLONG{UINT64_MAX}), Variant(LONGLONG{INT64_MAX})),
            VARCMP_GT);
  EXPECT_EQ(Cmp(Variant(BYTE{200}), Variant(SHORT{-200})), VARCMP_GT);
  Variant cy;
  cy.vt = VT_CY;
  cy.cyVal.int64 = 5000;
  EXPECT_EQ(Cmp(Variant(0.5f), cy), VARCMP_EQ);
  EXPECT_EQ(Cmp(cy, Variant(LONG{1})), VARCMP_LT);
  EXPECT_EQ(Cmp(Variant(true), Variant(LONG{-1})), VARCMP_EQ);
  Variant date;
  date.vt = VT_DATE;
  date.date = 2.0;
  EXPECT_EQ(Cmp(date, Variant(LONG{2})), VARCMP_EQ);
  // 2^53 + 1 is not a double: the comparison must not round it away.
  EXPECT_EQ(Cmp(Variant(LONGLONG{(1LL << 53) + 1}), Real(9007199254740992.0)),
            VARCMP_GT);
  EXPECT_EQ(Cmp(Real(std::nan("")), Real(std::nan(""))), VARCMP_EQ);
  EXPECT_EQ(Cmp(Real(std::nan("")), Real(1)), VARCMP_GT);
}

TEST(VarCmpTest, StringsCompareOrdinally) {
  EXPECT_EQ(Cmp(Text("abc"), Text("abd")), VARCMP_LT);
  EXPECT_EQ(Cmp(Text("abc"), Text("ab")), VARCMP_GT);
  EXPECT_EQ(Cmp(Text("ABC"), Text("abc")), VARCMP_LT);
  EXPECT_EQ(Cmp(Text("ABC"), Text("abc"), NORM_IGNORECASE), VARCMP_EQ);
  EXPECT_EQ(Cmp(Text("\u00c9t\u00c9"), Text("\u00e9t\u00e9"), NORM_IGNORECASE),
            VARCMP_EQ);
  EXPECT_EQ(Cmp(Text("\u0416"), Text("\u0436"), NORM_IGNORECASE), VARCMP_EQ);
  EXPECT_EQ(Cmp(Variant::FromBstr(nullptr), Text("")), VARCMP_EQ);
  const char16_t with_nul[] = {u'a', 0, u'b'};
  Variant a(std::u16string_view(with_nul, 3)), b(std::u16string_view(u"a"));
  EXPECT_EQ(Cmp(a, b), VARCMP_GT);
}

TEST(VarCmpTest, TextAgainstNumbers) {
  // Numerically: as strings "10" < "9" would hold.
  EXPECT_EQ(Cmp(Variant(LONG{10}), Text("9")), VARCMP_GT);
  EXPECT_EQ(Cmp(Text("9"), Variant(LONG{10})), VARCMP_LT);
  EXPECT_EQ(Cmp(Variant(LONG{10}), Text(" 10.0 ")), VARCMP_EQ);
  // Not a number: the number's text is compared.
  EXPECT_EQ(Cmp(Variant(LONG{10}), Text("abc")), VARCMP_LT);
  EXPECT_EQ(Cmp(Text("abc"), Variant(LONG{10})), VARCMP_GT);
  EXPECT_EQ(Cmp(Variant(true), Text("true"), NORM_IGNORECASE), VARCMP_EQ);
}

TEST(VarCmpTest, NullEmptyErrorAndBadTypes) {
  Variant null = Variant::Null(), empty;
  EXPECT_EQ(Cmp(null, Variant(LONG{1})), VARCMP_NULL);
  EXPECT_EQ(Cmp(Text("a"), null), VARCMP_NULL);
  EXPECT_EQ(Cmp(null, null), VARCMP_NULL);
  EXPECT_EQ(Cmp(empty, Variant(LONG{0})), VARCMP_EQ);
  EXPECT_EQ(Cmp(empty, Real(0.5)), VARCMP_LT);
  EXPECT_EQ(Cmp(empty, Text("")), VARCMP_EQ);
  EXPECT_EQ(Cmp(empty, Text("a")), VARCMP_LT);
  EXPECT_EQ(Cmp(Text("a"), empty), VARCMP_GT);
  EXPECT_EQ(Cmp(empty, empty), VARCMP_EQ);

  EXPECT_EQ(Cmp(Variant::Error(E_FAIL), Variant::Error(E_FAIL)), VARCMP_EQ);
  EXPECT_NE(Cmp(Variant::Error(E_FAIL), Variant::Error(E_POINTER)), VARCMP_EQ);
  EXPECT_EQ(Cmp(Variant::Error(E_FAIL), Variant(LONG{E_FAIL})),
            DISP_E_TYPEMISMATCH);

  Variant array;
  array.vt = VT_ARRAY | VT_I4;
  array.parray = SafeArrayCreateVector(VT_I4, 0, 1);
  EXPECT_EQ(Cmp(array, array), DISP_E_BADVARTYPE);

  LONG five = 5;
  VARIANT ref;
  VariantInit(&ref);
  ref.vt = VT_BYREF | VT_I4;
  ref.plVal = &five;
  EXPECT_EQ(Cmp(ref, Variant(LONG{5})), VARCMP_EQ);
}

}  // namespace
}  // namespace kavex::com
