// OPC DA result codes, with their names for traces and tests and the
// English texts a server's GetErrorString answers.
#ifndef KAVEX_PLATFORM_OPC_OPC_ERROR_H_
#define KAVEX_PLATFORM_OPC_OPC_ERROR_H_

#include <span>

#include "platform/base/results.h"

// X(name, value, text)
#define KAVEX_OPC_RESULT_CODES(X)                                             \
  X(OPC_E_INVALIDHANDLE, 0xC0040001, "The value of the handle is invalid.")   \
  X(OPC_E_BADTYPE, 0xC0040004,                                                \
    "The server cannot convert the data between the requested data type and " \
    "the canonical data type.")                                               \
  X(OPC_E_PUBLIC, 0xC0040005,                                                 \
    "The requested operation cannot be done on a public group.")              \
  X(OPC_E_BADRIGHTS, 0xC0040006,                                              \
    "The Item's Access Rights do not allow the operation.")                   \
  X(OPC_E_UNKNOWNITEMID, 0xC0040007,                                          \
    "The item is no longer available in the server address space.")           \
  X(OPC_E_INVALIDITEMID, 0xC0040008,                                          \
    "The item definition doesn't conform to the server's syntax.")            \
  X(OPC_E_INVALIDFILTER, 0xC0040009, "The filter string was not valid")       \
  X(OPC_E_UNKNOWNPATH, 0xC004000A,                                            \
    "The item's access path is not known to the server.")                     \
  X(OPC_E_RANGE, 0xC004000B, "The value was out of range.")                   \
  X(OPC_E_DUPLICATENAME, 0xC004000C, "Duplicate name not allowed.")           \
  X(OPC_S_UNSUPPORTEDRATE, 0x0004000D,                                        \
    "The server does not support the requested data rate but will use the "   \
    "closest available rate.")                                                \
  X(OPC_S_CLAMP, 0x0004000E,                                                  \
    "A value passed to WRITE was accepted but the output was clamped.")       \
  X(OPC_S_INUSE, 0x0004000F,                                                  \
    "The operation cannot be completed because the object still has "         \
    "references that exist.")                                                 \
  X(OPC_E_INVALIDCONFIGFILE, 0xC0040010,                                      \
    "The server's configuration file is an invalid format.")                  \
  X(OPC_E_NOTFOUND, 0xC0040011,                                               \
    "The server could not locate the requested object.")                      \
  X(OPC_E_INVALID_PID, 0xC0040203,                                            \
    "The server does not recognise the passed property ID.")

#define KAVEX_DECLARE_OPC_RESULT(name, value, text) \
  KAVEX_DECLARE_RESULT(name, value)
KAVEX_OPC_RESULT_CODES(KAVEX_DECLARE_OPC_RESULT)
#undef KAVEX_DECLARE_OPC_RESULT

namespace kavex::opc {

// Adds the OPC names to HResultName(); call once at start-up.
inline void RegisterOpcResultNames() {
#define KAVEX_OPC_RESULT_ENTRY(name, value, text) {name, #name},
  static const ResultName table[] = {
      KAVEX_OPC_RESULT_CODES(KAVEX_OPC_RESULT_ENTRY)};
#undef KAVEX_OPC_RESULT_ENTRY
  RegisterResultNames(table, sizeof(table) / sizeof(table[0]));
}

struct OpcResultText {
  HRESULT code;
  const char16_t* text;
};

// The text of every OPC code above, in the order listed.
std::span<const OpcResultText> OpcResultTexts();

// The text for any other code, system codes included.
inline constexpr const char16_t* kGeneralErrorText = u"General error.";

// The code's text from the table, else kGeneralErrorText. Never null; the
// text is static.
const char16_t* OpcResultTextOf(HRESULT code);

}  // namespace kavex::opc

#endif  // KAVEX_PLATFORM_OPC_OPC_ERROR_H_
