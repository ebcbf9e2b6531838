#include "kov_grid_implementer.h"

namespace kov::grids {

void KovGridImplementer::SetBookmarks(int first, int last) {
  m_firstBookmark = first;
  m_lastBookmark = last < first ? first - 1 : last;
}

void KovGridImplementer::Dimensionalize(int firstRow, int lastRow, int firstColumn, int lastColumn,
                                        bool keep) {
  if (firstRow < 1 || firstColumn < 0 || firstColumn > lastColumn) return;
  m_cells.Resize(firstRow, lastRow, firstColumn, lastColumn, keep);
  ShowAllRows();
  m_repaintStatus = kRepaintCells;
}

void KovGridImplementer::MergeRepaintStatus(int level) {
  if (level == kRepaintNone) return;
  if (m_repaintStatus == kRepaintNone || level < m_repaintStatus) m_repaintStatus = level;
}

}  // namespace kov::grids
