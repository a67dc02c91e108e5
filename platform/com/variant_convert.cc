// VariantChangeType and VarCmp: OLE Automation's coercion rules with the US
// English conventions (see variant.h).
#include <algorithm>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "platform/com/filetime.h"
#include "platform/com/safearray.h"
#include "platform/com/unknown.h"
#include "platform/com/variant.h"

namespace kavex::com {
namespace {

using Int128 = __int128;

constexpr IID kIidDispatch = {0x00020400, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// Every number a VARIANT can hold, exactly.
struct Number {
  enum Kind { kInteger, kReal, kCurrency } kind = kInteger;
  Int128 integer = 0;  // kInteger
  double real = 0;     // kReal
  int64_t cy = 0;      // kCurrency: value * 10000
};

// A number read from text: sign * digits * 10^exponent, kept as decimal
// digits so that "2.5" rounds exactly and big integers lose nothing.
struct DecimalText {
  bool negative = false;
  std::string digits;  // no leading zeros; empty for zero
  int exponent = 0;
};

bool IsBlank(char16_t c) {
  return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\v' ||
         c == u'\f' || c == 0xA0;
}

std::u16string_view Trim(std::u16string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// [blanks][sign]digits[.digits][(e|E)[sign]digits][blanks]; at least one
// digit before or after the point.
std::optional<DecimalText> ParseDecimal(std::u16string_view text) {
  std::u16string_view s = Trim(text);
  DecimalText n;
  size_t i = 0;
  if (i < s.size() && (s[i] == u'+' || s[i] == u'-'))
    n.negative = s[i++] == u'-';
  bool any_digit = false;
  int point_shift = 0;
  for (bool after_point = false; i < s.size(); ++i) {
    if (IsDigit(s[i])) {
      any_digit = true;
      if (!n.digits.empty() || s[i] != u'0')
        n.digits.push_back(static_cast<char>(s[i]));
      if (after_point) --point_shift;
    } else if (s[i] == u'.' && !after_point) {
      after_point = true;
    } else {
      break;
    }
  }
  if (!any_digit) return std::nullopt;
  // Leading zeros after the point were dropped but still scale.
  if (n.digits.empty()) point_shift = 0;
  int64_t exponent = 0;
  if (i < s.size() && (s[i] == u'e' || s[i] == u'E')) {
    ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == u'+' || s[i] == u'-'))
      negative = s[i++] == u'-';
    if (i >= s.size() || !IsDigit(s[i])) return std::nullopt;
    for (; i < s.size() && IsDigit(s[i]); ++i)
      if (exponent < 100000) exponent = exponent * 10 + (s[i] - u'0');
    if (negative) exponent = -exponent;
  }
  if (i != s.size()) return std::nullopt;
  // Trailing zeros of the digits move into the exponent.
  while (!n.digits.empty() && n.digits.back() == '0') {
    n.digits.pop_back();
    ++exponent;
  }
  n.exponent = static_cast<int>(exponent + point_shift);
  return n;
}

// Rounds digits * 10^(exponent + shift) half to even; false when the result
// is beyond 10^36 (far outside every integer type).
bool DecimalToInteger(const DecimalText& n, int shift, Int128* out) {
  const int64_t len = static_cast<int64_t>(n.digits.size());
  const int64_t split = len + n.exponent + shift;  // digits before the point
  if (len == 0) {
    *out = 0;
    return true;
  }
  if (split > 36) return false;
  Int128 value = 0;
  for (int64_t k = 0; k < std::min(split, len); ++k)
    value = value * 10 + (n.digits[k] - '0');
  for (int64_t k = len; k < split; ++k) value *= 10;
  if (split < len) {
    // Trailing zeros are gone, so anything after the first dropped digit is
    // non-zero.
    const int first = split >= 0 ? n.digits[split] - '0' : 0;
    const bool rest = split < 0 || split + 1 < len;
    if (first > 5 || (first == 5 && (rest || (value & 1)))) ++value;
  }
  *out = n.negative ? -value : value;
  return true;
}

// DISP_E_OVERFLOW for magnitudes beyond a double; tiny ones become 0.
HRESULT DecimalToReal(const DecimalText& n, double* out) {
  if (n.digits.empty() ||
      int64_t{n.exponent} + static_cast<int64_t>(n.digits.size()) < -400) {
    *out = n.negative ? -0.0 : 0.0;
    return S_OK;
  }
  const std::string text = n.digits + "e" + std::to_string(n.exponent);
  double value;
  const auto [end, ec] =
      std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec == std::errc::result_out_of_range) {
    if (n.exponent < 0) {
      value = 0;  // below the smallest subnormal
    } else {
      return DISP_E_OVERFLOW;
    }
  } else if (ec != std::errc()) {
    return DISP_E_TYPEMISMATCH;
  }
  *out = n.negative ? -value : value;
  return S_OK;
}

// Number of a text: an exact integer when it is one, a double otherwise.
HRESULT NumberFromText(std::u16string_view text, Number* out) {
  const std::optional<DecimalText> n = ParseDecimal(text);
  if (!n) return DISP_E_TYPEMISMATCH;
  if (n->exponent >= 0 && DecimalToInteger(*n, 0, &out->integer)) {
    out->kind = Number::kInteger;
    return S_OK;
  }
  out->kind = Number::kReal;
  return DecimalToReal(*n, &out->real);
}

bool IsIntegerType(VARTYPE vt) {
  switch (vt) {
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_I8:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UI8:
    case VT_INT:
    case VT_UINT:
      return true;
    default:
      return false;
  }
}

bool IsNumericType(VARTYPE vt) {
  return IsIntegerType(vt) || vt == VT_R4 || vt == VT_R8 || vt == VT_CY ||
         vt == VT_DATE || vt == VT_BOOL || vt == VT_EMPTY;
}

// The number held by a numeric (or EMPTY/BOOL) variant.
Number NumberOf(const VARIANT& v) {
  Number n;
  switch (v.vt) {
    case VT_I1:
      n.integer = static_cast<int8_t>(v.cVal);
      break;
    case VT_I2:
      n.integer = v.iVal;
      break;
    case VT_I4:
      n.integer = v.lVal;
      break;
    case VT_INT:
      n.integer = v.intVal;
      break;
    case VT_I8:
      n.integer = v.llVal;
      break;
    case VT_UI1:
      n.integer = v.bVal;
      break;
    case VT_UI2:
      n.integer = v.uiVal;
      break;
    case VT_UI4:
      n.integer = v.ulVal;
      break;
    case VT_UINT:
      n.integer = v.uintVal;
      break;
    case VT_UI8:
      n.integer = v.ullVal;
      break;
    case VT_BOOL:
      n.integer = v.boolVal;
      break;
    case VT_R4:
      n.kind = Number::kReal;
      n.real = v.fltVal;
      break;
    case VT_R8:
      n.kind = Number::kReal;
      n.real = v.dblVal;
      break;
    case VT_DATE:
      n.kind = Number::kReal;
      n.real = v.date;
      break;
    case VT_CY:
      n.kind = Number::kCurrency;
      n.cy = v.cyVal.int64;
      break;
    default:  // VT_EMPTY
      break;
  }
  return n;
}

// Rounds to an integer half to even and checks [min, max].
HRESULT ToInteger(const Number& n, Int128 min, Int128 max, Int128* out) {
  Int128 value = 0;
  switch (n.kind) {
    case Number::kInteger:
      value = n.integer;
      break;
    case Number::kCurrency: {
      value = n.cy / 10000;
      const int64_t rest = n.cy % 10000;
      const int64_t twice = 2 * (rest < 0 ? -rest : rest);
      if (twice > 10000 || (twice == 10000 && (value & 1)))
        value += rest < 0 ? -1 : 1;
      break;
    }
    case Number::kReal: {
      if (std::isnan(n.real)) return DISP_E_OVERFLOW;
      // nearbyint rounds half to even in the default rounding mode.
      const long double r = std::nearbyint(static_cast<long double>(n.real));
      if (r < static_cast<long double>(min) ||
          r > static_cast<long double>(max))
        return DISP_E_OVERFLOW;
      value = static_cast<Int128>(r);
      break;
    }
  }
  if (value < min || value > max) return DISP_E_OVERFLOW;
  *out = value;
  return S_OK;
}

double ToDouble(const Number& n) {
  switch (n.kind) {
    case Number::kInteger:
      return static_cast<double>(n.integer);
    case Number::kCurrency:
      return static_cast<double>(n.cy) / 10000.0;
    default:
      return n.real;
  }
}

HRESULT ToCurrency(const Number& n, int64_t* out) {
  Int128 scaled;
  if (n.kind == Number::kCurrency) {
    *out = n.cy;
    return S_OK;
  }
  if (n.kind == Number::kInteger) {
    scaled = n.integer * 10000;
  } else {
    if (std::isnan(n.real)) return DISP_E_OVERFLOW;
    const long double r =
        std::nearbyint(static_cast<long double>(n.real) * 10000.0L);
    if (r < -0x1p63L || r >= 0x1p63L) return DISP_E_OVERFLOW;
    scaled = static_cast<Int128>(r);
  }
  if (scaled < INT64_MIN || scaled > INT64_MAX) return DISP_E_OVERFLOW;
  *out = static_cast<int64_t>(scaled);
  return S_OK;
}

std::string IntegerText(Int128 v) {
  if (v == 0) return "0";
  const bool negative = v < 0;
  unsigned __int128 m = negative ? -static_cast<unsigned __int128>(v)
                                 : static_cast<unsigned __int128>(v);
  std::string s;
  for (; m; m /= 10) s.insert(s.begin(), static_cast<char>('0' + m % 10));
  return negative ? "-" + s : s;
}

// As OLE prints reals: `precision` significant digits, no trailing zeros,
// scientific form ("1E+20", "1E-05") when the exponent is below -5 or at
// least the precision.
std::string RealText(double v, int precision) {
  if (v == 0) return "0";  // -0 too
  char buf[64];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof(buf), v,
                                       std::chars_format::general, precision);
  if (ec != std::errc()) return "0";
  std::string s(buf, end);
  for (char& c : s)
    if (c == 'e') c = 'E';
  return s;
}

