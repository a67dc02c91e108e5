// How kavex-opc-client prints what a server answers: values, qualities,
// timestamps and result codes, one line per item.
#ifndef KAVEX_TOOLS_OPC_CLIENT_VALUE_TEXT_H_
#define KAVEX_TOOLS_OPC_CLIENT_VALUE_TEXT_H_

#include <string>

#include "platform/com/variant.h"

namespace kavex::opc_client {

// 42, -1.5, true, "text" (quoted, with \" and \\ escaped), empty; other
// types as their text conversion, or "<VT n>" when there is none.
std::string FormatValue(const VARIANT& value);
// "VT_I4", "VT_BSTR", ... or "VT n".
std::string TypeName(VARTYPE vt);
// "0xC0 good", "0x40 uncertain", "0x00 bad", with the substatus name when
// it has one ("0x18 bad comm failure").
std::string FormatQuality(WORD quality);
// "2026-12-11T11:00:00.123Z"; "-" for a zero time.
std::string FormatFileTime(const FILETIME& time);
// "0xC0040007 OPC_E_UNKNOWNITEMID" (the name when known).
std::string FormatResult(HRESULT hr);

}  // namespace kavex::opc_client

#endif  // KAVEX_TOOLS_OPC_CLIENT_VALUE_TEXT_H_
