// The IP address and ZRing pairs both live views show: each value with its
// label, the pair hidden together.
#ifndef KAVEX_CONFIGURATOR_QT_RING_VIEW_H_
#define KAVEX_CONFIGURATOR_QT_RING_VIEW_H_

#include <QGridLayout>
#include <QLabel>
#include <QWidget>

#include "configurator/core/live_statistics.h"

namespace kavex::configurator::qt {

class RingView {
 public:
  // Adds the five pairs to `grid` from row `row` on, in columns 0 and 1.
  RingView(QWidget* parent, QGridLayout* grid, int row);
  void Show(const RingControls& ring);

 private:
  struct Pair {
    QLabel* label;
    QLabel* value;
  };
  Pair ip_, version_, manager_, member_, state_;
};

}  // namespace kavex::configurator::qt

#endif  // KAVEX_CONFIGURATOR_QT_RING_VIEW_H_