std::string CurrencyText(int64_t cy) {
  const bool negative = cy < 0;
  const uint64_t m =
      negative ? 0 - static_cast<uint64_t>(cy) : static_cast<uint64_t>(cy);
  std::string s = std::to_string(m / 10000);
  uint64_t fraction = m % 10000;
  if (fraction) {
    std::string digits = std::to_string(fraction + 10000).substr(1);
    while (digits.back() == '0') digits.pop_back();
    s += "." + digits;
  }
  return negative ? "-" + s : s;
}

bool DateText(DATE date, std::string* out) {
  SYSTEMTIME st;
  if (!VariantTimeToSystemTime(date, &st)) return false;
  const bool day_zero = st.wYear == 1899 && st.wMonth == 12 && st.wDay == 30;
  const bool midnight = st.wHour == 0 && st.wMinute == 0 && st.wSecond == 0;
  char buf[64];
  std::string s;
  if (!day_zero) {
    std::snprintf(buf, sizeof(buf), "%u/%u/%u", st.wMonth, st.wDay, st.wYear);
    s = buf;
  }
  if (day_zero || !midnight) {
    const unsigned hour12 = st.wHour % 12 == 0 ? 12 : st.wHour % 12;
    std::snprintf(buf, sizeof(buf), "%s%u:%02u:%02u %s", s.empty() ? "" : " ",
                  hour12, st.wMinute, st.wSecond, st.wHour < 12 ? "AM" : "PM");
    s += buf;
  }
  *out = s;
  return true;
}

