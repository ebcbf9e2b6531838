// A transition matrix drawn as a heat map: one square per pair of statuses, shaded by its
// probability, with the value printed in it and a scale that says what a shade means.
#pragma once

#include <QWidget>

#include "results_model.h"

namespace kov::results {

class HeatMapView final : public QWidget {
  Q_OBJECT

 public:
  explicit HeatMapView(Matrix matrix, QWidget* parent = nullptr);

  // Draws the whole picture into target, as on screen, for export.
  void Paint(QPainter& painter, const QRectF& target) const;
  const Matrix& Data() const { return m_matrix; }

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  Matrix m_matrix;
};

}  // namespace kov::results
