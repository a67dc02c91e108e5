#include "configurator/qt/qt_text.h"

namespace kavex::configurator::qt {

QString StaticText(std::u16string_view text) {
  return ShownText(Q(text)).remove(QChar(u'\r'));
}

QString ShownText(const QString& qt_text) {
  QString shown;
  shown.reserve(qt_text.size());
  for (qsizetype i = 0; i < qt_text.size(); ++i) {
    if (qt_text[i] == u'&') {
      if (i + 1 < qt_text.size() && qt_text[i + 1] == u'&') {
        shown += u'&';
        ++i;
      }
      continue;
    }
    shown += qt_text[i];
  }
  return shown;
}

}  // namespace kavex::configurator::qt
