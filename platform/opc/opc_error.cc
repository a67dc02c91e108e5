#include "platform/opc/opc_error.h"

namespace kavex::opc {
namespace {

#define KAVEX_OPC_RESULT_TEXT(name, value, text) {name, u"" text},
constexpr OpcResultText kTexts[] = {
    KAVEX_OPC_RESULT_CODES(KAVEX_OPC_RESULT_TEXT)};
#undef KAVEX_OPC_RESULT_TEXT

}  // namespace

std::span<const OpcResultText> OpcResultTexts() { return kTexts; }

const char16_t* OpcResultTextOf(HRESULT code) {
  for (const OpcResultText& entry : kTexts)
    if (entry.code == code) return entry.text;
  return kGeneralErrorText;
}

}  // namespace kavex::opc