// Reads an unsigned decimal field of up to `max_digits` digits; returns how
// many digits it read (0: none there).
int ReadField(std::u16string_view s, size_t* i, int max_digits, int* value) {
  int digits = 0;
  *value = 0;
  while (*i < s.size() && IsDigit(s[*i]) && digits < max_digits) {
    *value = *value * 10 + (s[*i] - u'0');
    ++*i;
    ++digits;
  }
  return digits;
}

bool EqualsIgnoringAsciiCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t k = 0; k < a.size(); ++k) {
    auto lower = [](char16_t c) {
      return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
    };
    if (lower(a[k]) != lower(b[k])) return false;
  }
  return true;
}

// Date and/or time: "M/D/YYYY", "YYYY-MM-DD", then "h:mm[:ss] [AM|PM]" or
// 24-hour "H:mm[:ss]" (an ISO "T" may join date and time). Two-digit years
// 0-29 mean 2000-2029, 30-99 mean 1930-1999.
HRESULT ParseDate(std::u16string_view text, DATE* out) {
  const std::u16string_view s = Trim(text);
  SYSTEMTIME st{1899, 12, 0, 30, 0, 0, 0, 0};
  size_t i = 0;
  int a, b, c;
  bool have_date = false;
  const int a_digits = ReadField(s, &i, 4, &a);
  if (a_digits && i < s.size() && (s[i] == u'/' || s[i] == u'-')) {
    const char16_t sep = s[i++];
    int c_digits = 0;
    if (!ReadField(s, &i, 2, &b) || i >= s.size() || s[i++] != sep ||
        !(c_digits = ReadField(s, &i, 4, &c)))
      return DISP_E_TYPEMISMATCH;
    int year, month, day, year_digits;
    if (sep == u'-') {
      year = a, month = b, day = c, year_digits = a_digits;
    } else {
      month = a, day = b, year = c, year_digits = c_digits;
    }
    if (year_digits <= 2) year += year < 30 ? 2000 : 1900;
    st.wYear = static_cast<WORD>(year);
    st.wMonth = static_cast<WORD>(month);
    st.wDay = static_cast<WORD>(day);
    have_date = true;
    if (i < s.size() && (s[i] == u'T' || IsBlank(s[i]))) {
      ++i;
      while (i < s.size() && IsBlank(s[i])) ++i;
    } else if (i < s.size()) {
      return DISP_E_TYPEMISMATCH;
    }
  } else {
    i = 0;
  }
  if (i < s.size()) {
    int hour, minute, second = 0;
    if (!ReadField(s, &i, 2, &hour) || i >= s.size() || s[i++] != u':' ||
        !ReadField(s, &i, 2, &minute))
      return DISP_E_TYPEMISMATCH;
    if (i < s.size() && s[i] == u':') {
      ++i;
      if (!ReadField(s, &i, 2, &second)) return DISP_E_TYPEMISMATCH;
    }
    while (i < s.size() && IsBlank(s[i])) ++i;
    const std::u16string_view marker = s.substr(i);
    if (!marker.empty()) {
      const bool am = EqualsIgnoringAsciiCase(marker, u"AM");
      const bool pm = EqualsIgnoringAsciiCase(marker, u"PM");
      if ((!am && !pm) || hour < 1 || hour > 12) return DISP_E_TYPEMISMATCH;
      hour = hour % 12 + (pm ? 12 : 0);
    }
    st.wHour = static_cast<WORD>(hour);
    st.wMinute = static_cast<WORD>(minute);
    st.wSecond = static_cast<WORD>(second);
  } else if (!have_date) {
    return DISP_E_TYPEMISMATCH;
  }
  return SystemTimeToVariantTime(&st, out) ? S_OK : DISP_E_TYPEMISMATCH;
}

