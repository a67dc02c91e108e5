#include "configurator/qt/icon.h"

#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>

namespace kavex::configurator::qt {

QPixmap VeltoPixmap(int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  // Drawn on the SVG's 64 x 64 grid.
  painter.scale(size / 64.0, size / 64.0);
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor("#1f4e79"));
  painter.drawRoundedRect(QRectF(2, 2, 60, 60), 10, 10);

  QPen wave(QColor("#7fd1ff"), 3);
  wave.setJoinStyle(Qt::RoundJoin);
  wave.setCapStyle(Qt::RoundCap);
  painter.setPen(wave);
  painter.setBrush(Qt::NoBrush);
  const QPolygonF points({{8, 22}, {18, 22}, {23, 12}, {29, 30}, {35, 16},
                          {40, 22}, {56, 22}});
  painter.drawPolyline(points);

  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor("#e8eef4"));
  painter.drawRoundedRect(QRectF(8, 34, 48, 20), 3, 3);
  for (int i = 0; i < 4; ++i) {
    const double x = 12 + 11 * i;
    painter.setBrush(QColor("#2b2b2b"));
    painter.drawRect(QRectF(x, 40, 7, 8));
    painter.setBrush(QColor(i < 3 ? "#38c172" : "#e3a008"));
    painter.drawEllipse(QPointF(x + 3.5, 37), 1.5, 1.5);
  }
  return pixmap;
}

QIcon VeltoIcon() {
  QIcon icon;
  for (int size : {16, 24, 32, 48, 64, 128}) icon.addPixmap(VeltoPixmap(size));
  return icon;
}

}  // namespace kavex::configurator::qt
