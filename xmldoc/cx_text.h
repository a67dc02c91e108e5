// Texts the document classes record, and how an argument is added to one.
// Internal to the library.
#ifndef KAVEX_XMLDOC_CX_TEXT_H_
#define KAVEX_XMLDOC_CX_TEXT_H_

#include <string>
#include <string_view>

#include "platform/base/types.h"

namespace kavex::xmldoc {

// A null string reads as "".
inline std::u16string_view View(const OLECHAR* text) {
  return text ? std::u16string_view(text) : std::u16string_view();
}

// "message 'argument'".
inline std::u16string WithArgument(std::u16string_view message,
                                   const OLECHAR* argument) {
  std::u16string text(message);
  text += u" '";
  text += View(argument);
  text += u"'";
  return text;
}

}  // namespace kavex::xmldoc

#endif  // KAVEX_XMLDOC_CX_TEXT_H_