HRESULT NewBstr(const std::string& ascii, BSTR* out) {
  *out = SysAllocStringUtf8(ascii);
  return *out ? S_OK : E_OUTOFMEMORY;
}

struct IntegerRange {
  Int128 min, max;
};

IntegerRange RangeOf(VARTYPE vt) {
  switch (vt) {
    case VT_I1:
      return {INT8_MIN, INT8_MAX};
    case VT_I2:
      return {INT16_MIN, INT16_MAX};
    case VT_I4:
    case VT_INT:
      return {INT32_MIN, INT32_MAX};
    case VT_I8:
      return {INT64_MIN, INT64_MAX};
    case VT_UI1:
      return {0, UINT8_MAX};
    case VT_UI2:
      return {0, UINT16_MAX};
    case VT_UI4:
    case VT_UINT:
      return {0, UINT32_MAX};
    default:
      return {0, UINT64_MAX};  // VT_UI8
  }
}

// Text to an integer scaled by 10^shift, rounded half to even.
HRESULT TextToInteger(std::u16string_view text, int shift,
                      const IntegerRange& range, Int128* out) {
  const std::optional<DecimalText> n = ParseDecimal(text);
  if (!n) return DISP_E_TYPEMISMATCH;
  Int128 value;
  if (!DecimalToInteger(*n, shift, &value) || value < range.min ||
      value > range.max)
    return DISP_E_OVERFLOW;
  *out = value;
  return S_OK;
}

