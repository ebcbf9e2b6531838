#include "items_grid.h"

#include "dependent_grid.h"
#include "document/interface_values.h"
#include "document/text_helpers.h"
#include "labels_grid.h"

namespace kov::grids {

namespace {
using namespace kov::document;
constexpr int kFirstLabelColumn = kResponseCategoryColumn + 1;
}  // namespace

bool ItemsGrid::IsClasses() const { return iIdentity() == kClassItems; }

const std::vector<int>& ItemsGrid::Categories(const ModelShape& shape) const {
  return IsClasses() ? shape.classCategories : shape.statusCategories;
}

void ItemsGrid::RegisterDependencies() {
  Host().RegisterDependency(IsClasses() ? kClassItemCount : kStatusItemCount,
                            {iIdentity(), kRepaintResize});
}

QString ItemsGrid::ColumnCaption(int column) const {
  if (column == 1) return QStringLiteral("Name");
  if (column == kResponseCategoryColumn) return QStringLiteral("# of RC's");
  if (column >= kFirstLabelColumn) {
    return QStringLiteral("Label for RC ") + QString::number(column - kResponseCategoryColumn);
  }
  return {};
}

bool ItemsGrid::HasSection(const ModelShape& shape) const {
  return IsClasses() ? shape.HasClasses() : shape.HasStatuses();
}

void ItemsGrid::TargetBounds(const ModelShape& shape, int& lastRow, int& lastColumn) const {
  lastRow = IsClasses() ? shape.classItems : shape.statusItems;
  lastColumn = kResponseCategoryColumn +
               (IsClasses() ? shape.maxClassCategories : shape.maxStatusCategories);
}

void ItemsGrid::FillCells(const ModelShape& shape, bool defaults) {
  CellStore& store = m_impl.objCurrentArray();
  const std::vector<int>& categories = Categories(shape);
  for (int item = 1; item <= static_cast<int>(categories.size()); ++item) {
    store.SetValue(item, 0, QStringLiteral("Variable ") + QString::number(item));
    if (defaults) FillEmpty(store, item, 1, QStringLiteral("VAR ") + QString::number(item));
    for (int column = kFirstLabelColumn; column <= store.ColUpperBound(); ++column) {
      const int category = column - kResponseCategoryColumn;
      if (category <= categories[item - 1]) {
        if (defaults) FillEmpty(store, item, column, QStringLiteral("RC ") + QString::number(category));
      } else {
        // Not a category of this item: its label would be written nowhere.
        store.SetValue(item, column, QString());
      }
    }
  }
}

CellKind ItemsGrid::KindOf(int bookmark, int column) const {
  const CellKind kind = GridBase::KindOf(bookmark, column);
  if (kind == CellKind::kCaption || kind == CellKind::kUnused) return kind;
  if (column == 1) return CellKind::kLabel;
  if (column == kResponseCategoryColumn) return CellKind::kCategoryCount;
  const int categories = CategoryCount(Host(), iIdentity(), bookmark);
  return column - kResponseCategoryColumn <= categories ? CellKind::kLabel : CellKind::kUnused;
}

void ItemsGrid::AfterCommit(int, int column) {
  if (column != kResponseCategoryColumn) return;
  // The label columns follow the largest number of categories, and which of them are the
  // item's own follows its count.
  Setup();
  m_impl.MergeRepaintStatus(kRepaintCells);
}

bool ItemsGrid::ReadSection(const ModelShape& shape, const QStringList& lines, int& cursor) {
  const std::vector<int>& categories = Categories(shape);
  const QString kind = IsClasses() ? QStringLiteral("class ") : QStringLiteral("status ");
  CellStore& store = m_impl.objCurrentArray();
  for (int item = 1; item <= static_cast<int>(categories.size()); ++item) {
    const QStringList tokens = cursor < lines.size() ? SplitValues(lines[cursor]) : QStringList();
    ++cursor;
    const int expected = categories[item - 1];
    if (tokens.size() != expected + 1) {
      return StopReading(
          cursor, QStringLiteral("An invalid number of Status RC labels were found for item ") +
                      QString::number(item) + QStringLiteral(".") + QStringLiteral("\n") +
                      QStringLiteral("Expected:  ") + QString::number(expected) +
                      QStringLiteral("  Found: ") +
                      QString::number(std::max<qsizetype>(tokens.size() - 1, 0)));
    }
    for (int position = 0; position <= expected; ++position) {
      const QString& token = tokens[position];
      if (!IsQuotedLabel(token)) {
        QString message = QStringLiteral("Invalid label for ") + kind + QStringLiteral("item ") +
                          QString::number(item);
        if (position > 0) message += QStringLiteral(", response category") + QString::number(position);
        return StopReading(cursor, message);
      }
      const int column = position == 0 ? 1 : kResponseCategoryColumn + position;
      store.SetValue(item, column, TextValue(token).left(kLabelLength));
    }
  }
  return true;
}

bool ItemsGrid::WriteSection(const ModelShape& shape, QStringList& lines) {
  const std::vector<int>& categories = Categories(shape);
  for (int item = 1; item <= static_cast<int>(categories.size()); ++item) {
    QStringList labels{Quote(vCellValue(item, 1).toString())};
    for (int category = 1; category <= categories[item - 1]; ++category) {
      labels << Quote(vCellValue(item, kResponseCategoryColumn + category).toString());
    }
    lines << labels.join(u' ');
  }
  return true;
}

}  // namespace kov::grids
