// The open and save dialogs of import and export, behind an interface so
// that tests answer them. Filters are given as the window models hold them,
// "Text|patterns|Text|patterns||"; the dialogs start in `directory` ("" for
// the current directory).
#ifndef KAVEX_CONFIGURATOR_QT_FILE_DIALOGS_H_
#define KAVEX_CONFIGURATOR_QT_FILE_DIALOGS_H_

#include <QString>
#include <QWidget>
#include <memory>
#include <string_view>

namespace kavex::configurator::qt {

class FileDialogs {
 public:
  virtual ~FileDialogs() = default;
  // The chosen existing file; "" when cancelled.
  virtual QString OpenFile(QWidget* parent, const QString& directory,
                           std::u16string_view filter) = 0;
  // The chosen file to write, with `default_suffix` (".KavexExp") added
  // when the name has none; an existing file only once the operator
  // confirmed replacing it; "" when cancelled.
  virtual QString SaveFile(QWidget* parent, const QString& directory,
                           std::u16string_view filter,
                           std::u16string_view default_suffix) = 0;
};

// The platform's dialogs (QFileDialog).
std::unique_ptr<FileDialogs> QtFileDialogs();

// A model's filter as Qt writes it: "Config Files (*.KavexExp)|*.KavexExp|
// All Files (*.*)|*.*||" becomes "Config Files (*.KavexExp);;All Files (*)".
// Each entry keeps its text and takes the patterns of its second field, so
// that what is shown is what is matched ("*.*" matches every name, as the
// operator expects, not only names with a dot). An entry without patterns
// keeps its text as it is; an empty filter gives "".
QString QtFilter(std::u16string_view filter);

}  // namespace kavex::configurator::qt

#endif  // KAVEX_CONFIGURATOR_QT_FILE_DIALOGS_H_
