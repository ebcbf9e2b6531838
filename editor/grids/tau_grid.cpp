#include "tau_grid.h"

#include <algorithm>

#include "dependent_grid.h"
#include "document/interface_values.h"

namespace kov::grids {

namespace {
using namespace kov::document;
}  // namespace

void TauGrid::RegisterDependencies() {
  GridHost& host = Host();
  for (int source : {int(kClassCount), int(kStatusCount), int(kTimeCount), int(kFirstOrder)}) {
    host.RegisterDependency(source, {iIdentity(), kRepaintResize});
  }
  for (int source : {int(kClassItemCount), int(kClassLabels), int(kStatusLabels)}) {
    host.RegisterDependency(source, {iIdentity(), kRepaintCells});
  }
  if (!IsRestrictions()) host.RegisterDependency(kTauRestrictions, {iIdentity(), kRepaintCells});
}

QString TauGrid::ColumnCaption(int column) const {
  return column >= 1 ? StatusCaption(column) : QString();
}

bool TauGrid::HasSection(const ModelShape& shape) const {
  return shape.HasStatuses() && (IsRestrictions() ? shape.restrictionsInFile : shape.startValuesInFile);
}

void TauGrid::TargetBounds(const ModelShape& shape, int& lastRow, int& lastColumn) const {
  lastRow = shape.classes * shape.TransitionRows();
  lastColumn = shape.statuses;
}

void TauGrid::Resize(const ModelShape& shape) {
  int lastRow = 0, lastColumn = 0;
  TargetBounds(shape, lastRow, lastColumn);
  const int rows = shape.TransitionRows(), oldRows = m_sizedRowsPerClass;
  // Class c's row r stays class c's row r when the number of rows per class changes.
  ResizeByRows(m_impl, lastRow, lastColumn, [rows, oldRows](int row) {
    const int c = (row - 1) / rows + 1, r = (row - 1) % rows + 1;
    return r <= oldRows ? (c - 1) * oldRows + r : 0;
  });
  m_sizedRowsPerClass = rows;
}

int TauGrid::TransitionsPerClass(const ModelShape& shape) {
  return 1 + (shape.HasLaterTransitions() ? shape.occasions - 2 : 0);
}

int TauGrid::FromTime(const ModelShape& shape, int r) {
  return r <= shape.statuses ? 1 : 2 + (r - shape.statuses - 1) / shape.LaterBlockRows();
}

QString TauGrid::RowCaption(const ModelShape& shape, int r) const {
  if (r <= shape.statuses) return StatusCaption(r);
  const int index = (r - shape.statuses - 1) % shape.LaterBlockRows();
  if (shape.order == 1) return StatusCaption(index + 1);
  // A second-order row is a pair of statuses, the later occasion's varying fastest.
  return StatusCaption(index / shape.statuses + 1) + QStringLiteral(",") +
         StatusCaption(index % shape.statuses + 1);
}

void TauGrid::FillCells(const ModelShape& shape, bool defaults) {
  CellStore& store = m_impl.objCurrentArray();
  for (int c = 1; c <= shape.classes; ++c) {
    for (int r = 1; r <= shape.TransitionRows(); ++r) {
      const int row = StoreRow(shape, c, r);
      store.SetValue(row, 0, RowCaption(shape, r));
      for (int s = 1; defaults && s <= shape.statuses; ++s) FillEmpty(store, row, s, DefaultValue());
    }
  }
}

QStringList TauGrid::SelectorEntries() const {
  const ModelShape shape = CurrentShape(Host());
  QStringList entries;
  for (int c = 1; c <= shape.classes; ++c) {
    const QString prefix = shape.NamesClasses() ? ClassCaption(c) + QStringLiteral(" - ") : QString();
    entries << prefix + QStringLiteral("Time 1x2");
    for (int t = 2; t < 1 + TransitionsPerClass(shape); ++t) {
      const QString from = shape.order == 1 ? QString::number(t)
                                            : QString::number(t - 1) + QStringLiteral(",") + QString::number(t);
      entries << prefix + QStringLiteral("Time ") + from + QStringLiteral("x") + QString::number(t + 1);
    }
  }
  return entries;
}

void TauGrid::SelectEntry(int entry) {
  m_selected = entry;
  UpdateBookmarks();
}

void TauGrid::UpdateBookmarks() {
  const ModelShape shape = CurrentShape(Host());
  const int perClass = TransitionsPerClass(shape);
  m_selected = std::clamp(m_selected, 0, shape.classes * perClass - 1);
  const int c = m_selected / perClass + 1;
  const int transition = m_selected % perClass;
  int first = 1, last = shape.statuses;
  if (transition > 0) {
    first = shape.statuses + (transition - 1) * shape.LaterBlockRows() + 1;
    last = first + shape.LaterBlockRows() - 1;
  }
  const CellStore& store = m_impl.objCurrentArray();
  m_impl.SetBookmarks(StoreRow(shape, c, first), std::min(StoreRow(shape, c, last), store.RowUpperBound()));
}

std::vector<GridBase::CellRef> TauGrid::Cells(const ModelShape& shape, int c, int firstRow, int lastRow) {
  std::vector<CellRef> cells;
  for (int r = firstRow; r <= lastRow; ++r) {
    for (int s = 1; s <= shape.statuses; ++s) {
      cells.push_back({&m_impl.objCurrentArray(), StoreRow(shape, c, r), s});
    }
  }
  return cells;
}

QString TauGrid::Position(const ModelShape& shape, int c, int n, int firstRow) const {
  const int r = firstRow + n / shape.statuses;
  return QStringLiteral(" class ") + QString::number(c) + QStringLiteral(", time ") +
         QString::number(FromTime(shape, r));
}

bool TauGrid::ReadSection(const ModelShape& shape, const QStringList& lines, int& cursor) {
  for (int c = 1; c <= shape.classes; ++c) {
    // The rows of the first transition on one line, then all later rows on the next.
    if (!ReadValueLine(lines, cursor, Cells(shape, c, 1, shape.statuses),
                       [&](int n) { return Position(shape, c, n, 1); })) {
      return false;
    }
    if (shape.HasLaterTransitions() &&
        !ReadValueLine(lines, cursor, Cells(shape, c, shape.statuses + 1, shape.TransitionRows()),
                       [&](int n) { return Position(shape, c, n, shape.statuses + 1); })) {
      return false;
    }
  }
  return true;
}

bool TauGrid::WriteSection(const ModelShape& shape, QStringList& lines) {
  const QString invalid = QStringLiteral("Invalid ") + TableName(iIdentity());
  for (int c = 1; c <= shape.classes; ++c) {
    if (!WriteValueLine(lines, Cells(shape, c, 1, shape.statuses),
                        [&](int n) { return invalid + Position(shape, c, n, 1); })) {
      return false;
    }
    if (shape.HasLaterTransitions() &&
        !WriteValueLine(lines, Cells(shape, c, shape.statuses + 1, shape.TransitionRows()),
                        [&](int n) { return invalid + Position(shape, c, n, shape.statuses + 1); })) {
      return false;
    }
  }
  return true;
}

}  // namespace kov::grids

namespace kov::grids {

std::vector<GridBase::ProbabilityVector> TauGrid::VectorsOf(const ModelShape& shape) {
  std::vector<ProbabilityVector> vectors;
  for (int c = 1; c <= shape.classes; ++c) {
    for (int r = 1; r <= shape.TransitionRows(); ++r) {
      const int from = FromTime(shape, r);
      const QString time = QString::number(from) + QStringLiteral("x") + QString::number(from + 1);
      const QString where = shape.NamesClasses() ? QStringLiteral("class ") + ClassCaption(c) + QStringLiteral(", ")
                                                 : QString();
      ProbabilityVector row{RowCaption(shape, r) + QStringLiteral(" (") + where + QStringLiteral("time ") + time +
                                QStringLiteral(")"),
                            {}, {}, {}};
      const int storeRow = StoreRow(shape, c, r);
      for (int s = 1; s <= shape.statuses; ++s) {
        row.stores.push_back(&m_impl.objCurrentArray());
        row.cells.emplace_back(storeRow, s);
        row.codes.push_back(CodeText(storeRow, s));
      }
      vectors.push_back(std::move(row));
    }
  }
  return vectors;
}

}  // namespace kov::grids
