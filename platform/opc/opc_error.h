// OPC DA result codes, with their names for traces and tests.
#ifndef KAVEX_PLATFORM_OPC_OPC_ERROR_H_
#define KAVEX_PLATFORM_OPC_OPC_ERROR_H_

#include "platform/base/results.h"

// X(name, value)
#define KAVEX_OPC_RESULT_CODES(X)         \
  X(OPC_E_INVALIDHANDLE, 0xC0040001)      \
  X(OPC_E_BADTYPE, 0xC0040004)            \
  X(OPC_E_PUBLIC, 0xC0040005)             \
  X(OPC_E_BADRIGHTS, 0xC0040006)          \
  X(OPC_E_UNKNOWNITEMID, 0xC0040007)      \
  X(OPC_E_INVALIDITEMID, 0xC0040008)      \
  X(OPC_E_INVALIDFILTER, 0xC0040009)      \
  X(OPC_E_UNKNOWNPATH, 0xC004000A)        \
  X(OPC_E_RANGE, 0xC004000B)              \
  X(OPC_E_DUPLICATENAME, 0xC004000C)      \
  X(OPC_S_UNSUPPORTEDRATE, 0x0004000D)    \
  X(OPC_S_CLAMP, 0x0004000E)              \
  X(OPC_S_INUSE, 0x0004000F)              \
  X(OPC_E_INVALIDCONFIGFILE, 0xC0040010)  \
  X(OPC_E_NOTFOUND, 0xC0040011)           \
  X(OPC_E_INVALID_PID, 0xC0040203)

KAVEX_OPC_RESULT_CODES(KAVEX_DECLARE_RESULT)

namespace kavex::opc {

// Adds the OPC names to HResultName(); call once at start-up.
inline void RegisterOpcResultNames() {
#define KAVEX_OPC_RESULT_ENTRY(name, value) {name, #name},
  static const ResultName table[] = {
      KAVEX_OPC_RESULT_CODES(KAVEX_OPC_RESULT_ENTRY)};
#undef KAVEX_OPC_RESULT_ENTRY
  RegisterResultNames(table, sizeof(table) / sizeof(table[0]));
}

}  // namespace kavex::opc

#endif  // KAVEX_PLATFORM_OPC_OPC_ERROR_H_
