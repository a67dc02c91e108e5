#include "tools/opc_client/value_text.h"

#include <cinttypes>
#include <cstdio>

#include "platform/com/filetime.h"
#include "platform/opc/opc_error.h"
#include "platform/text/utf.h"

namespace kavex::opc_client {

namespace {

std::string Quoted(const char16_t* text) {
  std::string utf8 = text ? text::Utf16ToUtf8(text) : std::string();
  std::string out = "\"";
  for (char c : utf8) {
    if (c == '"' || c == '\\') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out + "\"";
}

std::string Real(double v) {
  char buffer[64];
  snprintf(buffer, sizeof buffer, "%.15g", v);
  return buffer;
}

}  // namespace

std::string TypeName(VARTYPE vt) {
  static const struct {
    VARTYPE vt;
    const char* name;
  } kNames[] = {
      {VT_EMPTY, "VT_EMPTY"}, {VT_NULL, "VT_NULL"}, {VT_I2, "VT_I2"},
      {VT_I4, "VT_I4"},       {VT_R4, "VT_R4"},     {VT_R8, "VT_R8"},
      {VT_CY, "VT_CY"},       {VT_DATE, "VT_DATE"}, {VT_BSTR, "VT_BSTR"},
      {VT_ERROR, "VT_ERROR"}, {VT_BOOL, "VT_BOOL"}, {VT_I1, "VT_I1"},
      {VT_UI1, "VT_UI1"},     {VT_UI2, "VT_UI2"},   {VT_UI4, "VT_UI4"},
      {VT_I8, "VT_I8"},       {VT_UI8, "VT_UI8"},   {VT_INT, "VT_INT"},
      {VT_UINT, "VT_UINT"},
  };
  std::string prefix = (vt & VT_ARRAY) ? "VT_ARRAY|" : "";
  VARTYPE base = vt & VT_TYPEMASK;
  for (const auto& n : kNames) {
    if (n.vt == base) return prefix + n.name;
  }
  return prefix + "VT " + std::to_string(base);
}

std::string FormatValue(const VARIANT& v) {
  if (v.vt & VT_ARRAY) return "<" + TypeName(v.vt) + ">";
  switch (v.vt) {
    case VT_EMPTY:
      return "empty";
    case VT_NULL:
      return "null";
    case VT_I1:
      return std::to_string(v.cVal);
    case VT_UI1:
      return std::to_string(v.bVal);
    case VT_I2:
      return std::to_string(v.iVal);
    case VT_UI2:
      return std::to_string(v.uiVal);
    case VT_I4:
    case VT_INT:
      return std::to_string(v.lVal);
    case VT_UI4:
    case VT_UINT:
      return std::to_string(v.ulVal);
    case VT_I8:
      return std::to_string(v.llVal);
    case VT_UI8:
      return std::to_string(v.ullVal);
    case VT_R4:
      return Real(v.fltVal);
    case VT_R8:
      return Real(v.dblVal);
    case VT_BOOL:
      return v.boolVal ? "true" : "false";
    case VT_BSTR:
      return Quoted(v.bstrVal);
    default:
      break;
  }
  VARIANT text;
  VariantInit(&text);
  std::string out = "<" + TypeName(v.vt) + ">";
  if (SUCCEEDED(VariantChangeType(&text, &v, 0, VT_BSTR))) {
    out = Quoted(text.bstrVal);
  }
  VariantClear(&text);
  return out;
}

std::string FormatQuality(WORD quality) {
  static const struct {
    WORD bits;
    const char* name;
  } kSubstatus[] = {
      {0x04, "config error"},    {0x08, "not connected"},
      {0x0C, "device failure"},  {0x10, "sensor failure"},
      {0x14, "last known"},      {0x18, "comm failure"},
      {0x1C, "out of service"},  {0x44, "last usable"},
      {0x50, "sensor cal"},      {0x54, "egu exceeded"},
      {0x58, "sub normal"},      {0xD8, "local override"},
  };
  char buffer[16];
  snprintf(buffer, sizeof buffer, "0x%02X", static_cast<unsigned>(quality));
  std::string out = buffer;
  switch (quality & 0xC0) {
    case 0xC0:
      out += " good";
      break;
    case 0x40:
      out += " uncertain";
      break;
    case 0x00:
      out += " bad";
      break;
    default:
      out += " invalid";
      return out;
  }
  for (const auto& s : kSubstatus) {
    if (s.bits == (quality & 0xFC)) out += std::string(" ") + s.name;
  }
  return out;
}

std::string FormatFileTime(const FILETIME& time) {
  if (time.dwLowDateTime == 0 && time.dwHighDateTime == 0) return "-";
  SYSTEMTIME st;
  if (!FileTimeToSystemTime(&time, &st)) return "-";
  char buffer[64];
  snprintf(buffer, sizeof buffer, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ",
           unsigned{st.wYear}, unsigned{st.wMonth}, unsigned{st.wDay},
           unsigned{st.wHour}, unsigned{st.wMinute}, unsigned{st.wSecond},
           unsigned{st.wMilliseconds});
  return buffer;
}

std::string FormatResult(HRESULT hr) {
  char buffer[16];
  snprintf(buffer, sizeof buffer, "0x%08" PRIX32, static_cast<uint32_t>(hr));
  std::string out = buffer;
  const char* name = HResultName(hr);
  if (name && name[0] != '0') return out + " " + name;
  // Win32 errors carried as HRESULTs (RPC_S_SERVER_UNAVAILABLE, ...).
  if ((static_cast<uint32_t>(hr) & 0xFFFF0000u) == 0x80070000u) {
    name = Win32ErrorName(static_cast<uint32_t>(hr) & 0xFFFFu);
    if (name && name[0] >= 'A' && name[0] <= 'Z') out += std::string(" ") + name;
  }
  return out;
}

}  // namespace kavex::opc_client
