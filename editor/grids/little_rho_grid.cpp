#include "little_rho_grid.h"

#include "dependent_grid.h"
#include "document/interface_values.h"

namespace kov::grids {

namespace {
using namespace kov::document;
}  // namespace

void LittleRhoGrid::RegisterDependencies() {
  GridHost& host = Host();
  for (int source : {int(kClassCount), int(kClassItemCount), int(kClassItems)}) {
    host.RegisterDependency(source, {iIdentity(), kRepaintResize});
  }
  host.RegisterDependency(kClassLabels, {iIdentity(), kRepaintCells});
  if (!IsRestrictions()) host.RegisterDependency(kLittleRhoRestrictions, {iIdentity(), kRepaintCells});
}

QString LittleRhoGrid::ColumnCaption(int column) const {
  return column >= 1 ? ClassCaption(column) : QString();
}

bool LittleRhoGrid::HasSection(const ModelShape& shape) const {
  return shape.HasClasses() && (IsRestrictions() ? shape.restrictionsInFile : shape.startValuesInFile);
}

void LittleRhoGrid::TargetBounds(const ModelShape& shape, int& lastRow, int& lastColumn) const {
  lastRow = shape.classItems * shape.maxClassCategories;
  lastColumn = shape.classes;
}

void LittleRhoGrid::FillCells(const ModelShape& shape, bool defaults) {
  CellStore& store = m_impl.objCurrentArray();
  for (int i = 1; i <= shape.classItems; ++i) {
    for (int k = 1; k <= shape.maxClassCategories; ++k) {
      const int row = StoreRow(shape, i, k);
      store.SetValue(row, 0, ItemCaption(kClassItems, i) + QStringLiteral(" - ") +
                                 CategoryCaption(kClassItems, i, k));
      for (int c = 1; defaults && c <= shape.classes; ++c) FillEmpty(store, row, c, DefaultValue());
    }
  }
}

void LittleRhoGrid::Resize(const ModelShape& shape) {
  int lastRow = 0, lastColumn = 0;
  TargetBounds(shape, lastRow, lastColumn);
  const int categories = shape.maxClassCategories, oldCategories = m_sizedCategories;
  // Item i's category k stays where it is when the largest number of categories changes.
  ResizeByRows(m_impl, lastRow, lastColumn, [categories, oldCategories](int row) {
    const int i = (row - 1) / categories + 1, k = (row - 1) % categories + 1;
    return k <= oldCategories ? (i - 1) * oldCategories + k : 0;
  });
  m_sizedCategories = categories;
}

std::vector<GridBase::CellRef> LittleRhoGrid::Cells(const ModelShape& shape, int k, int c) {
  std::vector<CellRef> cells;
  for (int i = 1; i <= shape.classItems; ++i) {
    cells.push_back({&m_impl.objCurrentArray(), StoreRow(shape, i, k), c});
  }
  return cells;
}

QString LittleRhoGrid::Position(int k, int c, int n) {
  return QStringLiteral(" for response category ") + QString::number(k) + QStringLiteral(",class ") +
         QString::number(c) + QStringLiteral(", item ") + QString::number(n + 1);
}

bool LittleRhoGrid::AcceptInvalidValue(const QString& position, int line) {
  // Little rho offers no way on past a bad value.
  return StopReading(line, QStringLiteral("Invalid ") + TableName(iIdentity()) + position,
                     position);
}

bool LittleRhoGrid::ReadSection(const ModelShape& shape, const QStringList& lines, int& cursor) {
  for (int k = 1; k <= shape.maxClassCategories; ++k) {
    for (int c = 1; c <= shape.classes; ++c) {
      if (!ReadValueLine(lines, cursor, Cells(shape, k, c), [k, c](int n) { return Position(k, c, n); })) {
        return false;
      }
    }
  }
  return true;
}

bool LittleRhoGrid::WriteSection(const ModelShape& shape, QStringList& lines) {
  const QString invalid = QStringLiteral("Invalid ") + TableName(iIdentity());
  for (int k = 1; k <= shape.maxClassCategories; ++k) {
    for (int c = 1; c <= shape.classes; ++c) {
      if (!WriteValueLine(lines, Cells(shape, k, c),
                          [&invalid, k, c](int n) { return invalid + Position(k, c, n); })) {
        return false;
      }
    }
  }
  return true;
}

}  // namespace kov::grids

namespace kov::grids {

std::vector<GridBase::ProbabilityVector> LittleRhoGrid::VectorsOf(const ModelShape& shape) {
  // The engine sums every category row up to the largest count: an item with fewer categories
  // needs 0 in the rows it does not have.
  std::vector<ProbabilityVector> vectors;
  for (int i = 1; i <= shape.classItems; ++i) {
    for (int c = 1; c <= shape.classes; ++c) {
      ProbabilityVector row{ItemCaption(kClassItems, i) + QStringLiteral(" in class ") + ClassCaption(c), {}, {}, {}};
      for (int k = 1; k <= shape.maxClassCategories; ++k) {
        row.stores.push_back(&m_impl.objCurrentArray());
        row.cells.emplace_back(StoreRow(shape, i, k), c);
        row.codes.push_back(k <= CategoryCount(Host(), kClassItems, i) ? CodeText(StoreRow(shape, i, k), c)
                                                                                          : kNoCategoryCode);
      }
      vectors.push_back(std::move(row));
    }
  }
  return vectors;
}

}  // namespace kov::grids
