#include "configurator/core/xml_attributes.h"

#include "platform/com/bstr.h"
#include "platform/com/variant.h"

namespace kavex::configurator {
namespace {

// The converted value; the zero of the type when the text does not convert.
com::Variant Converted(xmldoc::CXNode& node, const char16_t* name,
                       VARTYPE vt) {
  xmldoc::CXNode attribute = node.GetAttribute(name);
  com::Variant value;
  VARIANT converted = attribute.Value(vt);
  value.Attach(&converted);
  return value;
}

}  // namespace

std::u16string AttributeText(xmldoc::CXNode& node, const char16_t* name) {
  xmldoc::CXNode attribute = node.GetAttribute(name);
  com::Bstr text;
  text.Attach(attribute.Text());
  return std::u16string(text.View());
}

BYTE AttributeByte(xmldoc::CXNode& node, const char16_t* name) {
  com::Variant value = Converted(node, name, VT_UI1);
  return value.vt == VT_UI1 ? value.bVal : 0;
}

SHORT AttributeShort(xmldoc::CXNode& node, const char16_t* name) {
  com::Variant value = Converted(node, name, VT_I2);
  return value.vt == VT_I2 ? value.iVal : 0;
}

DWORD AttributeDword(xmldoc::CXNode& node, const char16_t* name) {
  com::Variant value = Converted(node, name, VT_UI4);
  return value.vt == VT_UI4 ? value.ulVal : 0;
}

bool AttributeYes(xmldoc::CXNode& node, const char16_t* name) {
  return AttributeText(node, name) == u"Yes";
}

}  // namespace kavex::configurator
