// The About box ("About VeltoOPC"): the icon, "VeltoOPC Version <version>",
// the copyright line and "OK".
#ifndef KAVEX_CONFIGURATOR_QT_ABOUT_DIALOG_H_
#define KAVEX_CONFIGURATOR_QT_ABOUT_DIALOG_H_

#include <QDialog>

namespace kavex::configurator::qt {

inline constexpr char kAboutCaption[] = "About VeltoOPC";

// "VeltoOPC Version 10.4.0" for the version this program was built as.
QString VersionLine();

class AboutDialog : public QDialog {
 public:
  explicit AboutDialog(QWidget* parent);
};

}  // namespace kavex::configurator::qt

#endif  // KAVEX_CONFIGURATOR_QT_ABOUT_DIALOG_H_
