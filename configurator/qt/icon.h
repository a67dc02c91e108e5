// The configurator's icon, drawn in code the way veltoopc.svg (installed
// for the desktop) draws it, so that the program needs no image plug-in.
#ifndef KAVEX_CONFIGURATOR_QT_ICON_H_
#define KAVEX_CONFIGURATOR_QT_ICON_H_

#include <QIcon>
#include <QPixmap>

namespace kavex::configurator::qt {

QPixmap VeltoPixmap(int size);
QIcon VeltoIcon();

}  // namespace kavex::configurator::qt

#endif  // KAVEX_CONFIGURATOR_QT_ICON_H_
