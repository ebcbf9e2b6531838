#include "delta_grid.h"

#include "dependent_grid.h"
#include "document/interface_values.h"

namespace kov::grids {

namespace {
using namespace kov::document;
}  // namespace

void DeltaGrid::RegisterDependencies() {
  GridHost& host = Host();
  for (int source : {int(kClassCount), int(kStatusCount)}) host.RegisterDependency(source, {iIdentity(), kRepaintResize});
  for (int source : {int(kClassLabels), int(kStatusLabels)}) host.RegisterDependency(source, {iIdentity(), kRepaintCells});
  if (!IsRestrictions()) host.RegisterDependency(kDeltaRestrictions, {iIdentity(), kRepaintCells});
}

QString DeltaGrid::ColumnCaption(int column) const {
  return column >= 1 ? StatusCaption(column) : QString();
}

bool DeltaGrid::HasSection(const ModelShape& shape) const {
  return shape.HasStatuses() && (IsRestrictions() ? shape.restrictionsInFile : shape.startValuesInFile);
}

void DeltaGrid::TargetBounds(const ModelShape& shape, int& lastRow, int& lastColumn) const {
  lastRow = shape.classes;
  lastColumn = shape.statuses;
}

void DeltaGrid::FillCells(const ModelShape& shape, bool defaults) {
  CellStore& store = m_impl.objCurrentArray();
  for (int c = 1; c <= shape.classes; ++c) {
    store.SetValue(c, 0, ClassCaption(c));
    for (int s = 1; defaults && s <= shape.statuses; ++s) FillEmpty(store, c, s, DefaultValue());
  }
}

std::vector<GridBase::CellRef> DeltaGrid::FileOrder(const ModelShape& shape) {
  std::vector<CellRef> cells;
  for (int c = 1; c <= shape.classes; ++c) {
    for (int s = 1; s <= shape.statuses; ++s) cells.push_back({&m_impl.objCurrentArray(), c, s});
  }
  return cells;
}

bool DeltaGrid::ReadSection(const ModelShape& shape, const QStringList& lines, int& cursor) {
  const int statuses = shape.statuses;
  return ReadValueLine(lines, cursor, FileOrder(shape), [statuses](int n) {
    return QStringLiteral(" for class ") + QString::number(n / statuses + 1);
  });
}

bool DeltaGrid::WriteSection(const ModelShape& shape, QStringList& lines) {
  const int statuses = shape.statuses;
  const QString name = IsRestrictions() ? QStringLiteral("Delta constraint for class")
                                        : QStringLiteral("Delta starting value for class");
  return WriteValueLine(lines, FileOrder(shape), [statuses, &name](int n) {
    return QStringLiteral("Invalid ") + name + QStringLiteral(" ") + QString::number(n / statuses + 1);
  });
}

}  // namespace kov::grids

namespace kov::grids {

std::vector<GridBase::ProbabilityVector> DeltaGrid::VectorsOf(const ModelShape& shape) {
  std::vector<ProbabilityVector> vectors;
  for (int c = 1; c <= shape.classes; ++c) {
    ProbabilityVector row{ClassCaption(c), {}, {}, {}};
    for (int s = 1; s <= shape.statuses; ++s) {
      row.stores.push_back(&m_impl.objCurrentArray());
      row.cells.emplace_back(c, s);
      row.codes.push_back(CodeText(c, s));
    }
    vectors.push_back(std::move(row));
  }
  return vectors;
}

}  // namespace kov::grids
