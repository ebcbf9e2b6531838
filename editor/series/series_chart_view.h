// A chart view that hands the right mouse button to its owner, who redraws the chart from the
// data it holds; the left button keeps the view's own rubber-band zoom.
#pragma once

#include <QtCharts/QChartView>

namespace kov::series {

class SeriesChartView : public QChartView {
  Q_OBJECT

 public:
  using QChartView::QChartView;

 signals:
  void RedrawRequested();

 protected:
  // The right button would otherwise zoom out one step of the rubber band's history.
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
};

}  // namespace kov::series
