// Reading the attributes of the configurator's XML files (the configuration
// file, export files, the model catalog): every value is text, and an absent
// attribute reads as empty text or as 0.
#ifndef KAVEX_CONFIGURATOR_CORE_XML_ATTRIBUTES_H_
#define KAVEX_CONFIGURATOR_CORE_XML_ATTRIBUTES_H_

#include <string>

#include "platform/base/types.h"
#include "xmldoc/xdomlib.h"

namespace kavex::configurator {

// The attribute's text; "" when it is absent.
std::u16string AttributeText(xmldoc::CXNode& node, const char16_t* name);

// The attribute converted to VT_UI1, VT_I2 or VT_UI4 by the library's
// conversion; 0 when it is absent or does not convert (out of range, not a
// number).
BYTE AttributeByte(xmldoc::CXNode& node, const char16_t* name);
SHORT AttributeShort(xmldoc::CXNode& node, const char16_t* name);
DWORD AttributeDword(xmldoc::CXNode& node, const char16_t* name);

// Exactly "Yes" (case-sensitive) is true; anything else, absent included,
// is false.
bool AttributeYes(xmldoc::CXNode& node, const char16_t* name);

}  // namespace kavex::configurator

#endif  // KAVEX_CONFIGURATOR_CORE_XML_ATTRIBUTES_H_
