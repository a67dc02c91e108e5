#include "platform/opc/opc_error.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace kavex::opc {
namespace {

TEST(OpcErrorTest, EveryCodeHasItsText) {
  struct Case {
    uint32_t code;
    const char* name;
    const char16_t* text;
  };
  const Case kCases[] = {
      {0x0004000D, "OPC_S_UNSUPPORTEDRATE",
       u"The server does not support the requested data rate but will use "
       u"the closest available rate."},
      {0x0004000E, "OPC_S_CLAMP",
       u"A value passed to WRITE was accepted but the output was clamped."},
      {0x0004000F, "OPC_S_INUSE",
       u"The operation cannot be completed because the object still has "
       u"references that exist."},
      {0xC0040001, "OPC_E_INVALIDHANDLE",
       u"The value of the handle is invalid."},
      {0xC0040004, "OPC_E_BADTYPE",
       u"The server cannot convert the data between the requested data type "
       u"and the canonical data type."},
      {0xC0040005, "OPC_E_PUBLIC",
       u"The requested operation cannot be done on a public group."},
      {0xC0040006, "OPC_E_BADRIGHTS",
       u"The Item's Access Rights do not allow the operation."},
      {0xC0040007, "OPC_E_UNKNOWNITEMID",
       u"The item is no longer available in the server address space."},
      {0xC0040008, "OPC_E_INVALIDITEMID",
       u"The item definition doesn't conform to the server's syntax."},
      {0xC0040009, "OPC_E_INVALIDFILTER", u"The filter string was not valid"},
      {0xC004000A, "OPC_E_UNKNOWNPATH",
       u"The item's access path is not known to the server."},
      {0xC004000B, "OPC_E_RANGE", u"The value was out of range."},
      {0xC004000C, "OPC_E_DUPLICATENAME", u"Duplicate name not allowed."},
      {0xC0040010, "OPC_E_INVALIDCONFIGFILE",
       u"The server's configuration file is an invalid format."},
      {0xC0040011, "OPC_E_NOTFOUND",
       u"The server could not locate the requested object."},
      {0xC0040203, "OPC_E_INVALID_PID",
       u"The server does not recognise the passed property ID."},
  };
  RegisterOpcResultNames();
  for (const Case& c : kCases) {
    HRESULT code = static_cast<HRESULT>(c.code);
    SCOPED_TRACE(c.name);
    EXPECT_EQ(std::u16string(c.text), OpcResultTextOf(code));
    EXPECT_STREQ(c.name, HResultName(code));
  }
  ASSERT_EQ(std::size(kCases), OpcResultTexts().size());
  std::set<HRESULT> codes;
  for (const OpcResultText& entry : OpcResultTexts()) codes.insert(entry.code);
  EXPECT_EQ(std::size(kCases), codes.size());  // no code listed twice
  EXPECT_EQ(static_cast<HRESULT>(0xC0040007u), OPC_E_UNKNOWNITEMID);
  EXPECT_EQ(0x0004000D, OPC_S_UNSUPPORTEDRATE);
}

TEST(OpcErrorTest, OtherCodesAreGeneralErrors) {
  const uint32_t kOthers[] = {0x80004005, 0xC0040002, 0x00000000, 0x00000001,
                              0x80070057, 0xC0040200, 0xC0040400, 0xFFFFFFFF};
  for (uint32_t code : kOthers)
    EXPECT_EQ(std::u16string(u"General error."),
              OpcResultTextOf(static_cast<HRESULT>(code)))
        << std::hex << code;
}

}  // namespace
}  // namespace kavex::opc