void StoreInteger(VARTYPE vt, Int128 v, VARIANT* out) {
  out->llVal = 0;
  switch (vt) {
    case VT_I1:
      out->cVal = static_cast<CHAR>(v);
      break;
    case VT_I2:
      out->iVal = static_cast<SHORT>(v);
      break;
    case VT_I4:
      out->lVal = static_cast<LONG>(v);
      break;
    case VT_INT:
      out->intVal = static_cast<INT>(v);
      break;
    case VT_I8:
      out->llVal = static_cast<LONGLONG>(v);
      break;
    case VT_UI1:
      out->bVal = static_cast<BYTE>(v);
      break;
    case VT_UI2:
      out->uiVal = static_cast<USHORT>(v);
      break;
    case VT_UI4:
      out->ulVal = static_cast<ULONG>(v);
      break;
    case VT_UINT:
      out->uintVal = static_cast<UINT>(v);
      break;
    default:
      out->ullVal = static_cast<ULONGLONG>(v);
      break;
  }
  out->vt = vt;
}

// The number a source converts from: its value, or its text read as a
// number.
HRESULT SourceNumber(const VARIANT& src, Number* n) {
  if (src.vt == VT_BSTR) return NumberFromText(BstrView(src.bstrVal), n);
  if (!IsNumericType(src.vt)) return DISP_E_TYPEMISMATCH;
  *n = NumberOf(src);
  return S_OK;
}

// Booleans print as "-1"/"0" unless the caller asks for VARIANT_ALPHABOOL.
HRESULT ToText(const VARIANT& src, BSTR* out, USHORT flags = 0) {
  switch (src.vt) {
    case VT_EMPTY:
      return NewBstr("", out);
    case VT_BOOL:
      if (flags & VARIANT_ALPHABOOL)
        return NewBstr(src.boolVal ? "True" : "False", out);
      return NewBstr(src.boolVal ? "-1" : "0", out);
    case VT_R4:
      return NewBstr(RealText(src.fltVal, 7), out);
    case VT_R8:
      return NewBstr(RealText(src.dblVal, 15), out);
    case VT_CY:
      return NewBstr(CurrencyText(src.cyVal.int64), out);
    case VT_DATE: {
      std::string text;
      if (!DateText(src.date, &text)) return DISP_E_OVERFLOW;
      return NewBstr(text, out);
    }
    default:
      if (!IsIntegerType(src.vt)) return DISP_E_TYPEMISMATCH;
      return NewBstr(IntegerText(NumberOf(src).integer), out);
  }
}

