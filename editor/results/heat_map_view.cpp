#include "heat_map_view.h"

#include <QFontMetricsF>
#include <QLinearGradient>
#include <QPainter>

#include <algorithm>

namespace kov::results {

namespace {

constexpr double kMargin = 12.0;
constexpr double kScaleWidth = 18.0;
// Above this share a cell is dark enough for white text.
constexpr double kDarkFrom = 0.55;

// From white (0) to a deep blue (1), so that a printed copy in grey keeps the order.
QColor Shade(double value) {
  const double v = std::clamp(value, 0.0, 1.0);
  const QColor low(247, 251, 255);
  const QColor high(8, 48, 107);
  return QColor::fromRgbF(static_cast<float>(low.redF() + (high.redF() - low.redF()) * v),
                          static_cast<float>(low.greenF() + (high.greenF() - low.greenF()) * v),
                          static_cast<float>(low.blueF() + (high.blueF() - low.blueF()) * v));
}

}  // namespace

HeatMapView::HeatMapView(Matrix matrix, QWidget* parent)
    : QWidget(parent), m_matrix(std::move(matrix)) {
  setBackgroundRole(QPalette::Base);
  setAutoFillBackground(true);
}

QSize HeatMapView::sizeHint() const { return {640, 460}; }

QSize HeatMapView::minimumSizeHint() const { return {360, 260}; }

void HeatMapView::paintEvent(QPaintEvent* /*event*/) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  Paint(painter, rect());
}

void HeatMapView::Paint(QPainter& painter, const QRectF& target) const {
  painter.save();
  painter.fillRect(target, Qt::white);
  painter.setPen(Qt::black);
  QFont font = this->font();
  QFont bold = font;
  bold.setBold(true);
  const QFontMetricsF metrics(font);
  const QFontMetricsF boldMetrics(bold);
  const double line = metrics.height();

  // Title, then the "To" caption and the column labels above the cells; the row labels and the
  // "From" caption to their left; the scale at the right.
  double top = target.top() + kMargin;
  painter.setFont(bold);
  painter.drawText(QRectF(target.left(), top, target.width(), boldMetrics.height()),
                   Qt::AlignHCenter, m_matrix.title + QStringLiteral(": transition probabilities"));
  top += boldMetrics.height() + line * 0.5;
  painter.setFont(font);
  double labelWidth = metrics.horizontalAdvance(QStringLiteral("From"));
  for (const QString& label : m_matrix.rowLabels)
    labelWidth = std::max(labelWidth, metrics.horizontalAdvance(label));
  const QString scaleText = QStringLiteral("Probability");
  const double scaleArea =
      std::max(kScaleWidth + metrics.horizontalAdvance(QStringLiteral("0.0")) + kMargin * 2,
               metrics.horizontalAdvance(scaleText) + kMargin);
  const double left = target.left() + kMargin + labelWidth + kMargin;
  const double right = target.right() - kMargin - scaleArea;
  const int rows = static_cast<int>(m_matrix.values.size());
  const int columns = static_cast<int>(m_matrix.columnLabels.size());
  if (rows == 0 || columns == 0 || right <= left) {
    painter.restore();
    return;
  }
  painter.drawText(QRectF(left, top, right - left, line), Qt::AlignHCenter, QStringLiteral("To"));
  top += line;
  const double cellWidth = (right - left) / columns;
  for (int c = 0; c < columns; ++c) {
    painter.drawText(QRectF(left + c * cellWidth, top, cellWidth, line), Qt::AlignHCenter,
                     metrics.elidedText(m_matrix.columnLabels[c], Qt::ElideRight, cellWidth - 4));
  }
  top += line * 1.2;
  const double bottom = target.bottom() - kMargin - line;
  const double cellHeight = std::max(line * 1.5, (bottom - top) / rows);
  painter.drawText(QRectF(target.left() + kMargin, top - line * 1.2, labelWidth, line),
                   Qt::AlignLeft, QStringLiteral("From"));

  for (int r = 0; r < rows; ++r) {
    const double y = top + r * cellHeight;
    painter.setPen(Qt::black);
    painter.drawText(QRectF(target.left() + kMargin, y, labelWidth, cellHeight),
                     Qt::AlignLeft | Qt::AlignVCenter,
                     r < m_matrix.rowLabels.size() ? m_matrix.rowLabels[r] : QString());
    for (int c = 0; c < columns; ++c) {
      const double value =
          c < static_cast<int>(m_matrix.values[r].size()) ? m_matrix.values[r][c] : 0.0;
      const QRectF cell(left + c * cellWidth, y, cellWidth, cellHeight);
      painter.fillRect(cell, Shade(value));
      painter.setPen(QColor(200, 200, 200));
      painter.drawRect(cell);
      painter.setPen(value > kDarkFrom ? Qt::white : Qt::black);
      painter.drawText(cell, Qt::AlignCenter, QString::number(value, 'f', 3));
    }
  }

  // The scale: 1 at the top, 0 at the bottom, beside the cells.
  const double scaleLeft = right + kMargin;
  const QRectF bar(scaleLeft, top, kScaleWidth, cellHeight * rows);
  QLinearGradient gradient(bar.topLeft(), bar.bottomLeft());
  gradient.setColorAt(0.0, Shade(1.0));
  gradient.setColorAt(1.0, Shade(0.0));
  painter.fillRect(bar, gradient);
  painter.setPen(Qt::black);
  painter.drawRect(bar);
  painter.drawText(QPointF(bar.right() + 4, bar.top() + metrics.ascent()), QStringLiteral("1.0"));
  painter.drawText(QPointF(bar.right() + 4, bar.bottom()), QStringLiteral("0.0"));
  painter.drawText(QRectF(scaleLeft, bar.bottom() + 2, scaleArea, line), Qt::AlignLeft, scaleText);
  painter.restore();
}

}  // namespace kov::results
