#include "cell_store.h"

#include <algorithm>

namespace kov::grids {

bool CellStore::HasBounds(int firstRow, int lastRow, int firstColumn, int lastColumn) const {
  lastRow = std::max(lastRow, firstRow - 1);
  return m_rowLower == firstRow && m_rowUpper == lastRow && m_colLower == firstColumn &&
         m_colUpper == lastColumn;
}

bool CellStore::Contains(int row, int column) const {
  return row >= m_rowLower && row <= m_rowUpper && column >= m_colLower && column <= m_colUpper;
}

std::size_t CellStore::Offset(int row, int column) const {
  return static_cast<std::size_t>(row - m_rowLower) * static_cast<std::size_t>(ColumnCount()) +
         static_cast<std::size_t>(column - m_colLower);
}

QVariant CellStore::Value(int row, int column) const {
  return Contains(row, column) ? m_cells[Offset(row, column)] : QVariant();
}

void CellStore::SetValue(int row, int column, const QVariant& value) {
  if (Contains(row, column)) m_cells[Offset(row, column)] = value;
}

void CellStore::Resize(int firstRow, int lastRow, int firstColumn, int lastColumn, bool keep) {
  lastRow = std::max(lastRow, firstRow - 1);
  CellStore resized;
  resized.m_rowLower = firstRow;
  resized.m_rowUpper = lastRow;
  resized.m_colLower = firstColumn;
  resized.m_colUpper = lastColumn;
  resized.m_cells.assign(static_cast<std::size_t>(resized.RowCount()) *
                             static_cast<std::size_t>(resized.ColumnCount()),
                         QVariant(QString()));
  if (keep) {
    for (int row = std::max(firstRow, m_rowLower); row <= std::min(lastRow, m_rowUpper); ++row) {
      for (int column = std::max(firstColumn, m_colLower);
           column <= std::min(lastColumn, m_colUpper); ++column) {
        const QVariant& old = m_cells[Offset(row, column)];
        if (old.isValid()) resized.m_cells[resized.Offset(row, column)] = old;
      }
    }
  }
  *this = std::move(resized);
}

}  // namespace kov::grids
