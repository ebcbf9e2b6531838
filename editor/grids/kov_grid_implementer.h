// The common part of every grid: the cell store with its bounds, the bookmarks of the rows the
// control shows, the repaint status, the caption and the owner's tag. Each grid class holds one
// and forwards to it what it does not specialise.
#pragma once

#include <QString>
#include <QVariant>

#include "cell_store.h"
#include "kov_grid.h"

namespace kov::grids {

class KovGridImplementer {
 public:
  QString sLabel() const { return m_label; }
  void SetLabel(const QString& label) { m_label = label; }
  QVariant vTag() const { return m_tag; }
  void SetTag(const QVariant& tag) { m_tag = tag; }

  QVariant vCellValue(int row, int column) const { return m_cells.Value(row, column); }
  void SetCellValue(int row, int column, const QVariant& value) { m_cells.SetValue(row, column, value); }

  int iRowLowerBound() const { return m_cells.RowLowerBound(); }
  int iColLowerBound() const { return m_cells.ColLowerBound(); }
  int iRowUpperBound() const { return m_cells.RowUpperBound(); }
  int iColUpperBound() const { return m_cells.ColUpperBound(); }

  // The rows the control shows; all rows of the store unless the grid narrowed them.
  int iFirstBookmark() const { return m_firstBookmark; }
  int iLastBookmark() const { return m_lastBookmark; }
  void SetBookmarks(int first, int last);
  void ShowAllRows() { SetBookmarks(iRowLowerBound(), iRowUpperBound()); }

  // Refused (nothing happens) when the first row is below 1 or the first column is negative
  // or beyond the last. Otherwise re-sizes the store, keeping the values of cells that exist in
  // both when keep is set, shows all rows, and leaves a repaint pending.
  void Dimensionalize(int firstRow, int lastRow, int firstColumn, int lastColumn, bool keep);

  int iRepaintStatus() const { return m_repaintStatus; }
  void SetRepaintStatus(int status) { m_repaintStatus = status; }
  // Adds pending work, keeping the larger job: a pending resize stays a resize.
  void MergeRepaintStatus(int level);

  CellStore& objCurrentArray() { return m_cells; }
  const CellStore& objCurrentArray() const { return m_cells; }

 private:
  QString m_label;
  QVariant m_tag;
  CellStore m_cells;
  int m_firstBookmark = 1;
  int m_lastBookmark = 0;
  int m_repaintStatus = kRepaintResize;
};

}  // namespace kov::grids