HRESULT ToBool(const VARIANT& src, VARIANT_BOOL* out) {
  if (src.vt == VT_BSTR) {
    const std::u16string_view text = Trim(BstrView(src.bstrVal));
    if (EqualsIgnoringAsciiCase(text, u"True")) {
      *out = VARIANT_TRUE;
      return S_OK;
    }
    if (EqualsIgnoringAsciiCase(text, u"False")) {
      *out = VARIANT_FALSE;
      return S_OK;
    }
  }
  Number n;
  const HRESULT hr = SourceNumber(src, &n);
  if (FAILED(hr)) return hr;
  bool nonzero;
  switch (n.kind) {
    case Number::kInteger:
      nonzero = n.integer != 0;
      break;
    case Number::kCurrency:
      nonzero = n.cy != 0;
      break;
    default:
      nonzero = n.real != 0;
      break;  // NaN counts as true
  }
  *out = nonzero ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

// Converts a by-value, non-array source to the scalar type `vt` into
// `out` (uninitialised). Does not handle vt == src.vt.
HRESULT Coerce(const VARIANT& src, VARTYPE vt, USHORT flags, VARIANT* out) {
  VariantInit(out);
  if (src.vt == VT_NULL) return DISP_E_TYPEMISMATCH;
  if (vt == VT_EMPTY || vt == VT_NULL) {
    // Any plain value may be dropped, but an error code never.
    if (src.vt == VT_ERROR || src.vt == VT_UNKNOWN || src.vt == VT_DISPATCH)
      return DISP_E_TYPEMISMATCH;
    out->vt = vt;
    return S_OK;
  }
  if (src.vt == VT_ERROR || vt == VT_ERROR) {
    if (src.vt == VT_ERROR && vt == VT_I4) {
      out->vt = VT_I4;
      out->lVal = src.scode;
      return S_OK;
    }
    if (src.vt == VT_I4 && vt == VT_ERROR) {
      out->vt = VT_ERROR;
      out->scode = src.lVal;
      return S_OK;
    }
    return DISP_E_TYPEMISMATCH;
  }
  if (src.vt == VT_UNKNOWN || src.vt == VT_DISPATCH || vt == VT_UNKNOWN ||
      vt == VT_DISPATCH) {
    // Only between the two interface types, by QueryInterface.
    if (!((src.vt == VT_UNKNOWN || src.vt == VT_DISPATCH) &&
          (vt == VT_UNKNOWN || vt == VT_DISPATCH)))
      return DISP_E_TYPEMISMATCH;
    void* object = nullptr;
    if (src.punkVal) {
      const HRESULT hr = src.punkVal->QueryInterface(
          vt == VT_DISPATCH ? kIidDispatch : IID_IUnknown, &object);
      if (FAILED(hr)) return hr == E_NOINTERFACE ? DISP_E_TYPEMISMATCH : hr;
    }
    out->vt = vt;
    out->punkVal = static_cast<IUnknown*>(object);
    return S_OK;
  }
  HRESULT hr;
  if (vt == VT_BSTR) {
    hr = ToText(src, &out->bstrVal, flags);
  } else if (vt == VT_BOOL) {
    hr = ToBool(src, &out->boolVal);
  } else if (vt == VT_DATE && src.vt == VT_BSTR) {
    hr = ParseDate(BstrView(src.bstrVal), &out->date);
  } else {
    Number n;
    hr = SourceNumber(src, &n);
    if (FAILED(hr)) return hr;
    if (IsIntegerType(vt)) {
      const IntegerRange range = RangeOf(vt);
      Int128 value;
      if (src.vt == VT_BSTR) {
        // Rounded from the decimal digits, so no double precision is lost.
        hr = TextToInteger(BstrView(src.bstrVal), 0, range, &value);
      } else if (src.vt == VT_BOOL && range.min == 0) {
        value = src.boolVal ? range.max : 0;  // True sets every bit
      } else {
        hr = ToInteger(n, range.min, range.max, &value);
      }
      if (SUCCEEDED(hr)) StoreInteger(vt, value, out);
      return hr;
    }
    switch (vt) {
      case VT_R8:
        out->dblVal = ToDouble(n);
        break;
      case VT_R4: {
        const double d = ToDouble(n);
        if (std::fabs(d) > FLT_MAX) return DISP_E_OVERFLOW;
        out->fltVal = static_cast<float>(d);
        break;
      }
      case VT_DATE: {
        const double d = ToDouble(n);
        if (!(d > kMinDate - 1 && d < kMaxDate + 1)) return DISP_E_OVERFLOW;
        out->date = d;
        break;
      }
      case VT_CY:
        if (src.vt == VT_BSTR) {
          Int128 value;
          hr = TextToInteger(BstrView(src.bstrVal), 4, {INT64_MIN, INT64_MAX},
                             &value);
          out->cyVal.int64 = static_cast<int64_t>(value);
        } else {
          hr = ToCurrency(n, &out->cyVal.int64);
        }
        break;
      default:
        return DISP_E_BADVARTYPE;
    }
  }
  if (SUCCEEDED(hr)) out->vt = vt;
  return hr;
}

bool IsSupportedScalar(VARTYPE vt) {
  return IsNumericType(vt) || vt == VT_NULL || vt == VT_BSTR ||
         vt == VT_ERROR || vt == VT_UNKNOWN || vt == VT_DISPATCH;
}

bool IsSupportedType(VARTYPE vt) {
  if (vt & (VT_VECTOR | VT_RESERVED)) return false;
  const VARTYPE base = vt & VT_TYPEMASK;
  if (vt & (VT_ARRAY | VT_BYREF))
    return base > VT_NULL && (IsSupportedScalar(base) || base == VT_VARIANT);
  return IsSupportedScalar(vt);
}

// Latin, Greek and Cyrillic letters compare without case when asked.
char16_t FoldCase(char16_t c) {
  if (c >= u'A' && c <= u'Z') return c + 32;
  if ((c >= 0xC0 && c <= 0xDE && c != 0xD7) || (c >= 0x391 && c <= 0x3A9) ||
      (c >= 0x410 && c <= 0x42F))
    return c + 32;
  if (c >= 0x400 && c <= 0x40F) return c + 80;
  return c;
}

HRESULT CompareNumbers(const Number& a, const Number& b) {
  auto result = [](auto x, auto y) {
    return x < y ? VARCMP_LT : (y < x ? VARCMP_GT : VARCMP_EQ);
  };
  if (a.kind == Number::kInteger && b.kind == Number::kInteger)
    return result(a.integer, b.integer);
  if (a.kind != Number::kReal && b.kind != Number::kReal) {
    // Integers and currency: compare in units of 1/10000.
    auto scaled = [](const Number& n) {
      return n.kind == Number::kCurrency ? Int128{n.cy} : n.integer * 10000;
    };
    return result(scaled(a), scaled(b));
  }
  auto real = [](const Number& n) {
    switch (n.kind) {
      case Number::kInteger:
        return static_cast<long double>(n.integer);
      case Number::kCurrency:
        return static_cast<long double>(n.cy) / 10000;
      default:
        return static_cast<long double>(n.real);
    }
  };
  const long double x = real(a), y = real(b);
  // NaN equals NaN and sorts above every number, so that an unchanged NaN
  // compares equal to itself.
  if (std::isnan(x) || std::isnan(y))
    return std::isnan(x) && std::isnan(y)
               ? VARCMP_EQ
               : (std::isnan(x) ? VARCMP_GT : VARCMP_LT);
  return result(x, y);
}

HRESULT CompareValues(const VARIANT& l, const VARIANT& r, LCID lcid,
                      ULONG flags) {
  if (l.vt == VT_NULL || r.vt == VT_NULL) return VARCMP_NULL;
  if (l.vt == VT_ERROR && r.vt == VT_ERROR)
    return l.scode < r.scode ? VARCMP_LT
                             : (l.scode > r.scode ? VARCMP_GT : VARCMP_EQ);
  if (!IsNumericType(l.vt) && l.vt != VT_BSTR) return DISP_E_TYPEMISMATCH;
  if (!IsNumericType(r.vt) && r.vt != VT_BSTR) return DISP_E_TYPEMISMATCH;
  const bool l_text = l.vt == VT_BSTR, r_text = r.vt == VT_BSTR;
  if (l_text && r_text) return VarBstrCmp(l.bstrVal, r.bstrVal, lcid, flags);
  if (l_text != r_text) {
    const VARIANT& text = l_text ? l : r;
    const VARIANT& other = l_text ? r : l;
    Number from_text;
    HRESULT hr;
    if (other.vt == VT_EMPTY) {
      hr = VarBstrCmp(nullptr, text.bstrVal, lcid, flags);
      if (l_text)
        hr = hr == VARCMP_LT ? VARCMP_GT : (hr == VARCMP_GT ? VARCMP_LT : hr);
      return hr;
    }
    if (SUCCEEDED(NumberFromText(BstrView(text.bstrVal), &from_text))) {
      return l_text ? CompareNumbers(from_text, NumberOf(other))
                    : CompareNumbers(NumberOf(other), from_text);
    }
    BSTR number_text;
    hr = ToText(other, &number_text, VARIANT_ALPHABOOL);
    if (FAILED(hr)) return hr;
    hr = l_text ? VarBstrCmp(text.bstrVal, number_text, lcid, flags)
                : VarBstrCmp(number_text, text.bstrVal, lcid, flags);
    SysFreeString(number_text);
    return hr;
  }
  return CompareNumbers(NumberOf(l), NumberOf(r));
}

}  // namespace
}  // namespace kavex::com

