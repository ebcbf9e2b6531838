#include "gamma_grid.h"

#include "dependent_grid.h"
#include "document/interface_values.h"
#include "document/text_helpers.h"

namespace kov::grids {

namespace {
using namespace kov::document;
}  // namespace

void GammaGrid::RegisterDependencies() {
  GridHost& host = Host();
  host.RegisterDependency(kClassCount, {iIdentity(), kRepaintResize});
  host.RegisterDependency(kClassLabels, {iIdentity(), kRepaintCells});
  if (!IsRestrictions()) host.RegisterDependency(kGammaRestrictions, {iIdentity(), kRepaintCells});
}

QString GammaGrid::ColumnCaption(int column) const {
  if (column != 1) return {};
  return IsRestrictions() ? QStringLiteral("Value") : QStringLiteral("Starting Value");
}

bool GammaGrid::HasSection(const ModelShape& shape) const {
  return shape.HasClasses() && (IsRestrictions() ? shape.restrictionsInFile : shape.startValuesInFile);
}

void GammaGrid::TargetBounds(const ModelShape& shape, int& lastRow, int& lastColumn) const {
  lastRow = shape.classes;
  lastColumn = 1;
}

void GammaGrid::FillCells(const ModelShape& shape, bool defaults) {
  CellStore& store = m_impl.objCurrentArray();
  for (int c = 1; c <= shape.classes; ++c) {
    store.SetValue(c, 0, ClassCaption(c));
    if (defaults) FillEmpty(store, c, 1, DefaultValue());
  }
}

bool GammaGrid::ReadSection(const ModelShape& shape, const QStringList& lines, int& cursor) {
  const QString name = TableName(iIdentity());
  if (cursor >= lines.size() || SplitAtBlanks(lines[cursor]).size() != shape.classes) {
    return StopReading(cursor + 1,
                       QStringLiteral("Invalid number of ") + name + QStringLiteral("s"));
  }
  std::vector<CellRef> cells;
  for (int c = 1; c <= shape.classes; ++c) cells.push_back({&m_impl.objCurrentArray(), c, 1});
  return ReadValueLine(lines, cursor, cells, [](int n) {
    return QStringLiteral(" for class ") + QString::number(n + 1);
  });
}

bool GammaGrid::WriteSection(const ModelShape& shape, QStringList& lines) {
  std::vector<CellRef> cells;
  for (int c = 1; c <= shape.classes; ++c) cells.push_back({&m_impl.objCurrentArray(), c, 1});
  const QString name = TableName(iIdentity());
  return WriteValueLine(lines, cells, [&name](int n) {
    return QStringLiteral("Invalid ") + name + QStringLiteral(" for Class ") + QString::number(n + 1);
  });
}

}  // namespace kov::grids

namespace kov::grids {

std::vector<GridBase::ProbabilityVector> GammaGrid::VectorsOf(const ModelShape& shape) {
  ProbabilityVector classes{QStringLiteral("of the class proportions"), {}, {}, {}};
  for (int c = 1; c <= shape.classes; ++c) {
    classes.stores.push_back(&m_impl.objCurrentArray());
    classes.cells.emplace_back(c, 1);
    classes.codes.push_back(CodeText(c, 1));
  }
  return {classes};
}

}  // namespace kov::grids
