#include "labels_grid.h"

#include "dependent_grid.h"
#include "document/interface_values.h"
#include "document/text_helpers.h"

namespace kov::grids {

namespace {
using namespace kov::document;
}  // namespace

bool IsQuotedLabel(const QString& token) {
  return token.size() >= 2 && token.front() == u'\'' && token.back() == u'\'';
}

bool LabelsGrid::IsClasses() const { return iIdentity() == kClassLabels; }

int LabelsGrid::Rows(const ModelShape& shape) const {
  return IsClasses() ? shape.classes : shape.statuses;
}

void LabelsGrid::RegisterDependencies() {
  Host().RegisterDependency(IsClasses() ? kClassCount : kStatusCount, {iIdentity(), kRepaintResize});
}

QString LabelsGrid::ColumnCaption(int column) const {
  return column == 1 ? QStringLiteral("Name") : QString();
}

bool LabelsGrid::HasSection(const ModelShape& shape) const {
  return IsClasses() ? shape.HasClasses() : shape.HasStatuses();
}

void LabelsGrid::TargetBounds(const ModelShape& shape, int& lastRow, int& lastColumn) const {
  lastRow = Rows(shape);
  lastColumn = 1;
}

void LabelsGrid::FillCells(const ModelShape& shape, bool defaults) {
  CellStore& store = m_impl.objCurrentArray();
  const QString caption = IsClasses() ? QStringLiteral("Class ") : QStringLiteral("Status ");
  const QString label = IsClasses() ? QStringLiteral("LC ") : QStringLiteral("LS ");
  for (int row = 1; row <= Rows(shape); ++row) {
    store.SetValue(row, 0, caption + QString::number(row));
    if (defaults) FillEmpty(store, row, 1, label + QString::number(row));
  }
}

CellKind LabelsGrid::KindOf(int bookmark, int column) const {
  const CellKind kind = GridBase::KindOf(bookmark, column);
  return kind == CellKind::kCaption || kind == CellKind::kUnused ? kind : CellKind::kLabel;
}

bool LabelsGrid::ReadSection(const ModelShape& shape, const QStringList& lines, int& cursor) {
  const QStringList tokens = cursor < lines.size() ? SplitValues(lines[cursor]) : QStringList();
  ++cursor;
  CellStore& store = m_impl.objCurrentArray();
  for (int row = 1; row <= Rows(shape); ++row) {
    const QString token = tokens.value(row - 1);
    if (!IsQuotedLabel(token)) {
      return StopReading(cursor,
                         QStringLiteral("Invalid label for ") +
                             (IsClasses() ? QStringLiteral("class") : QStringLiteral("status")) +
                             QString::number(row));
    }
    store.SetValue(row, 1, TextValue(token).left(kLabelLength));
  }
  return true;
}

bool LabelsGrid::WriteSection(const ModelShape& shape, QStringList& lines) {
  QStringList labels;
  for (int row = 1; row <= Rows(shape); ++row) labels << Quote(vCellValue(row, 1).toString());
  lines << labels.join(u' ');
  return true;
}

}  // namespace kov::grids
