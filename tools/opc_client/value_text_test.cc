// What the client prints for values, qualities, times and result codes.
#include "tools/opc_client/value_text.h"

#include <gtest/gtest.h>

#include "platform/com/bstr.h"
#include "platform/com/filetime.h"
#include "platform/opc/opc_error.h"

namespace kavex::opc_client {
namespace {

TEST(ValueText, ValuesOfEachType) {
  VARIANT v;
  VariantInit(&v);
  EXPECT_EQ(FormatValue(v), "empty");
  v.vt = VT_I4;
  v.lVal = -42;
  EXPECT_EQ(FormatValue(v), "-42");
  v.vt = VT_UI2;
  v.uiVal = 65535;
  EXPECT_EQ(FormatValue(v), "65535");
  v.vt = VT_R8;
  v.dblVal = 0.1;
  EXPECT_EQ(FormatValue(v), "0.1");
  v.vt = VT_BOOL;
  v.boolVal = VARIANT_TRUE;
  EXPECT_EQ(FormatValue(v), "true");
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(u"say \"hi\"\\\n");
  EXPECT_EQ(FormatValue(v), "\"say \\\"hi\\\"\\\\\\n\"");
  VariantClear(&v);
  v.vt = VT_ARRAY | VT_I4;
  EXPECT_EQ(FormatValue(v), "<VT_ARRAY|VT_I4>");
  EXPECT_EQ(TypeName(VT_BSTR), "VT_BSTR");
  EXPECT_EQ(TypeName(99), "VT 99");
}

TEST(ValueText, QualitiesTimesAndResults) {
  EXPECT_EQ(FormatQuality(0xC0), "0xC0 good");
  EXPECT_EQ(FormatQuality(0x18), "0x18 bad comm failure");
  EXPECT_EQ(FormatQuality(0x41), "0x41 uncertain");  // limit bits ignored
  EXPECT_EQ(FormatQuality(0xD8), "0xD8 good local override");
  EXPECT_EQ(FormatQuality(0x80), "0x80 invalid");
  EXPECT_EQ(FormatFileTime({}), "-");
  SYSTEMTIME st = {2026, 12, 0, 11, 11, 0, 5, 123};
  FILETIME ft;
  ASSERT_TRUE(SystemTimeToFileTime(&st, &ft));
  EXPECT_EQ(FormatFileTime(ft), "2026-12-11T11:00:05.123Z");
  opc::RegisterOpcResultNames();
  EXPECT_EQ(FormatResult(OPC_E_UNKNOWNITEMID), "0xC0040007 OPC_E_UNKNOWNITEMID");
  EXPECT_EQ(FormatResult(E_ACCESSDENIED), "0x80070005 E_ACCESSDENIED");
  EXPECT_EQ(FormatResult(HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE)),
            "0x800706BA RPC_S_SERVER_UNAVAILABLE");
  EXPECT_EQ(FormatResult(static_cast<HRESULT>(0x8123ABCD)), "0x8123ABCD");
}

}  // namespace
}  // namespace kavex::opc_client