HRESULT VariantChangeTypeEx(VARIANT* dest, const VARIANT* src, LCID,
                            USHORT flags, VARTYPE vt) {
  if (!dest || !src) return E_INVALIDARG;
  if (!kavex::com::IsSupportedType(src->vt) || !kavex::com::IsSupportedType(vt))
    return DISP_E_BADVARTYPE;
  if (vt & VT_BYREF) return DISP_E_TYPEMISMATCH;
  VARIANT value;  // the source by value
  VariantInit(&value);
  HRESULT hr = VariantCopyInd(&value, src);
  if (FAILED(hr)) return hr;
  VARIANT result;
  VariantInit(&result);
  if (value.vt == vt) {
    result = value;  // already the copy wanted
    VariantInit(&value);
  } else if ((value.vt | vt) & VT_ARRAY) {
    hr = DISP_E_TYPEMISMATCH;
  } else {
    hr = kavex::com::Coerce(value, vt, flags, &result);
  }
  VariantClear(&value);
  if (FAILED(hr)) return hr;
  hr = VariantClear(dest);  // also the source when converting in place
  if (FAILED(hr)) {
    VariantClear(&result);
    return hr;
  }
  *dest = result;
  return S_OK;
}

HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, USHORT flags,
                          VARTYPE vt) {
  return VariantChangeTypeEx(dest, src, LOCALE_USER_DEFAULT, flags, vt);
}

