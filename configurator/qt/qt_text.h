// Texts between the window models (UTF-16, the toolkit-free controls of
// configurator/core) and Qt.
#ifndef KAVEX_CONFIGURATOR_QT_QT_TEXT_H_
#define KAVEX_CONFIGURATOR_QT_QT_TEXT_H_

#include <QString>
#include <string>
#include <string_view>

namespace kavex::configurator::qt {

inline QString Q(std::u16string_view text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

inline std::u16string U16(const QString& text) {
  return text.toStdU16String();
}

// What a static text control shows for `text`: "&&" is one "&", a lone "&"
// only marks a mnemonic and is not shown, a carriage return is not shown.
QString StaticText(std::u16string_view text);

// What a button or menu entry shows for its Qt text (the mnemonic marks
// removed the same way): "Save && Close" shows "Save & Close".
QString ShownText(const QString& qt_text);

}  // namespace kavex::configurator::qt

#endif  // KAVEX_CONFIGURATOR_QT_QT_TEXT_H_
