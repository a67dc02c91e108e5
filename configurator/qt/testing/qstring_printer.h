// Failures of the widget tests show Qt texts as text.
#ifndef KAVEX_CONFIGURATOR_QT_TESTING_QSTRING_PRINTER_H_
#define KAVEX_CONFIGURATOR_QT_TESTING_QSTRING_PRINTER_H_

#include <QString>
#include <ostream>

inline void PrintTo(const QString& text, std::ostream* os) {
  *os << '"' << text.toStdString() << '"';
}

#endif  // KAVEX_CONFIGURATOR_QT_TESTING_QSTRING_PRINTER_H_