HRESULT VarBstrCmp(const OLECHAR* left, const OLECHAR* right, LCID,
                   ULONG flags) {
  const std::u16string_view a = kavex::com::BstrView(left),
                            b = kavex::com::BstrView(right);
  const size_t n = std::min(a.size(), b.size());
  for (size_t k = 0; k < n; ++k) {
    char16_t x = a[k], y = b[k];
    if (flags & NORM_IGNORECASE) {
      x = kavex::com::FoldCase(x);
      y = kavex::com::FoldCase(y);
    }
    if (x != y) return x < y ? VARCMP_LT : VARCMP_GT;
  }
  if (a.size() == b.size()) return VARCMP_EQ;
  return a.size() < b.size() ? VARCMP_LT : VARCMP_GT;
}

HRESULT VarCmp(const VARIANT* left, const VARIANT* right, LCID lcid,
               ULONG flags) {
  if (!left || !right) return E_INVALIDARG;
  for (const VARIANT* v : {left, right})
    if ((v->vt & VT_ARRAY) || !kavex::com::IsSupportedType(v->vt))
      return DISP_E_BADVARTYPE;
  VARIANT l, r;
  VariantInit(&l);
  VariantInit(&r);
  HRESULT hr = VariantCopyInd(&l, left);
  if (SUCCEEDED(hr)) hr = VariantCopyInd(&r, right);
  if (SUCCEEDED(hr)) hr = kavex::com::CompareValues(l, r, lcid, flags);
  VariantClear(&l);
  VariantClear(&r);
  return hr;
}
