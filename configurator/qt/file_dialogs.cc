#include "configurator/qt/file_dialogs.h"

#include <QFileDialog>
#include <QStringList>

#include "configurator/qt/qt_text.h"

namespace kavex::configurator::qt {
namespace {

QString WithoutPatterns(QString text) {
  const qsizetype open = text.lastIndexOf(u'(');
  if (open >= 0 && text.endsWith(u')')) text.truncate(open);
  return text.trimmed();
}

class PlatformFileDialogs : public FileDialogs {
 public:
  QString OpenFile(QWidget* parent, const QString& directory,
                   std::u16string_view filter) override {
    QFileDialog dialog(parent, "Open", directory, QtFilter(filter));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    return Run(&dialog);
  }

  QString SaveFile(QWidget* parent, const QString& directory,
                   std::u16string_view filter,
                   std::u16string_view default_suffix) override {
    QFileDialog dialog(parent, "Save As", directory, QtFilter(filter));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    QString suffix = Q(default_suffix);
    if (suffix.startsWith(u'.')) suffix.remove(0, 1);
    dialog.setDefaultSuffix(suffix);
    return Run(&dialog);
  }

 private:
  static QString Run(QFileDialog* dialog) {
    dialog->setObjectName("file_dialog");
    if (dialog->exec() != QDialog::Accepted) return QString();
    const QStringList files = dialog->selectedFiles();
    return files.isEmpty() ? QString() : files.front();
  }
};

}  // namespace

std::unique_ptr<FileDialogs> QtFileDialogs() {
  return std::make_unique<PlatformFileDialogs>();
}

QString QtFilter(std::u16string_view filter) {
  QStringList fields = Q(filter).split(u'|');
  // The closing "||" leaves empty fields at the end.
  while (!fields.isEmpty() && fields.back().isEmpty()) fields.pop_back();
  QStringList entries;
  for (qsizetype i = 0; i < fields.size(); i += 2) {
    const QString text = fields[i].trimmed();
    const QString patterns =
        i + 1 < fields.size() ? fields[i + 1].trimmed() : QString();
    QStringList list;
    for (const QString& part : patterns.split(u';', Qt::SkipEmptyParts)) {
      const QString pattern = part.trimmed();
      if (!pattern.isEmpty()) list.push_back(pattern == "*.*" ? "*" : pattern);
    }
    if (list.isEmpty()) {
      if (!text.isEmpty()) entries.push_back(text);
      continue;
    }
    const QString name = WithoutPatterns(text);
    const QString shown_patterns = list.join(u' ');
    entries.push_back(name.isEmpty() ? shown_patterns
                                     : name + " (" + shown_patterns + ")");
  }
  return entries.join(";;");
}

}  // namespace kavex::configurator::qt
