#include "series_chart_view.h"

#include <QMouseEvent>

namespace kov::series {

void SeriesChartView::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::RightButton) {
    event->accept();
    emit RedrawRequested();
    return;
  }
  QChartView::mousePressEvent(event);
}

void SeriesChartView::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::RightButton) {
    event->accept();
    return;
  }
  QChartView::mouseReleaseEvent(event);
}

}  // namespace kov::series
