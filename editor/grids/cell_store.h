// The cells of one grid: a two-dimensional array of variants indexed [row, column] between the
// bounds the grid gives it. Holds no widgets.
#pragma once

#include <QString>
#include <QVariant>
#include <vector>

namespace kov::grids {

class CellStore {
 public:
  int RowLowerBound() const { return m_rowLower; }
  int RowUpperBound() const { return m_rowUpper; }
  int ColLowerBound() const { return m_colLower; }
  int ColUpperBound() const { return m_colUpper; }
  int RowCount() const { return m_rowUpper - m_rowLower + 1; }
  int ColumnCount() const { return m_colUpper - m_colLower + 1; }
  bool HasBounds(int firstRow, int lastRow, int firstColumn, int lastColumn) const;

  bool Contains(int row, int column) const;
  // Empty outside the bounds.
  QVariant Value(int row, int column) const;
  QString Text(int row, int column) const { return Value(row, column).toString(); }
  // Ignored outside the bounds.
  void SetValue(int row, int column, const QVariant& value);

  // Takes the new bounds (a last row below the first means no rows). Cells inside both the old
  // and the new bounds keep their values when keep is set; every other cell is empty text.
  void Resize(int firstRow, int lastRow, int firstColumn, int lastColumn, bool keep);

 private:
  std::size_t Offset(int row, int column) const;

  int m_rowLower = 1;
  int m_rowUpper = 0;
  int m_colLower = 0;
  int m_colUpper = 0;
  std::vector<QVariant> m_cells;
};

}  // namespace kov::grids
